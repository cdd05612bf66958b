#include "json-server/jsonserver/src/http_date.h"

#include "app/civil_time.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

const char* const monthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const dayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

// A scanf-like reader for the four date forms: "%d" is a number, "%s" three letters of a month
// name, "%*" three characters that are skipped, a blank any run of blanks, any other character
// itself. Numbers are bounded so that no text can overflow them.
class DateScanner {
 public:
  explicit DateScanner(const std::string& text) : text(text) {}

  bool scan(const char* format, int64_t numbers[5], std::string& month) {
    pos = 0;
    int count = 0;
    for (const char* f = format; *f; ++f) {
      if (*f == '%') {
        ++f;
        if (*f == 'd') {
          if (!number(numbers[count++])) return false;
        } else if (!word(*f == 's' ? &month : nullptr)) {
          return false;
        }
      } else if (*f == ' ') {
        skipBlanks();
      } else if (pos >= text.size() || text[pos++] != *f) {
        return false;
      }
    }
    return true;
  }

 private:
  static bool isBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
  void skipBlanks() {
    while (pos < text.size() && isBlank(text[pos])) ++pos;
  }
  bool number(int64_t& value) {
    skipBlanks();
    bool negative = false;
    if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) negative = text[pos++] == '-';
    size_t digits = 0;
    value = 0;
    while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
      if (++digits > 9) return false;
      value = value * 10 + (text[pos++] - '0');
    }
    if (negative) value = -value;
    return digits > 0;
  }
  bool word(std::string* out) {
    skipBlanks();
    const size_t start = pos;
    while (pos < text.size() && pos - start < 3 && !isBlank(text[pos])) ++pos;
    if (pos == start) return false;
    if (out) *out = text.substr(start, pos - start);
    return true;
  }

  const std::string& text;
  size_t pos = 0;
};

}  // namespace

std::string formatHttpDateText(int64_t seconds) {
  const CivilTime t = civilTimeOf(seconds);
  // Like the C library's calendar: no text for a year that its int fields cannot hold.
  if (t.year - 1900 < INT32_MIN || t.year - 1900 > INT32_MAX) return std::string();
  char buffer[256];
  std::snprintf(buffer, sizeof buffer, "%s, %02d %s %04d %02d:%02d:%02d GMT", dayNames[t.weekday], t.day,
                monthNames[t.month - 1], static_cast<int>(t.year), t.hour, t.minute, t.second);
  return buffer;
}

int64_t parseHttpDate(const std::string& text) {
  static const char* const forms[] = {"%d/%s/%d %d:%d:%d", "%d %s %d %d:%d:%d", "%*, %d %s %d %d:%d:%d",
                                      "%d-%s-%d %d:%d:%d"};
  DateScanner scanner(text);
  for (const char* form : forms) {
    // day, year, hour, minute, second (the month is the word)
    int64_t n[5] = {};
    std::string month;
    if (!scanner.scan(form, n, month)) continue;
    int monthIndex = -1;
    for (int i = 0; i < 12; ++i) {
      if (month == monthNames[i]) monthIndex = i;
    }
    const int64_t day = n[0], year = n[1], hour = n[2], minute = n[3], second = n[4];
    // Out-of-range fields give no date: a reply is then sent in full, which is never wrong.
    if (monthIndex < 0 || year <= 1970 || day < 1 || day > 31 || hour < 0 || hour > 23 || minute < 0 ||
        minute > 59 || second < 0 || second > 60) {
      return 0;
    }
    const int64_t days = daysFromCivil(year, monthIndex + 1, static_cast<int>(day));
    return days * 86400 + hour * 3600 + minute * 60 + second;
  }
  return 0;
}
