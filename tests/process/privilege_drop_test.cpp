// The privilege drop of a real core, started by a real parent process whose
// real user is an ordinary one. The test users live in a passwd and a group
// file that only the parent and the core see (a private mount namespace).
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core_process.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kTimeout = 60s;
constexpr uid_t kUser = 4242;         // dvrtest, in groups 4243 and 4244
constexpr uid_t kCrowdedUser = 4300;  // dvrbig, in 300 groups
constexpr uid_t kUnknownUser = 4999;  // no passwd entry
constexpr uint64_t kAfterSwitch = 0x23000;
constexpr uint64_t kAfterOpen = 0x3000;

class TestUsers {
public:
    TestUsers()
    {
        dvrtest::WriteFile(passwd(),
                           "root:x:0:0:root:/root:/bin/sh\n"
                           "dvrtest:x:4242:4242::/nonexistent:/usr/sbin/nologin\n"
                           "dvrbig:x:4300:4300::/nonexistent:/usr/sbin/nologin\n");
        std::string groups = "root:x:0:\ndvrtest:x:4242:\ndvrtesta:x:4243:dvrtest\ndvrtestb:x:4244:dvrtest\n";
        groups += "dvrbig:x:4300:\n";
        for (int gid = 5000; gid < 5300; ++gid) {
            groups += "big" + std::to_string(gid) + ":x:" + std::to_string(gid) + ":dvrbig\n";
        }
        dvrtest::WriteFile(group(), groups);
        ::chmod(passwd().c_str(), 0644);
        ::chmod(group().c_str(), 0644);
    }
    std::string passwd() const { return dir_ / "passwd"; }
    std::string group() const { return dir_ / "group"; }
    std::vector<std::string> Options() const { return {"--passwd", passwd(), "--group", group()}; }

private:
    dvrtest::TempDir dir_;
};

// Lets `uid` run the layout's core: its files readable, its working
// directory its own.
void OpenLayoutTo(const dvrtest::CoreLayout& layout, uid_t uid)
{
    for (const auto& dir : {layout.root() + "/bin", layout.pluginDir(), layout.protectedPluginDir()}) {
        ::chmod(dir.c_str(), 0755);
    }
    ::chmod(layout.workDir().c_str(), 0700);
    ASSERT_EQ(::chown(layout.workDir().c_str(), uid, uid), 0);
}

// The core, started through the stand-in parent. Whatever happens in the
// test, the core does not outlive it.
class ParentedCore {
public:
    ParentedCore(const dvrtest::CoreLayout& layout, const std::vector<std::string>& parentOptions)
        : process_(Options(layout, parentOptions))
    {
    }
    ~ParentedCore()
    {
        // The parent reaps the core before it ends, so while the parent runs
        // the pid is still the core's.
        if (CorePid() > 0 && process_.Running()) {
            ::kill(corePid_, SIGKILL);
        }
    }
    ParentedCore(const ParentedCore&) = delete;
    ParentedCore& operator=(const ParentedCore&) = delete;

    dvrtest::Process& process() { return process_; }

    pid_t CorePid()
    {
        if (corePid_ <= 0) {
            const std::string errors = process_.Errors();
            const auto at = errors.find("core pid ");
            if (at != std::string::npos) {
                corePid_ = static_cast<pid_t>(std::atoi(errors.c_str() + at + 9));
            }
        }
        return corePid_;
    }

    std::string Log() { return process_.Output() + "\n--- stderr ---\n" + process_.Errors(); }

private:
    static dvrtest::ProcessOptions Options(const dvrtest::CoreLayout& layout, const std::vector<std::string>& parent)
    {
        dvrtest::ProcessOptions options;
        options.program = dvrtest::BuiltProgram("privilege_parent");
        options.args = parent;
        options.args.push_back("--");
        for (const auto& word : dvrtest::Launcher()) {
            options.args.push_back(word);
        }
        options.args.push_back(layout.executable());
        options.workDir = layout.workDir();
        options.terminal = true;
        return options;
    }

    dvrtest::Process process_;
    pid_t corePid_ = -1;
};

struct Credentials {
    std::vector<long> uid;
    std::vector<long> gid;
    std::vector<long> groups;
    uint64_t capEff = 0;
    uint64_t capPrm = 0;
};

std::vector<long> Numbers(const std::string& text)
{
    std::vector<long> numbers;
    std::istringstream in(text);
    long number = 0;
    while (in >> number) {
        numbers.push_back(number);
    }
    return numbers;
}

Credentials ReadCredentials(const std::string& statusPath)
{
    Credentials credentials;
    std::ifstream in(statusPath);
    std::string line;
    while (std::getline(in, line)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        const std::string key = line.substr(0, colon);
        const std::string value = line.substr(colon + 1);
        if (key == "Uid") {
            credentials.uid = Numbers(value);
        } else if (key == "Gid") {
            credentials.gid = Numbers(value);
        } else if (key == "Groups") {
            credentials.groups = Numbers(value);
        } else if (key == "CapEff") {
            credentials.capEff = std::strtoull(value.c_str(), nullptr, 16);
        } else if (key == "CapPrm") {
            credentials.capPrm = std::strtoull(value.c_str(), nullptr, 16);
        }
    }
    return credentials;
}

// Thread id -> credentials, for every thread of `pid`.
std::map<pid_t, Credentials> ThreadCredentials(pid_t pid)
{
    std::map<pid_t, Credentials> threads;
    const std::string taskDir = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& entry : std::filesystem::directory_iterator(taskDir)) {
        threads[static_cast<pid_t>(std::stol(entry.path().filename().string()))] =
            ReadCredentials(entry.path().string() + "/status");
    }
    return threads;
}

// The number logged after `label`, or -1.
pid_t LoggedThreadId(const std::string& log, const std::string& label)
{
    const auto at = log.find(label);
    return at == std::string::npos ? -1 : static_cast<pid_t>(std::atol(log.c_str() + at + label.size()));
}

int Occurrences(const std::string& text, const std::string& needle)
{
    int count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

mode_t FileMode(const std::string& path)
{
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

// Starts the probe core and waits until its threads have reported.
void WaitForProbe(ParentedCore& core)
{
    ASSERT_TRUE(core.process().WaitForOutput("successfully started core version", kTimeout)) << core.Log();
    ASSERT_TRUE(core.process().WaitForOutput("probe reader tid ", kTimeout)) << core.Log();
    ASSERT_GT(core.CorePid(), 0) << core.Log();
}

void StopCleanly(ParentedCore& core)
{
    core.process().Signal(SIGTERM);
    EXPECT_EQ(core.process().Wait(kTimeout), 0) << core.Log();
}

TEST(PrivilegeDrop, RootCoreBecomesTheParentsUserWithNetworkCapabilities)
{
    TestUsers users;
    dvrtest::CoreLayout layout;
    layout.AddPlugin("probe_threads");
    OpenLayoutTo(layout, kUser);
    auto options = users.Options();
    options.insert(options.end(), {"--parent-uid", std::to_string(kUser)});
    ParentedCore core(layout, options);
    WaitForProbe(core);

    const std::string log = core.process().Output();
    const pid_t main = core.CorePid();
    const pid_t worker = LoggedThreadId(log, "probe worker tid ");
    const pid_t reader = LoggedThreadId(log, "probe reader tid ");
    auto threads = ThreadCredentials(main);
    ASSERT_EQ(threads.count(main), 1u);
    ASSERT_EQ(threads.count(worker), 1u) << log;
    ASSERT_EQ(threads.count(reader), 1u) << log;

    const Credentials& mainThread = threads[main];
    const std::vector<long> user(4, kUser);
    EXPECT_EQ(mainThread.uid, user);
    EXPECT_EQ(mainThread.gid, user);
    EXPECT_EQ(mainThread.groups, (std::vector<long>{4242, 4243, 4244}));
    EXPECT_EQ(mainThread.capEff, kAfterOpen);
    EXPECT_EQ(mainThread.capPrm, kAfterOpen);
    EXPECT_EQ(threads[reader].capEff, kAfterOpen);
    EXPECT_EQ(threads[reader].capPrm, kAfterOpen);

    // The worker was started before the plugins were opened, the event loop
    // thread too; both keep raw I/O. An emulator's own thread, started before
    // the user switch, is no thread of the core.
    const bool emulated = !dvrtest::Launcher().empty();
    int earlyThreads = 0;
    for (const auto& [tid, thread] : threads) {
        if (tid == main || tid == reader || (emulated && !thread.uid.empty() && thread.uid[0] == 0)) {
            continue;
        }
        SCOPED_TRACE("thread " + std::to_string(tid));
        EXPECT_EQ(thread.uid, user);
        EXPECT_EQ(thread.capEff, kAfterSwitch);
        EXPECT_EQ(thread.capPrm, kAfterSwitch);
        ++earlyThreads;
    }
    EXPECT_GE(earlyThreads, 2);  // the worker and the event loop

    EXPECT_EQ(FileMode(layout.workDir() + "/probe-file"), 0600u);
    StopCleanly(core);
}

TEST(PrivilegeDrop, RootParentLeavesARootCoreAlone)
{
    dvrtest::CoreLayout layout;
    layout.AddPlugin("probe_threads");
    ParentedCore core(layout, {"--parent-uid", "0"});
    WaitForProbe(core);

    const Credentials own = ReadCredentials("/proc/self/status");
    for (const auto& [tid, thread] : ThreadCredentials(core.CorePid())) {
        SCOPED_TRACE("thread " + std::to_string(tid));
        EXPECT_EQ(thread.uid, std::vector<long>(4, 0));
        EXPECT_EQ(thread.capEff, own.capEff);
        EXPECT_EQ(thread.capPrm, own.capPrm);
    }
    EXPECT_EQ(core.process().Output().find("capset failed"), std::string::npos);
    // The file mode mask applies to root too.
    EXPECT_EQ(FileMode(layout.workDir() + "/probe-file"), 0600u);
    StopCleanly(core);
}

TEST(PrivilegeDrop, CoreAlreadyRunningAsTheUserWarnsAndGoesOn)
{
    dvrtest::CoreLayout layout;
    OpenLayoutTo(layout, kUser);
    const std::string user = std::to_string(kUser);
    ParentedCore core(layout, {"--parent-uid", user, "--core-user", user + ":" + user});
    ASSERT_TRUE(core.process().WaitForOutput("successfully started core version", kTimeout)) << core.Log();
    EXPECT_EQ(Occurrences(core.process().Output(), "capset failed: Operation not permitted"), 2) << core.Log();
    StopCleanly(core);
}

TEST(PrivilegeDrop, RefusedSwitchEndsTheCoreWithStatus2)
{
    TestUsers users;
    const std::string user = std::to_string(kUser);
    struct Case {
        const char* name;
        std::vector<std::string> parentOptions;
        const char* message;
    };
    const Case cases[] = {
        // The parent is hidden from the core, which then aims for root.
        {"unreadable parent status",
         {"--parent-uid", user, "--core-user", user + ":" + user, "--hide-processes"},
         "setuid/gid failed: Operation not permitted"},
        {"no password entry", {"--parent-uid", std::to_string(kUnknownUser)}, "getpwuid failed: "},
        {"too many groups", {"--parent-uid", std::to_string(kCrowdedUser)}, "getgrouplist failed"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        dvrtest::CoreLayout layout;
        OpenLayoutTo(layout, kUser);
        auto options = users.Options();
        options.insert(options.end(), test.parentOptions.begin(), test.parentOptions.end());
        ParentedCore core(layout, options);
        EXPECT_EQ(core.process().Wait(kTimeout), 2) << core.Log();
        EXPECT_NE(core.process().Output().find(test.message), std::string::npos) << core.Log();
        EXPECT_EQ(core.process().Output().find("successfully started"), std::string::npos) << core.Log();
    }
}

}  // namespace
