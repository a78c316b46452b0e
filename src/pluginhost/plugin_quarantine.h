// Plugins kept out of the core because they crashed it at consecutive starts.
//
// At each start the core hands over the plugin file named by the previous
// run's crash report (crash_report.h), or "" after a run that did not crash.
// A plugin named at QUARANTINE_STARTS starts in a row, its file unchanged all
// along, is quarantined: it stays unloaded, and is listed in core.xml
// (Quarantined="1") and in the plugin listing, until its file is replaced
// (another size, modification time or inode) or the operator removes its
// element from QUARANTINE_FILE, or the whole file (docs/operating.md). The
// streak and the quarantines live in that file, beside core.xml:
//
//   <PluginQuarantine>
//     <Crashed Filename="x.so" Starts="1" Size="..." Modified="..." Inode="..." />
//     <Quarantined Filename="y.so" Size="..." Modified="..." Inode="..." />
//   </PluginQuarantine>
//
// Main thread during start-up: CountCrash once, then Admits for every plugin
// file before it is mapped. After that only Held() is read, from any thread.
// A state file that cannot be read counts as empty; one that cannot be
// written is logged and the core goes on.
#ifndef DVRCORE_PLUGINHOST_PLUGIN_QUARANTINE_H
#define DVRCORE_PLUGINHOST_PLUGIN_QUARANTINE_H

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// Working directory file that keeps crash streaks and quarantines.
constexpr const char* QUARANTINE_FILE = "plugin-quarantine.xml";
// Consecutive crashing starts that quarantine a plugin.
constexpr int QUARANTINE_STARTS = 2;

class PluginQuarantine {
public:
    // Counts the crash of the previous run against `crashedPlugin` (a file
    // name among `plugins`), quarantining it at the last start of a streak.
    void CountCrash(const std::string& crashedPlugin, const std::vector<std::filesystem::path>& plugins);
    // False when `plugin` is quarantined and must not be loaded (logged); a
    // replaced file lifts its quarantine (logged) and is admitted.
    bool Admits(const std::filesystem::path& plugin);
    // The file names Admits turned away, in load order.
    const std::vector<std::string>& Held() const { return held_; }

private:
    // A file as it was when its crash was counted.
    struct Entry {
        std::string fileName;
        std::string size;
        std::string modified;  // nanoseconds since 1970
        std::string inode;     // device:inode
        int starts = 0;
    };
    static std::optional<Entry> Identify(const std::filesystem::path& file);
    static bool SameFile(const Entry& left, const Entry& right);
    void Load();
    void Save();

    std::optional<Entry> crashed_;
    std::vector<Entry> quarantined_;
    std::vector<std::string> held_;
};

#endif  // DVRCORE_PLUGINHOST_PLUGIN_QUARANTINE_H
