#include "ingest_reactor.h"

#include <errno.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>

namespace dvrcamera {

namespace {

constexpr std::size_t kReadBytes = 256u << 10;

}  // namespace

bool Inbox::Take(std::vector<uint8_t>& out, int waitMs)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (bytes_.empty() && !ended_) {
        waiting_ = true;
        arrived_.wait_for(lock, std::chrono::milliseconds(waitMs), [this] { return !bytes_.empty() || ended_; });
        waiting_ = false;
    }
    const bool any = !bytes_.empty();
    if (out.empty()) {
        out.swap(bytes_);  // hands the bytes over without copying them
    } else {
        out.insert(out.end(), bytes_.begin(), bytes_.end());
    }
    bytes_.clear();
    return any || !ended_;
}

int Inbox::error() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

void Inbox::Put(const uint8_t* data, std::size_t size)
{
    std::lock_guard<std::mutex> lock(mutex_);
    bytes_.insert(bytes_.end(), data, data + size);
    if (waiting_) {
        arrived_.notify_one();
    }
}

void Inbox::End(int error)
{
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    error_ = error;
    arrived_.notify_one();
}

bool Inbox::Full() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_.size() >= kMaxHeld;
}

std::shared_ptr<IngestReactor> IngestReactor::Shared()
{
    static std::mutex mutex;
    static std::weak_ptr<IngestReactor> shared;
    std::lock_guard<std::mutex> lock(mutex);
    std::shared_ptr<IngestReactor> reactor = shared.lock();
    if (!reactor) {
        reactor = std::make_shared<IngestReactor>();
        shared = reactor;
    }
    return reactor;
}

IngestReactor::IngestReactor() : epoll_(::epoll_create1(EPOLL_CLOEXEC)), scratch_(kReadBytes)
{
    thread_ = std::thread([this] { Run(); });
}

IngestReactor::~IngestReactor()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    thread_.join();
    if (epoll_ >= 0) {
        ::close(epoll_);
    }
}

bool IngestReactor::Register(int socket, Inbox& inbox)
{
    std::lock_guard<std::mutex> lock(mutex_);
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.fd = socket;
    if (epoll_ < 0 || ::epoll_ctl(epoll_, EPOLL_CTL_ADD, socket, &event) != 0) {
        return false;
    }
    inboxes_[socket] = &inbox;
    return true;
}

void IngestReactor::Unregister(int socket)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (inboxes_.erase(socket) > 0) {
        ::epoll_ctl(epoll_, EPOLL_CTL_DEL, socket, nullptr);
    }
}

void IngestReactor::Run()
{
    epoll_event events[64];
    auto tick = std::chrono::steady_clock::now();
    for (;;) {
        // Level-triggered: a socket that became readable during the pause is
        // drained once at the next tick, however many packets it holds.
        const int ready = ::epoll_wait(epoll_, events, 64, kTickMs * 5);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_) {
                return;
            }
            for (int i = 0; i < ready; ++i) {
                const auto found = inboxes_.find(events[i].data.fd);
                if (found != inboxes_.end()) {  // not unregistered since
                    Drain(found->first, *found->second);
                }
            }
        }
        tick += std::chrono::milliseconds(kTickMs);
        const auto now = std::chrono::steady_clock::now();
        if (tick > now) {
            std::this_thread::sleep_for(tick - now);
        } else {
            tick = now;
        }
    }
}

void IngestReactor::Drain(int socket, Inbox& inbox)
{
    if (inbox.Full()) {
        return;
    }
    for (;;) {
        const ssize_t got = ::recv(socket, scratch_.data(), scratch_.size(), MSG_DONTWAIT);
        if (got > 0) {
            inbox.Put(scratch_.data(), static_cast<std::size_t>(got));
            if (static_cast<std::size_t>(got) < scratch_.size()) {
                return;  // drained: spares the read that would say EAGAIN
            }
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return;
        }
        ::epoll_ctl(epoll_, EPOLL_CTL_DEL, socket, nullptr);  // ended: no more wake-ups for it
        inbox.End(got == 0 ? 0 : errno);
        return;
    }
}

}  // namespace dvrcamera
