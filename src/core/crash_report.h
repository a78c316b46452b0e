// The report of a fatal signal: which plugin's code crashed the process.
//
// InstallCrashReport sets one handler for SIGSEGV, SIGBUS, SIGILL, SIGFPE and
// SIGABRT, run on an alternate signal stack where the thread has one (so that
// a stack overflow is reported too). The handler uses async-signal-safe calls
// only. It writes one line to standard error, to syslog (straight to the
// local log socket) and to CRASH_REPORT_FILE beside core.xml, naming the
// signal, the fault address, the plugin whose code ran (by the faulting
// instruction's address against the plugin code ranges of the watch, else by
// the plugin entry or plugin thread the thread was in, else, on a thread the
// core did not start, by the plugin that brought in the faulting library or
// whose code is on that thread's stack), the entry point and a short
// backtrace. Everything before the backtrace is written to standard error and
// the file first, the backtrace then completes the line. It then restores the default action and raises the signal
// again, so the exit status and any core dump are what they were without it.
//
// ReportPreviousCrash, at the next start, logs that line once at level 75 and
// removes the file.
#ifndef DVRCORE_CORE_CRASH_REPORT_H
#define DVRCORE_CORE_CRASH_REPORT_H

#include <string>

#include "plugin_watch.h"

// Working directory file that keeps the last crash line.
constexpr const char* CRASH_REPORT_FILE = "last-crash.txt";

// Main thread, once plugins can run: reads libraries and slots from `watch`.
void InstallCrashReport(const PluginWatch& watch);

// Restores the default actions; before the watch goes away.
void RemoveCrashReport();

// Gives the calling thread an alternate signal stack for its life (freed by
// the destructor). Threads the core starts for plugin code hold one.
class AlternateSignalStack {
public:
    AlternateSignalStack();
    ~AlternateSignalStack();
    AlternateSignalStack(const AlternateSignalStack&) = delete;
    AlternateSignalStack& operator=(const AlternateSignalStack&) = delete;

private:
    void* memory_;
};

// Main thread at start-up: logs the crash line left by the previous run and
// returns it ("" when the previous run did not crash).
std::string ReportPreviousCrash();

// The plugin file that a crash line names, or "".
std::string CrashedPlugin(const std::string& line);

#endif  // DVRCORE_CORE_CRASH_REPORT_H
