// Which files of a plugin directory qualify, and the load order.
#include "plugin_scan.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "core_process.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> Names(const std::vector<fs::path>& paths)
{
    std::vector<std::string> names;
    for (const fs::path& path : paths) {
        names.push_back(path.filename().string());
    }
    return names;
}

std::vector<std::string> Scan(const fs::path& directory)
{
    std::vector<fs::path> found;
    ScanPluginDirectory(directory, found);
    std::vector<std::string> names = Names(found);
    std::sort(names.begin(), names.end());
    return names;
}

TEST(PluginScan, OnlyRegularFilesEndingInSoQualifyLinksFollowed)
{
    dvrtest::TempDir dir;
    for (const char* name : {"libcam.so", "libcam.so.1", "LIBCAM.SO", "libcam.SO", ".so", "libcam.so.", "a.b.so"}) {
        dvrtest::WriteFile(dir / name, "x");
    }
    fs::create_directory(dir / "dir.so");
    fs::create_directory(dir / "sub");
    dvrtest::WriteFile(dir / "sub/inner.so", "x");
    fs::create_symlink("libcam.so.1", dir / "link.so");
    fs::create_symlink("missing", dir / "dangling.so");
    fs::create_symlink("sub", dir / "dirlink.so");
    fs::create_symlink("loop.so", dir / "loop.so");

    EXPECT_EQ(Scan(dir.path()), (std::vector<std::string>{"a.b.so", "libcam.so", "link.so"}));
}

TEST(PluginScan, DirectoryThatCannotBeListedContributesNothing)
{
    dvrtest::TempDir dir;
    dvrtest::WriteFile(dir / "file", "x");
    fs::create_symlink("loop", dir / "loop");
    fs::create_symlink("missing", dir / "dangling");

    for (const char* name : {"absent", "file", "loop", "dangling"}) {
        EXPECT_TRUE(Scan(dir / name).empty()) << name;
    }
    // Root lists a directory whatever its mode; the symbolic loop above stands
    // in for one that cannot be opened.
    if (::geteuid() != 0) {
        fs::create_directory(dir / "closed");
        dvrtest::WriteFile(dir / "closed/libcam.so", "x");
        fs::permissions(dir / "closed", fs::perms::none);
        EXPECT_TRUE(Scan(dir / "closed").empty());
        fs::permissions(dir / "closed", fs::perms::owner_all);
    }
}

TEST(PluginLoadOrder, MarkerFirstThenByteWisePathOrderPluginsBeforeProtected)
{
    std::vector<fs::path> paths = {
        "/b/protected-plugins/x-varore.so",
        "/b/protected-plugins/alpha.so",
        "/b/plugins/zeta.so",
        "/b/plugins/\xc3\xa9.so",
        "/b/plugins/b.so",
        "/b/plugins/B.so",
        "/b/plugins/lib.so",
        "/b/plugins/lib-x.so",
        "/b/protected-plugins/x-vAROre.so",
        "/vAROre/plugins/zz.so",
    };
    std::sort(paths.begin(), paths.end(), LoadsBefore);

    std::vector<std::string> firstTwo = {paths[0].string(), paths[1].string()};
    std::sort(firstTwo.begin(), firstTwo.end());
    EXPECT_EQ(firstTwo, (std::vector<std::string>{"/b/protected-plugins/x-vAROre.so", "/vAROre/plugins/zz.so"}));
    EXPECT_EQ(std::vector<fs::path>(paths.begin() + 2, paths.end()),
              (std::vector<fs::path>{"/b/plugins/B.so", "/b/plugins/b.so", "/b/plugins/lib-x.so", "/b/plugins/lib.so",
                                     "/b/plugins/zeta.so", "/b/plugins/\xc3\xa9.so", "/b/protected-plugins/alpha.so",
                                     "/b/protected-plugins/x-varore.so"}));
    EXPECT_FALSE(LoadsBefore("/vAROre/a.so", "/b/x-vAROre.so"));
    EXPECT_FALSE(LoadsBefore("/b/x-vAROre.so", "/vAROre/a.so"));
}

TEST(PluginLoadOrder, FindPluginsScansBothDirectoriesBesideTheExecutable)
{
    dvrtest::TempDir dir;
    fs::create_directories(dir / "bin/plugins");
    fs::create_directories(dir / "bin/protected-plugins");
    for (const char* name : {"bin/protected-plugins/alpha.so", "bin/plugins/zeta.so",
                             "bin/protected-plugins/x-vAROre.so", "bin/plugins/libcam.so.1", "bin/other.so"}) {
        dvrtest::WriteFile(dir / name, "x");
    }
    EXPECT_EQ(Names(FindPlugins(dir / "bin/dvrcore")),
              (std::vector<std::string>{"x-vAROre.so", "zeta.so", "alpha.so"}));
    EXPECT_TRUE(FindPlugins(dir / "elsewhere/dvrcore").empty());
}

}  // namespace
