// Fuzz target: XML text into the parser, the configuration files and the
// configuration update.
//
// The first input byte picks where the rest of the input goes: a
// configuration update (ApplyConfiguration), core.xml or product.xml read at
// start-up (LoadConfiguration), or a pending file left next to a good
// core.xml (LoadFile). Every text is also parsed twice, by the core's
// document with its nesting limit and by the plain library, and the two must
// agree wherever the limit is not what stopped the core's parse.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "configuration_schema.h"
#include "fuzz_core.h"
#include "fuzz_input.h"
#include "fuzz_targets.h"
#include "xml_document.h"
#include "xml_file.h"

namespace dvrfuzz {
namespace {

enum Mode : uint8_t { kUpdate, kCoreFile, kProductFile, kPendingFile, kModes };

// Plugins of the update runs: provider indexes 5 and 254, beside the core's 0.
constexpr uint32_t kPluginIds[] = {0x00050000u, 0x00FE0000u};
constexpr uint32_t kCheckedIndexes[] = {0, 5, 254};

const std::string kPending = std::string(CONFIGURATION_FILE) + PENDING_SUFFIX;

// The files of a run live in a private directory, on a RAM disk where there
// is one (a save syncs its file), made at the first run and removed at exit.
// The core names them relative to the working directory, which is the
// scratch directory only while a run lasts: libFuzzer reads its corpus by
// relative names in between.
class ScratchDirectory {
public:
    ScratchDirectory()
    {
        for (const char* base : {"/dev/shm", "/tmp"}) {
            std::string pattern = std::string(base) + "/dvrfuzz.XXXXXX";
            if (::mkdtemp(pattern.data()) != nullptr) {
                path_ = pattern;
                return;
            }
        }
        std::perror("dvrfuzz: no scratch directory");
        std::abort();
    }
    ~ScratchDirectory() { ::rmdir(path_.c_str()); }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Works in the scratch directory until destroyed, then removes the run's
// files and goes back.
class InScratchDirectory {
public:
    InScratchDirectory() : previous_(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
        static const ScratchDirectory scratch;
        FUZZ_CHECK(previous_ >= 0 && ::chdir(scratch.path().c_str()) == 0);
    }
    ~InScratchDirectory()
    {
        for (const std::string& name : {std::string(CONFIGURATION_FILE), std::string(PRODUCT_FILE), kPending}) {
            ::unlink(name.c_str());
        }
        FUZZ_CHECK(::fchdir(previous_) == 0);
        ::close(previous_);
    }
    InScratchDirectory(const InScratchDirectory&) = delete;
    InScratchDirectory& operator=(const InScratchDirectory&) = delete;

private:
    int previous_;
};

std::string ReadWholeFile(const char* name)
{
    std::string content;
    if (std::FILE* file = std::fopen(name, "rb")) {
        char chunk[4096];
        std::size_t count = 0;
        while ((count = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
            content.append(chunk, count);
        }
        std::fclose(file);
    }
    return content;
}

void WriteWholeFile(const char* name, const std::string& content)
{
    std::FILE* file = std::fopen(name, "wb");
    FUZZ_CHECK(file != nullptr);
    FUZZ_CHECK(std::fwrite(content.data(), 1, content.size(), file) == content.size());
    FUZZ_CHECK(std::fclose(file) == 0);
}

bool FileExists(const char* name)
{
    return ::access(name, F_OK) == 0;
}

// Nesting level of the deepest markup node (plain text does not count), the
// document's children being level 1.
int DeepestMarkup(const TiXmlNode& document)
{
    int deepest = 0;
    std::vector<std::pair<const TiXmlNode*, int>> open{{&document, 0}};
    while (!open.empty()) {
        const auto [node, level] = open.back();
        open.pop_back();
        const TiXmlText* text = node->ToText();
        if (text == nullptr || text->CDATA()) {
            deepest = std::max(deepest, level);
        }
        for (const TiXmlNode* child = node->FirstChild(); child != nullptr; child = child->NextSibling()) {
            open.emplace_back(child, level + 1);
        }
    }
    return deepest;
}

void CheckAgainstLibrary(const std::string& text)
{
    XmlDocument ours;
    ours.Parse(text.c_str());
    // The library may look a few bytes past the end of a text that stops
    // inside a character: give it zeros there, as the core does.
    std::string padded(text.c_str());
    padded.append(8, '\0');
    TiXmlDocument library;
    library.Parse(padded.c_str());

    if (ours.ErrorId() == XmlDocument::kErrorTooDeep) {
        FUZZ_CHECK(std::strcmp(ours.ErrorDesc(), XmlDocument::kTooDeepText) == 0);
        FUZZ_CHECK(library.Error() || DeepestMarkup(library) > XmlDocument::kDefaultMaxParseDepth);
        return;
    }
    FUZZ_CHECK(ours.Error() == library.Error());
    FUZZ_CHECK(std::strcmp(ours.ErrorDesc(), library.ErrorDesc()) == 0);
    FUZZ_CHECK(PrintCompact(ours) == PrintCompact(library));
    FUZZ_CHECK(DeepestMarkup(library) <= XmlDocument::kDefaultMaxParseDepth);
}

// Stands in for the plugins that receive the published configuration.
int32_t ReceiveConfiguration(void* in, void* out)
{
    const auto& parms = *static_cast<const IoctlParms*>(in);
    FUZZ_CHECK(parms.command == IOCTL_UPDATE_CONFIG && static_cast<IoctlResult*>(out)->keep == 0);
    FUZZ_CHECK(parms.argData != nullptr && parms.argLength > 0);
    XmlDocument published;
    published.Parse(std::string(static_cast<const char*>(parms.argData), parms.argLength).c_str());
    FUZZ_CHECK(!published.Error());
    const TiXmlElement* root = published.RootElement();
    FUZZ_CHECK(root != nullptr && std::strcmp(root->Value(), "Vgil") == 0);
    FUZZ_CHECK(std::strcmp(root->LastChild()->Value(), "Product") == 0);
    return 0;
}

std::vector<int8_t> Levels(const LogLevelTable& table)
{
    std::vector<int8_t> levels;
    for (uint32_t i = 0; i < LOG_LEVEL_TABLE_SIZE; ++i) {
        levels.push_back(table.Get(i));
    }
    return levels;
}

int8_t LevelFrom(FuzzInput& input)
{
    return static_cast<int8_t>(input.Byte() % 102 - 1);
}

// A delta changes thresholds within -1..100 and nothing else; a change is
// saved, and core.xml read back at the next start gives the same thresholds.
void RunUpdate(FuzzInput& input)
{
    auto core = std::make_unique<FuzzCore>();
    // As plugin loading leaves them: a default fills a threshold that is
    // still unset.
    for (uint32_t index : kCheckedIndexes) {
        const int8_t fallback = LevelFrom(input);
        const int8_t level = LevelFrom(input);
        core->defaultLogLevels.Set(index, fallback);
        core->logLevels.Set(index, level == LogLevelTable::kNoThreshold ? fallback : level);
    }
    for (uint32_t id : kPluginIds) {
        PLUGININFO plugin = FakePlugin(id, "fuzz.so");
        plugin.ioctl = ReceiveConfiguration;
        AddPlugin(*core, std::move(plugin));
    }
    const std::string text = input.Rest();
    CheckAgainstLibrary(text);
    const std::vector<int8_t> defaults = Levels(core->defaultLogLevels);
    const std::vector<int8_t> before = Levels(core->logLevels);

    core->ApplyConfiguration(text);

    const std::vector<int8_t> after = Levels(core->logLevels);
    FUZZ_CHECK(Levels(core->defaultLogLevels) == defaults);
    for (int8_t level : after) {
        FUZZ_CHECK(level >= -1 && level <= 100);
    }
    const bool saved = FileExists(CONFIGURATION_FILE);
    FUZZ_CHECK(saved || after == before);
    if (saved) {
        auto restarted = std::make_unique<FuzzCore>();
        restarted->LoadConfiguration();
        for (uint32_t index : kCheckedIndexes) {
            FUZZ_CHECK(restarted->logLevels.Get(index) == core->logLevels.Get(index));
        }
        restarted.reset();
        theCore = core.get();
        ::unlink(CONFIGURATION_FILE);
    }
    // The published document reaches the plugins, and comes back to the core
    // as a document that changes nothing.
    core->RequestStop();
    core->DispatchEvents();
    core->ioContext.poll();
    FUZZ_CHECK(Levels(core->logLevels) == after);
    FUZZ_CHECK(!FileExists(CONFIGURATION_FILE));
}

void RunStartUp(FuzzInput& input, const char* fileName)
{
    const std::string text = input.Rest();
    CheckAgainstLibrary(text);
    WriteWholeFile(fileName, text);
    auto core = std::make_unique<FuzzCore>();
    core->versionText = GetVersion();
    core->LoadConfiguration();
    FUZZ_CHECK(core->productName.find('\0') == std::string::npos);
    FUZZ_CHECK(core->versionText.find('\0') == std::string::npos);
}

// A pending file replaces core.xml exactly when it parses completely.
void RunPending(FuzzInput& input)
{
    static const std::string kGood = "<?xml ?>\n<Vgil Delta=\"0\" />\n";
    const std::string text = input.Rest();
    CheckAgainstLibrary(text);
    WriteWholeFile(CONFIGURATION_FILE, kGood);
    WriteWholeFile(kPending.c_str(), text);
    XmlDocument probe;
    const bool complete = probe.LoadFile(kPending);

    XmlDocument loaded;
    FUZZ_CHECK(LoadFile(loaded, CONFIGURATION_FILE));
    if (complete) {
        FUZZ_CHECK(!FileExists(kPending.c_str()));
        FUZZ_CHECK(ReadWholeFile(CONFIGURATION_FILE) == text);
        FUZZ_CHECK(PrintCompact(loaded) == PrintCompact(probe));
    } else {
        FUZZ_CHECK(ReadWholeFile(kPending.c_str()) == text);
        FUZZ_CHECK(ReadWholeFile(CONFIGURATION_FILE) == kGood);
    }
}

}  // namespace

int FuzzConfiguration(const uint8_t* data, std::size_t size)
{
    InScratchDirectory scratch;
    FuzzInput input(data, size);
    switch (input.Byte() % kModes) {
        case kUpdate:
            RunUpdate(input);
            break;
        case kCoreFile:
            RunStartUp(input, CONFIGURATION_FILE);
            break;
        case kProductFile:
            RunStartUp(input, PRODUCT_FILE);
            break;
        default:
            RunPending(input);
            break;
    }
    return 0;
}

}  // namespace dvrfuzz
