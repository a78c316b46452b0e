#define _GNU_SOURCE
#include "bench_plugin.h"

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* File name of the library that holds `anchor`, without directory and ".so". */
static int LibraryStem(void (*anchor)(void), char* stem, size_t size)
{
    Dl_info info;
    const char* name;
    size_t length;

    if (dladdr((void*)anchor, &info) == 0 || info.dli_fname == NULL) {
        return -1;
    }
    name = strrchr(info.dli_fname, '/');
    name = name != NULL ? name + 1 : info.dli_fname;
    length = strlen(name);
    if (length > 3 && strcmp(name + length - 3, ".so") == 0) {
        length -= 3;
    }
    if (length >= size) {
        return -1;
    }
    memcpy(stem, name, length);
    stem[length] = '\0';
    return 0;
}

uint32_t BenchPluginNumber(void (*anchor)(void))
{
    char stem[256];
    size_t at;
    if (LibraryStem(anchor, stem, sizeof stem) != 0) {
        return 0;
    }
    at = strlen(stem);
    while (at > 0 && stem[at - 1] >= '0' && stem[at - 1] <= '9') {
        --at;
    }
    return (uint32_t)strtoul(stem + at, NULL, 10);
}

int BenchPluginJob(BenchJob* job)
{
    return BenchJobParse(getenv("DVRBENCH_JOB"), job);
}

int BenchPluginReport(void (*anchor)(void), const char* text)
{
    const char* dir = getenv("DVRBENCH_RESULTS");
    char stem[256];
    char path[768];
    char pending[800];
    FILE* file;
    int failed;

    if (dir == NULL || LibraryStem(anchor, stem, sizeof stem) != 0) {
        return -1;
    }
    snprintf(path, sizeof path, "%s/%s.txt", dir, stem);
    snprintf(pending, sizeof pending, "%s.tmp", path);
    file = fopen(pending, "w");
    if (file == NULL) {
        return -1;
    }
    failed = fprintf(file, "%s\n", text) < 0;
    failed |= fclose(file) != 0;
    if (failed || rename(pending, path) != 0) {
        remove(pending);
        return -1;
    }
    return 0;
}
