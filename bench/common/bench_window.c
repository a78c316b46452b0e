#define _GNU_SOURCE
#include "bench_window.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <stdatomic.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

/* The counter, and the producer's flag with the count it waits for, on
 * lines of their own: each is written by one side only. */
struct BenchWindowShared {
    _Alignas(64) atomic_uint consumed;
    _Alignas(64) atomic_uint producerAsleep;
    atomic_uint wakeAt;
};

int BenchWindowOpen(BenchWindow* window, const char* dir, uint32_t size)
{
    char path[768];
    void* mapped;
    int fd;

    window->shared = NULL;
    window->size = size;
    window->sent = 0;
    window->consumed = 0;
    if (size == 0) {
        return 0;
    }
    /* The runner empties the directory before each run: the file starts as
     * zeros, whichever plugin makes it. */
    snprintf(path, sizeof path, "%s/window", dir != NULL ? dir : ".");
    fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return -1;
    }
    if (ftruncate(fd, sizeof(struct BenchWindowShared)) != 0) {
        close(fd);
        return -1;
    }
    mapped = mmap(NULL, sizeof(struct BenchWindowShared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (mapped == MAP_FAILED) {
        return -1;
    }
    window->shared = (struct BenchWindowShared*)mapped;
    return 0;
}

void BenchWindowClose(BenchWindow* window)
{
    if (window->shared != NULL) {
        munmap(window->shared, sizeof(struct BenchWindowShared));
        window->shared = NULL;
    }
}

void BenchWindowAwaitRoom(BenchWindow* window)
{
    struct BenchWindowShared* shared = window->shared;
    if (shared == NULL) {
        return;
    }
    if (window->sent - window->consumed >= window->size) {
        window->consumed = atomic_load(&shared->consumed);
        if (window->sent - window->consumed >= window->size) {
            /* Full: sleep until half of it is consumed. */
            const unsigned wakeAt = window->sent - window->size / 2;
            atomic_store(&shared->wakeAt, wakeAt);
            /* Flag first, then look: either the consumer sees the flag
             * after its add, or this look sees the add. */
            atomic_store(&shared->producerAsleep, 1);
            for (;;) {
                const unsigned seen = atomic_load(&shared->consumed);
                if ((int)(seen - wakeAt) >= 0) {
                    break;
                }
                syscall(SYS_futex, &shared->consumed, FUTEX_WAIT, seen, NULL, NULL, 0);
            }
            atomic_store(&shared->producerAsleep, 0);
            window->consumed = atomic_load(&shared->consumed);
        }
    }
    ++window->sent;
}

void BenchWindowConsumed(BenchWindow* window)
{
    struct BenchWindowShared* shared = window->shared;
    if (shared == NULL) {
        return;
    }
    const unsigned consumed = atomic_fetch_add(&shared->consumed, 1) + 1;
    if (atomic_load(&shared->producerAsleep) != 0 && (int)(consumed - atomic_load(&shared->wakeAt)) >= 0) {
        syscall(SYS_futex, &shared->consumed, FUTEX_WAKE, 1, NULL, NULL, 0);
    }
}
