/*
 * A slow disk for the recording tests, preloaded into the core (LD_PRELOAD).
 *
 * DVRCORE_SLOW_DISK="DIR:BYTES_PER_SECOND:SECONDS": for the first SECONDS
 * after the process starts, every write() to a segment file (".mp4") under
 * DIR sleeps as long as a disk of that speed would take for it. With
 * DVRCORE_SLOW_DISK_LOG=FILE every write to such a file is logged as
 * "W <path> <monotonic ns>" once it returns, and every fsync() or
 * fdatasync() of one as "S <path> <monotonic ns>" once it returns, so that
 * a test can tell how long each byte waited to become durable.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

static ssize_t (*realWrite)(int, const void*, size_t);
static int (*realFsync)(int);
static int (*realFdatasync)(int);
static char dir[512];
static double bytesPerSecond;
static double slowSeconds;
static struct timespec started;
static int logFd = -1;

static double Seconds(const struct timespec* from, const struct timespec* to)
{
    return (double)(to->tv_sec - from->tv_sec) + (double)(to->tv_nsec - from->tv_nsec) / 1e9;
}

__attribute__((constructor)) static void Setup(void)
{
    realWrite = (ssize_t(*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
    realFsync = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    realFdatasync = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
    clock_gettime(CLOCK_MONOTONIC, &started);
    const char* setting = getenv("DVRCORE_SLOW_DISK");
    const char* log = getenv("DVRCORE_SLOW_DISK_LOG");
    if (setting == NULL || sscanf(setting, "%511[^:]:%lf:%lf", dir, &bytesPerSecond, &slowSeconds) != 3) {
        dir[0] = '\0';
        return;
    }
    if (log != NULL) {
        logFd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
}

/* The file's path when it is a segment file under DIR, else NULL. */
static const char* Watched(int fd, char* path, size_t size)
{
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, path, size - 1);
    if (dir[0] == '\0' || length < 4) {
        return NULL;
    }
    path[length] = '\0';
    const size_t dirLength = strlen(dir);
    return strncmp(path, dir, dirLength) == 0 && strcmp(path + length - 4, ".mp4") == 0 ? path : NULL;
}

static void Note(char kind, const char* path)
{
    struct timespec now;
    char line[700];
    if (logFd < 0) {
        return;
    }
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int length =
        snprintf(line, sizeof line, "%c %s %lld\n", kind, path, (long long)now.tv_sec * 1000000000LL + now.tv_nsec);
    /* One append each: lines of several threads never interleave. */
    syscall(SYS_write, logFd, line, (size_t)length);
}

ssize_t write(int fd, const void* data, size_t size)
{
    char path[600];
    const char* watched = Watched(fd, path, sizeof path);
    if (watched != NULL) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (Seconds(&started, &now) < slowSeconds) {
            const double pause = (double)size / bytesPerSecond;
            const struct timespec sleep = {(time_t)pause, (long)((pause - (double)(time_t)pause) * 1e9)};
            nanosleep(&sleep, NULL);
        }
    }
    const ssize_t done = realWrite(fd, data, size);
    if (watched != NULL && done > 0) {
        Note('W', watched);
    }
    return done;
}

static int Synced(int fd, int result)
{
    char path[600];
    const char* watched = Watched(fd, path, sizeof path);
    if (watched != NULL && result == 0) {
        Note('S', watched);
    }
    return result;
}

int fsync(int fd)
{
    return Synced(fd, realFsync(fd));
}

int fdatasync(int fd)
{
    return Synced(fd, realFdatasync(fd));
}
