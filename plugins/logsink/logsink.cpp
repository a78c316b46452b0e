// Log sink: appends every log message that reaches it to "logs/dvrcore.log"
// in the core's working directory, one line per message: UTC time, provider
// id, level, text. At 4 MiB the file moves to "dvrcore.log.1" (replacing the
// one before) and a new one starts.
//
// Messages arrive through Write on the core's dispatcher thread, which is the
// only thread that touches the file. The sink must never log from Write: its
// own message would come back to it, and again, for ever.
#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core_link.h"
#include "entry_guard.h"
#include "event_match.h"
#include "log_message.h"

namespace {

constexpr uint32_t kLogSinkId = 0x00430000;
constexpr char kLogDir[] = "logs";
constexpr char kLogFile[] = "logs/dvrcore.log";
constexpr char kPreviousLogFile[] = "logs/dvrcore.log.1";
constexpr long kRotateBytes = 4 * 1024 * 1024;

class LogFile {
public:
    bool Open()
    {
        if (::mkdir(kLogDir, 0755) != 0 && errno != EEXIST) {
            return false;
        }
        file_ = std::fopen(kLogFile, "a");
        return file_ != nullptr;
    }

    void Close()
    {
        if (file_ != nullptr) {
            std::fclose(file_);
            file_ = nullptr;
        }
    }

    // Dispatcher thread.
    void Append(uint32_t provider, int level, const char* text, std::size_t length)
    {
        if (file_ == nullptr) {
            return;
        }
        const std::time_t now = std::time(nullptr);
        std::tm utc{};
        ::gmtime_r(&now, &utc);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
        // The text normally ends with its zero, but a raiser need not send one.
        const std::size_t shown = strnlen(text, length);
        std::fprintf(file_, "%s %08" PRIx32 " %3d %.*s\n", stamp, provider, level, static_cast<int>(shown), text);
        std::fflush(file_);
        if (std::ftell(file_) >= kRotateBytes) {
            Close();
            std::rename(kLogFile, kPreviousLogFile);
            Open();
        }
    }

private:
    std::FILE* file_ = nullptr;
};

dvrexample::CoreLink link;
LogFile logFile;

}  // namespace

extern "C" {

int32_t Load(void* in, void* out)
{
    auto* parms = static_cast<LoadParms*>(in);
    auto* result = static_cast<LoadResult*>(out);
    link.Attach(parms->eventCallback, kLogSinkId);
    result->id = kLogSinkId;
    result->writerFlag = 1;
    dvrexample::Subscribe(*result, EVT_LOG, dvrexample::DispatchMatch(LOG_MESSAGE_FLAGS));
    result->defaultLogLevel = LOG_LEVEL_INFO;
    return 0;
}

int32_t Open(void*, void*)
{
    return dvrexample::Guarded([] {
        if (!logFile.Open()) {
            LogMessage(link.id(), link.fn(), LOG_LEVEL_ERROR, "cannot open %s: %s", kLogFile, std::strerror(errno));
            return 1;
        }
        return 0;
    });
}

int32_t Write(void* in, void*)
{
    const auto* parms = static_cast<const WriteParms*>(in);
    if ((parms->eventType & EVT_LOG) != 0 && parms->data != nullptr) {
        logFile.Append(parms->providerID, parms->level, static_cast<const char*>(parms->data), parms->dataSize);
    }
    return 0;
}

int32_t Close(void*, void*)
{
    logFile.Close();
    return 0;
}

}  // extern "C"
