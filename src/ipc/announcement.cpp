#include "announcement.h"

#include <vector>

namespace {

constexpr char kBackground[] = "Background:true";
// Texts after the background option carry nothing the core reads.
constexpr std::size_t kTextsRead = 3;

}  // namespace

Announcement ParseAnnouncement(const uint8_t* payload, std::size_t length)
{
    std::vector<std::string> texts(1);
    for (std::size_t i = 0; i < length; ++i) {
        if (payload[i] == 0) {
            if (texts.size() == kTextsRead) {
                break;
            }
            texts.emplace_back();
        } else {
            texts.back().push_back(static_cast<char>(payload[i]));
        }
    }

    Announcement announcement;
    announcement.filename = texts[0];
    if (texts.size() >= 2) {
        announcement.version = texts[1];
    }
    if (texts.size() >= 3) {
        announcement.background = texts[2] == kBackground;
    }
    return announcement;
}
