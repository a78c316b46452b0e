// The log line writer.
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "dvrcore.h"

namespace {

// A line without colour: on a terminal with colour off, and in the copy.
constexpr char kPlainLine[] = "%02d:%02d:%02d %-6.6s %s\n";

// Decided once, at the first line, for the life of the process.
bool StandardOutputIsTerminal()
{
    static const bool terminal = ::isatty(STDOUT_FILENO) == 1;
    return terminal;
}

// A copy of every written line, uncoloured, for runs without a terminal
// (scripts, containers, CI): DVRCORE_LOG=stderr, or the path of a file to
// append to. Decided once; nullptr when unset or when the file cannot be
// opened (said once on standard error).
std::FILE* LogCopy()
{
    static std::FILE* const copy = [] {
        const char* target = std::getenv("DVRCORE_LOG");
        if (target == nullptr || *target == '\0') {
            return static_cast<std::FILE*>(nullptr);
        }
        if (std::strcmp(target, "stderr") == 0) {
            return stderr;
        }
        std::FILE* file = std::fopen(target, "ae");
        if (file == nullptr) {
            std::fprintf(stderr, "dvrcore: DVRCORE_LOG: cannot open %s: %s\n", target, std::strerror(errno));
            return file;
        }
        std::setvbuf(file, nullptr, _IOLBF, 0);
        return file;
    }();
    return copy;
}

// ANSI foreground colour digit by level / 25.
int LevelColor(uint32_t level)
{
    static const int kColors[] = {5, 2, 3, 1, 1};
    return kColors[level / 25];
}

}  // namespace

void dvrcore::WriteLog(uint32_t provider, uint32_t level, const char* text)
{
    if (text == nullptr) {
        return;
    }
    const bool terminal = StandardOutputIsTerminal();
    if (level == LOG_LEVEL_CRITICAL) {
        ::syslog(LOG_CRIT, "%s", text);
    }
    std::FILE* copy = LogCopy();
    const bool toTerminal = terminal && !quietLog;
    if (!toTerminal && copy == nullptr) {
        return;
    }
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    char name[7];
    moduleNames.CopyName(provider, name, sizeof name);
    // The copy is the operator's explicit choice: background mode, which
    // silences the terminal, leaves it on.
    if (copy != nullptr) {
        std::fprintf(copy, kPlainLine, utc.tm_hour, utc.tm_min, utc.tm_sec, name, text);
    }
    if (!toTerminal) {
        return;
    }
    if (level <= LOG_LEVEL_CRITICAL && colorLog) {
        std::printf("\x1b[3%dm%02d:%02d:%02d\x1b[36m %-6.6s\x1b[0m %s\n", LevelColor(level), utc.tm_hour, utc.tm_min,
                    utc.tm_sec, name, text);
    } else {
        std::printf(kPlainLine, utc.tm_hour, utc.tm_min, utc.tm_sec, name, text);
    }
}
