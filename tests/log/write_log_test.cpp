// The log line writer, in a child process whose standard output is a real
// pseudo-terminal (the terminal test is made once per process).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>

#include "core_process.h"
#include "dvrcore.h"

namespace {

// Runs `body` in a child with a fresh core and standard output on a terminal
// (or on /dev/null); returns what the child wrote.
std::string RunInChild(const std::function<void(dvrcore&)>& body, bool terminal = true)
{
    int master = -1;
    int slave = -1;
    if (terminal) {
        EXPECT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    } else {
        slave = ::open("/dev/null", O_WRONLY);
    }
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(slave, STDOUT_FILENO);
        {
            dvrcore core("/nonexistent/dvrcore");
            core.moduleNames.Set(CORE_PROVIDER_ID, "core");
            body(core);
            std::fflush(stdout);
        }
        ::_exit(0);
    }
    ::close(slave);
    std::string output;
    if (master >= 0) {
        char buffer[4096];
        for (;;) {
            pollfd entry{master, POLLIN, 0};
            if (::poll(&entry, 1, 10000) <= 0) {
                break;
            }
            const ssize_t count = ::read(master, buffer, sizeof buffer);
            if (count <= 0) {
                break;
            }
            output.append(buffer, static_cast<std::size_t>(count));
        }
        ::close(master);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return output;
}

std::string UtcClock()
{
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:", utc.tm_hour, utc.tm_min);
    return text;
}

TEST(WriteLog, LineHasUtcTimeSixColumnNameAndLevelColour)
{
    const std::string minute = UtcClock();
    const std::string output = RunInChild([](dvrcore& core) {
        ::setenv("TZ", "Asia/Tokyo", 1);  // lines are in UTC whatever the zone
        core.moduleNames.Set(0x50000, "longname");
        core.WriteLog(CORE_PROVIDER_ID, 0, "zero");
        core.WriteLog(CORE_PROVIDER_ID, 24, "twentyfour");
        core.WriteLog(0x50000, 25, "info");
        core.WriteLog(0x60000, 50, "warning");
        core.WriteLog(CORE_PROVIDER_ID, 75, "error");
        core.WriteLog(CORE_PROVIDER_ID, 101, "beyond");
        core.WriteLog(CORE_PROVIDER_ID, 25, nullptr);
        core.colorLog = false;
        core.WriteLog(CORE_PROVIDER_ID, 50, "plain");
        core.quietLog = true;
        core.WriteLog(CORE_PROVIDER_ID, 50, "quiet");
    });
    // One line per call: colour digit by level / 25, the name in cyan.
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"\x1b[35m", "\x1b[36m core  \x1b[0m zero\r\n"},
        {"\x1b[35m", "\x1b[36m core  \x1b[0m twentyfour\r\n"},
        {"\x1b[32m", "\x1b[36m longna\x1b[0m info\r\n"},
        {"\x1b[33m", "\x1b[36m ?     \x1b[0m warning\r\n"},
        {"\x1b[31m", "\x1b[36m core  \x1b[0m error\r\n"},
        {"", " core   beyond\r\n"},
        {"", " core   plain\r\n"},
    };
    std::size_t at = 0;
    for (const auto& [colour, rest] : expected) {
        ASSERT_EQ(output.compare(at, colour.size(), colour), 0) << output;
        at += colour.size();
        // HH:MM:SS in UTC.
        const std::string clock = output.substr(at, 8);
        EXPECT_EQ(clock.substr(0, 6), minute) << output;
        at += 8;
        ASSERT_EQ(output.compare(at, rest.size(), rest), 0) << output.substr(at);
        at += rest.size();
    }
    EXPECT_EQ(at, output.size()) << output;
}

TEST(WriteLog, NoLinesWhenStandardOutputIsNoTerminal)
{
    // The child writes into /dev/null; what matters is that nothing is
    // written through a terminal check made once: see the process tests for
    // the file case. Here: quiet and colourless settings do not crash either.
    EXPECT_EQ(RunInChild([](dvrcore& core) { core.WriteLog(CORE_PROVIDER_ID, 100, "critical"); }, false), "");
}

// Level 100 reaches syslog: the child gets a private mount namespace in which
// /dev/log is a datagram socket that the test reads.
TEST(WriteLog, CriticalLinesReachSyslog)
{
    dvrtest::TempDir dir;
    const std::string socketPath = dir / "log";
    const int sink = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(sink, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    ASSERT_EQ(::bind(sink, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    const pid_t child = ::fork();
    if (child == 0) {
        const bool isolated = ::unshare(CLONE_NEWNS) == 0 &&
                              ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                              ::mount("none", "/dev", "tmpfs", 0, nullptr) == 0;
        if (!isolated) {
            ::_exit(77);
        }
        ::close(::open("/dev/log", O_CREAT | O_WRONLY, 0600));
        if (::mount(socketPath.c_str(), "/dev/log", nullptr, MS_BIND, nullptr) != 0) {
            ::_exit(77);
        }
        {
            dvrcore core("/nonexistent/dvrcore");
            core.WriteLog(CORE_PROVIDER_ID, 75, "error stays out of syslog");
            core.WriteLog(CORE_PROVIDER_ID, 101, "beyond stays out of syslog");
            core.quietLog = true;  // syslog regardless of the terminal switches
            core.WriteLog(CORE_PROVIDER_ID, 100, "critical reaches syslog");
        }
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
        ::close(sink);
        GTEST_SKIP() << "no private mount namespace here";
    }
    char message[1024];
    pollfd entry{sink, POLLIN, 0};
    ASSERT_EQ(::poll(&entry, 1, 10000), 1);
    const ssize_t count = ::recv(sink, message, sizeof message - 1, 0);
    ASSERT_GT(count, 0);
    const std::string text(message, static_cast<std::size_t>(count));
    EXPECT_EQ(text.rfind("<10>", 0), 0u) << text;  // LOG_USER | LOG_CRIT
    EXPECT_NE(text.find("critical reaches syslog"), std::string::npos) << text;
    EXPECT_EQ(::poll(&entry, 1, 100), 0);  // nothing else was sent
    ::close(sink);
}

}  // namespace
