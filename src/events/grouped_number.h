// Numbers in log lines, written with the digit grouping of "en_US.UTF-8".
//
// "1,234,567" where that locale exists, plain "1234567" on systems without it.
// The locale is looked up once per process. Any thread; allocates the text.
#ifndef DVRCORE_EVENTS_GROUPED_NUMBER_H
#define DVRCORE_EVENTS_GROUPED_NUMBER_H

#include <cstdint>
#include <locale>
#include <string>

// The named locale, or the classic one when this system cannot create it.
std::locale LocaleOrClassic(const char* name);

// `value` in decimal with the digit grouping of `locale`.
std::string FormatNumber(uint64_t value, const std::locale& locale);

// `value` in decimal with the digit grouping of "en_US.UTF-8", if available.
std::string GroupedNumber(uint64_t value);

#endif  // DVRCORE_EVENTS_GROUPED_NUMBER_H
