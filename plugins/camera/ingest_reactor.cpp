#include "ingest_reactor.h"

#include <errno.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
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
}

void Inbox::Wake()
{
    std::unique_lock<std::mutex> lock(mutex_);
    const bool wake = waiting_ && !bytes_.empty();
    lock.unlock();
    if (wake) {
        arrived_.notify_one();  // unlocked: the camera thread does not wake into a held mutex
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

IngestReactor::IngestReactor()
    : epoll_(::epoll_create1(EPOLL_CLOEXEC)), scratch_(std::max(kReadBytes, kDatagramBatch * kMaxDatagram))
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

bool IngestReactor::Register(int socket, Inbox& inbox, Source source, int channel)
{
    std::lock_guard<std::mutex> lock(mutex_);
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.fd = socket;
    if (epoll_ < 0 || ::epoll_ctl(epoll_, EPOLL_CTL_ADD, socket, &event) != 0) {
        return false;
    }
    registered_[socket] = Registration{&inbox, source, channel};
    return true;
}

void IngestReactor::Unregister(int socket)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (registered_.erase(socket) > 0) {
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
            touched_.clear();
            for (int i = 0; i < ready; ++i) {
                const auto found = registered_.find(events[i].data.fd);
                if (found == registered_.end()) {
                    continue;  // unregistered since
                }
                if (found->second.source == Source::kDatagrams) {
                    DrainDatagrams(found->first, found->second);
                } else {
                    Drain(found->first, found->second);
                }
                touched_.push_back(found->second.inbox);
            }
            // The camera threads wake once every socket is read: none of
            // them takes a core from the reads still to do in this tick.
            for (Inbox* inbox : touched_) {
                inbox->Wake();
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

void IngestReactor::Drain(int socket, const Registration& registration)
{
    Inbox& inbox = *registration.inbox;
    if (inbox.Full()) {
        return;
    }
    for (;;) {
        const ssize_t got = ::recv(socket, scratch_.data(), scratch_.size(), MSG_DONTWAIT);
        if (got > 0) {
            if (registration.source == Source::kStream) {
                inbox.Put(scratch_.data(), static_cast<std::size_t>(got));
            }
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

void IngestReactor::DrainDatagrams(int socket, const Registration& registration)
{
    Inbox& inbox = *registration.inbox;
    if (inbox.Full()) {
        return;  // the socket's own buffer holds the rest, or drops it
    }
    mmsghdr messages[kDatagramBatch] = {};
    iovec pieces[kDatagramBatch];
    for (int i = 0; i < kDatagramBatch; ++i) {
        pieces[i] = {scratch_.data() + i * kMaxDatagram, kMaxDatagram};
        messages[i].msg_hdr.msg_iov = &pieces[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    framed_.clear();
    for (;;) {
        const int got = ::recvmmsg(socket, messages, kDatagramBatch, MSG_DONTWAIT, nullptr);
        for (int i = 0; i < got; ++i) {
            const std::size_t size = messages[i].msg_len;
            if ((messages[i].msg_hdr.msg_flags & MSG_TRUNC) != 0 || size == 0) {
                continue;
            }
            const uint8_t header[4] = {'$', static_cast<uint8_t>(registration.channel), static_cast<uint8_t>(size >> 8),
                                       static_cast<uint8_t>(size & 0xFF)};
            framed_.insert(framed_.end(), header, header + sizeof header);
            framed_.insert(framed_.end(), scratch_.data() + i * kMaxDatagram,
                           scratch_.data() + i * kMaxDatagram + size);
        }
        if (got < kDatagramBatch) {
            break;  // drained, or an error that the next tick sees again: UDP has no end
        }
    }
    if (!framed_.empty()) {
        inbox.Put(framed_.data(), framed_.size());
    }
}

}  // namespace dvrcamera
