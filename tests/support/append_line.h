/*
 * How test plugins report: one line "<prefix> <text>\n" appended to a file
 * with a single write, so that lines of concurrent threads never interleave.
 * A line that cannot be written is simply missing, which the test sees.
 * Header-only plain C, as the plugins are.
 */
#ifndef DVRCORE_TESTS_SUPPORT_APPEND_LINE_H
#define DVRCORE_TESTS_SUPPORT_APPEND_LINE_H

#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <unistd.h>

static inline void AppendLineV(const char* path, const char* prefix, const char* format, va_list args)
{
    char line[256];
    int length = snprintf(line, sizeof line, "%s ", prefix);
    int fd;
    length += vsnprintf(line + length, sizeof line - (size_t)length - 1, format, args);
    if (length > (int)sizeof line - 2) {
        length = (int)sizeof line - 2;
    }
    line[length++] = '\n';
    fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        if (write(fd, line, (size_t)length) < 0) {
            /* missing, as said above */
        }
        close(fd);
    }
}

#endif /* DVRCORE_TESTS_SUPPORT_APPEND_LINE_H */
