/*
 * A plugin that shows the core's process state from the inside, built in two
 * variants:
 *
 * PROBE_THREADS: logs the thread ids of its worker and reader threads (so that
 * a test can read their credentials under /proc) and, in Open, creates the
 * file "probe-file" in the working directory with mode 0666.
 *
 * HOG_MIB=n: its worker allocates and touches n MiB, then raises a video sync
 * frame every 100 ms until one is refused with RESULT_THROTTLED (30 s at
 * most), logs "hog frame result %d" with the last answer and frees the memory.
 *
 * PROBE_WXBASE: in Open, looks the wxWidgets base library's application
 * object up in the process, as a plugin that uses the library would find it,
 * and logs "probe wxbase application: %s" with "none" (no library loaded),
 * "uninitialised" or "initialised". It links nothing of the library itself.
 *
 * Threads wait for Close, 60 s at most.
 */
#define _GNU_SOURCE /* RTLD_DEFAULT */
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "log_message.h"
#include "plugin_api.h"

#define PROBE_ID 0x00710000u
#define CLOSE_TIMEOUT_S 60
#define FRAME_ATTEMPTS 300
#define FRAME_INTERVAL_MS 100

static EventFunction raiseEvent;
static pthread_mutex_t stateMutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t stateCond = PTHREAD_COND_INITIALIZER;
static int closed; /* guarded by stateMutex */

static void WaitForClose(void)
{
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += CLOSE_TIMEOUT_S;
    pthread_mutex_lock(&stateMutex);
    while (!closed && pthread_cond_timedwait(&stateCond, &stateMutex, &deadline) != ETIMEDOUT) {
    }
    pthread_mutex_unlock(&stateMutex);
}

static long ThreadId(void)
{
    return (long)syscall(SYS_gettid);
}

#ifdef HOG_MIB
static void SleepMs(long ms)
{
    struct timespec delay;
    delay.tv_sec = ms / 1000;
    delay.tv_nsec = (ms % 1000) * 1000000L;
    while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
    }
}

static int RaiseSyncFrame(void)
{
    _EventParmsIn in;
    _EventParmsOut out;
    memset(&in, 0, sizeof in);
    in.size = (uint32_t)sizeof in;
    in.version = 1;
    in.providerID = PROBE_ID;
    in.eventType = EVT_VIDEO;
    in.flags = FLAG_FRAME;
    in.syncFrame = 1;
    out.size = (uint32_t)sizeof out;
    out.version = 1;
    out.result = 0;
    raiseEvent(&in, &out);
    return out.result;
}

static void Hog(void)
{
    const size_t bytes = (size_t)HOG_MIB * 1048576u;
    char* memory = malloc(bytes);
    volatile char* page;
    int result = RESULT_OK;
    int attempt;
    if (memory == NULL) {
        LogMessage(PROBE_ID, raiseEvent, LOG_LEVEL_ERROR, "hog cannot allocate %d MiB", HOG_MIB);
        return;
    }
    /* Touching every page makes it resident; through a volatile pointer, so
     * that the compiler cannot drop the unread memory altogether. */
    for (page = memory; page < memory + bytes; page += 4096) {
        *page = 1;
    }
    LogMessage(PROBE_ID, raiseEvent, LOG_LEVEL_INFO, "hog holds %d MiB", HOG_MIB);
    for (attempt = 0; attempt < FRAME_ATTEMPTS && result != RESULT_THROTTLED; ++attempt) {
        SleepMs(FRAME_INTERVAL_MS);
        result = RaiseSyncFrame();
    }
    LogMessage(PROBE_ID, raiseEvent, LOG_LEVEL_INFO, "hog frame result %d", result);
    free(memory);
}
#endif

#ifdef PROBE_WXBASE
static const char* WxBaseApplication(void)
{
    /* wxAppConsoleBase::ms_appInstance: set while the library is initialised. */
    void* const* instance = (void* const*)dlsym(RTLD_DEFAULT, "_ZN16wxAppConsoleBase14ms_appInstanceE");
    if (instance == NULL) {
        return "none";
    }
    return *instance != NULL ? "initialised" : "uninitialised";
}
#endif

int32_t Load(void* in, void* out)
{
    LoadResult* result = (LoadResult*)out;
    raiseEvent = ((LoadParms*)in)->eventCallback;
    result->id = PROBE_ID;
    result->workerFlag = 1;
#ifdef PROBE_THREADS
    result->readerFlag = 1;
#endif
    return 0;
}

int32_t Open(void* in, void* out)
{
    (void)in;
    (void)out;
#ifdef PROBE_THREADS
    {
        const int fd = open("probe-file", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd >= 0) {
            close(fd);
        }
        LogMessage(PROBE_ID, raiseEvent, LOG_LEVEL_INFO, "probe created file: %d", fd >= 0);
    }
#endif
#ifdef PROBE_WXBASE
    LogMessage(PROBE_ID, raiseEvent, LOG_LEVEL_INFO, "probe wxbase application: %s", WxBaseApplication());
#endif
    return 0;
}

int32_t Close(void* in, void* out)
{
    (void)in;
    (void)out;
    pthread_mutex_lock(&stateMutex);
    closed = 1;
    pthread_cond_broadcast(&stateCond);
    pthread_mutex_unlock(&stateMutex);
    return 0;
}

int32_t Read(void* in, void* out)
{
    (void)in;
    (void)out;
    LogMessage(PROBE_ID, raiseEvent, LOG_LEVEL_INFO, "probe reader tid %ld", ThreadId());
    WaitForClose();
    return 0;
}

int32_t IOCTL(void* in, void* out)
{
    (void)out;
    if (((IoctlParms*)in)->command != IOCTL_WORKER_THREAD) {
        return 0;
    }
    LogMessage(PROBE_ID, raiseEvent, LOG_LEVEL_INFO, "probe worker tid %ld", ThreadId());
#ifdef HOG_MIB
    Hog();
#endif
    WaitForClose();
    return 0;
}
