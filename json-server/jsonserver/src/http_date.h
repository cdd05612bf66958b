#pragma once
// HTTP dates: the "If-Modified-Since" reader and the date writer of the file replies.

#include <cstdint>
#include <string>

// "Fri, 27 Jan 2017 06:53:20 GMT" for 1485500000; always in English and in UTC.
std::string formatHttpDateText(int64_t seconds);

// Seconds since 1970 of a date in one of the forms "27/Jan/2017 06:53:20", "27 Jan 2017 06:53:20",
// "Fri, 27 Jan 2017 06:53:20" and "27-Jan-2017 06:53:20" (anything after the seconds, such as
// "GMT", is ignored; the time is read as UTC). The month is "Jan" to "Dec" exactly and the year
// must be after 1970. 0 for any other text.
int64_t parseHttpDate(const std::string& text);
