// The log line writer.
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "dvrcore.h"

namespace {

// Decided once, at the first line, for the life of the process.
bool StandardOutputIsTerminal()
{
    static const bool terminal = ::isatty(STDOUT_FILENO) == 1;
    return terminal;
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
    if (!terminal || quietLog) {
        return;
    }
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    char name[7];
    moduleNames.CopyName(provider, name, sizeof name);
    if (level <= LOG_LEVEL_CRITICAL && colorLog) {
        std::printf("\x1b[3%dm%02d:%02d:%02d\x1b[36m %-6.6s\x1b[0m %s\n", LevelColor(level), utc.tm_hour, utc.tm_min,
                    utc.tm_sec, name, text);
    } else {
        std::printf("%02d:%02d:%02d %-6.6s %s\n", utc.tm_hour, utc.tm_min, utc.tm_sec, name, text);
    }
}
