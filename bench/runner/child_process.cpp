#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace bench {

namespace {

constexpr std::size_t kOutputLimit = 1 << 20;

[[noreturn]] void ExecChild(const ChildOptions& options, int outFd, pid_t runner)
{
    // A runner that dies (Ctrl-C, kill) takes its children along.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != runner) {
        ::_exit(126);
    }
    ::dup2(outFd, STDOUT_FILENO);
    ::dup2(outFd, STDERR_FILENO);
    const int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, STDIN_FILENO);
    for (int fd = 3; fd < 1024; ++fd) {
        ::close(fd);
    }
    if (!options.workDir.empty() && ::chdir(options.workDir.c_str()) != 0) {
        ::_exit(126);
    }
    std::vector<std::string> words = options.argv;
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> env = options.env;
    std::vector<char*> envp;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        envp.push_back(*entry);
    }
    for (auto& entry : env) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    ::execvpe(argv[0], argv.data(), envp.data());
    ::_exit(127);
}

}  // namespace

ChildProcess::ChildProcess(const ChildOptions& options)
{
    int readFd = -1;
    int writeFd = -1;
    if (options.terminal) {
        if (::openpty(&readFd, &writeFd, nullptr, nullptr, nullptr) != 0) {
            throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
        }
    } else {
        int fds[2];
        if (::pipe(fds) != 0) {
            throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
        }
        readFd = fds[0];
        writeFd = fds[1];
    }
    ::fcntl(readFd, F_SETFD, FD_CLOEXEC);
    const pid_t runner = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) {
        ::close(readFd);
        ::close(writeFd);
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
    if (pid_ == 0) {
        ExecChild(options, writeFd, runner);
    }
    ::close(writeFd);
    outFd_ = readFd;
}

ChildProcess::~ChildProcess()
{
    Stop(SIGKILL, milliseconds(10000));
    if (outFd_ >= 0) {
        ::close(outFd_);
    }
}

void ChildProcess::Pump(milliseconds slice)
{
    if (outFd_ < 0) {
        return;
    }
    pollfd entry{outFd_, POLLIN, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(slice.count()));
    if (ready <= 0) {
        return;
    }
    char buffer[65536];
    const ssize_t count = ::read(outFd_, buffer, sizeof buffer);
    if (count <= 0) {
        // End of file, or EIO once the terminal's last writer has gone.
        ::close(outFd_);
        outFd_ = -1;
        return;
    }
    output_.append(buffer, static_cast<std::size_t>(count));
    if (output_.size() > kOutputLimit) {
        output_.erase(0, output_.size() - kOutputLimit);
    }
}

bool ChildProcess::Running()
{
    if (reaped_) {
        return false;
    }
    int raw = 0;
    if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
        reaped_ = true;
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        return false;
    }
    return true;
}

bool ChildProcess::WaitUntil(const std::function<bool()>& done, milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
        if (!Running() || Clock::now() >= deadline) {
            // What the child wrote last may still be in the pipe.
            Pump(milliseconds(0));
            return done();
        }
        Pump(milliseconds(1));
    }
    return true;
}

int ChildProcess::Stop(int signal, milliseconds timeout)
{
    if (pid_ <= 0) {
        return -1;
    }
    if (signal != 0 && Running()) {
        ::kill(pid_, signal);
    }
    WaitUntil([this] { return !Running(); }, timeout);
    if (Running()) {
        ::kill(pid_, SIGKILL);
        int raw = 0;
        ::waitpid(pid_, &raw, 0);
        reaped_ = true;
        status_ = -1;
    }
    // Take what is left; the last writer is gone.
    while (outFd_ >= 0) {
        Pump(milliseconds(0));
        if (outFd_ >= 0) {
            pollfd entry{outFd_, POLLIN, 0};
            if (::poll(&entry, 1, 0) <= 0) {
                break;
            }
        }
    }
    return status_;
}

}  // namespace bench
