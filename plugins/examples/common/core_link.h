// A plugin's side of the core's event entry.
//
// Each example keeps one CoreLink, attached in Load before any thread of the
// plugin runs and read-only afterwards, so every call below may run on any
// thread. The calls build the event record the way the core expects it and
// return the core's answer (a RESULT_ code). Logging goes through LogMessage
// with fn() and id().
#ifndef DVRCORE_EXAMPLES_CORE_LINK_H
#define DVRCORE_EXAMPLES_CORE_LINK_H

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "plugin_api.h"

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

    // A record from this plugin, every other byte 0. `data` stays the
    // caller's: the core copies what it keeps.
    _EventParmsIn Event(uint32_t type, uint32_t flags, const void* data = nullptr, std::size_t size = 0) const
    {
        _EventParmsIn in;
        std::memset(&in, 0, sizeof in);
        in.size = static_cast<uint32_t>(sizeof in);
        in.version = 1;
        in.dataSize = static_cast<uint32_t>(size);
        in.data = const_cast<void*>(data);
        in.providerID = id_;
        in.eventType = type;
        in.flags = flags;
        return in;
    }

    int Raise(_EventParmsIn& in) const
    {
        _EventParmsOut out{static_cast<uint32_t>(sizeof(_EventParmsOut)), 1, RESULT_OK};
        fn_(&in, &out);
        return out.result;
    }

    // Gives back a payload block that Write (or IOCTL) answered with `keep`.
    void ReleaseBlock(void* block) const
    {
        _EventParmsIn in = Event(EVT_RELEASE_BLOCK, 0);
        in.data = block;
        Raise(in);
    }

    // Sends a copy of a complete packet (header included) to the parent. The
    // core frees the copy once it is written, or at once when it refuses it.
    int SendToParent(const void* packet, std::size_t length) const
    {
        void* block = std::malloc(length);
        if (block == nullptr) {
            return RESULT_NO_MEMORY;
        }
        std::memcpy(block, packet, length);
        _EventParmsIn in = Event(EVT_SEND_TO_PARENT, 0, block, length);
        return Raise(in);
    }

private:
    EventFunction fn_ = nullptr;
    uint32_t id_ = 0;
};

}  // namespace dvrexample

#endif  // DVRCORE_EXAMPLES_CORE_LINK_H
