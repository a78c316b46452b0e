/*
 * A plugin's side of the core's event entry. Part of the plugin SDK; C and C++.
 *
 * The C functions take the event function from LoadParms and the plugin's
 * provider id; the C++ CoreLink keeps both. Keep one CoreLink, attached in
 * Load before any thread of the plugin runs and read-only afterwards, so
 * every call below may run on any thread. The calls build the event record
 * the way the core expects it and return the core's answer (a RESULT_ code).
 * Logging goes through LogMessage (log_message.h) with the same two values.
 */
#ifndef DVRCORE_SDK_CORE_LINK_H
#define DVRCORE_SDK_CORE_LINK_H

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "plugin_api.h"

#ifdef __cplusplus
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" {
#endif

/* A record from provider `id`, every other byte 0. `data` stays the caller's:
 * the core copies what it keeps. */
static inline _EventParmsIn DvrEvent(uint32_t id, uint32_t type, uint32_t flags, const void* data, size_t size)
{
    _EventParmsIn in;
    memset(&in, 0, sizeof in);
    in.size = (uint32_t)sizeof in;
    in.version = 1;
    in.dataSize = (uint32_t)size;
    in.data = (void*)data;
    in.providerID = id;
    in.eventType = type;
    in.flags = flags;
    return in;
}

/* Raises `in`; the core's answer, a RESULT_ code. */
static inline int DvrRaise(EventFunction fn, _EventParmsIn* in)
{
    _EventParmsOut out = {(uint32_t)sizeof(_EventParmsOut), 1, RESULT_OK};
    fn(in, &out);
    return out.result;
}

/* Gives back a payload block that Write (or IOCTL) answered with `keep`. */
static inline void DvrReleaseBlock(EventFunction fn, uint32_t id, void* block)
{
    _EventParmsIn in = DvrEvent(id, EVT_RELEASE_BLOCK, 0, block, 0);
    DvrRaise(fn, &in);
}

/* Sends a copy of a complete packet (header included) to the parent. The core
 * frees the copy once it is written, or at once when it refuses it. */
static inline int DvrSendToParent(EventFunction fn, uint32_t id, const void* packet, size_t length)
{
    void* block = malloc(length);
    if (block == NULL) {
        return RESULT_NO_MEMORY;
    }
    memcpy(block, packet, length);
    _EventParmsIn in = DvrEvent(id, EVT_SEND_TO_PARENT, 0, block, length);
    return DvrRaise(fn, &in);
}

#ifdef __cplusplus
}

namespace dvrexample {

class CoreLink {
public:
    void Attach(EventFunction fn, uint32_t id)
    {
        fn_ = fn;
        id_ = id;
    }
    EventFunction fn() const { return fn_; }
    uint32_t id() const { return id_; }

    _EventParmsIn Event(uint32_t type, uint32_t flags, const void* data = nullptr, std::size_t size = 0) const
    {
        return DvrEvent(id_, type, flags, data, size);
    }
    int Raise(_EventParmsIn& in) const { return DvrRaise(fn_, &in); }
    void ReleaseBlock(void* block) const { DvrReleaseBlock(fn_, id_, block); }
    int SendToParent(const void* packet, std::size_t length) const { return DvrSendToParent(fn_, id_, packet, length); }

private:
    EventFunction fn_ = nullptr;
    uint32_t id_ = 0;
};

}  // namespace dvrexample
#endif

#endif /* DVRCORE_SDK_CORE_LINK_H */
