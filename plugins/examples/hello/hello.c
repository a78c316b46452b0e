/*
 * hello: the smallest useful dvrcore plugin.
 *
 * It says hello when the core opens it, with the greeting of its settings file
 * (hello.conf in the core's working directory) when there is one; raises one
 * event of its own kind and logs it when the core delivers it back; logs the
 * size of every configuration document that the core hands it; and says
 * goodbye when it is closed.
 */
#include "core_link.h"
#include "event_match.h"
#include "log_message.h"
#include "plugin_api.h"
#include "plugin_settings.h"

/* Provider index 0x60 (bits 16..27): one that no other plugin of the core uses. */
#define HELLO_ID 0x00600000u
/* The flag bit of hello's own events: only events that carry it match. */
#define HELLO_FLAG 0x00010000u

/* The core's event entry, handed over in Load: events and log messages go
 * through it, from any thread. */
static EventFunction core;

int32_t Load(void* in, void* out)
{
    LoadParms* parms = (LoadParms*)in;
    LoadResult* result = (LoadResult*)out;

    core = parms->eventCallback;
    result->id = HELLO_ID;
    result->defaultLogLevel = LOG_LEVEL_INFO;
    /* Queued EVT_STATUS events that carry HELLO_FLAG come to Write. */
    DvrSubscribe(result, EVT_STATUS, DISPATCH_MATCH(HELLO_FLAG));
    result->writerFlag = 1;
    return 0;
}

static void OnSetting(const char* key, const char* value, void* context)
{
    (void)context;
    LogMessage(HELLO_ID, core, LOG_LEVEL_INFO, "setting %s: %s", key, value);
}

int32_t Open(void* in, void* out)
{
    (void)in;
    (void)out;
    LogMessage(HELLO_ID, core, LOG_LEVEL_INFO, "hello from the hello plugin");
    int badLine = 0;
    if (DvrReadSettings("hello.conf", OnSetting, NULL, &badLine) >= 0 && badLine != 0) {
        LogMessage(HELLO_ID, core, LOG_LEVEL_WARNING, "hello.conf line %d is not \"key = value\"", badLine);
    }
    static const char text[] = "hello";
    _EventParmsIn event = DvrEvent(HELLO_ID, EVT_STATUS, HELLO_FLAG, text, sizeof text);
    const int raised = DvrRaise(core, &event);
    if (raised != RESULT_OK) {
        LogMessage(HELLO_ID, core, LOG_LEVEL_WARNING, "the core refused hello's event (%d)", raised);
    }
    return 0;
}

int32_t Write(void* in, void* out)
{
    WriteParms* parms = (WriteParms*)in;
    (void)out;
    /* Documents without flags match every mask: take only hello's own. */
    if ((parms->flags & HELLO_FLAG) != 0) {
        LogMessage(HELLO_ID, core, LOG_LEVEL_INFO, "hello event came back (%u bytes)", (unsigned)parms->dataSize);
    }
    return 0;
}

int32_t IOCTL(void* in, void* out)
{
    IoctlParms* parms = (IoctlParms*)in;
    (void)out;
    if (parms->command == IOCTL_UPDATE_CONFIG) {
        LogMessage(HELLO_ID, core, LOG_LEVEL_INFO, "configuration received (%u bytes)", (unsigned)parms->argLength);
    }
    return 0;
}

int32_t Close(void* in, void* out)
{
    (void)in;
    (void)out;
    LogMessage(HELLO_ID, core, LOG_LEVEL_INFO, "goodbye");
    return 0;
}
