#include "privilege_drop.h"

#include <grp.h>
#include <linux/capability.h>
#include <linux/securebits.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "dvrcore.h"
#include "log_message.h"

namespace {

constexpr int kMaxGroups = 256;

// Recognises a "Uid:" line one character at a time, so that a line of any
// length costs no memory. Mirrors the scanf pattern "Uid: %u" without its
// undefined behaviour on numbers that overflow.
class UidLineScanner {
public:
    // False once a qualifying line has been read up to its number's end.
    bool Feed(int c)
    {
        if (c == '\n' || c == EOF) {
            if (state_ == State::kDigits) {
                return false;
            }
            state_ = State::kLabel;
            matched_ = 0;
            return c != EOF;
        }
        switch (state_) {
            case State::kLabel:
                if (c == kLabel[matched_]) {
                    if (kLabel[++matched_] == '\0') {
                        state_ = State::kBlank;
                    }
                } else {
                    state_ = State::kSkip;
                }
                return true;
            case State::kBlank:
                if (IsDigit(c)) {
                    state_ = State::kDigits;
                    value_ = static_cast<uint64_t>(c - '0');
                } else if (!IsBlank(c)) {
                    state_ = State::kSkip;
                }
                return true;
            case State::kDigits:
                if (!IsDigit(c)) {
                    return false;
                }
                value_ = value_ * 10 + static_cast<uint64_t>(c - '0');
                if (value_ > UINT32_MAX) {
                    state_ = State::kSkip;
                }
                return true;
            case State::kSkip:
                return true;
        }
        return true;
    }

    // The user id, when the scan stopped on a qualifying line.
    bool Found() const { return state_ == State::kDigits; }
    uint32_t Value() const { return static_cast<uint32_t>(value_); }

private:
    enum class State { kLabel, kBlank, kDigits, kSkip };
    static constexpr const char* kLabel = "Uid:";

    static bool IsDigit(int c) { return c >= '0' && c <= '9'; }
    // What scanf's white-space directive skips within one line.
    static bool IsBlank(int c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r'; }

    State state_ = State::kLabel;
    std::size_t matched_ = 0;
    uint64_t value_ = 0;
};

// Becomes `uid` with its primary group and its group list. With the secure
// bits set, the capabilities survive the user change, so the group calls
// after it still work.
bool SwitchUser(uid_t uid)
{
    errno = 0;
    const passwd* entry = ::getpwuid(uid);
    if (entry == nullptr) {
        LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_CRITICAL, "getpwuid failed: %s",
                   std::strerror(errno));
        return false;
    }
    // The entry lives in a static buffer of the C library.
    const std::string name = entry->pw_name;
    const uid_t userId = entry->pw_uid;
    const gid_t groupId = entry->pw_gid;

    if (::setuid(userId) != 0 || ::setgid(groupId) != 0) {
        LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_CRITICAL, "setuid/gid failed: %s",
                   std::strerror(errno));
        return false;
    }
    gid_t groups[kMaxGroups];
    int count = kMaxGroups;
    if (::getgrouplist(name.c_str(), groupId, groups, &count) < 0) {
        LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_CRITICAL, "getgrouplist failed");
        return false;
    }
    if (::setgroups(static_cast<std::size_t>(count), groups) != 0) {
        LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_CRITICAL, "setgroups failed: %s",
                   std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace

uint32_t ParentUserId(const char* statusPath)
{
    std::FILE* file = std::fopen(statusPath, "r");
    if (file == nullptr) {
        return 0;
    }
    UidLineScanner scanner;
    char buffer[4096];
    bool scanning = true;
    while (scanning) {
        const std::size_t length = std::fread(buffer, 1, sizeof buffer, file);
        for (std::size_t i = 0; i < length && scanning; ++i) {
            scanning = scanner.Feed(static_cast<unsigned char>(buffer[i]));
        }
        if (scanning && length < sizeof buffer) {
            // End of file, or a read error: both end the last line.
            scanner.Feed(EOF);
            scanning = false;
        }
    }
    std::fclose(file);
    return scanner.Found() ? scanner.Value() : 0;
}

void SetCapabilities(uint32_t mask)
{
    __user_cap_header_struct header{};
    header.version = _LINUX_CAPABILITY_VERSION_3;
    header.pid = 0;  // the calling thread
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    data[0].effective = mask;
    data[0].permitted = mask;
    data[0].inheritable = 0;
    if (::syscall(SYS_capset, &header, data) != 0) {
        LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_WARNING, "capset failed: %s", std::strerror(errno));
    }
}

bool DropPrivileges()
{
    ::umask(077);
    // Keeps the capability sets through the user change below, so that the
    // group change after it is still allowed.
    ::prctl(PR_SET_SECUREBITS, SECBIT_NO_SETUID_FIXUP, 0, 0, 0);

    char statusPath[32];
    std::snprintf(statusPath, sizeof statusPath, "/proc/%d/status", static_cast<int>(::getppid()));
    const uid_t parentUser = ParentUserId(statusPath);
    if (parentUser != ::getuid() && !SwitchUser(parentUser)) {
        return false;
    }
    if (parentUser != 0) {
        SetCapabilities(kCapabilitiesAfterSwitch);
    }
    return true;
}
