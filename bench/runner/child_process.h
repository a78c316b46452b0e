// A program that the benchmark runner starts and waits for.
//
// Standard output goes to a pseudo-terminal when asked (dvrcore writes its
// log lines only to a terminal, and the start-up figure waits for one of
// them) or to a pipe; standard error is merged into it. The runner drains it
// while it waits, so the child never blocks on a full terminal. Every wait is
// bounded, the destructor kills and reaps a child that still runs, and a
// child is killed when the runner dies.
//
// Single-threaded: the runner's one thread owns every ChildProcess.
#ifndef DVRCORE_BENCH_CHILD_PROCESS_H
#define DVRCORE_BENCH_CHILD_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct ChildOptions {
    std::vector<std::string> argv;  // argv[0] is the program, looked up in PATH
    std::vector<std::string> env;   // "NAME=value" added to the runner's environment
    std::string workDir;            // "" = the runner's
    bool terminal = false;          // standard output on a pseudo-terminal
};

class ChildProcess {
public:
    // Throws std::runtime_error when the child cannot be started.
    explicit ChildProcess(const ChildOptions& options);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Standard output and error so far (at most the last 1 MiB).
    const std::string& output() const { return output_; }

    // Drains output until `done` holds, the child has ended, or `timeout`
    // passed; returns `done()`.
    bool WaitUntil(const std::function<bool()>& done, milliseconds timeout);
    // Sends `signal` (when it still runs), waits up to `timeout` for the end,
    // then kills. The exit status, 128 + signal number, or -1 when killed.
    int Stop(int signal, milliseconds timeout);
    // Waits up to `timeout` for the end; as Stop without a first signal.
    int Wait(milliseconds timeout) { return Stop(0, timeout); }
    bool Running();

private:
    // Reads what arrives within `slice`.
    void Pump(milliseconds slice);

    pid_t pid_ = -1;
    int outFd_ = -1;
    int status_ = -1;  // once reaped
    bool reaped_ = false;
    std::string output_;
};

}  // namespace bench

#endif  // DVRCORE_BENCH_CHILD_PROCESS_H
