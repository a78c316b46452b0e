#include "crash_report.h"

#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "dvrcore.h"
#include "log_message.h"

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr int kBacktraceFrames = 8;
// Big enough for the handler's own frames and the calls it makes.
constexpr std::size_t kAlternateStackBytes = 64 * 1024;
// How far above the stack pointer a thread's stack is searched for plugin
// code, in pieces of at most one page.
constexpr std::size_t kStackSearchBytes = 256 * 1024;
constexpr uintptr_t kPageBytes = 4096;
// The words before the plugin's file name, by what the plugin had to do with
// the crash: its code, its call, its thread.
constexpr const char* kPluginCode = " in plugin ";
constexpr const char* kPluginCall = " in core code called from plugin ";
constexpr const char* kPluginThread = " in code on a thread of plugin ";
// LOG_USER | LOG_CRIT, as the core's other syslog lines.
constexpr const char* kSyslogPrefix = "<10>dvrcore: ";

const PluginWatch* watch = nullptr;
// The core executable's code, for backtrace frames outside the plugins.
uintptr_t coreLoadBase = 0;
uintptr_t coreCodeStart = 0;
uintptr_t coreCodeEnd = 0;

// A line built with no allocation and no locale: safe in a signal handler.
class LineWriter {
public:
    LineWriter(char* buffer, std::size_t size) : buffer_(buffer), size_(size) {}
    LineWriter& Text(const char* text)
    {
        while (*text != '\0' && length_ + 1 < size_) {
            buffer_[length_++] = *text++;
        }
        return *this;
    }
    LineWriter& Decimal(long value)
    {
        char digits[24];
        int count = 0;
        unsigned long magnitude = value < 0 ? 0UL - static_cast<unsigned long>(value) : value;
        do {
            digits[count++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        if (value < 0) {
            Text("-");
        }
        return Reverse(digits, count);
    }
    LineWriter& Hex(uintptr_t value)
    {
        char digits[2 * sizeof value];
        int count = 0;
        do {
            digits[count++] = "0123456789abcdef"[value & 0xf];
            value >>= 4;
        } while (value != 0);
        Text("0x");
        return Reverse(digits, count);
    }
    std::size_t length() const { return length_; }

private:
    LineWriter& Reverse(const char* digits, int count)
    {
        while (count > 0 && length_ + 1 < size_) {
            buffer_[length_++] = digits[--count];
        }
        return *this;
    }
    char* buffer_;
    std::size_t size_;
    std::size_t length_ = 0;
};

const char* SignalName(int number)
{
    switch (number) {
        case SIGSEGV:
            return "SIGSEGV";
        case SIGBUS:
            return "SIGBUS";
        case SIGILL:
            return "SIGILL";
        case SIGFPE:
            return "SIGFPE";
        case SIGABRT:
            return "SIGABRT";
    }
    return "?";
}

// Where the thread was when the signal came: its instruction and stack.
struct Interrupted {
    uintptr_t pc = 0;
    uintptr_t sp = 0;
};

Interrupted InterruptedAt(const void* context)
{
    const auto& machine = static_cast<const ucontext_t*>(context)->uc_mcontext;
    const auto at = [](auto pc, auto sp) {
        return Interrupted{static_cast<uintptr_t>(pc), static_cast<uintptr_t>(sp)};
    };
#if defined(__x86_64__)
    return at(machine.gregs[REG_RIP], machine.gregs[REG_RSP]);
#elif defined(__i386__)
    return at(machine.gregs[REG_EIP], machine.gregs[REG_ESP]);
#elif defined(__arm__)
    return at(machine.arm_pc, machine.arm_sp);
#elif defined(__aarch64__)
    return at(machine.pc, machine.sp);
#else
    (void)machine;
    (void)at;
    return Interrupted{};
#endif
}

// The plugin owning the first word above `stack` that is an address in a
// plugin's code or in a library it brought in: on a thread of a plugin's own,
// the return address of its innermost frame. The words are copied through a
// pipe, so the end of the stack makes a write fail rather than fault; the raw
// system call keeps sanitizer interceptors from judging the stack's bytes.
uint32_t PluginOnStack(uintptr_t stack)
{
    int ends[2];
    if (stack == 0 || ::pipe2(ends, O_CLOEXEC) != 0) {
        return 0;
    }
    uint32_t owner = 0;
    uintptr_t words[kPageBytes / sizeof(uintptr_t)];
    uintptr_t at = stack & ~(uintptr_t{sizeof(uintptr_t)} - 1);
    while (owner == 0 && at < stack + kStackSearchBytes) {
        const uintptr_t pieceEnd = (at | (kPageBytes - 1)) + 1;
        const long copied = ::syscall(SYS_write, ends[1], at, pieceEnd - at);
        if (copied <= 0 || ::read(ends[0], words, static_cast<std::size_t>(copied)) != copied) {
            break;
        }
        for (long i = 0; owner == 0 && i < copied / static_cast<long>(sizeof(uintptr_t)); ++i) {
            owner = watch->OwnerAt(words[i]);
        }
        at += static_cast<uintptr_t>(copied);
    }
    ::close(ends[0]);
    ::close(ends[1]);
    return owner;
}

// "plugin.so+0x1a2b", "dvrcore+0x1a2b" (addresses within the file, as
// addr2line takes them) or the bare address.
void WriteFrame(LineWriter& line, uintptr_t address)
{
    const uint32_t library = watch->LibraryAt(address);
    if (library != 0) {
        const WatchedLibrary* entry = watch->Library(library);
        line.Text(entry->fileName).Text("+").Hex(address - entry->loadBase);
    } else if (address >= coreCodeStart && address < coreCodeEnd) {
        line.Text("dvrcore+").Hex(address - coreLoadBase);
    } else {
        line.Hex(address);
    }
}

void WriteCall(LineWriter& line, const CallSlot* slot, uint32_t call)
{
    const auto entry = static_cast<PluginCall>(call & 0xff);
    line.Text(" (entry ").Text(PluginCallName(entry)).Text(", ").Text(CallThreadName(slot, entry)).Text(" thread)");
}

// Who crashed the process: everything of the line before the backtrace.
void WriteCulprit(LineWriter& line, int number, const siginfo_t* info, void* context)
{
    const Interrupted interrupted = InterruptedAt(context);
    const uintptr_t pc = interrupted.pc;
    line.Text("crash: signal ").Decimal(number).Text(" (").Text(SignalName(number)).Text(") at address ");
    line.Hex(reinterpret_cast<uintptr_t>(info->si_addr));

    const CallSlot* slot = ThreadSlot();
    const uint32_t call = slot != nullptr ? slot->call.load(std::memory_order_relaxed) : ThreadCall();
    const uint32_t codeOwner = watch->LibraryAt(pc);
    if (codeOwner != 0) {
        line.Text(kPluginCode).Text(watch->FileName(codeOwner));
        if (call != 0 && call >> 8 == codeOwner) {
            WriteCall(line, slot, call);
        }
    } else if (call != 0) {
        // The plugin's call led here: through the core's entry, or a library.
        line.Text(kPluginCall).Text(watch->FileName(call >> 8));
        WriteCall(line, slot, call);
    } else if (!ThreadOfCore()) {
        // A thread the plugin or one of its libraries started, in a library.
        uint32_t threadOwner = watch->OwnerAt(pc);
        if (threadOwner == 0) {
            threadOwner = PluginOnStack(interrupted.sp);
        }
        if (threadOwner != 0) {
            line.Text(kPluginThread).Text(watch->FileName(threadOwner));
        } else {
            line.Text(" in code on a thread the core did not start");
        }
    } else {
        line.Text(" in the core's own code (").Text(CallThreadName(slot, PluginCall::kLoad)).Text(" thread)");
    }
}

// The rest of the line. glibc's backtrace is not async-signal-safe (it may
// take locks or fault), so it runs only once the culprit is written.
void WriteBacktrace(LineWriter& line, void* context)
{
    const uintptr_t pc = InterruptedAt(context).pc;
    line.Text(", backtrace:");
    void* frames[kBacktraceFrames + 4];
    const int count = ::backtrace(frames, kBacktraceFrames + 4);
    // The frames before the faulting one are this handler's own.
    int first = 0;
    for (int i = 0; i < count; ++i) {
        if (reinterpret_cast<uintptr_t>(frames[i]) == pc) {
            first = i;
            break;
        }
    }
    if (first == 0) {
        line.Text(" ");
        WriteFrame(line, pc);
        first = count;  // the unwinder did not get past the signal frame
    }
    for (int i = first; i < count && i < first + kBacktraceFrames; ++i) {
        line.Text(" ");
        WriteFrame(line, reinterpret_cast<uintptr_t>(frames[i]));
    }
    line.Text("\n");
}

void WriteAll(int fd, const char* text, std::size_t length)
{
    while (length > 0) {
        const ssize_t written = ::write(fd, text, length);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        text += written;
        length -= static_cast<std::size_t>(written);
    }
}

void SendToSyslog(const char* text, std::size_t length)
{
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, "/dev/log", sizeof "/dev/log");
    char message[600];
    LineWriter line(message, sizeof message);
    line.Text(kSyslogPrefix);
    const std::size_t prefix = line.length();
    const std::size_t body = length - 1 < sizeof message - prefix - 1 ? length - 1 : sizeof message - prefix - 1;
    std::memcpy(message + prefix, text, body);
    ::sendto(fd, message, prefix + body, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::close(fd);
}

void OnFatalSignal(int number, siginfo_t* info, void* context)
{
    const int savedErrno = errno;
    char text[512];
    LineWriter line(text, sizeof text);
    // The culprit reaches standard error and the file before anything that
    // may block or fault; the backtrace completes the same line after it.
    WriteCulprit(line, number, info, context);
    const std::size_t culprit = line.length();
    const int file = ::open(CRASH_REPORT_FILE, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    WriteAll(STDERR_FILENO, text, culprit);
    WriteAll(file, text, culprit);
    WriteBacktrace(line, context);
    WriteAll(STDERR_FILENO, text + culprit, line.length() - culprit);
    WriteAll(file, text + culprit, line.length() - culprit);
    if (file >= 0) {
        ::close(file);
    }
    SendToSyslog(text, line.length());
    errno = savedErrno;
    // Blocked while the handler runs: delivered, by default, on return.
    ::signal(number, SIG_DFL);
    ::raise(number);
}

int FindCoreCode(dl_phdr_info* info, std::size_t, void*)
{
    // The first object is the executable itself.
    coreLoadBase = info->dlpi_addr;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type == PT_LOAD && (segment.p_flags & PF_X) != 0) {
            coreCodeStart = info->dlpi_addr + segment.p_vaddr;
            coreCodeEnd = coreCodeStart + segment.p_memsz;
        }
    }
    return 1;
}

}  // namespace

void InstallCrashReport(const PluginWatch& pluginWatch)
{
    watch = &pluginWatch;
    ::dl_iterate_phdr(FindCoreCode, nullptr);
    // The first backtrace loads the unwinder; never let that be in a handler.
    void* warmUp[1];
    ::backtrace(warmUp, 1);

    struct sigaction action {};
    action.sa_sigaction = OnFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int number : kFatalSignals) {
        ::sigaction(number, &action, nullptr);
    }
}

void RemoveCrashReport()
{
    if (watch == nullptr) {
        return;
    }
    for (int number : kFatalSignals) {
        ::signal(number, SIG_DFL);
    }
    watch = nullptr;
}

AlternateSignalStack::AlternateSignalStack() : memory_(std::malloc(kAlternateStackBytes))
{
    if (memory_ == nullptr) {
        return;
    }
    stack_t stack{};
    stack.ss_sp = memory_;
    stack.ss_size = kAlternateStackBytes;
    if (::sigaltstack(&stack, nullptr) != 0) {
        std::free(memory_);
        memory_ = nullptr;
    }
}

AlternateSignalStack::~AlternateSignalStack()
{
    if (memory_ == nullptr) {
        return;
    }
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    ::sigaltstack(&off, nullptr);
    std::free(memory_);
}

std::string ReportPreviousCrash()
{
    std::string line;
    if (std::FILE* file = std::fopen(CRASH_REPORT_FILE, "r")) {
        char buffer[512];
        const std::size_t length = std::fread(buffer, 1, sizeof buffer, file);
        std::fclose(file);
        line.assign(buffer, length);
    } else {
        return line;
    }
    while (!line.empty() && line.back() == '\n') {
        line.pop_back();
    }
    LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_ERROR, "the previous run ended with a %s", line.c_str());
    std::remove(CRASH_REPORT_FILE);
    return line;
}

std::string CrashedPlugin(const std::string& line)
{
    for (const char* culprit : {kPluginCode, kPluginCall, kPluginThread}) {
        const std::size_t at = line.find(culprit);
        if (at != std::string::npos) {
            const std::size_t name = at + std::strlen(culprit);
            return line.substr(name, std::min(line.find(" (", name), line.find(", backtrace:", name)) - name);
        }
    }
    return "";
}
