/*
 * Soak configuration changer: every DELTA_INTERVAL_MS its worker raises a
 * configuration delta that moves the log threshold of provider TARGET_ID
 * between two levels, so that each delta changes something: the core saves
 * core.xml and publishes the configuration again. It counts the published
 * documents that reach it through IOCTL_UPDATE_CONFIG.
 *
 * PLUGIN_ID is the provider id.
 */
#include "soak_plugin.h"

#define DELTA_INTERVAL_MS 700

static EventFunction core;
static unsigned deltas, refused; /* worker thread, then Unload */
static atomic_uint publications;

int32_t Load(void* in, void* out)
{
    return LoadWorkerOnly(in, out, &core);
}

int32_t Unload(void* in, void* out)
{
    (void)in;
    (void)out;
    Report("config", "%08x deltas %u refused %u publications %u", PLUGIN_ID, deltas, refused,
           atomic_load(&publications));
    return 0;
}

int32_t IOCTL(void* in, void* out)
{
    const IoctlParms* parms = (const IoctlParms*)in;
    (void)out;
    if (parms->command == IOCTL_UPDATE_CONFIG) {
        /* The core's own documents say who the product is; deltas do not. */
        static const char kProduct[] = "<Product ";
        const char* text = (const char*)parms->argData;
        uint32_t i;
        for (i = 0; text != NULL && i + sizeof kProduct - 1 <= parms->argLength; ++i) {
            if (memcmp(text + i, kProduct, sizeof kProduct - 1) == 0) {
                ++publications;
                break;
            }
        }
        return 0;
    }
    if (parms->command != IOCTL_WORKER_THREAD) {
        return 0;
    }
    while (!WaitClosed(DELTA_INTERVAL_MS)) {
        char text[256];
        const int length = snprintf(text, sizeof text,
                                    "<Vgil Delta=\"1\"><Modules><Module><Plugin ID=\"%d\" LogLevel=\"%d\"/></Module>"
                                    "</Modules></Vgil>",
                                    (int)TARGET_ID, deltas % 2 == 0 ? 60 : 75);
        if (RaiseEvent(core, EventRecord(PLUGIN_ID, EVT_CONFIG, 0, text, (uint32_t)length, NULL)) == RESULT_OK) {
            ++deltas;
        } else {
            ++refused;
        }
    }
    return 0;
}
