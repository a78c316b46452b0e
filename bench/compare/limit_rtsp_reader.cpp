// The floor of recording RTSP cameras: for each URL (the test camera server's
// open cameras) it sets up the session (DESCRIBE, SETUP of the first medium
// over interleaved TCP, PLAY), then one thread waits on every socket with
// epoll, drains each readable socket with large reads every 20 ms and
// appends the bytes as they came to one file per camera, with one
// fdatasync of every file a second. No parsing, no muxing: what receiving
// and writing alone cost. Runs until SIGINT or SIGTERM.
//
// limit_rtsp_reader DIR URL...
#include <fcntl.h>
#include <netdb.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

volatile std::sig_atomic_t stopping = 0;

struct Camera {
    int socket = -1;
    int file = -1;
};

// Sends one request and returns the response head and body (a blocking read
// of the head, then of Content-Length bytes).
std::string Ask(int fd, const std::string& request)
{
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        return "";
    }
    std::string response;
    char byte;
    while (response.find("\r\n\r\n") == std::string::npos && ::recv(fd, &byte, 1, 0) == 1) {
        response.push_back(byte);
    }
    const std::size_t length = response.find("Content-Length:");
    std::size_t body = length == std::string::npos ? 0 : std::stoul(response.substr(length + 15));
    while (body > 0 && ::recv(fd, &byte, 1, 0) == 1) {
        response.push_back(byte);
        --body;
    }
    return response;
}

std::string Field(const std::string& text, const std::string& name)
{
    const std::size_t at = text.find(name);
    if (at == std::string::npos) {
        return "";
    }
    const std::size_t start = at + name.size();
    return text.substr(start, text.find_first_of(";\r\n", start) - start);
}

bool Play(const std::string& url, Camera& camera)
{
    const std::size_t hostStart = url.find("://") + 3;
    const std::size_t pathStart = url.find('/', hostStart);
    const std::string authority = url.substr(hostStart, pathStart - hostStart);
    const std::size_t colon = authority.find(':');
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* address = nullptr;
    if (::getaddrinfo(authority.substr(0, colon).c_str(),
                      colon == std::string::npos ? "554" : authority.substr(colon + 1).c_str(), &hints,
                      &address) != 0) {
        return false;
    }
    camera.socket = ::socket(address->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool connected = ::connect(camera.socket, address->ai_addr, address->ai_addrlen) == 0;
    ::freeaddrinfo(address);
    if (!connected) {
        return false;
    }
    const std::string describe =
        Ask(camera.socket, "DESCRIBE " + url + " RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n\r\n");
    std::string base = Field(describe, "Content-Base: ");
    base = base.empty() ? url + "/" : base;
    const std::size_t media = describe.find("m=");
    const std::string control = Field(describe.substr(media == std::string::npos ? 0 : media), "a=control:");
    const std::string setupUrl = control.find("://") != std::string::npos ? control : base + control;
    const std::string setup = Ask(camera.socket, "SETUP " + setupUrl +
                                                     " RTSP/1.0\r\nCSeq: 2\r\nTransport: "
                                                     "RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n");
    const std::string session = Field(setup, "Session: ");
    const std::string play = Ask(
        camera.socket, "PLAY " + base + " RTSP/1.0\r\nCSeq: 3\r\nSession: " + session + "\r\nRange: npt=0-\r\n\r\n");
    return play.compare(0, 12, "RTSP/1.0 200") == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s DIR URL...\n", argv[0]);
        return 2;
    }
    std::signal(SIGINT, [](int) { stopping = 1; });
    std::signal(SIGTERM, [](int) { stopping = 1; });
    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    std::vector<Camera> cameras(static_cast<std::size_t>(argc - 2));
    for (std::size_t i = 0; i < cameras.size(); ++i) {
        Camera& camera = cameras[i];
        if (!Play(argv[i + 2], camera)) {
            std::fprintf(stderr, "limit_rtsp_reader: cannot play %s\n", argv[i + 2]);
            return 1;
        }
        const std::string path = std::string(argv[1]) + "/cam" + std::to_string(i + 1) + ".rtp";
        camera.file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = i;
        ::epoll_ctl(epoll, EPOLL_CTL_ADD, camera.socket, &event);
    }
    std::vector<char> buffer(256 << 10);
    std::vector<epoll_event> events(cameras.size());
    auto tick = std::chrono::steady_clock::now();
    auto nextSync = tick + std::chrono::seconds(1);
    while (stopping == 0) {
        const int ready = ::epoll_wait(epoll, events.data(), static_cast<int>(events.size()), 100);
        for (int i = 0; i < ready; ++i) {
            Camera& camera = cameras[events[i].data.u64];
            ssize_t got;
            do {
                got = ::recv(camera.socket, buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (got > 0 && ::write(camera.file, buffer.data(), static_cast<std::size_t>(got)) != got) {
                    return 1;
                }
            } while (got == static_cast<ssize_t>(buffer.size()));
            if (got == 0) {
                ::epoll_ctl(epoll, EPOLL_CTL_DEL, camera.socket, nullptr);
            }
        }
        tick += std::chrono::milliseconds(20);
        const auto now = std::chrono::steady_clock::now();
        if (now >= nextSync) {
            for (const Camera& camera : cameras) {
                ::fdatasync(camera.file);
            }
            nextSync += std::chrono::seconds(1);
        }
        if (tick > now) {
            std::this_thread::sleep_for(tick - now);
        } else {
            tick = now;
        }
    }
    for (const Camera& camera : cameras) {
        ::close(camera.socket);
        ::close(camera.file);
    }
    return 0;
}
