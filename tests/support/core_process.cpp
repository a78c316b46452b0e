#include "core_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "test_paths.h"

namespace dvrtest {

namespace fs = std::filesystem;

TempDir::TempDir()
{
    char pattern[] = "/tmp/dvrtest.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    }
    path_ = pattern;
    // Tests may drop root in child processes and still need to reach it.
    ::chmod(path_.c_str(), 0755);
}

TempDir::~TempDir()
{
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string CoreExecutable()
{
    return std::string(DVRCORE_TEST_BINARY_DIR) + "/dvrcore";
}

std::string TestPluginPath(const std::string& name)
{
    return std::string(DVRCORE_TEST_PLUGIN_DIR) + "/" + name + ".so";
}

std::string BuiltProgram(const std::string& name)
{
    return std::string(DVRCORE_TEST_BINARY_DIR) + "/" + name;
}

std::vector<std::string> Launcher()
{
    std::vector<std::string> words;
    // The build's prefix runs ARM programs on the build host; on the device
    // itself (scripts/device/run-tests) the environment says there is none.
    const char* own = std::getenv("DVRCORE_TEST_LAUNCHER");
    std::stringstream list(own != nullptr ? own : DVRCORE_TEST_LAUNCHER);
    std::string word;
    while (std::getline(list, word, ';')) {
        if (!word.empty()) {
            words.push_back(word);
        }
    }
    return words;
}

void WriteFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool FileExists(const std::string& path)
{
    std::error_code ignored;
    return fs::exists(fs::symlink_status(path, ignored));
}

void CopyFile(const std::string& from, const std::string& to)
{
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
}

CoreLayout::CoreLayout()
{
    fs::create_directories(pluginDir());
    fs::create_directories(protectedPluginDir());
    fs::create_directories(workDir());
    CopyFile(CoreExecutable(), executable());
    fs::permissions(executable(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                      fs::perms::others_read | fs::perms::others_exec);
}

void CoreLayout::AddPlugin(const std::string& testPlugin, const std::string& fileName, bool protectedDir)
{
    const std::string name = fileName.empty() ? testPlugin + ".so" : fileName;
    CopyFile(TestPluginPath(testPlugin), (protectedDir ? protectedPluginDir() : pluginDir()) + "/" + name);
}

namespace {

// Removes ANSI escape sequences ("\x1b[...<letter>") and carriage returns.
std::string PlainText(const std::string& raw)
{
    std::string plain;
    plain.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\x1b' && i + 1 < raw.size() && raw[i + 1] == '[') {
            i += 2;
            while (i < raw.size() && !std::isalpha(static_cast<unsigned char>(raw[i]))) {
                ++i;
            }
            continue;
        }
        if (raw[i] != '\r') {
            plain += raw[i];
        }
    }
    return plain;
}

[[noreturn]] void ExecChild(const ProcessOptions& options, int outFd, int errFd)
{
    ::dup2(outFd, STDOUT_FILENO);
    ::dup2(errFd, STDERR_FILENO);
    if (options.controllingTerminal) {
        ::setsid();
        ::dup2(outFd, STDIN_FILENO);
        ::ioctl(STDIN_FILENO, TIOCSCTTY, 0);
    } else {
        int input = ::open(options.stdinPath.empty() ? "/dev/null" : options.stdinPath.c_str(), O_RDONLY);
        ::dup2(input, STDIN_FILENO);
    }
    for (int fd = 3; fd < 1024; ++fd) {
        bool keep = false;
        for (int kept : options.keepFds) {
            keep = keep || kept == fd;
        }
        if (keep) {
            ::fcntl(fd, F_SETFD, 0);
        } else {
            ::close(fd);
        }
    }
    // The test's own signal dispositions must not leak into the child.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int number : {SIGINT, SIGTERM, SIGQUIT, SIGPIPE, SIGCHLD}) {
        ::signal(number, SIG_DFL);
    }
    if (!options.workDir.empty() && ::chdir(options.workDir.c_str()) != 0) {
        ::_exit(126);
    }
    std::vector<std::string> words;
    if (options.useLauncher) {
        words = Launcher();
    }
    words.push_back(options.program);
    words.insert(words.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
}

}  // namespace

Process::Process(ProcessOptions options)
{
    int outRead = -1;
    int outWrite = -1;
    if (options.terminal) {
        if (::openpty(&outRead, &outWrite, nullptr, nullptr, nullptr) != 0) {
            throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
        }
    } else {
        int fds[2];
        if (::pipe(fds) != 0) {
            throw std::runtime_error("pipe");
        }
        outRead = fds[0];
        outWrite = fds[1];
    }
    int errFds[2];
    if (::pipe(errFds) != 0) {
        throw std::runtime_error("pipe");
    }
    ::fcntl(outRead, F_SETFD, FD_CLOEXEC);
    ::fcntl(errFds[0], F_SETFD, FD_CLOEXEC);

    pid_ = ::fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork");
    }
    if (pid_ == 0) {
        ExecChild(options, outWrite, errFds[1]);
    }
    ::close(outWrite);
    ::close(errFds[1]);
    if (options.terminal) {
        terminal_ = outRead;
    }
    outputPump_ = std::thread([this, outRead] { Pump(outRead, &output_); });
    errorPump_ = std::thread([this, fd = errFds[0]] { Pump(fd, &errors_); });
}

Process::~Process()
{
    if (status_ == -1 && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        Wait(milliseconds(10000));
    }
    pumpsStop_ = true;
    if (outputPump_.joinable()) {
        outputPump_.join();
    }
    if (errorPump_.joinable()) {
        errorPump_.join();
    }
}

void Process::Pump(int fd, std::string* sink)
{
    char buffer[4096];
    for (;;) {
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, 50);
        if (ready == 0) {
            // Grandchildren may keep the descriptor open after our child has
            // gone; once it is reaped, what was not read by now is not waited for.
            if (pumpsStop_) {
                break;
            }
            continue;
        }
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        const ssize_t count = ready > 0 ? ::read(fd, buffer, sizeof buffer) : -1;
        if (count <= 0) {
            break;  // end of file, or EIO once the terminal's last writer closed
        }
        std::lock_guard<std::mutex> lock(mutex_);
        sink->append(buffer, static_cast<std::size_t>(count));
    }
    ::close(fd);
}

void Process::Signal(int number)
{
    if (status_ == -1) {
        ::kill(pid_, number);
    }
}

bool Process::Running()
{
    if (status_ != -1) {
        return false;
    }
    int raw = 0;
    if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        return false;
    }
    return true;
}

int Process::Wait(milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Running()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            int raw = 0;
            ::waitpid(pid_, &raw, 0);
            status_ = 128 + SIGKILL;
            return -1;
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
    // Give the pumps a moment to take what the process wrote last.
    std::this_thread::sleep_for(milliseconds(60));
    return status_;
}

bool Process::WaitFor(const std::string& needle, milliseconds timeout, bool output)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const std::string text = output ? Output() : Errors();
        if (text.find(needle) != std::string::npos) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
}

void Process::Type(const std::string& text)
{
    if (terminal_ >= 0 && ::write(terminal_, text.data(), text.size()) < 0) {
        throw std::runtime_error(std::string("typing: ") + std::strerror(errno));
    }
}

bool Process::WaitForOutput(const std::string& needle, milliseconds timeout)
{
    return WaitFor(needle, timeout, true);
}

bool Process::WaitForErrors(const std::string& needle, milliseconds timeout)
{
    return WaitFor(needle, timeout, false);
}

std::string Process::Output()
{
    return PlainText(RawOutput());
}

std::string Process::RawOutput()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return output_;
}

std::string Process::Errors()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return errors_;
}

ProcessOptions StandinOptions(const CoreLayout& layout, const std::vector<std::string>& options)
{
    ProcessOptions process;
    process.program = BuiltProgram("parent-standin");
    for (const std::string& word : Launcher()) {
        process.args.insert(process.args.end(), {"--launcher", word});
    }
    process.args.insert(process.args.end(), {"--workdir", layout.workDir()});
    process.args.insert(process.args.end(), options.begin(), options.end());
    process.args.push_back(layout.executable());
    process.workDir = layout.workDir();
    process.terminal = true;
    return process;
}

ProcessOptions CoreOptions(const CoreLayout& layout, std::vector<std::string> args, bool terminal)
{
    ProcessOptions options;
    options.program = layout.executable();
    options.args = std::move(args);
    options.workDir = layout.workDir();
    options.terminal = terminal;
    return options;
}

std::string CoreXmlWithLevels(int coreLevel, const std::vector<std::pair<int, int>>& plugins)
{
    std::ostringstream xml;
    xml << "<?xml ?>\n<Vgil Delta=\"0\">\n    <Modules>\n        <Module ID=\"-2147483648\" Name=\"Core\">\n"
        << "            <Plugin ID=\"-2147483648\" LogLevel=\"" << coreLevel << "\" />\n";
    for (const auto& [id, level] : plugins) {
        xml << "            <Plugin ID=\"" << id << "\" LogLevel=\"" << level << "\" />\n";
    }
    xml << "        </Module>\n    </Modules>\n</Vgil>\n";
    return xml.str();
}

}  // namespace dvrtest
