#include "plugin_quarantine.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "dvrcore.h"
#include "log_message.h"
#include "xml_file.h"

namespace {

constexpr const char* kRoot = "PluginQuarantine";
constexpr const char* kCrashed = "Crashed";
constexpr const char* kQuarantined = "Quarantined";

std::string Text(const TiXmlElement& element, const char* name)
{
    const char* value = element.Attribute(name);
    return value != nullptr ? value : "";
}

}  // namespace

std::optional<PluginQuarantine::Entry> PluginQuarantine::Identify(const std::filesystem::path& file)
{
    struct stat status {};
    if (::stat(file.c_str(), &status) != 0) {
        return std::nullopt;
    }
    Entry entry;
    entry.fileName = file.filename().string();
    entry.size = std::to_string(status.st_size);
    entry.modified = std::to_string(static_cast<long long>(status.st_mtim.tv_sec) * 1000000000LL +
                                    static_cast<long long>(status.st_mtim.tv_nsec));
    entry.inode = std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
    return entry;
}

bool PluginQuarantine::SameFile(const Entry& left, const Entry& right)
{
    return left.fileName == right.fileName && left.size == right.size && left.modified == right.modified &&
           left.inode == right.inode;
}

void PluginQuarantine::CountCrash(const std::string& crashedPlugin, const std::vector<std::filesystem::path>& plugins)
{
    Load();
    const std::optional<Entry> previous = crashed_;
    crashed_.reset();
    const auto path = std::find_if(plugins.begin(), plugins.end(), [&crashedPlugin](const std::filesystem::path& p) {
        return p.filename() == crashedPlugin;
    });
    std::optional<Entry> crashed = path != plugins.end() ? Identify(*path) : std::nullopt;
    if (crashed) {
        // A replaced file starts a streak of its own.
        crashed->starts = previous && SameFile(*previous, *crashed) ? previous->starts + 1 : 1;
        if (crashed->starts < QUARANTINE_STARTS) {
            crashed_ = crashed;
        } else {
            LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_ERROR,
                       "plugin %s crashed the core at %d starts in a row: quarantined, not loaded until its file "
                       "is replaced or its entry in %s is removed",
                       crashed->fileName.c_str(), crashed->starts, QUARANTINE_FILE);
            quarantined_.push_back(*crashed);
        }
    }
    if (crashed_ || previous) {
        Save();
    }
}

bool PluginQuarantine::Admits(const std::filesystem::path& plugin)
{
    const std::string fileName = plugin.filename().string();
    const auto entry = std::find_if(quarantined_.begin(), quarantined_.end(),
                                    [&fileName](const Entry& e) { return e.fileName == fileName; });
    if (entry == quarantined_.end()) {
        return true;
    }
    const std::optional<Entry> now = Identify(plugin);
    if (now && SameFile(*entry, *now)) {
        LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_ERROR,
                   "plugin %s is quarantined: not loaded (it crashed the core at consecutive starts)",
                   fileName.c_str());
        held_.push_back(fileName);
        return false;
    }
    LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_WARNING,
               "plugin %s was replaced: its quarantine is lifted", fileName.c_str());
    quarantined_.erase(entry);
    Save();
    return true;
}

void PluginQuarantine::Load()
{
    XmlDocument document;
    if (!LoadFile(document, QUARANTINE_FILE) || document.RootElement() == nullptr) {
        return;
    }
    for (const TiXmlElement* element = document.RootElement()->FirstChildElement(); element != nullptr;
         element = element->NextSiblingElement()) {
        Entry entry{Text(*element, "Filename"), Text(*element, "Size"), Text(*element, "Modified"),
                    Text(*element, "Inode"), 0};
        if (entry.fileName.empty()) {
            continue;
        }
        if (std::strcmp(element->Value(), kQuarantined) == 0) {
            quarantined_.push_back(entry);
        } else if (std::strcmp(element->Value(), kCrashed) == 0 &&
                   element->QueryIntAttribute("Starts", &entry.starts) == 0) {
            crashed_ = entry;
        }
    }
}

void PluginQuarantine::Save()
{
    if (!crashed_ && quarantined_.empty()) {
        std::remove(QUARANTINE_FILE);
        return;
    }
    XmlDocument document;
    TiXmlElement* root = StartDocument(document, kRoot);
    const auto add = [root](const char* name, const Entry& entry) {
        TiXmlElement* element = AddElement(*root, name);
        element->SetAttribute("Filename", entry.fileName);
        if (entry.starts != 0) {
            element->SetAttribute("Starts", entry.starts);
        }
        element->SetAttribute("Size", entry.size);
        element->SetAttribute("Modified", entry.modified);
        element->SetAttribute("Inode", entry.inode);
    };
    if (crashed_) {
        add(kCrashed, *crashed_);
    }
    for (const Entry& entry : quarantined_) {
        add(kQuarantined, entry);
    }
    if (!SaveFile(document, QUARANTINE_FILE)) {
        LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_ERROR, "Failed to save %s %d - %s", QUARANTINE_FILE,
                   document.ErrorId(), document.ErrorDesc());
    }
}
