#include "plugin_scan.h"

#include <algorithm>
#include <cctype>
#include <system_error>

namespace fs = std::filesystem;

void ScanPluginDirectory(const fs::path& directory, std::vector<fs::path>& found)
{
    std::error_code error;
    if (!fs::is_directory(directory, error)) {
        return;
    }
    fs::directory_iterator entry(directory, error);
    // A failed increment leaves the iterator at the end: the scan of this
    // directory stops there.
    for (; !error && entry != fs::directory_iterator(); entry.increment(error)) {
        const fs::path& path = entry->path();
        std::error_code entryError;
        if (fs::is_regular_file(fs::status(path, entryError)) && path.extension() == PLUGIN_EXTENSION) {
            found.push_back(path);
        }
    }
}

bool LoadsBefore(const fs::path& left, const fs::path& right)
{
    const bool leftMarked = left.native().find(LOAD_FIRST_MARKER) != std::string::npos;
    const bool rightMarked = right.native().find(LOAD_FIRST_MARKER) != std::string::npos;
    if (leftMarked || rightMarked) {
        return leftMarked && !rightMarked;
    }
    return left < right;
}

std::vector<fs::path> FindPlugins(const fs::path& exePath)
{
    std::vector<fs::path> found;
    const fs::path base = exePath.parent_path();
    for (const char* directory : PLUGIN_DIRECTORIES) {
        ScanPluginDirectory(base / directory, found);
    }
    std::sort(found.begin(), found.end(), LoadsBefore);
    return found;
}

std::string PluginModuleName(const std::string& fileName)
{
    std::string name = fs::path(fileName).stem().string();
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return name;
}
