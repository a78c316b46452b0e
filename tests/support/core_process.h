// Starting the real dvrcore executable from tests.
//
// CoreLayout lays out a private directory the way the device does: a copy of
// the executable (plugins are found beside its canonical path, so a symbolic
// link would not do), "plugins" and "protected-plugins" beside it, and a
// working directory for core.xml and product.xml. CoreProcess starts a program
// (through the emulator on cross builds), captures standard output (on a
// pseudo-terminal when asked, so that log lines appear) and standard error,
// and never outlives the test: the destructor kills and reaps it.
#ifndef DVRCORE_TESTS_SUPPORT_CORE_PROCESS_H
#define DVRCORE_TESTS_SUPPORT_CORE_PROCESS_H

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace dvrtest {

using std::chrono::milliseconds;

// A fresh temporary directory, removed with everything in it at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Paths of build products, from the build configuration.
std::string CoreExecutable();                         // the built dvrcore
std::string TestPluginPath(const std::string& name);  // a test plugin library: <dir>/<name>.so
std::string BuiltProgram(const std::string& name);    // another executable of the build
// Command prefix that runs a target program on this host (empty natively);
// the environment variable DVRCORE_TEST_LAUNCHER, when set, replaces the
// build's (';'-separated words, "" for none).
std::vector<std::string> Launcher();

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);  // "" when missing
bool FileExists(const std::string& path);
void CopyFile(const std::string& from, const std::string& to);

// bin/dvrcore, bin/plugins, bin/protected-plugins, work/.
class CoreLayout {
public:
    CoreLayout();
    std::string executable() const { return dir_ / "bin/dvrcore"; }
    std::string pluginDir() const { return dir_ / "bin/plugins"; }
    std::string protectedPluginDir() const { return dir_ / "bin/protected-plugins"; }
    std::string workDir() const { return dir_ / "work"; }
    // Copies a test plugin into "plugins" (or "protected-plugins") as `fileName`.
    void AddPlugin(const std::string& testPlugin, const std::string& fileName = "", bool protectedDir = false);
    std::string root() const { return dir_.path(); }

private:
    TempDir dir_;
};

struct ProcessOptions {
    std::string program;            // path of the target executable
    std::vector<std::string> args;  // arguments after argv[0]
    std::string workDir;            // "" = the test's own
    bool terminal = false;          // standard output on a pseudo-terminal
    std::vector<int> keepFds;       // descriptors inherited under their own numbers
    bool useLauncher = true;        // prefix Launcher() (cross builds)
    std::string stdinPath;          // standard input from this file; "" = /dev/null
    // With `terminal`: the terminal is also standard input and the child's
    // controlling terminal, the child leading a session of its own (its
    // process group is the terminal's foreground group).
    bool controllingTerminal = false;
};

class Process {
public:
    explicit Process(ProcessOptions options);
    ~Process();  // SIGKILL and reap if still running
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    void Signal(int number);
    // Waits up to `timeout` for the exit; returns the exit status, 128+signal
    // for a signal death, or -1 on time-out (the process is then killed).
    int Wait(milliseconds timeout);
    bool Running();
    // Waits until standard output (escape sequences removed) contains
    // `needle`; false after `timeout`.
    bool WaitForOutput(const std::string& needle, milliseconds timeout);
    bool WaitForErrors(const std::string& needle, milliseconds timeout);
    // Types `text` on the terminal (ProcessOptions::terminal).
    void Type(const std::string& text);
    std::string Output();     // escape sequences removed, "\r" dropped
    std::string RawOutput();  // exactly as written
    std::string Errors();

private:
    void Pump(int fd, std::string* sink);
    bool WaitFor(const std::string& needle, milliseconds timeout, bool output);

    pid_t pid_ = -1;
    int status_ = -1;    // exit status once reaped
    int terminal_ = -1;  // the terminal's master side, with `terminal`
    std::atomic<bool> pumpsStop_{false};
    std::mutex mutex_;
    std::string output_;  // guarded by mutex_
    std::string errors_;  // guarded by mutex_
    std::thread outputPump_;
    std::thread errorPump_;
};

// The parent-service stand-in playing the parent of the core of `layout`,
// with these options before the core's path.
ProcessOptions StandinOptions(const CoreLayout& layout, const std::vector<std::string>& options);

// Starts the core of `layout` in its working directory.
ProcessOptions CoreOptions(const CoreLayout& layout, std::vector<std::string> args = {}, bool terminal = true);

// A core.xml that sets the core's own threshold (and optionally others).
std::string CoreXmlWithLevels(int coreLevel, const std::vector<std::pair<int, int>>& plugins = {});

}  // namespace dvrtest

#endif  // DVRCORE_TESTS_SUPPORT_CORE_PROCESS_H
