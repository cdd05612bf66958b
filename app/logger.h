#pragma once
// The process-wide logger: one mutex, numbered lines, a ring of the newest lines for the web page.

#include <boost/property_tree/ptree_fwd.hpp>

#include <cstdint>
#include <deque>
#include <fstream>
#include <iosfwd>
#include <mutex>
#include <string>

enum class LoggingLevel : int {
  ERROR = 1,
  WARNING = 2,
  NOTICE = 3,
  INFO = 4,
  DEBUG = 5,
};

struct LogRecord {
  uint32_t sequence;
  std::string line;
  LoggingLevel level;
};

// Local wall-clock time broken down for a log line.
struct LogTime {
  int year, month, day, hour, minute, second;
  int microsecond;
};

// The host's local time of a clock reading in microseconds since 1970.
LogTime localLogTime(int64_t unixMicros);

// "2017-01-27 09:05:03.042  INFO     text"
std::string formatLogLine(const LogTime& time, LoggingLevel level, const std::string& text);
const char* loggingLevelName(LoggingLevel level);

class Logger {
 public:
  // The process logger writes to standard output; tests make their own with another stream.
  explicit Logger(std::ostream& console);
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  static Logger& instance();

  void log(LoggingLevel level, const std::string& text);
  void setConsoleOutput(bool enabled, LoggingLevel level);
  // Appends [sequence, level, line] arrays for every kept line newer than index.
  void getLogSince(boost::property_tree::ptree& target, uint32_t index);
  uint32_t nextSequenceNumber();

 private:
  void writeLogToConsole(const LogRecord& record);
  void writeLogToFile(const LogRecord& record);

  std::deque<LogRecord> records;
  uint32_t capacity = 1000;
  uint32_t count = 0;
  bool consoleEnabled = false;
  LoggingLevel consoleLevel = LoggingLevel::DEBUG;
  bool fileEnabled = false;
  LoggingLevel fileLevel = LoggingLevel::DEBUG;
  std::ofstream fileStream;
  std::mutex mutex;
  uint32_t nextSequence = 1;
  std::ostream& console;
};

void logError(const std::string& text);
void logInfo(const std::string& text);
void logDebug(const std::string& text);
void logMessage(LoggingLevel level, const std::string& text);
void setConsoleOutput(bool enabled, LoggingLevel level);
void getLogSince(boost::property_tree::ptree& target, uint32_t index);
