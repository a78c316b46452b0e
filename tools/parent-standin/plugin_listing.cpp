#include "plugin_listing.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "plugin_api.h"

void PrintPluginListing(const uint8_t* packet, std::size_t length)
{
    const std::string text(reinterpret_cast<const char*>(packet) + IPC_HEADER_SIZE, length - IPC_HEADER_SIZE);
    std::printf("standin: plugin listing (%zu bytes)\n", text.size());
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::printf("standin:   %s\n", text.substr(start, end - start).c_str());
        start = end + 1;
    }
}
