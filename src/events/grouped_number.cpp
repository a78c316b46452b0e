#include "grouped_number.h"

#include <sstream>
#include <stdexcept>

std::locale LocaleOrClassic(const char* name)
{
    try {
        return std::locale(name);
    } catch (const std::runtime_error&) {
        return std::locale::classic();
    }
}

std::string FormatNumber(uint64_t value, const std::locale& locale)
{
    std::ostringstream text;
    text.imbue(locale);
    text << value;
    return text.str();
}

std::string GroupedNumber(uint64_t value)
{
    // Creating a named locale reads the system's locale files: do it once.
    static const std::locale grouping = LocaleOrClassic("en_US.UTF-8");
    return FormatNumber(value, grouping);
}
