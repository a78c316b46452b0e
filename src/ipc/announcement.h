// The parent service's announcement: who the parent is and how the core runs.
//
// The payload of an IPC_ANNOUNCE packet is a run of texts separated by NUL
// bytes; the bytes after the last NUL form one more text, possibly empty. By
// position: the parent's file name, its version, and the background option
// ("Background:true" exactly, nothing else). Later texts are ignored. A value
// whose text is missing is left out, and the core keeps what it had.
//
// ParseAnnouncement is a pure function of the payload bytes (which may hold
// anything); the IPC reader calls it on `ioThread`.
#ifndef DVRCORE_IPC_ANNOUNCEMENT_H
#define DVRCORE_IPC_ANNOUNCEMENT_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

struct Announcement {
    std::string filename;
    std::optional<std::string> version;  // from the second text
    std::optional<bool> background;      // from the third text
};

Announcement ParseAnnouncement(const uint8_t* payload, std::size_t length);

#endif  // DVRCORE_IPC_ANNOUNCEMENT_H
