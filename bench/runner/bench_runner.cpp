// The benchmark runner: moves the same jobs through the real dvrcore (with
// the benchmark plugins) and through the comparison programs, repeats them,
// and prints one table of medians and spreads, the ratios to the targets, and
// the core's other figures (instructions per event, the cost of a log call
// below its threshold, fan-out, two producers, start-up, resident and
// stripped sizes).
//
//   bench_runner [--smoke] [--repeat N] [--no-valgrind] [--core PATH]
//                [--stripped-native PATH] [--stripped-armhf PATH]
//   bench_runner --footprint [--repeat N] [--core PATH]
//
// --core measures another dvrcore executable (a candidate change) with this
// build's plugins and programs.
// --smoke runs every job once, briefly, and is what the test suite runs: the
// exit status is 0 only when every run ended well and every event arrived
// intact and in order. Figures of a smoke run mean nothing.
// --footprint measures only start-up and the idle resident size and PSS: the
// figures that the virtual device gives for real (scripts/bench.sh --device).
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "core_sandbox.h"
#include "plugin_api.h"

namespace bench {

namespace {

// ---- What is measured, and how much of it. --------------------------------

struct Settings {
    bool smoke = false;
    bool footprint = false;
    int repeats = 5;
    bool valgrind = true;
    std::string core;  // the dvrcore under test; "" = this build's
    std::string strippedNative;
    std::string strippedArmhf;
};

struct Sizes {
    uint32_t payload;
    uint64_t events;  // per producer
};

constexpr uint32_t kKiB = 1024;
constexpr uint32_t kLatencyRate = 10000;
constexpr int kIdlePlugins = 50;
constexpr const char* kStartLine = "successfully started core version";
// The in-flight window of every side-by-side job: what a bounded queue holds
// between its producer and its consumer (ZeroMQ's default high-water mark is
// about as large).
constexpr uint32_t kWindow = 1024;

std::vector<Sizes> ThroughputSizes(const Settings& settings)
{
    if (settings.smoke) {
        return {{0, 2000}, {kKiB, 2000}, {64 * kKiB, 2000}, {256 * kKiB, 500}};
    }
    return {{0, 1000000}, {kKiB, 1000000}, {64 * kKiB, 100000}, {256 * kKiB, 20000}};
}

uint64_t WarmupOf(uint64_t events)
{
    return events / 20;
}

std::string JobText(uint32_t payload, uint64_t events, uint32_t rate = 0, uint32_t producers = 1,
                    const char* mode = "events")
{
    std::ostringstream text;
    text << "payload=" << payload << " events=" << events << " warmup=" << WarmupOf(events) << " rate=" << rate
         << " producers=" << producers << " mode=" << mode;
    return text.str();
}

// A job that dvrcore and every peer run through the same window.
std::string SideBySideJob(uint32_t payload, uint64_t events, uint32_t rate = 0)
{
    return JobText(payload, events, rate) + " window=" + std::to_string(kWindow);
}

milliseconds RunTimeout(const Settings& settings)
{
    return milliseconds(settings.smoke ? 60000 : 300000);
}

// ---- Build products, from the build configuration. ------------------------

struct Products {
    std::string core = BENCH_DVRCORE;
    std::string producer = BENCH_PRODUCER_PLUGIN;
    std::string consumer = BENCH_CONSUMER_PLUGIN;
    std::string idle = BENCH_IDLE_PLUGIN;
    std::string memcpyProgram = BENCH_LIMIT_MEMCPY;
    std::string handoffProgram = BENCH_LIMIT_HANDOFF;
    std::string zmqProgram = BENCH_ZMQ;        // "" when not built
    std::string gstProgram = BENCH_GST;        // "" when not built
    std::string wxBaseProgram = BENCH_WXBASE;  // "" where the core has no wxBase
};

// ---- Failures are collected, reported at the end, and fail the run. -------

std::vector<std::string> failures;

void Failure(const std::string& what, const std::string& detail)
{
    failures.push_back(what + ": " + detail);
    std::fprintf(stderr, "bench: %s: %s\n", what.c_str(), detail.c_str());
}

double Number(const ResultWords& words, const std::string& key)
{
    const auto found = words.find(key);
    return found == words.end() ? 0.0 : std::strtod(found->second.c_str(), nullptr);
}

std::string LastLine(const std::string& text)
{
    std::string trimmed = text;
    while (!trimmed.empty() && (trimmed.back() == '\n' || trimmed.back() == '\r')) {
        trimmed.pop_back();
    }
    const std::size_t start = trimmed.rfind('\n');
    return start == std::string::npos ? trimmed : trimmed.substr(start + 1);
}

// A consumer's words are sound when every event arrived intact and in order.
bool SinkSound(const std::string& what, const ResultWords& words, uint64_t total)
{
    if (words.count("received") == 0) {
        Failure(what, "no result");
        return false;
    }
    if (Number(words, "errors") != 0 || Number(words, "received") != static_cast<double>(total)) {
        const auto error = words.find("first_error");
        Failure(what, "received " + words.at("received") + " of " + std::to_string(total) + ", errors " +
                          words.at("errors") + (error != words.end() ? " (" + error->second + ")" : ""));
        return false;
    }
    return true;
}

bool Available(const std::string& program)
{
    if (program.find('/') != std::string::npos) {
        return ::access(program.c_str(), X_OK) == 0;
    }
    std::stringstream path(std::getenv("PATH") != nullptr ? std::getenv("PATH") : "");
    std::string dir;
    while (std::getline(path, dir, ':')) {
        if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

// ---- Running the comparison programs. --------------------------------------

// Runs `argv` to its end; the words of its last output line, or empty.
ResultWords RunProgram(const std::string& what, const std::vector<std::string>& argv, milliseconds timeout)
{
    ChildOptions options;
    options.argv = argv;
    ChildProcess child(options);
    const int status = child.Wait(timeout);
    if (status != 0) {
        Failure(what, "exit status " + std::to_string(status) + ": " + LastLine(child.output()));
        return {};
    }
    return ParseResultLine(LastLine(child.output()));
}

// ---- Running the real dvrcore. ----------------------------------------------

struct PluginNames {
    std::vector<std::string> consumers;  // result names
    std::vector<std::string> producers;
};

// An unpaced producer runs ahead of the dispatcher and queues a backlog of
// payload blocks; the memory monitor would then throttle the frames (and keep
// throttling while the freed blocks stay resident). The comparison programs
// have no such monitor, so event runs turn it off.
constexpr const char* kConfigurationWithoutMonitor =
    "<?xml version=\"1.0\" ?>\n<Vgil>\n    <Memory Throttling=\"0\" />\n</Vgil>\n";

// One set-up of plugins in its own sandbox.
class CoreSetup {
public:
    CoreSetup(const Products& products, int producers, int consumers) : sandbox_(products.core)
    {
        sandbox_.WriteWorkFile("core.xml", kConfigurationWithoutMonitor);
        for (int i = 0; i < producers; ++i) {
            Add(products.producer, "bench_producer_" + std::to_string(i), &names_.producers);
        }
        for (int i = 0; i < consumers; ++i) {
            Add(products.consumer, "bench_consumer_" + std::to_string(i), &names_.consumers);
        }
    }

    CoreSandbox& sandbox() { return sandbox_; }

    // Runs `job` until every plugin has reported, then stops the core. The
    // words of every result file by name; empty on failure.
    std::map<std::string, ResultWords> Run(const std::string& what, const std::string& job,
                                           const std::vector<std::string>& extraEnv, milliseconds timeout,
                                           const std::string& callgrindOut = "")
    {
        sandbox_.ClearResults();
        ChildOptions options;
        if (!callgrindOut.empty()) {
            options.argv = {"valgrind", "--tool=callgrind", "--callgrind-out-file=" + callgrindOut};
        }
        options.argv.push_back(sandbox_.executable());
        options.env = {"DVRBENCH_JOB=" + job, "DVRBENCH_RESULTS=" + sandbox_.resultsDir()};
        options.env.insert(options.env.end(), extraEnv.begin(), extraEnv.end());
        options.workDir = sandbox_.workDir();
        options.terminal = true;

        std::vector<std::string> expected = names_.producers;
        expected.insert(expected.end(), names_.consumers.begin(), names_.consumers.end());
        ChildProcess core(options);
        const bool reported = core.WaitUntil([&] { return sandbox_.HasResults(expected); }, timeout);
        const int status = core.Stop(SIGTERM, milliseconds(callgrindOut.empty() ? 30000 : 120000));
        if (!reported || status != 0) {
            Failure(what, std::string(reported ? "" : "no result in time; ") + "exit status " + std::to_string(status) +
                              "; last output: " + LastLine(core.output()));
            return {};
        }
        std::map<std::string, ResultWords> results;
        for (const auto& name : expected) {
            results[name] = sandbox_.Result(name);
        }
        for (const auto& name : names_.producers) {
            const ResultWords& words = results[name];
            if (words.count("error") != 0 || Number(words, "stopped") != 0) {
                Failure(what, name + ": " + (words.count("error") != 0 ? words.at("error") : "stopped early"));
                return {};
            }
        }
        return results;
    }

    // The slowest consumer's events per second; 0 when a run failed.
    double EventsPerSecond(const std::string& what, const std::string& job, uint64_t total,
                           const std::vector<std::string>& extraEnv, milliseconds timeout)
    {
        const auto results = Run(what, job, extraEnv, timeout);
        double slowest = 0;
        for (const auto& name : names_.consumers) {
            const auto found = results.find(name);
            if (found == results.end() || !SinkSound(what + " " + name, found->second, total)) {
                return 0;
            }
            const double rate = Number(found->second, "events_per_s");
            slowest = slowest == 0 ? rate : std::min(slowest, rate);
        }
        return slowest;
    }

    const PluginNames& names() const { return names_; }

private:
    void Add(const std::string& library, const std::string& name, std::vector<std::string>* names)
    {
        sandbox_.AddPlugin(library, name + ".so");
        names->push_back(name);
    }

    CoreSandbox sandbox_;
    PluginNames names_;
};

// ---- The contenders of the side-by-side tables. -----------------------------

struct Contender {
    std::string name;
    CoreSetup* core;                // null: a comparison program
    std::vector<std::string> argv;  // the program and its options before the job
    bool largeOnly;                 // shown for 64 KiB and more only
};

struct Figures {
    // contender -> payload -> one value per repetition
    std::map<std::string, std::map<uint32_t, std::vector<double>>> rate;
    std::map<std::string, std::vector<double>> p50;
    std::map<std::string, std::vector<double>> p99;
    std::vector<double> fanOut4;
    std::vector<double> twoProducers;
    std::vector<double> logNs;
    std::vector<double> startIdle;
    std::vector<double> startEmpty;
    std::vector<double> residentKiB;
    std::vector<double> privateKiB;
    std::vector<double> pssKiB;
    std::vector<double> wxBaseKiB;
    std::vector<double> wxBaseFloorKiB;  // limit-wxbase's whole resident size
};

// The sound result words of one contender for one job; empty on failure.
ResultWords RunContender(const Contender& contender, const std::string& job, uint64_t total, const Settings& settings)
{
    const std::string what = contender.name + " [" + job + "]";
    if (contender.core != nullptr) {
        const auto results = contender.core->Run(what, job, {}, RunTimeout(settings));
        const auto found = results.find(contender.core->names().consumers.front());
        if (found == results.end() || !SinkSound(what, found->second, total)) {
            return {};
        }
        return found->second;
    }
    std::vector<std::string> argv = contender.argv;
    argv.insert(argv.begin() + 1, job);
    const ResultWords words = RunProgram(what, argv, RunTimeout(settings));
    if (words.empty() || !SinkSound(what, words, total)) {
        return {};
    }
    return words;
}

// ---- Start-up, resident size, instructions, stripped size. -----------------

struct StartFigures {
    double startMs = -1;      // from the start of the process to its start line
    double residentKiB = -1;  // a second later, when asked for
    double privateKiB = -1;   // of which anonymous (the rest: mapped files)
    double pssKiB = -1;       // proportional set size: shared pages divided among their users
    double wxBaseKiB = -1;    // of which pages of the wxWidgets base library
};

// Resident KiB of the mappings of `pid` whose file name contains `name`.
double ResidentKiBOf(pid_t pid, const std::string& name)
{
    std::ifstream smaps("/proc/" + std::to_string(pid) + "/smaps");
    std::string line;
    bool counting = false;
    double total = 0;
    while (std::getline(smaps, line)) {
        if (!line.empty() && std::isxdigit(static_cast<unsigned char>(line[0])) &&
            line.find('-') != std::string::npos && line.find(':') > line.find(' ')) {
            counting = line.find(name) != std::string::npos;
        } else if (counting && line.rfind("Rss:", 0) == 0) {
            total += std::strtod(line.c_str() + 4, nullptr);
        }
    }
    return total;
}

StartFigures StartCore(CoreSandbox& sandbox, const std::string& what, bool measureResident)
{
    ChildOptions options;
    options.argv = {sandbox.executable()};
    options.workDir = sandbox.workDir();
    options.terminal = true;
    const auto start = Clock::now();
    ChildProcess core(options);
    const bool started =
        core.WaitUntil([&] { return core.output().find(kStartLine) != std::string::npos; }, milliseconds(30000));
    StartFigures figures;
    figures.startMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (started && measureResident) {
        core.WaitUntil([] { return false; }, milliseconds(1000));
        std::ifstream status("/proc/" + std::to_string(core.pid()) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("VmRSS:", 0) == 0) {
                figures.residentKiB = std::strtod(line.c_str() + 6, nullptr);
            } else if (line.rfind("RssAnon:", 0) == 0) {
                figures.privateKiB = std::strtod(line.c_str() + 8, nullptr);
            }
        }
        figures.wxBaseKiB = ResidentKiBOf(core.pid(), "libwx_base");
        std::ifstream rollup("/proc/" + std::to_string(core.pid()) + "/smaps_rollup");
        while (std::getline(rollup, line)) {
            if (line.rfind("Pss:", 0) == 0) {
                figures.pssKiB = std::strtod(line.c_str() + 4, nullptr);
            }
        }
    }
    const int exitStatus = core.Stop(SIGTERM, milliseconds(30000));
    if (!started || exitStatus != 0) {
        Failure(what, std::string(started ? "" : "no start line; ") + "exit status " + std::to_string(exitStatus));
        return {};
    }
    return figures;
}

// Total instructions counted by callgrind in `file`; -1 when unreadable.
double CallgrindTotal(const std::string& file)
{
    std::ifstream in(file);
    std::string line;
    double total = -1;
    while (std::getline(in, line)) {
        if (line.rfind("totals:", 0) == 0 || (total < 0 && line.rfind("summary:", 0) == 0)) {
            total = std::strtod(line.c_str() + line.find(':') + 1, nullptr);
        }
    }
    return total;
}

// Instructions per unit of work: the difference between a short and a long
// run, so start-up and shutdown drop out.
double InstructionsPerUnit(const std::string& what, uint64_t shortRun, uint64_t longRun,
                           const std::function<bool(uint64_t, const std::string&)>& run, const std::string& dir)
{
    double totals[2];
    const uint64_t counts[2] = {shortRun, longRun};
    for (int i = 0; i < 2; ++i) {
        const std::string file = dir + "/callgrind." + std::to_string(i);
        if (!run(counts[i], file) || (totals[i] = CallgrindTotal(file)) < 0) {
            Failure(what, "no instruction count");
            return -1;
        }
    }
    return (totals[1] - totals[0]) / static_cast<double>(longRun - shortRun);
}

// Stripped size in bytes of `binary`; -1 when it or the tool is missing.
double StrippedSize(const std::string& binary, const std::string& tool, const std::string& dir)
{
    if (binary.empty() || ::access(binary.c_str(), R_OK) != 0 || !Available(tool)) {
        return -1;
    }
    const std::string stripped = dir + "/stripped";
    ChildOptions options;
    options.argv = {tool, "-o", stripped, binary};
    ChildProcess strip(options);
    struct stat info {};
    if (strip.Wait(milliseconds(60000)) != 0 || ::stat(stripped.c_str(), &info) != 0) {
        return -1;
    }
    ::unlink(stripped.c_str());
    return static_cast<double>(info.st_size);
}

// ---- Printing. ---------------------------------------------------------------

struct Spread {
    double median = 0;
    double min = 0;
    double max = 0;
    bool valid = false;
};

Spread SpreadOf(std::vector<double> values)
{
    values.erase(std::remove_if(values.begin(), values.end(), [](double v) { return v <= 0; }), values.end());
    Spread spread;
    if (values.empty()) {
        return spread;
    }
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    spread.median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    spread.min = values.front();
    spread.max = values.back();
    spread.valid = true;
    return spread;
}

std::string Scaled(double value)
{
    char text[32];
    if (value >= 1e6) {
        std::snprintf(text, sizeof text, "%.2fM", value / 1e6);
    } else if (value >= 1e4) {
        std::snprintf(text, sizeof text, "%.0fk", value / 1e3);
    } else if (value >= 1e3) {
        std::snprintf(text, sizeof text, "%.1fk", value / 1e3);
    } else {
        std::snprintf(text, sizeof text, "%.0f", value);
    }
    return text;
}

// "3.21M ±4%": the median and half the range, relative to the median.
std::string WithSpread(const Spread& spread, const std::function<std::string(double)>& format)
{
    if (!spread.valid) {
        return "-";
    }
    char text[64];
    std::snprintf(text, sizeof text, "%s ±%.0f%%", format(spread.median).c_str(),
                  50.0 * (spread.max - spread.min) / spread.median);
    return text;
}

std::string PayloadName(uint32_t payload)
{
    return payload == 0            ? "0 B"
           : payload < kKiB * kKiB ? std::to_string(payload / kKiB) + " KiB"
                                   : std::to_string(payload / kKiB / kKiB) + " MiB";
}

// "1.05x", followed by the verdict when there is a `target` (> 0).
std::string Ratio(const Spread& mine, const Spread& theirs, double target = 0)
{
    if (!mine.valid || !theirs.valid) {
        return "-";
    }
    char text[64];
    const double ratio = mine.median / theirs.median;
    std::snprintf(text, sizeof text, "%.2fx%s", ratio, target <= 0 ? "" : ratio >= target ? " ok" : " MISSED");
    return text;
}

void PrintRow(const std::vector<std::string>& cells, const std::vector<int>& widths)
{
    std::string line;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        std::string cell = cells[i];
        const int width = i < widths.size() ? widths[i] : 14;
        // "±" is two bytes but one column.
        const int extra = static_cast<int>(std::count(cell.begin(), cell.end(), '\xc2'));
        if (static_cast<int>(cell.size()) - extra < width) {
            cell.append(static_cast<std::size_t>(width - (static_cast<int>(cell.size()) - extra)), ' ');
        }
        line += cell + " ";
    }
    while (!line.empty() && line.back() == ' ') {
        line.pop_back();
    }
    std::printf("%s\n", line.c_str());
}

std::string Fixed(double value, const char* format)
{
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string Plain(double value)
{
    return Fixed(value, "%.0f");
}

void PrintTables(const Settings& settings, const std::vector<Contender>& contenders, const Figures& figures,
                 const std::map<std::string, double>& single)
{
    const auto sizes = ThroughputSizes(settings);
    auto rateOf = [&](const std::string& name, uint32_t payload) {
        const auto byName = figures.rate.find(name);
        if (byName == figures.rate.end()) {
            return Spread{};
        }
        const auto byPayload = byName->second.find(payload);
        return byPayload == byName->second.end() ? Spread{} : SpreadOf(byPayload->second);
    };

    std::printf(
        "\nThroughput, events/s: one producer thread to one consumer, a %zu-byte record (184 on the device) "
        "plus payload\n",
        sizeof(_EventParmsIn));
    std::vector<std::string> header = {"payload"};
    std::vector<int> widths = {8};
    for (const auto& contender : contenders) {
        header.push_back(contender.name);
        widths.push_back(std::max<int>(13, static_cast<int>(contender.name.size())));
    }
    PrintRow(header, widths);
    for (const auto& size : sizes) {
        std::vector<std::string> row = {PayloadName(size.payload)};
        for (const auto& contender : contenders) {
            row.push_back(WithSpread(rateOf(contender.name, size.payload), Scaled));
        }
        PrintRow(row, widths);
    }

    std::printf("\nThroughput, MB/s of payload (medians)\n");
    PrintRow(header, widths);
    for (const auto& size : sizes) {
        if (size.payload == 0) {
            continue;
        }
        std::vector<std::string> row = {PayloadName(size.payload)};
        for (const auto& contender : contenders) {
            const Spread spread = rateOf(contender.name, size.payload);
            row.push_back(spread.valid ? Plain(spread.median * size.payload / 1e6) : "-");
        }
        PrintRow(row, widths);
    }

    std::printf("\nRatios of medians, dvrcore to each (target; ok or MISSED)\n");
    const std::vector<int> ratioWidths = {8, 16, 16, 16, 16};
    PrintRow({"payload", "limit-handoff", "handoff-no-trim", "zeromq", "gstreamer"}, ratioWidths);
    for (const auto& size : sizes) {
        const bool large = size.payload >= 64 * kKiB;
        const Spread core = rateOf("dvrcore", size.payload);
        auto versus = [&](const std::string& peer, double target) {
            const std::string ratio = Ratio(core, rateOf(peer, size.payload), target);
            return target > 0 ? ">=" + Fixed(target, "%g") + " " + ratio : ratio;
        };
        PrintRow({PayloadName(size.payload),
                  versus("limit-handoff", size.payload == 0 ? 1.5
                                          : large           ? 0.9
                                                            : 1.0),
                  large ? versus("handoff-no-trim", size.payload >= 256 * kKiB ? 1.0 : 0.9) : "-",
                  versus("zeromq", large ? 2 : 1.5), versus("gstreamer", large ? 0 : 5)},
                 ratioWidths);
    }

    std::printf("\nLatency, one way, 0 B events paced at %u/s, microseconds; p99 as a ratio to limit-handoff's\n",
                kLatencyRate);
    const std::vector<int> latencyWidths = {16, 14, 14, 14};
    PrintRow({"", "p50", "p99", "p99/handoff"}, latencyWidths);
    auto micro = [](double ns) { return Fixed(ns / 1000, "%.1f"); };
    auto p99Of = [&](const std::string& name) {
        return SpreadOf(figures.p99.count(name) != 0 ? figures.p99.at(name) : std::vector<double>{});
    };
    const Spread handoffP99 = p99Of("limit-handoff");
    for (const auto& entry : figures.p50) {
        const Spread p99 = p99Of(entry.first);
        PrintRow(
            {entry.first, WithSpread(SpreadOf(entry.second), micro), WithSpread(p99, micro),
             p99.valid && handoffP99.valid && handoffP99.median > 0 ? Fixed(p99.median / handoffP99.median, "%.2fx")
                                                                    : "-"},
            latencyWidths);
    }
    const Spread p50 = SpreadOf(figures.p50.count("dvrcore") ? figures.p50.at("dvrcore") : std::vector<double>{});
    const Spread p99 = p99Of("dvrcore");
    std::printf("dvrcore targets: p50 <= 5 us %s, p99 <= 20 us %s\n",
                !p50.valid           ? "-"
                : p50.median <= 5000 ? "ok"
                                     : "MISSED",
                !p99.valid            ? "-"
                : p99.median <= 20000 ? "ok"
                                      : "MISSED");

    std::printf("\nOther figures of dvrcore (medians)\n");
    auto figure = [&](const std::string& name) {
        const auto found = single.find(name);
        return found == single.end() || found->second < 0 ? std::string("n/a") : Plain(found->second);
    };
    const Spread one = rateOf("dvrcore", 0);
    const Spread four = SpreadOf(figures.fanOut4);
    std::printf(
        "  instructions per dispatched 0 B event (callgrind; raise, dispatch, Write and the benchmark's own "
        "stamping and checks): dvrcore %s, with 4 subscribers %s, limit-handoff %s\n",
        figure("instructions dvrcore").c_str(), figure("instructions fan-out").c_str(),
        figure("instructions handoff").c_str());
    const Spread logNs = SpreadOf(figures.logNs);
    std::printf("  LogMessage below its threshold: %s ns (target <= 20 %s), %s instructions\n",
                WithSpread(logNs, [](double v) { return Fixed(v, "%.1f"); }).c_str(),
                !logNs.valid         ? "-"
                : logNs.median <= 20 ? "ok"
                                     : "MISSED",
                figure("instructions log").c_str());
    const double oneIr = single.count("instructions dvrcore") ? single.at("instructions dvrcore") : -1;
    const double fourIr = single.count("instructions fan-out") ? single.at("instructions fan-out") : -1;
    if (one.valid && four.valid) {
        const double perEvent = one.median / four.median;
        std::printf("  subscribers, 0 B: 1 -> %s events/s, 4 -> %s events/s; cost per event 4/1 = %.2fx by time",
                    WithSpread(one, Scaled).c_str(), WithSpread(four, Scaled).c_str(), perEvent);
        if (oneIr > 0 && fourIr > 0) {
            std::printf(", %.2fx by instructions", fourIr / oneIr);
        }
        const double verdict = oneIr > 0 && fourIr > 0 ? fourIr / oneIr : perEvent;
        std::printf(" (target < 2 %s)\n", verdict < 2 ? "ok" : "MISSED");
    }
    std::printf("  producer threads, 0 B: 1 -> %s events/s, 2 -> %s events/s in all\n", WithSpread(one, Scaled).c_str(),
                WithSpread(SpreadOf(figures.twoProducers), Scaled).c_str());
    auto ms = [](double v) { return Fixed(v, "%.1f"); };
    std::printf("  start-up to \"%s\": %d trivial plugins %s ms, no plugin %s ms\n", kStartLine, kIdlePlugins,
                WithSpread(SpreadOf(figures.startIdle), ms).c_str(),
                WithSpread(SpreadOf(figures.startEmpty), ms).c_str());
    const Spread resident = SpreadOf(figures.residentKiB);
    std::printf(
        "  idle resident size: %s KiB (target <= 4096 %s), of which %s KiB private; the rest are pages of "
        "mapped libraries, %s KiB of them the wxWidgets base library's (its start-up touches them, in both "
        "builds)\n",
        WithSpread(resident, Plain).c_str(),
        !resident.valid           ? "-"
        : resident.median <= 4096 ? "ok"
                                  : "MISSED",
        WithSpread(SpreadOf(figures.privateKiB), Plain).c_str(),
        WithSpread(SpreadOf(figures.wxBaseKiB), Plain).c_str());
    if (!figures.wxBaseFloorKiB.empty()) {
        std::printf("  limit-wxbase, a program that only initialises wxBase as the core does: %s KiB resident\n",
                    WithSpread(SpreadOf(figures.wxBaseFloorKiB), Plain).c_str());
    }
    std::printf("  stripped dvrcore: native %s bytes, armhf %s bytes\n", figure("stripped native").c_str(),
                figure("stripped armhf").c_str());
}

// ---- The whole run. ------------------------------------------------------------

// One repetition of the start-up figures: 50 idle plugins, then none and the
// idle resident size.
void MeasureStart(CoreSandbox& idle, CoreSandbox& empty, Figures& figures)
{
    figures.startIdle.push_back(StartCore(idle, "start-up, idle plugins", false).startMs);
    const StartFigures emptyStart = StartCore(empty, "start-up, no plugin", true);
    figures.startEmpty.push_back(emptyStart.startMs);
    figures.residentKiB.push_back(emptyStart.residentKiB);
    figures.privateKiB.push_back(emptyStart.privateKiB);
    figures.pssKiB.push_back(emptyStart.pssKiB);
    figures.wxBaseKiB.push_back(emptyStart.wxBaseKiB);
}

int RunFootprint(const Settings& settings, CoreSandbox& idle, CoreSandbox& empty)
{
    utsname system{};
    ::uname(&system);
    std::printf("dvrcore footprint on %s %s %s: %d repetition%s; %s\n", system.sysname, system.release, system.machine,
                settings.repeats, settings.repeats == 1 ? "" : "s", idle.executable().c_str());
    std::fflush(stdout);
    Figures figures;
    for (int rep = 0; rep < settings.repeats; ++rep) {
        MeasureStart(idle, empty, figures);
    }
    auto ms = [](double v) { return Fixed(v, "%.1f"); };
    std::printf("  start-up to \"%s\": %d trivial plugins %s ms, no plugin %s ms\n", kStartLine, kIdlePlugins,
                WithSpread(SpreadOf(figures.startIdle), ms).c_str(),
                WithSpread(SpreadOf(figures.startEmpty), ms).c_str());
    std::printf("  idle resident size: %s KiB, of which %s KiB private; PSS %s KiB\n",
                WithSpread(SpreadOf(figures.residentKiB), Plain).c_str(),
                WithSpread(SpreadOf(figures.privateKiB), Plain).c_str(),
                WithSpread(SpreadOf(figures.pssKiB), Plain).c_str());
    for (const auto& failure : failures) {
        std::printf("  failed: %s\n", failure.c_str());
    }
    return failures.empty() ? 0 : 1;
}

int Run(const Settings& settings)
{
    Products products;
    if (!settings.core.empty()) {
        products.core = settings.core;
    }
    const milliseconds timeout = RunTimeout(settings);
    CoreSetup pair(products, 1, 1);
    CoreSetup fanOut(products, 1, 4);
    CoreSetup twoProducers(products, 2, 1);
    CoreSetup logger(products, 1, 0);
    CoreSandbox idle(products.core);
    for (int i = 0; i < kIdlePlugins; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "bench_idle_%02d.so", i);
        idle.AddPlugin(products.idle, name);
    }
    CoreSandbox empty(products.core);
    if (settings.footprint) {
        return RunFootprint(settings, idle, empty);
    }

    std::vector<Contender> contenders = {
        {"dvrcore", &pair, {}, false},
        {"limit-memcpy", nullptr, {products.memcpyProgram}, false},
        {"limit-handoff", nullptr, {products.handoffProgram}, false},
        {"handoff-no-trim", nullptr, {products.handoffProgram, "--no-trim"}, true},
    };
    if (!products.zmqProgram.empty()) {
        contenders.push_back({"zeromq", nullptr, {products.zmqProgram}, false});
    }
    if (!products.gstProgram.empty()) {
        contenders.push_back({"gstreamer", nullptr, {products.gstProgram}, false});
    }

    char loadAverage[64] = "?";
    if (FILE* file = std::fopen("/proc/loadavg", "r")) {
        if (std::fgets(loadAverage, sizeof loadAverage, file) == nullptr) {
            std::strcpy(loadAverage, "?");
        }
        std::fclose(file);
        loadAverage[std::strcspn(loadAverage, "\n")] = '\0';
    }
    std::printf("dvrcore benchmark%s: %d repetition%s, %u CPUs, load average %s at the start\n",
                settings.smoke ? " (smoke run: figures mean nothing)" : "", settings.repeats,
                settings.repeats == 1 ? "" : "s", std::thread::hardware_concurrency(), loadAverage);
    std::printf("dvrcore under test: %s\n", products.core.c_str());
    std::printf("Each figure: median of the repetitions ±half their range, relative to the median.\n");
    std::fflush(stdout);

    Figures figures;
    const auto sizes = ThroughputSizes(settings);
    const uint64_t latencyEvents = settings.smoke ? 300 : 20000;
    const uint64_t logCalls = settings.smoke ? 10000 : 10000000;
    for (int rep = 0; rep < settings.repeats; ++rep) {
        std::fprintf(stderr, "bench: repetition %d of %d\n", rep + 1, settings.repeats);
        // Repetitions interleave the contenders, so that a noisy moment of
        // the shared machine does not fall on one of them only.
        for (const auto& size : sizes) {
            const std::string job = SideBySideJob(size.payload, size.events);
            for (const auto& contender : contenders) {
                if (contender.largeOnly && size.payload < 64 * kKiB) {
                    continue;
                }
                const ResultWords words = RunContender(contender, job, size.events, settings);
                figures.rate[contender.name][size.payload].push_back(Number(words, "events_per_s"));
            }
        }
        const std::string paced = SideBySideJob(0, latencyEvents, kLatencyRate);
        for (const auto& contender : contenders) {
            if (contender.largeOnly) {
                continue;
            }
            const ResultWords words = RunContender(contender, paced, latencyEvents, settings);
            figures.p50[contender.name].push_back(Number(words, "p50_ns"));
            figures.p99[contender.name].push_back(Number(words, "p99_ns"));
        }
        const Sizes& small = sizes.front();
        figures.fanOut4.push_back(
            fanOut.EventsPerSecond("4 subscribers", JobText(0, small.events), small.events, {}, timeout));
        figures.twoProducers.push_back(
            twoProducers.EventsPerSecond("2 producers", JobText(0, small.events, 0, 2), 2 * small.events, {}, timeout));
        const auto logged = logger.Run("log calls", JobText(0, logCalls, 0, 1, "log"), {}, timeout);
        figures.logNs.push_back(logged.empty() ? -1 : Number(logged.begin()->second, "ns_per_call"));
        MeasureStart(idle, empty, figures);
        if (!products.wxBaseProgram.empty()) {
            const ResultWords floor = RunProgram("limit-wxbase", {products.wxBaseProgram}, timeout);
            figures.wxBaseFloorKiB.push_back(Number(floor, "resident_kib"));
        }
    }

    std::map<std::string, double> single;
    if (settings.valgrind && Available("valgrind")) {
        std::fprintf(stderr, "bench: counting instructions\n");
        const std::string dir = pair.sandbox().root();
        // The pair as in the side-by-side table; fan-out has no window (one
        // producer ahead of four consumers).
        auto coreInstructions = [&](CoreSetup& setup, const std::string& what, uint64_t shortRun, uint64_t longRun,
                                    const std::function<std::string(uint64_t)>& job) {
            return InstructionsPerUnit(
                what, shortRun, longRun,
                [&](uint64_t count, const std::string& file) {
                    return !setup.Run(what, job(count), {}, timeout, file).empty();
                },
                dir);
        };
        single["instructions dvrcore"] = coreInstructions(pair, "callgrind dvrcore", 20000, 120000,
                                                          [](uint64_t count) { return SideBySideJob(0, count); });
        single["instructions fan-out"] = coreInstructions(fanOut, "callgrind 4 subscribers", 20000, 120000,
                                                          [](uint64_t count) { return JobText(0, count); });
        single["instructions log"] = coreInstructions(logger, "callgrind log calls", 100000, 1100000,
                                                      [](uint64_t count) { return JobText(0, count, 0, 1, "log"); });
        single["instructions handoff"] = InstructionsPerUnit(
            "callgrind limit-handoff", 20000, 120000,
            [&](uint64_t events, const std::string& file) {
                return !RunProgram("callgrind limit-handoff",
                                   {"valgrind", "--tool=callgrind", "--callgrind-out-file=" + file,
                                    products.handoffProgram, SideBySideJob(0, events)},
                                   timeout)
                            .empty();
            },
            dir);
    }
    single["stripped native"] = StrippedSize(settings.strippedNative, "strip", empty.root());
    single["stripped armhf"] = StrippedSize(settings.strippedArmhf, "arm-linux-gnueabihf-strip", empty.root());

    PrintTables(settings, contenders, figures, single);
    if (!failures.empty()) {
        std::printf("\n%zu run%s failed:\n", failures.size(), failures.size() == 1 ? "" : "s");
        for (const auto& failure : failures) {
            std::printf("  %s\n", failure.c_str());
        }
        return 1;
    }
    return 0;
}

bool ParseSettings(int argc, char** argv, Settings* settings)
{
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (option == "--smoke") {
            settings->smoke = true;
            settings->repeats = 1;
            settings->valgrind = false;
        } else if (option == "--footprint") {
            settings->footprint = true;
        } else if (option == "--no-valgrind") {
            settings->valgrind = false;
        } else if (option == "--repeat" && hasValue && std::atoi(argv[i + 1]) > 0) {
            settings->repeats = std::atoi(argv[++i]);
        } else if (option == "--core" && hasValue) {
            settings->core = argv[++i];
        } else if (option == "--stripped-native" && hasValue) {
            settings->strippedNative = argv[++i];
        } else if (option == "--stripped-armhf" && hasValue) {
            settings->strippedArmhf = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: %s [--smoke] [--repeat N] [--no-valgrind] [--core PATH] [--stripped-native PATH] "
                         "[--stripped-armhf PATH]\n       %s --footprint [--repeat N] [--core PATH]\n",
                         argv[0], argv[0]);
            return false;
        }
    }
    return true;
}

}  // namespace

}  // namespace bench

int main(int argc, char** argv)
{
    bench::Settings settings;
    if (!bench::ParseSettings(argc, argv, &settings)) {
        return 2;
    }
    try {
        return bench::Run(settings);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench: %s\n", error.what());
        return 1;
    }
}
