#include "recordings_query.h"

#include <algorithm>
#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <limits>
#include <memory>

#include "bridge_packets.h"

namespace {

constexpr int64_t kNsPerSecond = 1000000000;

std::optional<int64_t> Seconds(const std::string& text)
{
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < 0 || value > std::numeric_limits<int64_t>::max() / kNsPerSecond) {
        return std::nullopt;
    }
    return value * kNsPerSecond;
}

std::string Utc(int64_t ns)
{
    const std::time_t seconds = static_cast<std::time_t>(ns / kNsPerSecond);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ns % kNsPerSecond / 1000000));
    return text;
}

// Recordings printed since the last closing line.
std::size_t listed = 0;

}  // namespace

std::optional<std::vector<uint8_t>> RecordingsRequest(const std::vector<std::string>& args, uint32_t sequence)
{
    char* end = nullptr;
    const unsigned long index = args.empty() ? 0 : std::strtoul(args[0].c_str(), &end, 0);
    // Asked with whole names, which the older answer may cut.
    dvrexample::RecordingsWholeQuery whole{};
    dvrexample::RecordingsQuery& query = whole.query;
    query.fromNs = 0;
    query.toNs = std::numeric_limits<int64_t>::max();
    if ((args.size() != 2 && args.size() != 4) || *end != '\0' || index > 0xFFF ||
        args[1].size() >= sizeof query.camera) {
        return std::nullopt;
    }
    if (args.size() == 4) {
        const std::optional<int64_t> from = Seconds(args[2]);
        const std::optional<int64_t> to = Seconds(args[3]);
        if (!from || !to) {
            return std::nullopt;
        }
        query.fromNs = *from;
        query.toNs = *to;
    }
    std::memcpy(query.camera, args[1].data(), args[1].size());
    const IpcPacketHeader header{static_cast<uint32_t>(sizeof header + sizeof whole),
                                 static_cast<uint32_t>(index << 20), dvrexample::kRecordingsWholeRequest, sequence};
    std::vector<uint8_t> packet(header.packetLength);
    std::memcpy(packet.data(), &header, sizeof header);
    std::memcpy(packet.data() + sizeof header, &whole, sizeof whole);
    return packet;
}

namespace {

// One answer of either kind, the payload of a packet of `length` bytes.
template <typename List>
bool PrintList(const uint8_t* payload, std::size_t length)
{
    auto list = std::make_unique<List>();
    constexpr std::size_t kListHead = offsetof(List, entries);
    std::memcpy(list.get(), payload, std::min(length, sizeof(List)));
    const std::size_t count = std::min<std::size_t>(
        {list->count, std::size(list->entries), (length - kListHead) / sizeof list->entries[0]});
    for (std::size_t i = 0; i < count; ++i) {
        const auto& entry = list->entries[i];
        std::printf("standin: recording %.*s from %s to %s, %" PRIu64 " bytes, %" PRIu32 " sync frames, run %" PRIu32
                    "\n",
                    static_cast<int>(strnlen(entry.name, sizeof entry.name)), entry.name, Utc(entry.startNs).c_str(),
                    Utc(entry.endNs).c_str(), entry.bytes, entry.syncFrames, entry.run);
    }
    listed += count;
    if (list->last != 0) {
        std::printf("standin: %zu recordings listed\n", listed);
        listed = 0;
    }
    return list->last != 0;
}

}  // namespace

bool PrintRecordings(const uint8_t* packet, std::size_t length, bool& last)
{
    IpcPacketHeader header;
    if (length < sizeof header + offsetof(dvrexample::RecordingsList, entries)) {
        return false;
    }
    std::memcpy(&header, packet, sizeof header);
    if (header.packetType == dvrexample::kRecordingsAnswer) {
        last = PrintList<dvrexample::RecordingsList>(packet + sizeof header, length - sizeof header);
    } else if (header.packetType == dvrexample::kRecordingsWholeAnswer) {
        last = PrintList<dvrexample::RecordingsWholeList>(packet + sizeof header, length - sizeof header);
    } else {
        return false;
    }
    std::fflush(stdout);
    return true;
}
