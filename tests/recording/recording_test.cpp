// Recording end to end: the real core runs the example recorder, catalog and
// bridge with the stream_camera test plugin, which raises the access units of
// H.264 and H.265 streams made here with the ffmpeg tool; ffprobe and ffmpeg,
// readers independent of the recorder, check every file it leaves.
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bridge_packets.h"
#include "core_process.h"
#include "media_libraries.h"
#include "recordings_index.h"
#include "recordings_layout.h"
#include "test_paths.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kTimeout = 90s;
constexpr char kBridgeIndex[] = "68";  // the example bridge's providerIndex

struct CommandResult {
    int status;
    std::string output;  // standard output and error
};

CommandResult Run(const std::string& command)
{
    CommandResult result{-1, ""};
    if (std::FILE* pipe = ::popen((command + " 2>&1").c_str(), "r")) {
        char chunk[4096];
        for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
            result.output.append(chunk, got);
        }
        result.status = ::pclose(pipe);
    }
    return result;
}

// A path as one word of a shell command; camera directories may hold spaces.
std::string Quoted(const std::string& path)
{
    return "'" + path + "'";
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    return lines;
}

// 96 frames at 25 frames a second, a sync frame every `gop` (a divisor of
// 96): every loop of the camera starts at a sync frame. "noise" makes frames
// of some 40 KB that fill a disk quickly.
std::string MakeStream(const std::string& dir, const std::string& codec, int gop = 12,
                       const std::string& source = "testsrc")
{
    const std::string g = std::to_string(gop);
    const std::string path = dir + "/" + source + "-" + g + "." + codec;
    const std::string encoder =
        codec == "h264"
            ? "-c:v libx264 -preset ultrafast -bf 0 -g " + g + " -keyint_min " + g + " -sc_threshold 0 -f h264"
            : "-c:v libx265 -preset ultrafast -x265-params keyint=" + g + ":min-keyint=" + g +
                  ":scenecut=0:bframes=0:repeat-headers=1:log-level=error -f hevc";
    const std::string input =
        source == "noise" ? "nullsrc=size=320x240:rate=25,geq=random(1)*255:128:128" : "testsrc=size=320x240:rate=25";
    const CommandResult made =
        Run("ffmpeg -v error -y -f lavfi -i \"" + input + "\" -frames:v 96 -pix_fmt yuv420p " + encoder + " " + path);
    EXPECT_EQ(0, made.status) << made.output;
    return path;
}

// The MD5 of every decoded video frame of a file, in order.
std::vector<std::string> FrameDigests(const std::string& path)
{
    std::vector<std::string> digests;
    for (const std::string& line : Lines(Run("ffmpeg -v error -i " + Quoted(path) + " -map 0:v -f framemd5 -").output)) {
        if (line[0] != '#') {
            digests.push_back(line.substr(line.rfind(',') + 1));
        }
    }
    return digests;
}

// What an independent reader finds in one segment; failures are test failures.
struct Segment {
    std::string path;
    std::vector<std::string> digests;
    double seconds = 0;  // media duration
    double shownSeconds = 0;  // from the first frame shown to the end of the last
};

Segment CheckSegment(const std::string& path, const std::string& tag)
{
    Segment segment{path, {}, 0};
    const CommandResult probe =
        Run("ffprobe -v error -select_streams v:0 -show_entries stream=codec_tag_string -of csv=p=0 " + Quoted(path));
    EXPECT_EQ(0, probe.status) << path << ": " << probe.output;
    EXPECT_EQ(tag + "\n", probe.output) << path;
    // Decoding alone: passthrough keeps ffmpeg from re-timing frames to a
    // constant rate, and the file's own time base from rounding two frames
    // of a jittery live source into one tick of the nominal rate; either
    // would be reported as timestamps going back.
    const CommandResult decode =
        Run("ffmpeg -v error -i " + Quoted(path) + " -fps_mode passthrough -enc_time_base -1 -f null -");
    EXPECT_EQ(0, decode.status) << path;
    EXPECT_EQ("", decode.output) << path << " decodes with errors";
    // Lines of "pts,duration,flags".
    const std::vector<std::string> packets = Lines(
        Run("ffprobe -v error -select_streams v:0 -show_entries packet=pts_time,duration_time,flags -of csv=p=0 " +
            Quoted(path))
            .output);
    EXPECT_FALSE(packets.empty()) << path;
    if (!packets.empty()) {
        EXPECT_EQ('K', packets[0][packets[0].rfind(',') + 1]) << path << " starts with a sync frame";
    }
    double first = 0;
    double end = 0;
    for (const std::string& packet : packets) {
        const double shown = std::atof(packet.c_str());
        const double duration = std::atof(packet.c_str() + packet.find(',') + 1);
        first = &packet == &packets[0] ? shown : std::min(first, shown);
        end = std::max(end, shown + duration);
        segment.seconds += duration;
    }
    segment.shownSeconds = end - first;
    segment.digests = FrameDigests(path);
    EXPECT_EQ(packets.size(), segment.digests.size()) << path;
    return segment;
}

std::vector<Segment> CheckCamera(const std::string& root, const std::string& camera, const std::string& tag)
{
    std::vector<Segment> segments;
    for (const dvrexample::SegmentFileEntry& file : dvrexample::ListSegmentFiles(root)) {
        if (file.camera == camera) {
            segments.push_back(CheckSegment(root + "/" + file.name, tag));
        }
    }
    return segments;
}

// No file of zero bytes anywhere under `root`.
std::string EmptyFiles(const std::string& root)
{
    return Run("find " + root + " -type f -size 0").output;
}

// The recorder's environment, set for the core this test starts and unset
// afterwards.
class Environment {
public:
    void Set(const std::string& name, const std::string& value)
    {
        ::setenv(name.c_str(), value.c_str(), 1);
        names_.push_back(name);
    }
    ~Environment()
    {
        for (const std::string& name : names_) {
            ::unsetenv(name.c_str());
        }
    }

private:
    std::vector<std::string> names_;
};

// A tmpfs mounted at a new directory for the test's life (root only).
class MountedDisk {
public:
    MountedDisk(std::string path, const char* options) : path_(std::move(path))
    {
        ok_ = ::mkdir(path_.c_str(), 0755) == 0 && ::mount("tmpfs", path_.c_str(), "tmpfs", 0, options) == 0;
    }
    ~MountedDisk()
    {
        if (ok_) {
            ::umount2(path_.c_str(), MNT_DETACH);
        }
    }
    MountedDisk(const MountedDisk&) = delete;
    MountedDisk& operator=(const MountedDisk&) = delete;

    bool ok() const { return ok_; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    bool ok_ = false;
};

class Recording : public testing::Test {
protected:
    Recording()
    {
        for (const char* plugin : {"recorder", "catalog", "bridge"}) {
            dvrtest::CopyFile(std::string(DVRCORE_RECORDER_PLUGIN_DIR) + "/" + plugin + ".so",
                              layout_.pluginDir() + "/" + plugin + ".so");
        }
        layout_.AddPlugin("stream_camera");
        dvrtest::WriteFile(layout_.workDir() + "/core.xml", dvrtest::CoreXmlWithLevels(2));
    }

    // The core under the stand-in, running `commands`; its output once it has exited.
    std::string RunStandin(const std::vector<std::string>& commands, const std::vector<std::string>& options = {})
    {
        std::vector<std::string> arguments = options;
        for (const std::string& command : commands) {
            arguments.insert(arguments.end(), {"--do", command});
        }
        dvrtest::Process standin(dvrtest::StandinOptions(layout_, arguments));
        EXPECT_EQ(0, standin.Wait(kTimeout)) << standin.Output() << standin.Errors();
        const std::string output = standin.Output();
        EXPECT_EQ(std::string::npos, output.find("leaked by plugins")) << output;
        last_ = output;
        return output;
    }

    // The "recording" lines of a recordings query, with its closing line;
    // asked once the recorder has had time to reconcile the index with the
    // files, which it does first thing.
    std::vector<std::string> Query(const std::string& camera)
    {
        const std::string output = RunStandin(
            {"sleep 3000", "recordings " + std::string(kBridgeIndex) + " " + camera, "wait-packets 1 20000", "stop"});
        std::vector<std::string> listed;
        for (const std::string& line : Lines(output)) {
            if (line.rfind("standin: recording ", 0) == 0 || line.find(" recordings listed") != std::string::npos) {
                listed.push_back(line);
            }
        }
        return listed;
    }

    std::string root() const { return layout_.workDir() + "/recordings"; }

    // A segment recorded from `stream` for a few seconds, copied to
    // `model.mp4`, the recordings removed: the model of an archive's files.
    std::string RecordModel(const std::string& stream)
    {
        ::setenv("DVRCORE_TEST_STREAMS", ("model=" + stream).c_str(), 1);
        RunStandin({"sleep 6000", "stop"});  // a loaded machine may take seconds to start
        ::unsetenv("DVRCORE_TEST_STREAMS");
        const std::vector<dvrexample::SegmentFileEntry> files = dvrexample::ListSegmentFiles(root());
        if (files.empty()) {
            ADD_FAILURE() << "nothing recorded: " << last_;
            return "";
        }
        const std::string model = layout_.root() + "/model.mp4";
        EXPECT_EQ(0, ::Run("cp " + Quoted(root() + "/" + files.front().name) + " " + model).status);
        EXPECT_EQ(0, ::Run("rm -r " + Quoted(root())).status);
        return model;
    }

    std::string last_;  // output of the last stand-in run

    dvrtest::CoreLayout layout_;
    Environment environment_;
};

// Fails unless the frames of `segments`, one after another, are the frames
// of `source` (looped) from its first, `expectedFrames` of them (0: any
// number).
void ExpectConsecutiveFrames(const std::vector<Segment>& segments, const std::vector<std::string>& source,
                             std::size_t expectedFrames)
{
    std::vector<std::string> recorded;
    for (const Segment& segment : segments) {
        recorded.insert(recorded.end(), segment.digests.begin(), segment.digests.end());
    }
    ASSERT_FALSE(source.empty());
    ASSERT_FALSE(recorded.empty());
    if (expectedFrames > 0) {
        EXPECT_EQ(expectedFrames, recorded.size()) << "every frame raised is on disk, once";
    }
    EXPECT_EQ(source[0], recorded[0]) << "the first frame is the stream's first";
    for (std::size_t i = 0; i < recorded.size(); ++i) {
        ASSERT_EQ(source[i % source.size()], recorded[i]) << "frame " << i << " differs from the one raised";
    }
}

// A plugin that takes the recorder's id and loads first: the refusal of the
// recorder names both files at the core's default threshold, and the status
// line says, before anything else, that the recorder is missing.
TEST_F(Recording, APluginHoldingTheRecordersIdIsNamedAndTheStatusLineMissesTheRecorder)
{
    ASSERT_EQ(0, std::remove((layout_.workDir() + "/core.xml").c_str()));  // the default thresholds
    layout_.AddPlugin("tp_recorder_id", "archiver.so");
    environment_.Set("DVRCORE_TEST_STREAMS", "gate=" + MakeStream(layout_.root(), "h264"));
    const std::string output =
        RunStandin({"sleep " + std::to_string(dvrexample::kRecorderSilenceSeconds * 1000 + 3000), "stop"},
                   {"--status", kBridgeIndex});
    EXPECT_NE(output.find("plugin recorder.so refused: its ID 0x00420000 is held by archiver.so"), std::string::npos)
        << output;
    EXPECT_NE(output.find("standin: status: recorder missing: no counters from it for "), std::string::npos) << output;
    EXPECT_TRUE(dvrexample::ListSegmentFiles(root()).empty()) << output;
}

TEST_F(Recording, SegmentsPlayHoldEveryFrameAndTheIndexSurvivesItsLoss)
{
    const std::string h264 = MakeStream(layout_.root(), "h264");
    const std::string h265 = MakeStream(layout_.root(), "h265");
    environment_.Set("DVRCORE_TEST_STREAMS", "front door=" + h264 + ",yard=" + h265);
    environment_.Set("DVRCORE_SEGMENT_SECONDS", "3");
    environment_.Set("DVRCORE_TEST_RUN_FRAMES", "240");  // a new run after 9.6 s, a second of silence
    const std::string output = RunStandin({"sleep 14000", "stop"}, {"--status", kBridgeIndex});
    // The status line shows each camera.
    EXPECT_TRUE(std::regex_search(
        output,
        std::regex(
            R"(\| front door recording [1-9]\d* frames [\d.]+ MiB [1-9]\d* segments 0 dropped \| yard recording)")))
        << output;
    const std::size_t lastStatus = output.rfind("status: ");
    EXPECT_EQ(std::string::npos,
              output.substr(lastStatus, output.find('\n', lastStatus) - lastStatus).find("recorder missing"))
        << output;

    // Each camera: segments cut at 3 s boundaries and at the new run, each
    // playable on its own; together every frame raised, in order.
    std::map<std::string, std::size_t> raised;
    for (const std::string& line : Lines(dvrtest::ReadFile(layout_.workDir() + "/stream-camera.txt"))) {
        raised[line.substr(0, line.rfind(" raised "))] = std::stoul(line.substr(line.rfind(' ') + 1));
    }
    ASSERT_EQ(2u, raised.size()) << output;
    const std::vector<Segment> front = CheckCamera(root(), "front door", "avc1");
    const std::vector<Segment> yard = CheckCamera(root(), "yard", "hvc1");
    EXPECT_GE(front.size(), 4u) << output;
    EXPECT_GE(yard.size(), 4u) << output;
    ExpectConsecutiveFrames(front, FrameDigests(h264), raised["front door"]);
    ExpectConsecutiveFrames(yard, FrameDigests(h265), raised["yard"]);
    for (const Segment& segment : front) {
        EXPECT_LE(segment.seconds, 3.0 + 0.5) << segment.path << ": cut at the first sync frame after 3 s";
    }
    EXPECT_EQ("", EmptyFiles(root()));

    // The index lists every segment, with the second of silence between the
    // runs as a gap; lost, it is rebuilt from the files alone.
    environment_.Set("DVRCORE_TEST_STREAMS", "");
    const std::vector<std::string> listed = Query("\"front door\"");
    ASSERT_EQ(front.size() + 1, listed.size()) << last_;
    EXPECT_EQ("standin: " + std::to_string(front.size()) + " recordings listed", listed.back());
    EXPECT_NE(std::string::npos, listed[0].find(", run 1")) << listed[0];
    EXPECT_NE(std::string::npos, listed[front.size() - 1].find(", run 2")) << listed[front.size() - 1];
    std::vector<std::pair<double, double>> times;  // seconds into the minute... of start and end
    const std::regex span(R"(from \S+T\d\d:(\d\d):(\d\d\.\d+)Z to \S+T\d\d:(\d\d):(\d\d\.\d+)Z)");
    for (std::size_t i = 0; i + 1 < listed.size(); ++i) {
        std::smatch match;
        ASSERT_TRUE(std::regex_search(listed[i], match, span)) << listed[i];
        times.emplace_back(std::stod(match[1]) * 60 + std::stod(match[2]),
                           std::stod(match[3]) * 60 + std::stod(match[4]));
    }
    double largestGap = 0;
    for (std::size_t i = 1; i < times.size(); ++i) {
        double gap = times[i].first - times[i - 1].second;
        gap += gap < -1800 ? 3600 : 0;  // across the hour
        largestGap = std::max(largestGap, gap);
        EXPECT_GT(gap, -0.01) << "segments never overlap";
    }
    EXPECT_GT(largestGap, 0.9) << "the silence between the runs shows";
    EXPECT_LT(largestGap, 1.5);

    ASSERT_EQ(0, ::unlink((root() + "/recordings.db").c_str()));
    ::unlink((root() + "/recordings.db-wal").c_str());
    ::unlink((root() + "/recordings.db-shm").c_str());
    EXPECT_EQ(listed, Query("\"front door\""));
    EXPECT_EQ("standin: 0 recordings listed", Query("nobody").back());
}

// UTC nanoseconds now.
int64_t WallNow()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

TEST_F(Recording, KilledCoreLosesAtMostAboutASecondAndEveryFilePlays)
{
    // Sync frames 1.92 s apart: fragments are cut at one second of media.
    const std::string h264 = MakeStream(layout_.root(), "h264", 48);
    environment_.Set("DVRCORE_TEST_STREAMS", "porch=" + h264);
    int64_t killedAt = 0;
    {
        dvrtest::Process core(dvrtest::CoreOptions(layout_));
        ASSERT_TRUE(core.WaitForOutput("successfully started core version", kTimeout)) << core.Output();
        std::this_thread::sleep_for(6700ms);
        killedAt = WallNow();
        core.Signal(SIGKILL);
        EXPECT_EQ(128 + SIGKILL, core.Wait(kTimeout));
    }
    // The next start cuts the torn tail, if the kill left one.
    environment_.Set("DVRCORE_TEST_STREAMS", "");
    {
        dvrtest::Process core(dvrtest::CoreOptions(layout_));
        ASSERT_TRUE(core.WaitForOutput("checked against the index", kTimeout)) << core.Output();
        core.Signal(SIGTERM);
        EXPECT_EQ(0, core.Wait(kTimeout)) << core.Output();
    }
    // Two segments when the run crossed a minute of the wall clock.
    const std::vector<Segment> segments = CheckCamera(root(), "porch", "avc1");
    ASSERT_GE(segments.size(), 1u);
    ASSERT_LE(segments.size(), 2u);
    ExpectConsecutiveFrames(segments, FrameDigests(h264), 0);
    const Segment& last = segments.back();
    const std::string name = last.path.substr(last.path.rfind('/') + 1);
    const int64_t endNs = *dvrexample::SegmentStartFromName(name) + static_cast<int64_t>(last.seconds * 1e9);
    EXPECT_LT(static_cast<double>(killedAt - endNs) / 1e9, 1.6) << "lost before the kill";
    double seconds = 0;
    for (const Segment& segment : segments) {
        seconds += segment.seconds;
    }
    EXPECT_GT(seconds, 4.0);
}

// The recorder's summary at the stop: frames dropped and write errors.
std::pair<long, long> DroppedAndErrors(const std::string& output)
{
    std::smatch match;
    if (!std::regex_search(
            output, match,
            std::regex(R"(frames recorded, \d+ bytes written, (\d+) frames dropped, (\d+) write errors)"))) {
        ADD_FAILURE() << "no summary in " << output;
        return {-1, -1};
    }
    return {std::stol(match[1]), std::stol(match[2])};
}

// A file system of 8 MiB, with recordings at about 1 MB a second: first the
// low-water mark keeps room, then the reserve for the measured bitrate alone
// (half the disk here), then without either the disk runs full.
TEST_F(Recording, FullDiskDeletesTheOldestSegmentsAndRecordingGoesOn)
{
    const MountedDisk mounted(layout_.root() + "/disk", "size=8m");
    if (!mounted.ok()) {
        GTEST_SKIP() << "cannot mount a small file system here (needs root)";
    }
    const std::string& disk = mounted.path();
    const std::string noise = MakeStream(layout_.root(), "h264", 12, "noise");
    environment_.Set("DVRCORE_TEST_STREAMS", "garden=" + noise);
    // The settings file as an operator writes it, with a slip; the
    // environment overrides the low-water mark.
    dvrtest::WriteFile(layout_.workDir() + "/recorder.conf",
                       "# recordings on the small disk\n"
                       "recordings = " +
                           disk +
                           "/recordings\n"
                           "segment_seconds = 2\n"
                           "disk_low_water_mb = 1000\n"
                           "segment seconds 3\n");

    struct Keep {
        const char* lowWaterMiB;
        const char* reserveMinutes;  // 5 is the default
        bool writesFail;
    };
    std::string first;
    for (const Keep& keep : {Keep{"2", "0", false}, Keep{"0", "5", false}, Keep{"0", "0", true}}) {
        environment_.Set("DVRCORE_DISK_LOW_WATER_MB", keep.lowWaterMiB);
        environment_.Set("DVRCORE_DISK_RESERVE_MINUTES", keep.reserveMinutes);
        const int64_t startedAt = WallNow();
        const std::string output = RunStandin({"sleep 9000", "stop"});
        EXPECT_EQ(keep.writesFail, DroppedAndErrors(output).second != 0)
            << keep.lowWaterMiB << " MiB, " << keep.reserveMinutes << " min: " << output;
        EXPECT_NE(std::string::npos, output.find("recorder.conf: line 5 is not \"key = value\", skipped")) << output;
        EXPECT_NE(std::string::npos, output.find("retention deleted")) << output;

        const std::vector<dvrexample::SegmentFileEntry> files = dvrexample::ListSegmentFiles(disk + "/recordings");
        ASSERT_GE(files.size(), 2u) << output;
        EXPECT_NE(first, files.front().name) << "the oldest went first";
        first = files.front().name;
        EXPECT_GT(*dvrexample::SegmentStartFromName(files.back().name), startedAt + 4000000000) << "recording went on";
        const std::vector<Segment> segments = CheckCamera(disk + "/recordings", "garden", "avc1");
        EXPECT_EQ("", EmptyFiles(disk));
    }
}

// An archive made here without recording it: `count` closed segments of
// `camera`, one a minute from `firstNs`, each a hard link of `model` (a
// segment the recorder wrote), with index rows that say what a probe of
// the file would say, but for their sync times: "0,1,2", which only a row
// that was never read back keeps.
struct Archive {
    std::string root;
    std::string model;
    dvrexample::RecordingsIndex index;

    Archive(const std::string& recordings, const std::string& modelFile) : root(recordings), model(modelFile)
    {
        EXPECT_TRUE(index.Open(root + "/" + dvrexample::kIndexFileName, false)) << index.error();
    }

    dvrexample::SegmentRow Row(const std::string& camera, int64_t startNs)
    {
        dvrexample::SegmentRow row;
        row.camera = dvrexample::SafeCameraName(camera);
        row.name = dvrexample::SegmentName(row.camera, startNs);
        row.startNs = startNs;
        row.endNs = startNs + 2000000000;
        row.syncTimes = "0,1,2";
        return row;
    }

    void AddClosed(const std::string& camera, int64_t firstNs, unsigned count)
    {
        ::mkdir((root + "/" + dvrexample::SafeCameraName(camera)).c_str(), 0755);
        ASSERT_TRUE(index.Begin()) << index.error();
        for (unsigned i = 0; i < count; ++i) {
            dvrexample::SegmentRow row = Row(camera, firstNs + int64_t{60000000000} * i);
            const std::string path = root + "/" + row.name;
            ASSERT_EQ(0, ::link(model.c_str(), path.c_str())) << path;
            struct stat status {};
            ASSERT_EQ(0, ::stat(path.c_str(), &status));
            row.bytes = static_cast<uint64_t>(status.st_size);
            row.fileMtimeNs = int64_t{status.st_mtim.tv_sec} * 1000000000 + status.st_mtim.tv_nsec;
            row.closed = true;
            ASSERT_TRUE(index.Put(row)) << index.error();
        }
        ASSERT_TRUE(index.Commit()) << index.error();
    }
};

// Runs `sql` on the database at `path`, outside the recorder.
void ExecuteSql(const std::string& path, const std::string& sql)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr)) << sqlite3_errmsg(db) << ": " << sql;
    sqlite3_close(db);
}

int UserVersion(const std::string& path)
{
    sqlite3* db = nullptr;
    sqlite3_stmt* version = nullptr;
    int found = -1;
    if (sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &version, nullptr) == SQLITE_OK &&
        sqlite3_step(version) == SQLITE_ROW) {
        found = sqlite3_column_int(version, 0);
    }
    sqlite3_finalize(version);
    sqlite3_close(db);
    return found;
}

// Every earlier shape of the index is migrated in place on opening, its
// rows kept: the first version's table, that table with decode_start added
// to it alone (no version of its own), and version 2, which has the
// archive's columns but not decode_start. A second opening finds nothing to
// do.
TEST_F(Recording, EarlierIndexVersionsAreMigratedInPlace)
{
    ASSERT_EQ(0, ::mkdir(root().c_str(), 0755));
    const std::string first =
        "CREATE TABLE segments(name TEXT PRIMARY KEY, camera TEXT NOT NULL, start_ns INTEGER NOT NULL,"
        " end_ns INTEGER NOT NULL, run INTEGER NOT NULL, media_start INTEGER NOT NULL,"
        " media_end INTEGER NOT NULL, bytes INTEGER NOT NULL, sync_times TEXT NOT NULL);"
        "CREATE INDEX segments_by_time ON segments(camera, start_ns);"
        "INSERT INTO segments VALUES('cam/a.mp4', 'cam', 1, 2, 3, 4, 5, 600, '0,1');";
    struct Shape {
        const char* name;
        std::string sql;  // after `first`
        int64_t decodeStart;
    };
    const std::vector<Shape> shapes = {
        {"first", "", 0},
        {"first with decode_start",
         "ALTER TABLE segments ADD COLUMN decode_start INTEGER NOT NULL DEFAULT 0;"
         "UPDATE segments SET decode_start = 7;",
         7},
        {"version 2", "", 0},
    };
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.name);
        const std::string path = root() + "/" + dvrexample::kIndexFileName;
        for (const char* suffix : {"", "-wal", "-shm"}) {
            ::unlink((path + suffix).c_str());
        }
        ExecuteSql(path, first + shape.sql);
        if (std::string(shape.name) == "version 2") {
            {
                dvrexample::RecordingsIndex index;
                ASSERT_TRUE(index.Open(path, false)) << index.error();
            }
            ExecuteSql(path, "ALTER TABLE segments DROP COLUMN decode_start; PRAGMA user_version = 2;");
            ASSERT_EQ(2, UserVersion(path));
        }
        for (int opening = 0; opening < 2; ++opening) {
            dvrexample::RecordingsIndex index;
            ASSERT_TRUE(index.Open(path, false)) << index.error();
            const std::optional<dvrexample::SegmentRow> kept = index.Get("cam/a.mp4");
            ASSERT_TRUE(kept.has_value()) << index.error();
            EXPECT_EQ(600u, kept->bytes);
            EXPECT_EQ("0,1", kept->syncTimes);
            EXPECT_FALSE(kept->closed) << "a row of an earlier version is checked once";
            EXPECT_EQ(shape.decodeStart, kept->decodeStart);
            EXPECT_EQ(1u, index.Usage().segments);
            EXPECT_EQ(600u, index.Usage().bytes);
            dvrexample::SegmentRow row = *kept;
            row.name = "cam/b" + std::to_string(opening) + ".mp4";
            row.decodeStart = 90000 + opening;
            ASSERT_TRUE(index.Begin() && index.Put(row) && index.Commit()) << index.error();
            EXPECT_EQ(90000 + opening, index.Get(row.name)->decodeStart);
            ASSERT_TRUE(index.Begin() && index.Remove(row.name) && index.Commit()) << index.error();
        }
        EXPECT_EQ(dvrexample::RecordingsIndex::kSchemaVersion, UserVersion(path));
    }
}

// Start-up trusts what the index says was closed: of an archive of 20,000
// segments it reads back only the one that was open at the last stop (its
// torn tail cut) before recording; the background check then finds the file
// the index does not know, the row whose file is gone and a file of another
// program, and leaves the 20,000 as they were indexed.
TEST_F(Recording, StartUpReadsOnlyTheSegmentsOpenAtTheLastStop)
{
    const std::string h264 = MakeStream(layout_.root(), "h264");
    const std::string model = RecordModel(h264);
    ::mkdir(root().c_str(), 0755);
    constexpr unsigned kClosed = 20000;
    std::string repaired;
    const int64_t day = (WallNow() / 86400000000000 - 30) * 86400000000000;
    {
        Archive archive(root(), model);
        for (const char* camera : {"north", "south", "east", "west"}) {
            archive.AddClosed(camera, day, kClosed / 4);
        }
        // Open at the last stop: a torn fragment at its end, and a size in
        // its row from before the last fragments.
        dvrexample::SegmentRow open = archive.Row("north", day + 4 * int64_t{86400000000000});
        repaired = open.name;
        ASSERT_EQ(0, ::Run("cp " + model + " " + Quoted(root() + "/" + open.name) + " && head -c 999 /dev/urandom >> " +
                         Quoted(root() + "/" + open.name))
                         .status);
        open.bytes = 1000;
        ASSERT_TRUE(archive.index.Put(open));
        // A file the index does not know, a row without a file, another
        // program's file.
        ASSERT_EQ(0, ::link(model.c_str(), (root() + "/" + archive.Row("south", day - 60000000000).name).c_str()));
        dvrexample::SegmentRow gone = archive.Row("east", day - 60000000000);
        gone.closed = true;
        ASSERT_TRUE(archive.index.Put(gone));
        dvrtest::WriteFile(root() + "/west/notes.txt", "not a recording\n");
    }
    environment_.Set("DVRCORE_TEST_STREAMS", "live=" + h264);
    dvrtest::Process core(dvrtest::CoreOptions(layout_));
    ASSERT_TRUE(core.WaitForOutput("checked against the index", kTimeout)) << core.Output();
    core.Signal(SIGTERM);
    EXPECT_EQ(0, core.Wait(kTimeout)) << core.Output();
    const std::string output = core.Output();
    EXPECT_NE(std::string::npos, output.find(": " + std::to_string(kClosed + 2) +
                                             " segments, 1 torn tails cut, 0 unplayable files deleted, 1 read "
                                             "into the index"))
        << output;
    EXPECT_NE(std::string::npos, output.find(std::to_string(kClosed + 1) + " as indexed, 0 torn tails cut, "
                                                                       "0 unplayable files deleted, 1 read into the "
                                                                       "index, 1 rows without a file dropped, 0 "
                                                                       "unreadable files left alone, 1 files of other "
                                                                       "programs left alone"))
        << output;
    EXPECT_TRUE(dvrtest::FileExists(root() + "/west/notes.txt"));
    EXPECT_FALSE(CheckCamera(root(), "live", "avc1").empty()) << "recording went on";
    CheckSegment(root() + "/" + repaired, "avc1");

    // Closed rows were not read back: their sync times are as written.
    environment_.Set("DVRCORE_TEST_STREAMS", "");
    const std::vector<std::string> listed =
        Query("west " + std::to_string(day / 1000000000) + " " + std::to_string(day / 1000000000 + 90));
    ASSERT_EQ(3u, listed.size()) << last_;
    EXPECT_NE(std::string::npos, listed[0].find(", 3 sync frames, ")) << listed[0];

    // A whole camera: hundreds of lists, a few in flight at a time, every row.
    EXPECT_EQ("standin: " + std::to_string(kClosed / 4 + 1) + " recordings listed", Query("north").back()) << last_;
}

// A segment file that the recorder cannot read is left alone, but the space
// it takes counts in the disk usage that the catalog answers with and the
// status line shows; once the file is gone, the next check forgets it.
TEST_F(Recording, UnreadableFilesCountInTheDiskUsage)
{
    const std::string model = RecordModel(MakeStream(layout_.root(), "h264"));
    ::mkdir(root().c_str(), 0755);
    const int64_t day = (WallNow() / 86400000000000 - 2) * 86400000000000;
    std::string unreadable;
    uint64_t indexed = 0;
    {
        Archive archive(root(), model);
        archive.AddClosed("yard", day, 3);
        indexed = archive.index.Usage().bytes;
        unreadable = root() + "/" + archive.Row("yard", day - 60000000000).name;
    }
    // Whole fragments, but no video frame to index.
    ASSERT_EQ(0, ::Run("ffmpeg -v error -f lavfi -i sine=duration=4 -c:a aac -movflags "
                       "frag_keyframe+empty_moov+default_base_moof -f mp4 " +
                       Quoted(unreadable))
                     .status);
    struct stat file {};
    ASSERT_EQ(0, ::stat(unreadable.c_str(), &file));
    const auto size = static_cast<uint64_t>(file.st_size);

    // The usage of the index, as the catalog reads it after a run.
    const auto usage = [this] {
        dvrexample::RecordingsIndex index;
        EXPECT_TRUE(index.Open(root() + "/" + dvrexample::kIndexFileName, true)) << index.error();
        return index.Usage();
    };
    std::string output = RunStandin({"sleep 6000", "stop"}, {"--status", kBridgeIndex});
    ASSERT_NE(std::string::npos, output.find("0 rows without a file dropped, 1 unreadable files left alone")) << output;
    EXPECT_TRUE(dvrtest::FileExists(unreadable));
    EXPECT_EQ(size, usage().unreadableBytes);
    EXPECT_EQ(indexed + size, usage().bytes);
    char onDisk[64];
    std::snprintf(onDisk, sizeof onDisk, "| %.1f MiB on disk in 3 segments |",
                  static_cast<double>(indexed + size) / (1024.0 * 1024.0));
    EXPECT_NE(std::string::npos, output.rfind(onDisk)) << onDisk << "\n" << output;

    ASSERT_EQ(0, std::remove(unreadable.c_str()));
    output = RunStandin({"sleep 6000", "stop"});
    ASSERT_NE(std::string::npos, output.find("0 rows without a file dropped, 0 unreadable files left alone")) << output;
    EXPECT_EQ(0u, usage().unreadableBytes);
    EXPECT_EQ(indexed, usage().bytes);
}

// A camera far over its quota in an archive of 10,000 segments: retention
// brings it under the quota within a few steps, oldest first, and leaves
// the camera under its quota alone.
TEST_F(Recording, RetentionBringsACameraUnderItsQuota)
{
    const std::string h264 = MakeStream(layout_.root(), "h264");
    const std::string model = RecordModel(h264);
    ::mkdir(root().c_str(), 0755);
    const int64_t day = (WallNow() / 86400000000000 - 10) * 86400000000000;
    struct stat status {};
    ASSERT_EQ(0, ::stat(model.c_str(), &status));
    const uint64_t quota = 2 * 1024 * 1024;
    {
        Archive archive(root(), model);
        archive.AddClosed("gate", day, 9990);
        archive.AddClosed("shed", day, 10);
    }
    environment_.Set("DVRCORE_CAMERA_QUOTA_MB", "2");
    const std::string output = RunStandin({"sleep 20000", "stop"});  // 39 steps of 256 deletions, on a loaded machine
    EXPECT_NE(std::string::npos, output.find("retention deleted 256 oldest segments")) << output;

    dvrexample::RecordingsIndex index;
    ASSERT_TRUE(index.Open(root() + "/" + dvrexample::kIndexFileName, true)) << index.error();
    const std::map<std::string, uint64_t> cameras = index.CamerasOver(0);
    ASSERT_EQ(1u, cameras.count("gate"));
    EXPECT_LE(cameras.at("gate"), quota);
    EXPECT_GT(cameras.at("gate"), quota - static_cast<uint64_t>(status.st_size));
    const std::vector<dvrexample::SegmentFileEntry> files = dvrexample::ListSegmentFiles(root());
    ASSERT_FALSE(files.empty()) << output;
    std::size_t gate = 0;
    for (const dvrexample::SegmentFileEntry& file : files) {
        gate += file.camera == "gate" ? 1 : 0;
    }
    EXPECT_EQ(cameras.at("gate") / static_cast<uint64_t>(status.st_size), gate) << "every row has its file";
    EXPECT_EQ(dvrexample::SegmentName("gate", day + int64_t{60000000000} * (9990 - gate)), files.front().name)
        << "the newest were kept";
    EXPECT_EQ(10u * static_cast<uint64_t>(status.st_size), cameras.at("shed"));
}

// Names that once shared a directory record side by side: a space and an
// underscore, two Cyrillic names of equal length, and a name of the longest
// length with '/' and '%' in it; each query lists its own camera's segments
// with whole file names.
TEST_F(Recording, EveryCameraNameHasADirectoryOfItsOwn)
{
    const std::string h264 = MakeStream(layout_.root(), "h264");
    const std::string longest = "gate/north 100% — side entrance; level -1 (B)";
    ASSERT_EQ(dvrexample::kLongestCameraName, longest.size());
    const std::vector<std::string> names = {"Front Door", "Front_Door", "Двор", "Окно", longest};
    std::string streams;
    for (const std::string& name : names) {
        streams += (streams.empty() ? "" : ",") + name + "=" + h264;
    }
    environment_.Set("DVRCORE_TEST_STREAMS", streams);
    environment_.Set("DVRCORE_SEGMENT_SECONDS", "2");
    RunStandin({"sleep 5000", "stop"});
    environment_.Set("DVRCORE_TEST_STREAMS", "");
    EXPECT_EQ("gate%2Fnorth 100%25 — side entrance; level -1 (B)", dvrexample::SafeCameraName(longest));
    for (const std::string& name : names) {
        const std::string directory = dvrexample::SafeCameraName(name);
        EXPECT_EQ(name, dvrexample::CameraNameFromDirectory(directory));
        std::vector<std::string> files;
        for (const dvrexample::SegmentFileEntry& file : dvrexample::ListSegmentFiles(root())) {
            if (file.camera == directory) {
                files.push_back(file.name);
                CheckSegment(root() + "/" + file.name, "avc1");
            }
        }
        ASSERT_GE(files.size(), 2u) << name;
        const std::vector<std::string> listed = Query("\"" + name + "\"");
        ASSERT_EQ(files.size() + 1, listed.size()) << last_;
        for (std::size_t i = 0; i < files.size(); ++i) {
            EXPECT_EQ(0u, listed[i].find("standin: recording " + files[i] + " from ")) << listed[i];
        }
    }
}

// Lines of `text` that contain `needle`.
std::vector<std::string> LinesWith(const std::string& text, const std::string& needle)
{
    std::vector<std::string> found;
    for (const std::string& line : Lines(text)) {
        if (line.find(needle) != std::string::npos) {
            found.push_back(line);
        }
    }
    return found;
}

#ifdef DVRCORE_SLOW_DISK_LIBRARY
// Four cameras of noise, about 1 MB a second each, on a disk that takes
// 1.5 MB a second for its first 18 s (slow_disk.c): the recorder's queue
// fills and frames are refused. Still every write to a segment is made
// durable within about a second, retention keeps each camera near its
// quota while it happens, and the index never tells more than the files
// hold: no more bytes, no end past the last frame's wall time.
TEST_F(Recording, SlowDiskStillSyncsEverySecondAndKeepsTheBudget)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer slows the cameras as much as the disk: the queue never fills";
#endif
    const std::string noise = MakeStream(layout_.root(), "h264", 12, "noise");
    environment_.Set("DVRCORE_TEST_STREAMS", "c1=" + noise + ",c2=" + noise + ",c3=" + noise + ",c4=" + noise);
    environment_.Set("DVRCORE_SEGMENT_SECONDS", "2");
    environment_.Set("DVRCORE_CAMERA_QUOTA_MB", "1");
    environment_.Set("DVRCORE_DISK_LOW_WATER_MB", "0");
    const std::string diskLog = layout_.root() + "/slow-disk.log";
    ASSERT_EQ(0, ::mkdir(root().c_str(), 0755));
    char* canonical = ::realpath(root().c_str(), nullptr);
    ASSERT_NE(nullptr, canonical);
    environment_.Set("DVRCORE_SLOW_DISK", std::string(canonical) + ":1500000:18");
    std::free(canonical);
    environment_.Set("DVRCORE_SLOW_DISK_LOG", diskLog);
#ifdef __SANITIZE_ADDRESS__
    // The shim comes before the sanitizer's runtime in the preload order.
    const char* asan = std::getenv("ASAN_OPTIONS");
    environment_.Set("ASAN_OPTIONS", std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0");
#endif
    environment_.Set("LD_PRELOAD", DVRCORE_SLOW_DISK_LIBRARY);
    std::map<std::string, uint64_t> mostBytes;  // per camera, at any look while the disk is slow
    std::string output;
    {
        dvrtest::Process standin(dvrtest::StandinOptions(layout_, {"--do", "sleep 20000", "--do", "stop"}));
        ::unsetenv("LD_PRELOAD");  // not for the ffmpeg tools below
        // Once the disk is fast, the full queue is written faster than
        // retention's four looks a second.
        for (const auto slowUntil = std::chrono::steady_clock::now() + 17s;
             standin.Running() && std::chrono::steady_clock::now() < slowUntil; std::this_thread::sleep_for(250ms)) {
            std::map<std::string, uint64_t> bytes;
            for (const dvrexample::SegmentFileEntry& file : dvrexample::ListSegmentFiles(root())) {
                struct stat status {};
                if (::stat((root() + "/" + file.name).c_str(), &status) == 0) {
                    bytes[file.camera] += static_cast<uint64_t>(status.st_size);
                }
            }
            for (const auto& [camera, total] : bytes) {
                mostBytes[camera] = std::max(mostBytes[camera], total);
            }
        }
        EXPECT_EQ(0, standin.Wait(kTimeout)) << standin.Errors();
        output = standin.Output();
    }
    const auto [dropped, errors] = DroppedAndErrors(output);
    // Back-pressure: the recorder's queue filled.
    EXPECT_GT(dropped, 0) << output;
    EXPECT_EQ(0, errors) << output;
    EXPECT_NE(std::string::npos, output.find("retention deleted")) << output;
    ASSERT_EQ(4u, mostBytes.size()) << output;
    for (const auto& [camera, bytes] : mostBytes) {
        std::printf("camera %s: at most %.2f MiB on disk, quota 1 MiB\n", camera.c_str(), bytes / 1048576.0);
        EXPECT_LT(bytes, 3u * 1024 * 1024) << camera << ": retention ran while the disk was slow";
    }

    // Every write to a segment is followed by a sync of its file.
    std::map<std::string, std::vector<int64_t>> syncs;
    std::vector<std::pair<std::string, int64_t>> writes;
    for (const std::string& line : Lines(dvrtest::ReadFile(diskLog))) {
        const std::size_t space = line.rfind(' ');
        const std::string path = line.substr(2, space - 2);
        const int64_t ns = std::stoll(line.substr(space + 1));
        if (line[0] == 'S') {
            syncs[path].push_back(ns);
        } else {
            writes.emplace_back(path, ns);
        }
    }
    ASSERT_GT(writes.size(), 20u);  // one a fragment
    int64_t longestWait = 0;
    for (const auto& [path, ns] : writes) {
        const std::vector<int64_t>& synced = syncs[path];
        const auto after = std::lower_bound(synced.begin(), synced.end(), ns);
        ASSERT_NE(synced.end(), after) << path << " written and never synced";
        longestWait = std::max(longestWait, *after - ns);
    }
    std::printf("longest wait of a write for its sync: %.2f s\n", static_cast<double>(longestWait) / 1e9);
    EXPECT_LT(longestWait, 3000000000) << "durability waited for the queue to empty";

    EXPECT_EQ("", EmptyFiles(root()));

    // The index against the files: a frame every 40 ms, whose wall time is
    // the segment's start plus its media time.
    dvrexample::RecordingsIndex index;
    ASSERT_TRUE(index.Open(root() + "/recordings.db", true)) << index.error();
    std::size_t checked = 0;
    for (const char* camera : {"c1", "c2", "c3", "c4"}) {
        for (const Segment& segment : CheckCamera(root(), camera, "avc1")) {
            const std::string name = segment.path.substr(root().size() + 1);
            std::vector<dvrexample::SegmentRow> rows;
            ASSERT_TRUE(index.ForEach(camera, INT64_MIN, INT64_MAX, [&rows](const dvrexample::SegmentRow& row) {
                rows.push_back(row);
                return true;
            })) << index.error();
            for (const dvrexample::SegmentRow& row : rows) {
                if (row.name == name) {
                    struct stat status {};
                    ASSERT_EQ(0, ::stat(segment.path.c_str(), &status));
                    EXPECT_LE(row.bytes, static_cast<uint64_t>(status.st_size)) << name;
                    EXPECT_LE(row.endNs - row.startNs, static_cast<int64_t>((segment.seconds - 0.04) * 1e9) + 1000000)
                        << name << ": ends after its last frame";
                    ++checked;
                }
            }
        }
    }
    EXPECT_GE(checked, 4u);
}
#endif

// Recordings on a read-only file system, made writable again while the core
// runs: the real cause once, the recovery once, the status line showing the
// camera as not writing and first, and a start-up that blames the right
// thing.
TEST_F(Recording, ReadOnlyRecordingsAreReportedOnceAndRecordingResumes)
{
    const MountedDisk mounted(layout_.root() + "/disk", "size=64m");
    if (!mounted.ok()) {
        GTEST_SKIP() << "cannot mount a file system here (needs root)";
    }
    const std::string& disk = mounted.path();
    const std::string recordings = disk + "/recordings";
    ASSERT_EQ(0, ::mkdir(recordings.c_str(), 0755));
    ASSERT_EQ(0, ::mount(nullptr, disk.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr));
    dvrtest::CopyFile(std::string(DVRCORE_RECORDER_PLUGIN_DIR) + "/logsink.so", layout_.pluginDir() + "/logsink.so");
    const std::string h264 = MakeStream(layout_.root(), "h264");
    environment_.Set("DVRCORE_TEST_STREAMS", "cam1=" + h264);
    environment_.Set("DVRCORE_RECORDINGS", recordings);
    environment_.Set("DVRCORE_SEGMENT_SECONDS", "2");
    std::string output;
    {
        dvrtest::Process standin(
            dvrtest::StandinOptions(layout_, {"--status", kBridgeIndex, "--do", "sleep 10000", "--do", "stop"}));
        EXPECT_TRUE(standin.WaitForOutput("status: cam1 not writing", kTimeout)) << standin.Output();
        std::this_thread::sleep_for(3s);  // several key frames meet the read-only disk
        ASSERT_EQ(0, ::mount(nullptr, disk.c_str(), nullptr, MS_REMOUNT, nullptr));
        EXPECT_EQ(0, standin.Wait(kTimeout)) << standin.Errors();
        output = standin.Output();
    }
    const std::vector<std::string> failed = LinesWith(output, "camera 0: ");
    ASSERT_EQ(2u, failed.size()) << output;
    EXPECT_NE(std::string::npos, failed[0].find("cannot create " + recordings + "/cam1: Read-only file system"))
        << failed[0];
    EXPECT_NE(std::string::npos, failed[1].find("camera 0: writing again")) << failed[1];
    const std::vector<std::string> start = LinesWith(output, "recordings in ");
    ASSERT_EQ(1u, start.size()) << output;
    EXPECT_NE(std::string::npos, start[0].find("cannot write " + recordings + ": Read-only file system")) << start[0];
    EXPECT_EQ(std::string::npos, start[0].find("rebuilt")) << start[0];
    EXPECT_LE(LinesWith(output, "cannot open the index").size(), 2u) << "the recorder's start and the catalog's once";

    // Not writing, first on the line, until the disk came back.
    const std::vector<std::string> status = LinesWith(output, "standin: status: ");
    const auto firstTrouble = std::find_if(status.begin(), status.end(), [](const std::string& line) {
        return line.find("standin: status: cam1 not writing: Read-only file system 0 frames") == 0;
    });
    ASSERT_NE(status.end(), firstTrouble) << output;
    const auto recovered = std::find_if(firstTrouble, status.end(), [](const std::string& line) {
        return line.find("cam1 not writing") == std::string::npos;
    });
    EXPECT_GE(recovered - firstTrouble, 2) << output;
    for (auto line = firstTrouble; line != recovered; ++line) {
        EXPECT_EQ(std::string::npos, line->find("cam1 recording")) << *line;
    }
    ASSERT_FALSE(status.empty());
    EXPECT_TRUE(std::regex_search(status.back(), std::regex(R"(\| cam1 recording [1-9]\d* frames)"))) << status.back();

    const auto [dropped, errors] = DroppedAndErrors(output);
    EXPECT_GT(errors, 0) << output;
    const std::string logFile = dvrtest::ReadFile(layout_.workDir() + "/logs/dvrcore.log");
    EXPECT_EQ(1u, LinesWith(logFile, "camera 0: cannot create").size()) << logFile;
    EXPECT_FALSE(CheckCamera(recordings, "cam1", "avc1").empty()) << output;
    EXPECT_EQ("", EmptyFiles(recordings));
}

#ifdef DVRCORE_CAMERA_SERVER
// The segments of one run, in order, continue one another's decode times:
// the index's decode start of each is its file's first, the end of the one
// before; and ffmpeg takes them concatenated as one stream. The first
// segment of a connection is left out of the concatenation: its first frame
// came without a timestamp and is shown when decoded, which ffmpeg's concat
// reader, aligning files by their first presentation time, takes as a
// shift.
void ExpectSegmentsContinueTheRun(const std::string& root, const std::vector<Segment>& segments)
{
    // Immutable: reading leaves no journal files behind.
    sqlite3* db = nullptr;
    const std::string uri = "file:" + root + "/recordings.db?immutable=1";
    ASSERT_EQ(SQLITE_OK, sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr));
    sqlite3_stmt* rows = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, "SELECT name, decode_start FROM segments", -1, &rows, nullptr));
    std::map<std::string, int64_t> decodeStarts;
    while (sqlite3_step(rows) == SQLITE_ROW) {
        decodeStarts[root + "/" + reinterpret_cast<const char*>(sqlite3_column_text(rows, 0))] =
            sqlite3_column_int64(rows, 1);
    }
    sqlite3_finalize(rows);
    sqlite3_close(db);
    std::string list;
    int64_t expected = -1;
    for (const Segment& segment : segments) {
        const std::vector<std::string> decodeTimes = Lines(
            Run("ffprobe -v error -select_streams v:0 -show_entries packet=dts,duration -of csv=p=0 " + segment.path)
                .output);
        ASSERT_FALSE(decodeTimes.empty());
        const int64_t first = std::stoll(decodeTimes.front());
        EXPECT_EQ(first, decodeStarts[segment.path]) << segment.path;
        if (expected >= 0) {
            EXPECT_EQ(expected, first) << segment.path << " continues the segment before";
        }
        const std::string& last = decodeTimes.back();
        expected = std::stoll(last) + std::stoll(last.substr(last.find(',') + 1));
        list += &segment == &segments.front() ? "" : "file '" + segment.path + "'\n";
    }
    if (list.empty()) {
        return;
    }
    const std::string listPath = root + "/run.txt";
    dvrtest::WriteFile(listPath, list);
    const CommandResult joined = Run("ffmpeg -v error -f concat -safe 0 -i " + listPath + " -f null -");
    EXPECT_EQ(0, joined.status) << joined.output;
    EXPECT_EQ("", joined.output) << "the run's segments concatenated decode without a complaint";
    ::unlink(listPath.c_str());
}

// The test camera server with one camera of `codec` with two B-frames (H.264
// main profile, H.265 with reordering), 640x360, and `extra` options; `url`
// is set to its address, up to the camera's name. Nothing when it did not
// start.
std::unique_ptr<dvrtest::Process> StartCameraServer(const std::string& codec, const std::vector<std::string>& extra,
                                                    std::string& url)
{
    dvrtest::ProcessOptions options;
    options.program = dvrtest::BuiltProgram("camera-server");
    options.args = {"--port",    "0",
                    "--codec",   codec,
                    "--size",    "640x360",
                    "--kbps",    "800",
                    "--bframes", "2",
                    "--cameras", "1",
                    "--cache",   std::string(DVRCORE_TEST_BINARY_DIR) + "/camera-clips"};
    options.args.insert(options.args.end(), extra.begin(), extra.end());
    options.useLauncher = false;
    auto server = std::make_unique<dvrtest::Process>(options);
    std::smatch port;
    if (!server->WaitForOutput("ready on port ", 180s)) {
        ADD_FAILURE() << server->Output() << server->Errors();
        return nullptr;
    }
    const std::string output = server->Output();
    if (!std::regex_search(output, port, std::regex(R"(ready on port (\d+))"))) {
        return nullptr;
    }
    url = "rtsp://127.0.0.1:" + std::string(port[1]) + "/";
    return server;
}

// Every frame once and in order across the segments of one run: their
// presentation times, sorted within each file, follow one another one frame
// period (1/25 s) apart, across segment boundaries too, since a run's
// segments continue its decode times. The first frame of a connection is
// the exception: RTP gives it no timestamp, it is placed before the rest; so
// are the last two of a connection (two B-frames), when frames shown before
// them never came.
void ExpectOneFramePeriodApart(const std::vector<Segment>& segments)
{
    std::vector<double> shown;
    for (const Segment& segment : segments) {
        std::vector<double> times;
        for (const std::string& line :
             Lines(Run("ffprobe -v error -select_streams v:0 -show_entries packet=pts_time -of csv=p=0 " + segment.path)
                       .output)) {
            times.push_back(std::atof(line.c_str()));
        }
        std::sort(times.begin(), times.end());
        shown.insert(shown.end(), times.begin(), times.end());
    }
    ASSERT_GT(shown.size(), 10u);  // a loaded machine may connect late: what came is checked
    EXPECT_GT(shown[1], shown[0]);
    for (std::size_t i = 2; i + 2 < shown.size(); ++i) {
        ASSERT_NEAR(0.04, shown[i] - shown[i - 1], 0.0005) << "frame " << i << " of " << shown.size();
    }
    for (std::size_t i = shown.size() - 2; i < shown.size(); ++i) {
        EXPECT_LT(shown[i] - shown[i - 1], 0.0405 * 3) << "frame " << i << " of " << shown.size();
    }
}

// The whole chain: the test camera server, the RTSP camera plugin, the
// recorder; 20 s of each codec, every segment checked by ffprobe and ffmpeg.
// Each codec also from a camera set up for RTP over UDP, read by the own
// reader as well (no fallback to libavformat's client), every frame on disk.
// With H.264 also a live camera with AAC sound, whose encoder sends its key
// frames in two parts: one frame each, and the sound from the second segment.
TEST_F(Recording, CamerasFromTheTestServerRecordPlayableSegments)
{
    SKIP_UNDER_TSAN();
    dvrtest::CopyFile(std::string(DVRCORE_RECORDER_PLUGIN_DIR) + "/camera.so", layout_.pluginDir() + "/camera.so");
    ::unlink((layout_.pluginDir() + "/stream_camera.so").c_str());
    environment_.Set("DVRCORE_SEGMENT_SECONDS", "8");
    for (const std::string codec : {"h264", "h265"}) {
        const bool sound = codec == "h264";
        // The UDP camera reads a stream of its own: when a TCP and a UDP
        // session share the server's H.265 media, the first segment of one of
        // them can lack its VPS (with libavformat's client for UDP too).
        std::vector<std::string> extra = {"--cameras", "2"};
        if (sound) {
            extra.push_back("--audio-camera");
        }
        std::string url;
        const std::unique_ptr<dvrtest::Process> server = StartCameraServer(codec, extra, url);
        ASSERT_TRUE(server) << "the camera server did not start";
        const std::string camera = "cam-" + codec;
        const std::string udpCamera = camera + "-udp";
        std::vector<std::string> cameras = {"--camera", camera + "=" + url + "cam1", "--camera-udp",
                                            udpCamera + "=" + url + "cam2"};
        if (sound) {
            cameras.insert(cameras.end(), {"--camera", "cam-sound=" + url + "audio"});
        }
        const std::string output = RunStandin({"sleep 20000", "stop"}, cameras);
        EXPECT_NE(std::string::npos, output.find(" 0 frames dropped, 0 write errors")) << output;
        EXPECT_EQ(std::string::npos, output.find("through libavformat's RTSP client instead")) << output;

        // Filed under the camera's name from the first frame on.
        for (const dvrexample::SegmentFileEntry& file : dvrexample::ListSegmentFiles(root())) {
            EXPECT_EQ(0u, file.camera.rfind("cam-", 0)) << file.name;
        }
        for (const std::string& name : {camera, udpCamera}) {
            const std::vector<Segment> segments = CheckCamera(root(), name, codec == "h264" ? "avc1" : "hvc1");
            ASSERT_GE(segments.size(), 2u) << name << output;
            double seconds = 0;
            std::size_t frames = 0;
            for (const Segment& segment : segments) {
                seconds += segment.seconds;
                frames += segment.digests.size();
            }
            // The server's 25 frames a second, all of them, for most of the 20 s.
            EXPECT_GT(seconds, 14.0) << name << output;
            EXPECT_LE(seconds, 21.0) << name << output;
            EXPECT_NEAR(seconds * 25, static_cast<double>(frames), 2.0) << name << output;
            ExpectOneFramePeriodApart(segments);
            ExpectSegmentsContinueTheRun(root(), segments);
        }
        EXPECT_EQ("", EmptyFiles(root()));
        if (sound) {
            const std::vector<Segment> live = CheckCamera(root(), "cam-sound", "avc1");
            ASSERT_GE(live.size(), 3u) << output;
            double liveSeconds = 0;
            for (std::size_t i = 0; i < live.size(); ++i) {
                liveSeconds += live[i].seconds;
                const CommandResult streams =
                    ::Run("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 " + live[i].path);
                EXPECT_EQ(i == 0 ? "h264\n" : "h264\naac\n", streams.output) << live[i].path;
            }
            EXPECT_LT(live.front().seconds, 2.5) << "the sound waits for one key frame only";
            EXPECT_GT(liveSeconds, 14.0) << output;
        }
    }
}
// A camera reconfigured mid-segment (the parent sends its configuration
// again, which replaces its channel): the recorder ends the segment there and
// starts the next at the new connection's first sync frame, in a new run; it
// loses no more than the reconnection, and the index holds what the files
// hold.
TEST_F(Recording, ReconfiguredCameraLosesOnlyTheReconnectionAndTheIndexMatchesTheFiles)
{
    SKIP_UNDER_TSAN();
    dvrtest::CopyFile(std::string(DVRCORE_RECORDER_PLUGIN_DIR) + "/camera.so", layout_.pluginDir() + "/camera.so");
    ::unlink((layout_.pluginDir() + "/stream_camera.so").c_str());
    environment_.Set("DVRCORE_SEGMENT_SECONDS", "600");
    // An index as the first schema made it: opening adds the columns since.
    ASSERT_EQ(0, ::mkdir(root().c_str(), 0755));
    sqlite3* old = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((root() + "/recordings.db").c_str(), &old));
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(old,
                                      "CREATE TABLE segments(name TEXT PRIMARY KEY, camera TEXT NOT NULL,"
                                      " start_ns INTEGER NOT NULL, end_ns INTEGER NOT NULL, run INTEGER NOT NULL,"
                                      " media_start INTEGER NOT NULL, media_end INTEGER NOT NULL,"
                                      " bytes INTEGER NOT NULL, sync_times TEXT NOT NULL)",
                                      nullptr, nullptr, nullptr));
    sqlite3_close(old);
    std::string url;
    const std::unique_ptr<dvrtest::Process> server = StartCameraServer("h264", {"--gop-seconds", "1"}, url);
    ASSERT_TRUE(server) << "the camera server did not start";
    const std::string output =
        RunStandin({"sleep 8000", "cameras", "sleep 8000", "stop"}, {"--camera", "porch=" + url + "cam1"});
    EXPECT_NE(std::string::npos, output.find(" 0 frames dropped, 0 write errors")) << output;
    const std::vector<Segment> segments = CheckCamera(root(), "porch", "avc1");
    ASSERT_GE(segments.size(), 2u) << output;

    // The index lists the files with the spans they hold, two runs, the
    // second after the first by no more than the reconnection and a GOP.
    const std::vector<std::string> listed = Query("porch");
    ASSERT_EQ(segments.size() + 1, listed.size()) << last_;
    const std::regex row(R"(T\d\d:(\d\d):(\d\d\.\d+)Z to \S+T\d\d:(\d\d):(\d\d\.\d+)Z.*, run (\d+))");
    std::vector<std::string> runs;
    double recorded = 0;
    double previousEnd = -1;
    double largestGap = 0;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        std::smatch match;
        ASSERT_TRUE(std::regex_search(listed[i], match, row)) << listed[i];
        const double start = std::stod(match[1]) * 60 + std::stod(match[2]);
        double end = std::stod(match[3]) * 60 + std::stod(match[4]);
        end += end < start ? 3600 : 0;  // across the hour
        // The index ends at the last frame's start: one frame period (25 fps)
        // short of what the file shows.
        EXPECT_NEAR(segments[i].shownSeconds - 0.04, end - start, 0.01) << listed[i] << " spans what its file holds";
        if (runs.empty() || runs.back() != match[5]) {
            runs.push_back(match[5]);
        }
        if (previousEnd >= 0) {
            double gap = start - previousEnd;
            gap += gap < -1800 ? 3600 : 0;
            EXPECT_GT(gap, -0.01) << "segments never overlap";
            largestGap = std::max(largestGap, gap);
        }
        previousEnd = end;
        recorded += segments[i].seconds;
        ExpectOneFramePeriodApart({segments[i]});
    }
    ASSERT_EQ(2u, runs.size()) << last_;
    std::vector<Segment> firstRun;
    for (std::size_t i = 0; i < segments.size() && listed[i].find(", run " + runs[0]) != std::string::npos; ++i) {
        firstRun.push_back(segments[i]);
    }
    ExpectSegmentsContinueTheRun(root(), firstRun);
    EXPECT_LT(std::stoul(runs[0]), std::stoul(runs[1])) << "runs rise across the reconfiguration";
    EXPECT_LT(largestGap, 1.8) << "lost: the reconnection and at most one GOP of 1 s";
    EXPECT_GT(recorded, 13.0) << output;
}
#endif

}  // namespace
