// Stands in for the parent service in privilege tests: a parent process whose
// real user is an ordinary one, starting a program as root or as that user.
//
//   privilege_parent [options] -- program [arguments...]
//     --parent-uid N      this process's real user id while the program runs
//                         (its effective user stays root, so it can still
//                         start the program as root)
//     --core-user N:G     start the program as user N, group G, without any
//                         capability (default: root)
//     --passwd FILE       the program sees FILE as /etc/passwd, and
//     --group FILE        FILE as /etc/group (private mount namespace)
//     --hide-processes    the program sees a /proc of its own that hides the
//                         processes that it may not trace, this one included
//                         (hidepid=invisible: kernels too old to keep such
//                         options per mount refuse the mount)
//
// Prints "core pid <pid>" on standard error once the program is started,
// passes SIGINT, SIGTERM and SIGQUIT on to it and exits with its status
// (128 + signal number when a signal ended it). Must be started as root.
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

volatile sig_atomic_t childPid = 0;

void PassOn(int number)
{
    if (childPid > 0) {
        ::kill(childPid, number);
    }
}

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "privilege_parent: %s: %s\n", what, std::strerror(errno));
    std::exit(120);
}

struct Options {
    uid_t parentUid = 0;
    bool ordinaryCore = false;
    uid_t coreUid = 0;
    gid_t coreGid = 0;
    std::string passwd;
    std::string group;
    bool hideProcesses = false;
    std::vector<char*> program;
};

Options Parse(int argc, char** argv)
{
    Options options;
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        const std::string option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        if (option == "--parent-uid") {
            options.parentUid = static_cast<uid_t>(std::strtoul(value, nullptr, 10));
            ++i;
        } else if (option == "--core-user") {
            unsigned long uid = 0;
            unsigned long gid = 0;
            if (std::sscanf(value, "%lu:%lu", &uid, &gid) != 2) {
                std::fprintf(stderr, "privilege_parent: bad --core-user %s\n", value);
                std::exit(120);
            }
            options.ordinaryCore = true;
            options.coreUid = static_cast<uid_t>(uid);
            options.coreGid = static_cast<gid_t>(gid);
            ++i;
        } else if (option == "--passwd") {
            options.passwd = value;
            ++i;
        } else if (option == "--group") {
            options.group = value;
            ++i;
        } else if (option == "--hide-processes") {
            options.hideProcesses = true;
        } else {
            std::fprintf(stderr, "privilege_parent: unknown option %s\n", option.c_str());
            std::exit(120);
        }
    }
    for (++i; i < argc; ++i) {
        options.program.push_back(argv[i]);
    }
    if (options.program.empty()) {
        std::fputs("privilege_parent: no program\n", stderr);
        std::exit(120);
    }
    options.program.push_back(nullptr);
    return options;
}

// The file views live in a mount namespace of this process and its child
// only; they vanish with them.
void PrepareFileSystem(const Options& options)
{
    if (options.passwd.empty() && options.group.empty() && !options.hideProcesses) {
        return;
    }
    if (::unshare(CLONE_NEWNS) != 0) {
        Fail("unshare");
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        Fail("mount private");
    }
    if (!options.passwd.empty() && ::mount(options.passwd.c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0) {
        Fail("bind passwd");
    }
    if (!options.group.empty() && ::mount(options.group.c_str(), "/etc/group", nullptr, MS_BIND, nullptr) != 0) {
        Fail("bind group");
    }
    if (options.hideProcesses &&
        ::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, "hidepid=invisible") != 0) {
        Fail("mount proc");
    }
}

[[noreturn]] void StartProgram(const Options& options)
{
    if (options.ordinaryCore) {
        const gid_t group = options.coreGid;
        if (::setgroups(1, &group) != 0 || ::setresgid(group, group, group) != 0 ||
            ::setresuid(options.coreUid, options.coreUid, options.coreUid) != 0) {
            Fail("become the core user");
        }
    } else if (::setresuid(0, 0, 0) != 0) {
        Fail("become root");
    }
    // Killing this parent must not leave the program behind (the setting
    // lasts until the program changes its own user).
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::execvp(options.program[0], options.program.data());
    Fail("execvp");
}

}  // namespace

int main(int argc, char** argv)
{
    const Options options = Parse(argc, argv);
    PrepareFileSystem(options);
    if (::setresuid(options.parentUid, 0, 0) != 0) {
        Fail("setresuid");
    }

    struct sigaction action {};
    action.sa_handler = PassOn;
    sigemptyset(&action.sa_mask);
    for (int number : {SIGINT, SIGTERM, SIGQUIT}) {
        ::sigaction(number, &action, nullptr);
    }

    const pid_t pid = ::fork();
    if (pid < 0) {
        Fail("fork");
    }
    if (pid == 0) {
        StartProgram(options);
    }
    childPid = pid;
    std::fprintf(stderr, "core pid %d\n", static_cast<int>(pid));
    std::fflush(stderr);

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            Fail("waitpid");
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
