#include "accounting_table.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "plugin_api.h"

namespace {

// The value of attribute `name` in the element text `element`, or "".
std::string Attribute(const std::string& element, const char* name)
{
    const std::string key = std::string(" ") + name + "=\"";
    const std::size_t start = element.find(key);
    if (start == std::string::npos) {
        return {};
    }
    const std::size_t value = start + key.size();
    return element.substr(value, element.find('"', value) - value);
}

unsigned long long Number(const std::string& element, const char* name)
{
    return std::strtoull(Attribute(element, name).c_str(), nullptr, 10);
}

}  // namespace

void PrintAccountingTable(const uint8_t* packet, std::size_t length)
{
    const std::string text(reinterpret_cast<const char*>(packet) + IPC_HEADER_SIZE, length - IPC_HEADER_SIZE);
    std::printf("standin: plugin accounting\n");
    std::printf("standin:   %-10s %-20s %10s %8s %10s %10s %8s %8s %10s %7s\n", "id", "file", "raised", "refused",
                "delivered", "write ms", "max ms", "blocks", "bytes", "threads");
    for (std::size_t at = text.find("<PluginUsage "); at != std::string::npos;
         at = text.find("<PluginUsage ", at + 1)) {
        const std::string element = text.substr(at, text.find('>', at) - at);
        // The id is written as the signed value of its 32 bits.
        const auto id = static_cast<uint32_t>(std::strtoll(Attribute(element, "ID").c_str(), nullptr, 10));
        const unsigned long long refused = Number(element, "Refused") + Number(element, "NoSyncFrame") +
                                           Number(element, "FrameLimit") + Number(element, "Throttled") +
                                           Number(element, "NoMemory");
        std::printf("standin:   0x%08" PRIx32 " %-20s %10llu %8llu %10llu %10llu %8llu %8llu %10llu %7llu\n", id,
                    Attribute(element, "Filename").c_str(), Number(element, "Raised"), refused,
                    Number(element, "Delivered"), Number(element, "WriteUs") / 1000,
                    Number(element, "WriteMaxUs") / 1000, Number(element, "BlocksKept"), Number(element, "BytesKept"),
                    Number(element, "Threads"));
    }
}
