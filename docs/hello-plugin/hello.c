/*
 * hello: the smallest useful dvrcore plugin.
 *
 * It says hello when the core opens it, logs the size of every configuration
 * document that the core hands it, and says goodbye when it is closed.
 */
#include "log_message.h"
#include "plugin_api.h"

/* Provider index 0x60 (bits 16..27): one that no other plugin of the core uses. */
#define HELLO_ID 0x00600000u

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
    return 0;
}

int32_t Open(void* in, void* out)
{
    (void)in;
    (void)out;
    LogMessage(HELLO_ID, core, LOG_LEVEL_INFO, "hello from the hello plugin");
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
