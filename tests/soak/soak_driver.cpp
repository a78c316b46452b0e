// The soak run: the real core, its parent's stand-in and a crowd of plugins
// working the core for a bounded time; then the figures and a verdict.
//
//   dvrcore_soak [--seconds N] [--episode-seconds N] [--no-episodes]
//
// N defaults to the environment variable DVR_SOAK_SECONDS, else 240. Three
// producers raise video, audio and general events as fast as the core takes
// them; two consumers check every stream; a broadcaster sends requests that
// two responders answer (and cancels some); a plugin sends configuration
// deltas; another takes 200 MiB for a moment every episode interval, so that
// the core throttles frames; the link plugin and the stand-in exchange
// packets both ways. The driver samples the core's resident memory once a
// second. At the end it checks that every admitted event reached each
// consumer exactly once and in order, that the parent and the link plugin
// got every packet the other sent, that no payload block was left, that the
// core stopped with status 0 and (for runs of two minutes or more) that
// resident memory stayed flat after warm-up. It prints the figures and one
// summary line; the exit status is 0 when every check held.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core_process.h"
#include "plugin_reports.h"
#include "soak_traffic.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kPlugins[] = {
    "soak_producer_a",  "soak_producer_b",  "soak_producer_c", "soak_consumer_a", "soak_consumer_b", "soak_responder_a",
    "soak_responder_b", "soak_broadcaster", "soak_config",     "soak_memory",     "soak_link",
};
// Packets from the parent: this many every 100 ms.
constexpr int kPacketsPerTick = 2;
// Runs this long or longer are judged on their memory.
constexpr int kMemoryJudgedFrom = 120;
// Resident memory may end this much above its floor after warm-up.
constexpr int64_t kMemorySlack = 16 * 1024 * 1024;
constexpr double kMemorySlackShare = 0.15;
// Time for start-up and shutdown beyond the run itself (emulated builds are slow).
constexpr auto kMargin = 240s;

struct Options {
    int seconds = 240;
    int episodeSeconds = 40;
    bool episodes = true;
};

bool ParseOptions(int argc, char** argv, Options* options)
{
    if (const char* seconds = std::getenv("DVR_SOAK_SECONDS")) {
        options->seconds = std::atoi(seconds);
    }
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            options->seconds = std::atoi(argv[++i]);
        } else if (arg == "--episode-seconds" && i + 1 < argc) {
            options->episodeSeconds = std::atoi(argv[++i]);
        } else if (arg == "--no-episodes") {
            options->episodes = false;
        } else {
            return false;
        }
    }
    return options->seconds > 0 && options->episodeSeconds > 0;
}

// The stand-in's commands: packets for the link plugin at a steady pace, then
// the word that no more beats are wanted, a pause, and the stop packet.
std::string Schedule(int seconds, int* packets)
{
    std::ostringstream commands;
    *packets = 0;
    for (int tick = 0; tick < seconds * 10; ++tick) {
        for (int i = 0; i < kPacketsPerTick; ++i) {
            char payload[17];
            std::snprintf(payload, sizeof payload, "%016x", static_cast<unsigned>(++*packets));
            commands << "send " << SOAK_LINK_INDEX << ' ' << SOAK_PACKET_FROM_PARENT << ' ' << payload << '\n';
        }
        commands << "sleep 100\n";
    }
    commands << "send " << SOAK_LINK_INDEX << ' ' << SOAK_PACKET_QUIET << "\nsleep 1500\nstop\n";
    return commands.str();
}

std::size_t CountLines(const std::string& text, const std::string& needle)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

// Resident bytes of a process, 0 when it is gone.
int64_t ResidentBytes(pid_t pid)
{
    unsigned long size = 0;
    unsigned long resident = 0;
    std::FILE* statm = std::fopen(("/proc/" + std::to_string(pid) + "/statm").c_str(), "r");
    if (statm == nullptr) {
        return 0;
    }
    const int read = std::fscanf(statm, "%lu %lu", &size, &resident);
    std::fclose(statm);
    return read == 2 ? static_cast<int64_t>(resident) * ::sysconf(_SC_PAGESIZE) : 0;
}

class Verdict {
public:
    void Check(bool holds, const std::string& what)
    {
        if (!holds) {
            std::printf("soak: FAILED: %s\n", what.c_str());
            failed_ = true;
        }
    }
    bool Failed() const { return failed_; }

private:
    bool failed_ = false;
};

std::string Mebibytes(int64_t bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

// Lowest sample in [from, to) of the run's length, as fractions.
int64_t Floor(const std::vector<int64_t>& samples, double from, double to)
{
    const auto begin = static_cast<std::size_t>(samples.size() * from);
    const auto end = std::max(begin + 1, static_cast<std::size_t>(samples.size() * to));
    int64_t lowest = INT64_MAX;
    for (std::size_t i = begin; i < end && i < samples.size(); ++i) {
        lowest = std::min(lowest, samples[i]);
    }
    return lowest == INT64_MAX ? 0 : lowest;
}

// What one run left behind.
struct Run {
    int status = -1;
    double seconds = 0;
    std::string output;             // the stand-in's, the core's log included
    std::vector<int64_t> resident;  // the core's resident bytes, once a second
    std::string reports;            // the plugins' figures
};

Run RunCore(const Options& options)
{
    dvrtest::CoreLayout layout;
    for (const char* plugin : kPlugins) {
        layout.AddPlugin(plugin);
    }
    // Level 0 for the core: the leak report is a level-0 message.
    dvrtest::WriteFile(layout.workDir() + "/core.xml", dvrtest::CoreXmlWithLevels(0));
    int parentPackets = 0;
    const std::string commands = layout.root() + "/commands.txt";
    dvrtest::WriteFile(commands, Schedule(options.seconds, &parentPackets));
    // The plugins read these; the core inherits them through the stand-in.
    ::setenv("DVR_SOAK_EPISODES", options.episodes ? "1" : "0", 1);
    ::setenv("DVR_SOAK_EPISODE_S", std::to_string(options.episodeSeconds).c_str(), 1);

    dvrtest::ProcessOptions process;
    process.program = dvrtest::BuiltProgram("parent-standin");
    for (const std::string& word : dvrtest::Launcher()) {
        process.args.insert(process.args.end(), {"--launcher", word});
    }
    process.args.insert(process.args.end(), {"--workdir", layout.workDir(), layout.executable()});
    process.workDir = layout.workDir();
    process.terminal = true;
    process.stdinPath = commands;
    std::printf("soak: %d s, %d packets from the parent, memory episodes %s\n", options.seconds, parentPackets,
                options.episodes ? ("every " + std::to_string(options.episodeSeconds) + " s").c_str() : "off");

    Run run;
    const auto started = Clock::now();
    const auto deadline = started + std::chrono::seconds(options.seconds) + kMargin;
    dvrtest::Process standin(process);
    pid_t core = 0;
    while (standin.Running() && Clock::now() < deadline) {
        if (core == 0) {
            const std::string output = standin.Output();
            const std::size_t at = output.find("(pid ");
            if (at != std::string::npos) {
                core = static_cast<pid_t>(std::atoi(output.c_str() + at + 5));
            }
        } else if (const int64_t bytes = ResidentBytes(core)) {
            run.resident.push_back(bytes);
        }
        std::this_thread::sleep_for(1s);
    }
    run.status = standin.Wait(std::chrono::duration_cast<dvrtest::milliseconds>(
        std::max<Clock::duration>(deadline - Clock::now(), Clock::duration(10s))));
    run.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    run.output = standin.Output();
    run.reports = dvrtest::ReadFile(layout.workDir() + "/" + SOAK_REPORT);
    return run;
}

// Checks the run; prints the figures and the summary line. True when every
// check held.
bool Judge(const Options& options, const Run& run)
{
    const PluginReports reports(run.reports);
    Verdict verdict;
    verdict.Check(run.status == 0, "the core ended with status " + std::to_string(run.status));

    // Every admitted event of every producer stream reached both consumers,
    // once, in order.
    const PluginReports::StreamCheck streams = reports.CheckStreams(2);
    for (const std::string& failure : streams.failures) {
        verdict.Check(false, failure);
    }
    uint64_t lost = streams.lost;
    verdict.Check(reports.Sum("producer", "errors") == 0, "a producer saw its own events damaged or out of order");
    verdict.Check(streams.events > 0, "no producer event was admitted");

    // Replies: both consumers got every admitted reply, in order per request.
    const uint64_t replies = reports.Sum("responder", "replies");
    auto consumerLines = reports.lines.equal_range("consumer");
    for (auto consumer = consumerLines.first; consumer != consumerLines.second; ++consumer) {
        const auto& seen = consumer->second;
        if (seen.size() < 2 || seen[1] != "replies") {
            continue;
        }
        const uint64_t received = PluginReports::Value(seen, "replies");
        const uint64_t damage = PluginReports::Value(seen, "lost") + PluginReports::Value(seen, "disorder") +
                                PluginReports::Value(seen, "corrupted");
        lost += (replies > received ? replies - received : received - replies) + damage;
        verdict.Check(received == replies && damage == 0,
                      "consumer " + seen[0] + " got " + std::to_string(received) + " of " + std::to_string(replies) +
                          " replies (" + std::to_string(damage) + " lost, out of order or damaged)");
    }
    verdict.Check(reports.Sum("broadcaster", "strays") == reports.Sum("broadcaster", "strayrefused"),
                  "a reply from a thread that is no reader was admitted");

    // Packets both ways.
    const uint64_t linkReceived = reports.Sum("link", "received");
    const uint64_t linkSent = reports.Sum("link", "sent");
    const std::size_t parentSent =
        CountLines(run.output, "standin: sending packet for plugin " + std::to_string(SOAK_LINK_INDEX) + " type " +
                                   std::to_string(SOAK_PACKET_FROM_PARENT) + " ");
    const std::size_t parentReceived = CountLines(run.output, "standin: received ");
    lost += (parentSent > linkReceived ? parentSent - linkReceived : 0) +
            (linkSent > parentReceived ? linkSent - parentReceived : 0) + reports.Sum("link", "bad");
    verdict.Check(linkReceived == parentSent && reports.Sum("link", "bad") == 0,
                  "the link plugin got " + std::to_string(linkReceived) + " of " + std::to_string(parentSent) +
                      " packets from the parent");
    verdict.Check(parentReceived == linkSent, "the parent got " + std::to_string(parentReceived) + " of " +
                                                  std::to_string(linkSent) + " packets from the link plugin");

    // Configuration deltas: each changes a threshold, so each is saved and
    // published (the last one or two may meet the stop).
    const uint64_t deltas = reports.Sum("config", "deltas");
    const uint64_t publications = reports.Sum("config", "publications");
    verdict.Check(
        publications + 1 >= deltas && publications <= deltas + 1,
        std::to_string(publications) + " configuration publications for " + std::to_string(deltas) + " deltas");

    // Memory episodes throttle frames.
    const uint64_t episodes = reports.Sum("memory", "episodes");
    const uint64_t throttled = reports.Sum("producer", "throttled");
    if (options.episodes && options.seconds >= 10) {
        verdict.Check(episodes > 0 && throttled > 0, "no throttling episode took effect");
    }

    const std::size_t leaked = CountLines(run.output, "leaked by plugins");
    lost += leaked;
    verdict.Check(leaked == 0, "payload blocks were left at exit");

    // Resident memory after warm-up (the first quarter): the floor of the
    // last quarter against the floor of the second (floors step over the
    // injected episodes).
    const int64_t peak = run.resident.empty() ? 0 : *std::max_element(run.resident.begin(), run.resident.end());
    const int64_t warm = Floor(run.resident, 0.25, 0.5);
    const int64_t end = Floor(run.resident, 0.75, 1.0);
    std::printf("soak: resident memory: peak %s, after warm-up %s, at the end %s (%zu samples)\n",
                Mebibytes(peak).c_str(), Mebibytes(warm).c_str(), Mebibytes(end).c_str(), run.resident.size());
    if (options.seconds >= kMemoryJudgedFrom) {
        const auto slack = std::max<int64_t>(kMemorySlack, static_cast<int64_t>(warm * kMemorySlackShare));
        verdict.Check(end <= warm + slack, "resident memory grew from " + Mebibytes(warm) + " to " + Mebibytes(end));
    }

    const uint64_t events = streams.events + replies + deltas;
    const uint64_t cancelled = reports.Sum("broadcaster", "cancelled");
    const uint64_t strayReplies = reports.Sum("broadcaster", "strays");
    const uint64_t strayReleases = reports.Sum("producer", "strays");
    const uint64_t doubleReleases = reports.Sum("consumer", "twice");
    const uint64_t faults = episodes + cancelled + strayReplies + strayReleases + doubleReleases;
    std::printf(
        "soak: events %" PRIu64 " (frames %" PRIu64 ", general %" PRIu64 ", replies %" PRIu64 ", requests %" PRIu64
        ", deltas %" PRIu64 "), packets %zu from and %zu to the parent, payload %" PRIu64 " bytes\n",
        events, streams.frames, streams.events - streams.frames, replies, reports.Sum("broadcaster", "requests"),
        deltas, parentSent, parentReceived, reports.Sum("producer", "bytes"));
    std::printf("soak: faults injected %" PRIu64 " (memory episodes %" PRIu64 ", cancelled requests %" PRIu64
                ", replies from no reader %" PRIu64 ", stray releases %" PRIu64 ", double releases %" PRIu64
                "); frames refused %" PRIu64 " (throttled %" PRIu64 ")\n",
                faults, episodes, cancelled, strayReplies, strayReleases, doubleReleases,
                throttled + reports.Sum("producer", "nosync") + reports.Sum("producer", "limit"), throttled);
    std::printf("soak: %s after %.0f s: %" PRIu64 " events handled, %" PRIu64 " faults injected, lost %" PRIu64
                ", peak resident %s\n",
                verdict.Failed() ? "FAILED" : "passed", run.seconds, events + parentSent + parentReceived, faults, lost,
                Mebibytes(peak).c_str());
    return !verdict.Failed();
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        std::fprintf(stderr, "usage: dvrcore_soak [--seconds N] [--episode-seconds N] [--no-episodes]\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const Run run = RunCore(options);
    if (Judge(options, run)) {
        return 0;
    }
    constexpr std::size_t kShown = 20000;
    std::printf("soak: the end of the stand-in's output:\n%s\n",
                run.output.substr(run.output.size() > kShown ? run.output.size() - kShown : 0).c_str());
    return 1;
}
