// parent-standin: plays the parent service for one dvrcore, by hand or in tests.
//
// It creates a sequenced-packet socketpair, starts the core with the number
// of its end (in a working directory of the caller's choice, optionally
// through a launcher such as an emulator), sends the announcement, prints
// every packet that the core's plugins send, runs commands (from --do options,
// and beside them from standard input), turns SIGINT, SIGTERM and SIGHUP into
// a stop and exits with the core's exit status.
//
// The core runs in a process group of its own, so that Ctrl-C reaches it only
// as the stop packet, and it is killed if the stand-in dies first. Scripts and
// supervisors drive it without a terminal, with standard input closed, or in
// a background process group: none of these may stop or hang it.
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

#include "accounting_table.h"
#include "bridge_packets.h"
#include "camera_list.h"
#include "core_reply.h"
#include "plugin_api.h"
#include "recordings_query.h"
#include "plugin_listing.h"
#include "status_line.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr Clock::duration kRecordingsTimeout = std::chrono::seconds(30);

constexpr char kUsage[] =
    "Usage: parent-standin [options] <dvrcore>\n"
    "Starts <dvrcore> with its end of a sequenced-packet socketpair, plays the parent\n"
    "service on the other end and exits with the core's exit status.\n"
    "  --launcher WORD   put WORD before the core's command line (repeatable)\n"
    "  --workdir DIR     the core's working directory (default: the current one)\n"
    "  --filename TEXT   announced file name (default \"vigild\")\n"
    "  --version TEXT    announced version (default \"1.0\")\n"
    "  --background      announce \"Background:true\"\n"
    "  --no-announce     send no announcement at start\n"
    "  --do COMMAND      run COMMAND after the announcement (repeatable, in order);\n"
    "                    commands read from standard input run beside them as they come,\n"
    "                    a wait in either holding back only the commands behind it\n"
    "  --status INDEX    every second ask the plugin with providerIndex INDEX for a status\n"
    "                    report (the example bridge's packets); show it as one live line,\n"
    "                    led by the plugins it misses (the recorder)\n"
    "  --camera [NAME=]URL  a camera for the example camera plugin, RTP over TCP (repeatable;\n"
    "                    NAME defaults to camN); sent when the plugin asks for its cameras\n"
    "  --camera-udp [NAME=]URL  the same with RTP over UDP\n"
    "Commands:\n"
    "  sleep MS                 wait MS milliseconds\n"
    "  wait-packets N [MS]      wait until N packets came from the core in all (at most MS, default 30000)\n"
    "  send INDEX TYPE [HEX]    a packet for the plugin with providerIndex INDEX\n"
    "  announce TEXT...         an announcement with these texts\n"
    "  raw HEX                  these bytes as one message\n"
    "  recordings INDEX CAMERA [FROM TO]\n"
    "                           list the recordings of CAMERA (UTC seconds FROM..TO) that\n"
    "                           the example bridge with providerIndex INDEX reports; a name\n"
    "                           with spaces in double quotes; the next command waits for it\n"
    "  cameras                  send the --camera configurations again, as a parent that\n"
    "                           reconfigures its cameras\n"
    "  stop                     the stop packet\n"
    "  plugins                  ask the core which plugins it has loaded, and show its answer\n"
    "  accounting               ask the core what each plugin raised and cost, and show it as a table\n"
    "  close                    close the link\n"
    "  help                     list these commands\n"
    "SIGINT, SIGTERM and SIGHUP (and SIGPIPE on standard output) stop the core: the stop\n"
    "packet, or SIGTERM once the link is closed. Standard input is read only while it is\n"
    "readable by this process (not in a background process group of its terminal).\n";

struct Options {
    std::vector<std::string> launcher;
    std::string workDir;
    std::string core;
    std::vector<std::string> announcement{"vigild", "1.0"};
    bool announce = true;
    std::deque<std::string> commands;
    std::optional<uint32_t> statusIndex;
    CameraList cameras;
};

std::optional<Options> ParseOptions(int argc, char** argv)
{
    Options options;
    bool background = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--launcher" && hasValue) {
            options.launcher.push_back(argv[++i]);
        } else if (arg == "--workdir" && hasValue) {
            options.workDir = argv[++i];
        } else if (arg == "--filename" && hasValue) {
            options.announcement[0] = argv[++i];
        } else if (arg == "--version" && hasValue) {
            options.announcement[1] = argv[++i];
        } else if (arg == "--background") {
            background = true;
        } else if (arg == "--no-announce") {
            options.announce = false;
        } else if (arg == "--do" && hasValue) {
            options.commands.push_back(argv[++i]);
        } else if (arg == "--status" && hasValue) {
            options.statusIndex = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 0));
        } else if ((arg == "--camera" || arg == "--camera-udp") && hasValue) {
            const auto transport =
                arg == "--camera" ? dvrexample::CameraTransport::kTcp : dvrexample::CameraTransport::kUdp;
            if (!options.cameras.Add(argv[++i], transport)) {
                return std::nullopt;
            }
        } else if (arg[0] != '-' && options.core.empty() && i + 1 == argc) {
            options.core = arg;
        } else {
            return std::nullopt;
        }
    }
    if (options.core.empty()) {
        return std::nullopt;
    }
    if (background) {
        options.announcement.push_back("Background:true");
    }
    return options;
}

std::string Hex(const uint8_t* bytes, std::size_t count)
{
    std::string text;
    char digits[3];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(digits, sizeof digits, "%02x", bytes[i]);
        text += digits;
    }
    return text;
}

std::optional<std::vector<uint8_t>> ParseHex(const std::string& text)
{
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    std::vector<uint8_t> bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        char* end = nullptr;
        const std::string pair = text.substr(i, 2);
        const unsigned long value = std::strtoul(pair.c_str(), &end, 16);
        if (*end != '\0') {
            return std::nullopt;
        }
        bytes.push_back(static_cast<uint8_t>(value));
    }
    return bytes;
}

std::vector<uint8_t> Packet(uint32_t target, uint32_t type, const std::vector<uint8_t>& payload)
{
    const IpcPacketHeader header{static_cast<uint32_t>(IPC_HEADER_SIZE + payload.size()), target, type, 0};
    std::vector<uint8_t> bytes(header.packetLength);
    std::memcpy(bytes.data(), &header, sizeof header);
    std::copy(payload.begin(), payload.end(), bytes.begin() + IPC_HEADER_SIZE);
    return bytes;
}

std::vector<uint8_t> Announcement(const std::vector<std::string>& texts)
{
    std::vector<uint8_t> payload;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (i > 0) {
            payload.push_back(0);
        }
        payload.insert(payload.end(), texts[i].begin(), texts[i].end());
    }
    return Packet(0, IPC_ANNOUNCE, payload);
}

// Parses a whole unsigned number, or nothing.
std::optional<unsigned long> Number(const std::string& text)
{
    if (text.empty()) {
        return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text.c_str(), &end, 0);
    if (*end != '\0' || errno != 0) {
        return std::nullopt;
    }
    return value;
}

// Commands that run one after the other, and what the running one waits
// for. The --do commands and those read from standard input are two lanes
// side by side: a wait in one holds back only the commands behind it.
struct CommandLane {
    std::deque<std::string> commands;
    Clock::time_point resumeAt{};
    std::size_t awaitedPackets = 0;
    bool awaitingRecordings = false;  // until the last list of a recordings answer

    bool Blocked() const { return Clock::now() < resumeAt; }
};

class Standin {
public:
    Standin(Options options, int link, pid_t core, int signals, bool readStdin)
        : options_(std::move(options)), link_(link), core_(core), signals_(signals), readStdin_(readStdin)
    {
        scripted_.commands = std::move(options_.commands);
        if (options_.statusIndex) {
            statusLine_ = std::make_unique<StatusLine>();
        }
    }

    // Runs until the core has exited; its exit status.
    int Run()
    {
        if (options_.announce) {
            Send(Announcement(options_.announcement), "announcement");
        }
        for (;;) {
            RunCommands();
            RequestStatus();
            std::vector<pollfd> fds{{signals_, POLLIN, 0}};
            if (link_ >= 0) {
                fds.push_back({link_, POLLIN, 0});
            }
            if (readStdin_ && typed_.commands.empty() && !typed_.Blocked()) {
                fds.push_back({STDIN_FILENO, POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), PollTimeout()) < 0 && errno != EINTR) {
                std::perror("parent-standin: poll");
                return 1;
            }
            for (const pollfd& fd : fds) {
                if (fd.revents == 0) {
                    continue;
                }
                if (fd.fd == signals_) {
                    if (std::optional<int> status = OnSignal()) {
                        return *status;
                    }
                } else if (fd.fd == link_) {
                    ReceivePacket();
                } else {
                    ReadCommands();
                }
            }
        }
    }

private:
    int PollTimeout() const
    {
        int timeout = -1;
        const auto wakeAt = [&timeout](Clock::time_point when) {
            if (timeout < 0 || MillisecondsUntil(when) < timeout) {
                timeout = MillisecondsUntil(when);
            }
        };
        for (const CommandLane* lane : {&scripted_, &typed_}) {
            if (lane->Blocked()) {
                wakeAt(lane->resumeAt);
            }
        }
        if (statusLine_) {
            wakeAt(nextStatus_);
        }
        return timeout;
    }

    static int MillisecondsUntil(Clock::time_point when)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now());
        return left.count() < 0 ? 0 : static_cast<int>(left.count()) + 1;
    }

    // --status: one request a second, sent without a line of its own.
    void RequestStatus()
    {
        if (!statusLine_ || link_ < 0 || Clock::now() < nextStatus_) {
            return;
        }
        nextStatus_ = Clock::now() + std::chrono::seconds(1);
        std::vector<uint8_t> request = Packet(*options_.statusIndex << 20, dvrexample::kHealthStatusRequest, {});
        const uint32_t sequence = ++statusSequence_;
        std::memcpy(request.data() + offsetof(IpcPacketHeader, reserved), &sequence, sizeof sequence);
        Send(request, "status request", false);
    }

    void RunCommands()
    {
        RunCommands(scripted_);
        RunCommands(typed_);
    }

    void RunCommands(CommandLane& lane)
    {
        for (;;) {
            // A wait may be over at once: the packets came before it began.
            if (lane.awaitedPackets > 0 && (received_ >= lane.awaitedPackets || !lane.Blocked())) {
                if (received_ < lane.awaitedPackets) {
                    std::printf("standin: wait-packets timed out after %zu packets\n", received_);
                }
                lane.awaitedPackets = 0;
                lane.resumeAt = Clock::time_point();
            }
            if (lane.awaitingRecordings && !lane.Blocked()) {
                std::printf("standin: no whole recordings answer within %lld s\n",
                            static_cast<long long>(
                                std::chrono::duration_cast<std::chrono::seconds>(kRecordingsTimeout).count()));
                lane.awaitingRecordings = false;
            }
            if (lane.Blocked() || lane.commands.empty()) {
                return;
            }
            const std::string command = lane.commands.front();
            lane.commands.pop_front();
            Execute(command, lane);
        }
    }

    // A command that waits holds back the rest of `lane`.
    void Execute(const std::string& line, CommandLane& lane)
    {
        std::istringstream words(line);
        std::string verb;
        words >> verb;
        std::vector<std::string> args;
        // A word in double quotes may hold spaces: a camera's name.
        for (std::string word; words >> std::quoted(word);) {
            args.push_back(word);
        }
        const auto number = [&](std::size_t i) { return i < args.size() ? Number(args[i]) : std::nullopt; };

        if (verb.empty()) {
            return;
        }
        if (verb == "sleep" && number(0)) {
            lane.resumeAt = Clock::now() + std::chrono::milliseconds(*number(0));
        } else if (verb == "wait-packets" && number(0)) {
            lane.awaitedPackets = *number(0);
            lane.resumeAt = Clock::now() + std::chrono::milliseconds(args.size() > 1 ? number(1).value_or(0) : 30000);
        } else if (verb == "send" && number(0) && number(1) && args.size() <= 3) {
            const auto payload = ParseHex(args.size() == 3 ? args[2] : "");
            if (!payload) {
                std::printf("standin: bad hex in: %s\n", line.c_str());
                return;
            }
            Send(Packet(static_cast<uint32_t>(*number(0) << 20), static_cast<uint32_t>(*number(1)), *payload),
                 "packet for plugin " + args[0] + " type " + args[1]);
        } else if (verb == "announce" && !args.empty()) {
            Send(Announcement(args), "announcement");
        } else if (verb == "raw" && args.size() == 1 && ParseHex(args[0])) {
            Send(*ParseHex(args[0]), "raw bytes");
        } else if (verb == "recordings" && RecordingsRequest(args, 0)) {
            // The next command waits for the answer's last list.
            Send(*RecordingsRequest(args, ++statusSequence_), "recordings request");
            lane.awaitingRecordings = true;
            lane.resumeAt = Clock::now() + kRecordingsTimeout;
        } else if (verb == "plugins" && args.empty()) {
            Send(Packet(0, IPC_PLUGIN_LISTING_REQUEST, {}), "plugin listing request");
        } else if (verb == "accounting" && args.empty()) {
            Send(Packet(0, IPC_ACCOUNTING_REQUEST, {}), "accounting request");
        } else if (verb == "cameras" && args.empty() && !options_.cameras.empty()) {
            SendCameras();
        } else if (verb == "stop" && args.empty()) {
            Send(Packet(0, IPC_STOP, {}), "stop packet");
        } else if (verb == "help" && args.empty()) {
            const std::string usage = kUsage;
            const std::size_t commands = usage.find("Commands:\n");
            const std::size_t signals = usage.find("SIGINT");
            std::fputs(usage.substr(commands, signals - commands).c_str(), stdout);
        } else if (verb == "close" && args.empty()) {
            CloseLink();
            std::printf("standin: closed the link\n");
        } else {
            std::printf("standin: unknown command: %s\n", line.c_str());
        }
    }

    // False when the packet did not go out. Never blocks: a core that has
    // stopped reading must not stop the stand-in from handling signals.
    bool Send(const std::vector<uint8_t>& bytes, const std::string& what, bool report = true)
    {
        if (link_ < 0) {
            std::printf("standin: link closed, %s not sent\n", what.c_str());
            return false;
        }
        // Said before it is sent: whatever the core prints in answer then
        // comes after this line on a shared terminal.
        if (report) {
            std::printf("standin: sending %s (%zu bytes)\n", what.c_str(), bytes.size());
            std::fflush(stdout);
        }
        if (::send(link_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
            std::printf("standin: sending %s failed: %s\n", what.c_str(), std::strerror(errno));
            return false;
        }
        return true;
    }

    void CloseLink()
    {
        if (link_ >= 0) {
            ::close(link_);
            link_ = -1;
        }
    }

    // Prints one packet from the core; false when none was waiting.
    bool ReceivePacket()
    {
        std::vector<uint8_t> bytes(IPC_MAX_PACKET);
        const ssize_t got = ::recv(link_, bytes.data(), bytes.size(), MSG_DONTWAIT);
        if (got < 0) {
            if (errno != EAGAIN && errno != EINTR) {
                std::printf("standin: receive failed: %s\n", std::strerror(errno));
                CloseLink();
            }
            return false;
        }
        if (got == 0) {
            std::printf("standin: the core closed the link\n");
            CloseLink();
            return false;
        }
        const auto count = static_cast<std::size_t>(got);
        if (statusLine_ && count >= sizeof(dvrexample::HealthStatusReportPacket)) {
            dvrexample::HealthStatusReportPacket reply;
            std::memcpy(&reply, bytes.data(), sizeof reply);
            if (reply.header.packetType == dvrexample::kHealthStatusReport) {
                std::vector<dvrexample::CameraReport> cameras((count - sizeof reply) /
                                                              sizeof(dvrexample::CameraReport));
                if (!cameras.empty()) {
                    std::memcpy(cameras.data(), bytes.data() + sizeof reply, cameras.size() * sizeof cameras[0]);
                }
                statusLine_->Show(reply.report, reply.health, cameras);
                return true;
            }
        }
        if (count == IPC_HEADER_SIZE && !options_.cameras.empty()) {
            IpcPacketHeader request;
            std::memcpy(&request, bytes.data(), sizeof request);
            if (request.packetType == dvrexample::kCameraConfigRequest) {
                SendCameras();
                return true;
            }
        }
        ++received_;
        bool last = false;
        if (PrintRecordings(bytes.data(), count, last)) {
            for (CommandLane* lane : {&scripted_, &typed_}) {
                if (last && lane->awaitingRecordings) {
                    lane->awaitingRecordings = false;
                    lane->resumeAt = Clock::time_point();
                }
            }
            return true;
        }
        if (IsCoreReply(bytes.data(), count, IPC_PLUGIN_LISTING)) {
            PrintPluginListing(bytes.data(), count);
            return true;
        }
        if (IsCoreReply(bytes.data(), count, IPC_ACCOUNTING_REPLY)) {
            PrintAccountingTable(bytes.data(), count);
            return true;
        }
        constexpr std::size_t kShown = 32;
        if (count < IPC_HEADER_SIZE) {
            std::printf("standin: received %zu bytes: %s\n", count, Hex(bytes.data(), count).c_str());
            return true;
        }
        IpcPacketHeader header;
        std::memcpy(&header, bytes.data(), sizeof header);
        const std::size_t payload = count - IPC_HEADER_SIZE;
        std::printf("standin: received %zu bytes: target 0x%08x type %u data %s%s\n", count,
                    static_cast<unsigned>(header.target), static_cast<unsigned>(header.packetType),
                    Hex(bytes.data() + IPC_HEADER_SIZE, payload < kShown ? payload : kShown).c_str(),
                    payload > kShown ? "..." : "");
        return true;
    }

    void SendCameras()
    {
        std::printf("%s", options_.cameras.Describe().c_str());
        for (const dvrexample::CameraConfigPacket& packet : options_.cameras.Packets()) {
            const auto* bytes = reinterpret_cast<const uint8_t*>(&packet);
            Send(std::vector<uint8_t>(bytes, bytes + sizeof packet), "camera " + std::string(packet.config.name),
                 false);
        }
    }

    void ReadCommands()
    {
        char chunk[4096];
        const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            return;
        }
        if (got <= 0) {
            // EIO: a terminal that belongs to another process group (SIGTTIN
            // is ignored, so the read fails instead of stopping us).
            if (got < 0) {
                std::printf("standin: not reading commands from standard input: %s\n", std::strerror(errno));
            }
            readStdin_ = false;
            return;
        }
        pendingInput_.append(chunk, static_cast<std::size_t>(got));
        for (std::size_t end; (end = pendingInput_.find('\n')) != std::string::npos;) {
            typed_.commands.push_back(pendingInput_.substr(0, end));
            pendingInput_.erase(0, end + 1);
        }
    }

    // The first stop signal stops the core: the stop packet while the link
    // can carry it, otherwise SIGTERM. Later ones only say that it is under way.
    void StopCore(int signal)
    {
        if (stopRequested_) {
            std::printf("standin: %s: the core is stopping already, waiting for it to exit\n", ::strsignal(signal));
            return;
        }
        stopRequested_ = true;
        if (!Send(Packet(0, IPC_STOP, {}), "stop packet")) {
            std::printf("standin: %s: sending SIGTERM to the core\n", ::strsignal(signal));
            ::kill(core_, SIGTERM);
        }
    }

    // The core's exit status once it has exited.
    std::optional<int> OnSignal()
    {
        signalfd_siginfo info{};
        if (::read(signals_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) {
            return std::nullopt;
        }
        if (info.ssi_signo != SIGCHLD) {
            StopCore(static_cast<int>(info.ssi_signo));
            return std::nullopt;
        }
        int status = 0;
        if (::waitpid(core_, &status, WNOHANG) != core_) {
            return std::nullopt;
        }
        // Packets sent just before the exit are still waiting in the socket.
        while (link_ >= 0 && ReceivePacket()) {
        }
        statusLine_.reset();
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::printf("standin: core exited with status %d\n", code);
        return code;
    }

    Options options_;
    int link_;
    pid_t core_;
    int signals_;
    bool readStdin_;
    bool stopRequested_ = false;
    std::string pendingInput_;
    std::size_t received_ = 0;
    CommandLane scripted_;  // --do
    CommandLane typed_;     // standard input
    // --status only.
    std::unique_ptr<StatusLine> statusLine_;
    Clock::time_point nextStatus_{};
    uint32_t statusSequence_ = 0;
};

// In the child: becomes the core. Never returns.
[[noreturn]] void ExecCore(const Options& options, int coreEnd, pid_t standin, const sigset_t& original)
{
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != standin) {
        ::_exit(127);
    }
    ::sigprocmask(SIG_SETMASK, &original, nullptr);
    if (!options.workDir.empty() && ::chdir(options.workDir.c_str()) != 0) {
        std::fprintf(stderr, "parent-standin: cannot enter %s: %s\n", options.workDir.c_str(), std::strerror(errno));
        ::_exit(127);
    }
    ::fcntl(coreEnd, F_SETFD, 0);  // the core inherits its end, and only that
    const std::string descriptor = std::to_string(coreEnd);
    std::vector<std::string> words = options.launcher;
    words.push_back(options.core);
    words.push_back(descriptor);
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    std::fprintf(stderr, "parent-standin: cannot start %s: %s\n", argv[0], std::strerror(errno));
    ::_exit(127);
}

}  // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    std::optional<Options> options = ParseOptions(argc, argv);
    if (!options) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    // The core starts in another directory: resolve its path here.
    char* corePath = ::realpath(options->core.c_str(), nullptr);
    if (corePath != nullptr) {
        options->core = corePath;
        std::free(corePath);
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    // A descriptor 0..2 that the caller closed would be handed out to the link
    // below, and commands would be read from the core's packets: fill them.
    const bool readStdin = ::fcntl(STDIN_FILENO, F_GETFD) != -1;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && ::open("/dev/null", O_RDWR) != fd) {
            std::perror("parent-standin: /dev/null");
            return 1;
        }
    }
    // In a background process group of a terminal (under `timeout`, or `&` in
    // a shell) reading it would stop the stand-in, and writing it would stop
    // the core on a terminal with `tostop`; ignored, the read fails with EIO
    // and the write goes through. The core inherits the dispositions.
    ::signal(SIGTTIN, SIG_IGN);
    ::signal(SIGTTOU, SIG_IGN);

    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        std::perror("parent-standin: socketpair");
        return 1;
    }
    // Inherited dispositions do not count (a shell ignores SIGINT for
    // commands it runs in the background): these signals always stop the core.
    for (int number : {SIGINT, SIGTERM, SIGHUP}) {
        ::signal(number, SIG_DFL);
    }
    sigset_t handled;
    sigset_t original;
    sigemptyset(&handled);
    sigaddset(&handled, SIGINT);
    sigaddset(&handled, SIGTERM);
    sigaddset(&handled, SIGHUP);
    sigaddset(&handled, SIGPIPE);
    sigaddset(&handled, SIGCHLD);
    ::sigprocmask(SIG_BLOCK, &handled, &original);
    const int signals = ::signalfd(-1, &handled, SFD_CLOEXEC);
    if (signals < 0) {
        std::perror("parent-standin: signalfd");
        return 1;
    }

    const pid_t standin = ::getpid();
    const pid_t core = ::fork();
    if (core < 0) {
        std::perror("parent-standin: fork");
        return 1;
    }
    if (core == 0) {
        ExecCore(*options, ends[1], standin, original);
    }
    ::setpgid(core, core);
    ::close(ends[1]);
    std::printf("standin: started core %s (pid %d) with descriptor %d\n", options->core.c_str(), static_cast<int>(core),
                ends[1]);
    return Standin(std::move(*options), ends[0], core, signals, readStdin).Run();
}
