// The stand-in's "recordings" command: asks the example bridge plugin for the
// recordings of a camera in a time range and prints the lists it answers
// with (bridge_packets.h). Main thread of the stand-in only.
#ifndef DVRCORE_TOOLS_PARENT_STANDIN_RECORDINGS_QUERY_H
#define DVRCORE_TOOLS_PARENT_STANDIN_RECORDINGS_QUERY_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// "recordings INDEX CAMERA [FROM TO]": FROM and TO in UTC seconds since
// 1970, the whole time when left out. The request packet, or nothing when the
// arguments are not that.
std::optional<std::vector<uint8_t>> RecordingsRequest(const std::vector<std::string>& args, uint32_t sequence);

// Prints an answer packet, one line per recording and a closing line after
// the last list (`last` then true); false when the packet is not an answer.
bool PrintRecordings(const uint8_t* packet, std::size_t length, bool& last);

#endif  // DVRCORE_TOOLS_PARENT_STANDIN_RECORDINGS_QUERY_H
