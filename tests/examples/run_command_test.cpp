// The run command (scripts/run.sh) in its fixed-duration form, end to end:
// the core runs the example plugins under the parent-service stand-in, the
// camera's frames reach the disk intact, the status line is fed, and the core
// stops cleanly, leaks no payload block and leaves a valid core.xml.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <tinyxml.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <string>

#include "core_process.h"
#include "host_command.h"
#include "media_frame.h"
#include "segment_format.h"
#include "segment_store.h"
#include "test_paths.h"

namespace {

using dvrexample::FrameKind;
using dvrexample::SegmentRecord;
using std::chrono::seconds;

struct ChannelTally {
    unsigned video = 0;
    unsigned syncFrames = 0;
    unsigned audio = 0;
};

// Reads one segment file, checks each frame against the camera's pattern and
// counts it. Failures are test failures.
void ReadSegment(const std::string& path, uint32_t channel, std::map<FrameKind, uint32_t>& nextSequence,
                 ChannelTally& counts)
{
    std::ifstream file(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    constexpr std::size_t kMagic = sizeof dvrexample::kSegmentMagic;
    ASSERT_GE(bytes.size(), kMagic) << path;
    ASSERT_EQ(0, bytes.compare(0, kMagic, dvrexample::kSegmentMagic, kMagic)) << path;
    std::size_t at = kMagic;
    bool first = true;
    while (at < bytes.size()) {
        SegmentRecord record;
        ASSERT_LE(at + sizeof record, bytes.size()) << path << ": cut record at " << at;
        std::memcpy(&record, bytes.data() + at, sizeof record);
        at += sizeof record;
        ASSERT_EQ(dvrexample::kRecordMagic, record.magic) << path << " at " << at;
        ASSERT_EQ(channel, record.channel) << path;
        const bool audio = record.kind == FrameKind::kAudio;
        const bool sync = record.sync != 0;
        EXPECT_TRUE(!first || (!audio && sync)) << path << ": a segment starts at a sync frame";
        first = false;
        const uint32_t expectedSize =
            audio ? dvrexample::kAudioFrameBytes : dvrexample::VideoFrameBytes(channel, record.sequence, sync);
        ASSERT_EQ(expectedSize, record.size) << path << " sequence " << record.sequence;
        ASSERT_LE(at + record.size, bytes.size()) << path << ": cut frame";
        EXPECT_TRUE(dvrexample::FrameIntact(reinterpret_cast<const uint8_t*>(bytes.data() + at), record.size, channel,
                                            record.sequence, audio))
            << path << ": frame " << record.sequence << " corrupted";
        at += record.size;
        EXPECT_GE(record.sequence, nextSequence[record.kind]) << path << ": frames out of order";
        nextSequence[record.kind] = record.sequence + 1;
        if (audio) {
            ++counts.audio;
        } else {
            ++counts.video;
            counts.syncFrames += sync ? 1 : 0;
        }
    }
}

// The frames of every segment under `root`, per channel.
std::map<uint32_t, ChannelTally> ReadRecordings(const std::string& root)
{
    std::map<uint32_t, ChannelTally> tally;
    for (uint32_t channel : dvrexample::ListChannels(root)) {
        std::map<FrameKind, uint32_t> nextSequence;
        for (const dvrexample::SegmentFile& segment : dvrexample::ListSegments(root, channel)) {
            ReadSegment(dvrexample::SegmentPath(root, channel, segment.number), channel, nextSequence, tally[channel]);
        }
    }
    return tally;
}

// Filenames and open codes of the plugin entries of a saved core.xml; the
// core's own entry under its executable's name.
std::map<std::string, int> PluginEntries(const TiXmlElement& root)
{
    std::map<std::string, int> entries;
    const TiXmlElement* modules = root.FirstChildElement("Modules");
    for (const TiXmlElement* module = modules ? modules->FirstChildElement("Module") : nullptr; module != nullptr;
         module = module->NextSiblingElement("Module")) {
        for (const TiXmlElement* plugin = module->FirstChildElement("Plugin"); plugin != nullptr;
             plugin = plugin->NextSiblingElement("Plugin")) {
            int openCode = -1;
            plugin->QueryIntAttribute("OpenCode", &openCode);
            const char* name = plugin->Attribute("Filename");
            entries[name ? name : ""] = openCode;
        }
    }
    return entries;
}

TEST(RunCommand, RecordsIntactFramesAndStopsCleanly)
{
    dvrtest::TempDir dir;
    const std::string work = dir / "work";
    ASSERT_EQ(0, ::mkdir(work.c_str(), 0755));
    // Kept by the run command: the core's detail messages, the leak report
    // among them, show on the terminal.
    dvrtest::WriteFile(work + "/core.xml", dvrtest::CoreXmlWithLevels(0));

    dvrtest::ProcessOptions options;
    options.program = "bash";
    options.args = {std::string(DVRCORE_SOURCE_DIR) + "/scripts/run.sh",
                    "--build-dir",
                    DVRCORE_TEST_BINARY_DIR,
                    "--workdir",
                    work,
                    "--seconds",
                    "4"};
    for (const std::string& word : dvrtest::Launcher()) {
        options.args.insert(options.args.end(), {"--launcher", word});
    }
    options.terminal = true;
    options.useLauncher = false;
    dvrtest::Process run(options);
    ASSERT_EQ(0, run.Wait(seconds(90))) << run.Output() << run.Errors();
    const std::string output = run.Output();

    EXPECT_NE(std::string::npos, output.find("Core: Loaded plugin: recorder.so")) << "level 0 is on" << output;
    EXPECT_NE(std::string::npos, output.find("successfully started core version")) << output;
    EXPECT_EQ(std::string::npos, output.find("leaked by plugins")) << output;
    EXPECT_EQ(std::string::npos, output.find("returned -1 ")) << output;
    // The status line: recorder counters and catalog answers reached the
    // parent through the bridge.
    EXPECT_TRUE(std::regex_search(output, std::regex(R"(status: \d+ events/s \| [1-9]\d* frames recorded)"))) << output;
    EXPECT_TRUE(std::regex_search(output, std::regex(R"(MiB on disk in [1-9]\d* segments)"))) << output;

    // Every frame the recorder counted is on disk, intact.
    std::smatch recorded;
    ASSERT_TRUE(std::regex_search(output, recorded, std::regex(R"((\d+) frames recorded, \d+ bytes written)")))
        << output;
    const std::map<uint32_t, ChannelTally> tally = ReadRecordings(work + "/" + dvrexample::kRecordingsDir);
    unsigned onDisk = 0;
    ASSERT_EQ(dvrexample::kChannels, tally.size());
    for (const auto& [channel, counts] : tally) {
        EXPECT_GE(counts.syncFrames, 1u) << "channel " << channel;
        EXPECT_GE(counts.video, 10u) << "channel " << channel;
        EXPECT_GE(counts.audio, 10u) << "channel " << channel;
        onDisk += counts.video + counts.audio;
    }
    EXPECT_EQ(std::stoul(recorded[1]), onDisk);

    // core.xml: kept from before (the core's level), rewritten with every plugin.
    TiXmlDocument config((work + "/core.xml").c_str());
    ASSERT_TRUE(config.LoadFile()) << config.ErrorDesc();
    const TiXmlElement* root = config.RootElement();
    ASSERT_NE(nullptr, root);
    EXPECT_STREQ("Vgil", root->Value());
    // Open codes: camera and log sink open (the sink its file), the others
    // export no Open.
    const std::map<std::string, int> expected{{"bridge.so", ENTRY_MISSING},
                                              {"camera.so", 0},
                                              {"catalog.so", ENTRY_MISSING},
                                              {"logsink.so", 0},
                                              {"recorder.so", ENTRY_MISSING}};
    const std::map<std::string, int> plugins = PluginEntries(*root);
    for (const auto& [name, openCode] : expected) {
        ASSERT_EQ(1u, plugins.count(name)) << name;
        EXPECT_EQ(openCode, plugins.at(name)) << name;
    }
    const TiXmlElement* core = root->FirstChildElement("Modules")->FirstChildElement("Module")->FirstChildElement();
    int coreLevel = -1;
    core->QueryIntAttribute("LogLevel", &coreLevel);
    EXPECT_EQ(0, coreLevel);

    // The log sink wrote what was routed to it.
    EXPECT_NE(std::string::npos,
              dvrtest::ReadFile(work + "/logs/dvrcore.log").find("successfully started core version"));
}

}  // namespace
