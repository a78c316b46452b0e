/*
 * The one logging call of dvrcore and its plugins.
 *
 * Header-only and plain C, so plugins log without linking the core: all they
 * need is the event function that the core hands them in LoadParms. Every call
 * keeps its state on the caller's stack and may run on any thread.
 *
 * A message below its module's threshold costs one event-function call (the
 * level query): nothing is formatted and nothing is allocated.
 */
#ifndef DVRCORE_LOG_MESSAGE_H
#define DVRCORE_LOG_MESSAGE_H

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "plugin_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Longest text that a log event carries, its terminating zero included. */
#define LOG_MESSAGE_BUFFER 512
/* FLAG_LOG_MESSAGE together with bit 0x1000000, as every message is raised. */
#define LOG_MESSAGE_FLAGS 0x1000002u

/* The provider's current threshold: -1 (none) or 0..100. A null event
 * function has no threshold to ask, so every level counts as enabled. */
static inline int QueryLogLevel(uint32_t provider, EventFunction eventFn)
{
    _EventParmsIn in;
    _EventParmsOut out;
    if (eventFn == NULL) {
        return -1;
    }
    memset(&in, 0, sizeof in);
    in.size = (uint32_t)sizeof in;
    in.version = 1;
    in.providerID = provider;
    in.eventType = EVT_LOG;
    in.flags = FLAG_LEVEL_QUERY;
    out.size = (uint32_t)sizeof out;
    out.version = 1;
    out.result = 0;
    eventFn(&in, &out);
    return out.result;
}

/* Non-zero when a message of `level` passes the provider's threshold. */
static inline int IsLogLevelEnabled(uint32_t provider, EventFunction eventFn, int level)
{
    int threshold = QueryLogLevel(provider, eventFn);
    return threshold == -1 || level >= threshold;
}

static inline int LogMessageV(uint32_t provider, EventFunction eventFn, int level, const char* format, va_list args)
{
    char text[LOG_MESSAGE_BUFFER];
    _EventParmsIn in;
    _EventParmsOut out;
    int formatted;
    size_t length;

    if (eventFn == NULL || !IsLogLevelEnabled(provider, eventFn, level)) {
        return 0;
    }
    formatted = vsnprintf(text, sizeof text, format, args);
    if (formatted <= 0) {
        return formatted;
    }
    /* vsnprintf already cut an overlong text to 511 bytes and its zero. */
    length = (size_t)formatted < sizeof text ? (size_t)formatted : sizeof text - 1;

    memset(&in, 0, sizeof in);
    in.size = (uint32_t)sizeof in;
    in.version = 1;
    in.dataSize = (uint32_t)(length + 1);
    in.data = text;
    in.providerID = provider;
    in.eventType = EVT_LOG;
    in.flags = LOG_MESSAGE_FLAGS;
    in.level = level;
    out.size = (uint32_t)sizeof out;
    out.version = 1;
    out.result = 0;
    return eventFn(&in, &out);
}

/* Formats a message (printf style) and raises it as a log event. Returns 0
 * when the message does not pass or eventFn is null, the formatting result
 * when that is 0 or negative, else the event function's result. */
#if defined(__GNUC__)
__attribute__((format(printf, 4, 5)))
#endif
static inline int
LogMessage(uint32_t provider, EventFunction eventFn, int level, const char* format, ...)
{
    va_list args;
    int result;
    va_start(args, format);
    result = LogMessageV(provider, eventFn, level, format, args);
    va_end(args);
    return result;
}

#ifdef __cplusplus
}
#endif

#endif /* DVRCORE_LOG_MESSAGE_H */
