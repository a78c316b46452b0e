/*
 * A trivial plugin for the start-up figure: it loads, opens, closes and
 * unloads, and takes no events. Every copy has its own id (bench_plugin.h).
 */
#include "bench_plugin.h"
#include "plugin_api.h"

#define IDLE_ID_BASE 0x00650000u

static void Anchor(void) {}

int32_t Load(void* in, void* out)
{
    (void)in;
    ((LoadResult*)out)->id = IDLE_ID_BASE | BenchPluginNumber(Anchor);
    return 0;
}

int32_t Open(void* in, void* out)
{
    (void)in;
    (void)out;
    return 0;
}

int32_t Close(void* in, void* out)
{
    (void)in;
    (void)out;
    return 0;
}

int32_t Unload(void* in, void* out)
{
    (void)in;
    (void)out;
    return 0;
}
