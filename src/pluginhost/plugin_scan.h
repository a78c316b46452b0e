// Which files of the plugin directories are plugins, and in which order they
// load.
//
// Pure functions of the file system and of path texts: they map no library
// and log nothing, so the loader's choice of files can be checked on plain
// directories. Called by LoadPlugins on the main thread. Every file-system
// error is swallowed: an entry that cannot be examined is skipped, a directory
// that cannot be opened or read on contributes what was read so far.
#ifndef DVRCORE_PLUGINHOST_PLUGIN_SCAN_H
#define DVRCORE_PLUGINHOST_PLUGIN_SCAN_H

#include <filesystem>
#include <string>
#include <vector>

// The plugin directories beside the executable, in the order they are scanned.
constexpr const char* PLUGIN_DIRECTORIES[] = {"plugins", "protected-plugins"};
// The one file extension that is loaded.
constexpr const char* PLUGIN_EXTENSION = ".so";
// Text anywhere in a path that moves the file to the front of the load order.
constexpr const char* LOAD_FIRST_MARKER = "vAROre";

// Appends to `found` the entries of `directory` (not recursing) that are
// regular files after following symbolic links and whose extension is exactly
// ".so", in the order the file system delivers them. A path that is missing or
// not a directory contributes nothing.
void ScanPluginDirectory(const std::filesystem::path& directory, std::vector<std::filesystem::path>& found);

// Load order: paths containing the marker first (in no defined order among
// themselves), then the rest by standard path comparison.
bool LoadsBefore(const std::filesystem::path& left, const std::filesystem::path& right);

// The plugin files beside the executable `exePath`, in load order.
std::vector<std::filesystem::path> FindPlugins(const std::filesystem::path& exePath);

// The module name of a plugin file: its name without the extension, lower case.
std::string PluginModuleName(const std::string& fileName);

#endif  // DVRCORE_PLUGINHOST_PLUGIN_SCAN_H
