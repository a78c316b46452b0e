// JSON text for the API's answers: strings quoted and escaped.
#ifndef DVRCORE_WEB_JSON_TEXT_H
#define DVRCORE_WEB_JSON_TEXT_H

#include <cstdio>
#include <string>
#include <string_view>

namespace dvrweb {

inline std::string JsonString(std::string_view text)
{
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace dvrweb

#endif  // DVRCORE_WEB_JSON_TEXT_H
