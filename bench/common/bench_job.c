#define _POSIX_C_SOURCE 200809L
#include "bench_job.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

/* Reads an unsigned decimal of at most `max`; -1 when malformed. */
static int ParseNumber(const char* text, uint64_t max, uint64_t* value)
{
    char* end = NULL;
    unsigned long long parsed;
    if (*text < '0' || *text > '9') {
        return -1;
    }
    errno = 0;
    parsed = strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || parsed > max) {
        return -1;
    }
    *value = parsed;
    return 0;
}

static int ApplyWord(const char* key, const char* value, BenchJob* job)
{
    uint64_t number = 0;
    if (strcmp(key, "mode") == 0) {
        if (strcmp(value, "events") == 0) {
            job->mode = BENCH_MODE_EVENTS;
        } else if (strcmp(value, "log") == 0) {
            job->mode = BENCH_MODE_LOG;
        } else {
            return -1;
        }
        return 0;
    }
    if (strcmp(key, "payload") == 0 && ParseNumber(value, 64u << 20, &number) == 0) {
        job->payload = (uint32_t)number;
    } else if (strcmp(key, "events") == 0 && ParseNumber(value, UINT64_MAX / 2, &number) == 0 && number > 0) {
        job->events = number;
    } else if (strcmp(key, "warmup") == 0 && ParseNumber(value, UINT64_MAX / 2, &number) == 0) {
        job->warmup = number;
    } else if (strcmp(key, "rate") == 0 && ParseNumber(value, 1000000000u, &number) == 0) {
        job->rate = (uint32_t)number;
    } else if (strcmp(key, "window") == 0 && ParseNumber(value, 1u << 24, &number) == 0) {
        job->window = (uint32_t)number;
    } else if (strcmp(key, "producers") == 0 && ParseNumber(value, BENCH_MAX_PRODUCERS, &number) == 0 && number > 0) {
        job->producers = (uint32_t)number;
    } else {
        return -1;
    }
    return 0;
}

int BenchJobParse(const char* text, BenchJob* job)
{
    char words[512];
    char* save = NULL;
    char* word;

    job->payload = 0;
    job->events = 100000;
    job->warmup = 1000;
    job->rate = 0;
    job->producers = 1;
    job->window = 0;
    job->mode = BENCH_MODE_EVENTS;
    if (text == NULL) {
        return 0;
    }
    if (strlen(text) >= sizeof words) {
        return -1;
    }
    strcpy(words, text);
    for (word = strtok_r(words, " \t\n", &save); word != NULL; word = strtok_r(NULL, " \t\n", &save)) {
        char* equals = strchr(word, '=');
        if (equals == NULL) {
            return -1;
        }
        *equals = '\0';
        if (ApplyWord(word, equals + 1, job) != 0) {
            return -1;
        }
    }
    /* At least one measured event per producer. */
    return job->warmup < job->events ? 0 : -1;
}

uint64_t BenchNowNs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000000000u + (uint64_t)now.tv_nsec;
}

void BenchSleepUntil(uint64_t deadlineNs)
{
    struct timespec deadline;
    deadline.tv_sec = (time_t)(deadlineNs / 1000000000u);
    deadline.tv_nsec = (long)(deadlineNs % 1000000000u);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, NULL) == EINTR) {
    }
}
