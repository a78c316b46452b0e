#include "spoiling_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kPollMs = 50;

bool SendAll(int fd, const std::string& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t wrote = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (wrote <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(wrote);
    }
    return true;
}

std::string Frame(int channel, const std::string& payload, std::size_t statedLength)
{
    std::string frame = {'$', static_cast<char>(channel), static_cast<char>(statedLength >> 8),
                         static_cast<char>(statedLength & 0xFF)};
    return frame + payload;
}

// What goes in front of the n-th spoiled frame.
std::string Spoiler(int n)
{
    const std::string rtpHeader("\x80\x60\x00\x01\x00\x00\x00\x00\x12\x34\x56\x78", 12);
    switch (n % 4) {
        case 0:
            return "garbage between frames\r\n";
        case 1:
            return std::string("\x00\x00\x00\x01\x65\x88\x84\x00\x33\xff", 10);
        case 2:
            return Frame(9, rtpHeader + "unknown channel", rtpHeader.size() + 15);
        default:
            return Frame(0, "\x80\x60\x00", 3);
    }
}

}  // namespace

SpoilingProxy::SpoilingProxy(const std::string& upstreamPort, Mode mode) : upstreamPort_(upstreamPort), mode_(mode)
{
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(listener_, 8) == 0 &&
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port_ = ntohs(address.sin_port);
    }
    acceptor_ = std::thread([this] { Accept(); });
}

SpoilingProxy::~SpoilingProxy()
{
    stop_ = true;
    acceptor_.join();
    for (std::thread& connection : connections_) {
        connection.join();
    }
    ::close(listener_);
}

void SpoilingProxy::Accept()
{
    while (!stop_) {
        pollfd waiting{listener_, POLLIN, 0};
        if (::poll(&waiting, 1, kPollMs) == 1) {
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                connections_.emplace_back([this, client] { Forward(client); });
            }
        }
    }
}

void SpoilingProxy::Forward(int client)
{
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(std::atoi(upstreamPort_.c_str())));
    bool open = ::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    bool first = true;
    const bool spoil = mode_ == Mode::kGarbage && spoiling_;
    std::string downstream;  // from the server, not yet forwarded
    int frames = 0;
    while (open && !stop_) {
        pollfd waiting[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        if (::poll(waiting, 2, kPollMs) <= 0) {
            continue;
        }
        char chunk[65536];
        if (waiting[0].revents != 0) {
            const ssize_t got = ::recv(client, chunk, sizeof chunk, 0);
            const std::string request(chunk, got > 0 ? static_cast<std::size_t>(got) : 0);
            if (first && mode_ == Mode::kRefuseOwnReader && request.find("User-Agent: dvrcore") != std::string::npos) {
                SendAll(client, "HTTP/1.1 200 OK\r\n\r\n");
                break;
            }
            first = false;
            open = got > 0 && SendAll(server, request);
        }
        if (waiting[1].revents != 0) {
            const ssize_t got = ::recv(server, chunk, sizeof chunk, 0);
            open = got > 0;
            downstream.append(chunk, open ? static_cast<std::size_t>(got) : 0);
        }
        // Whole frames are spoiled and forwarded one by one; anything else
        // (the answers) passes up to the next frame.
        while (open && !downstream.empty()) {
            if (!spoil || downstream[0] != '$') {
                const std::size_t dollar = spoil ? downstream.find('$') : std::string::npos;
                const std::size_t take = dollar == std::string::npos ? downstream.size() : dollar;
                open = SendAll(client, downstream.substr(0, take));
                downstream.erase(0, take);
                continue;
            }
            if (downstream.size() < 4) {
                break;
            }
            const std::size_t length = static_cast<uint8_t>(downstream[2]) << 8 | static_cast<uint8_t>(downstream[3]);
            if (downstream.size() < 4 + length) {
                break;
            }
            std::string frame = downstream.substr(0, 4 + length);
            downstream.erase(0, 4 + length);
            if (cut_) {
                SendAll(client, frame.substr(0, frame.size() / 2));
                spoiling_ = false;
                open = false;
                break;
            }
            if (++frames % 40 == 0) {
                const int n = spoiled_++;
                if (n == 5) {  // once: a length 24 bytes too long swallows the start of what follows
                    frame[2] = static_cast<char>((length + 24) >> 8);
                    frame[3] = static_cast<char>((length + 24) & 0xFF);
                }
                open = SendAll(client, Spoiler(n));
            }
            open = open && SendAll(client, frame);
        }
    }
    ::close(server);
    ::close(client);
}
