#include "app/logger.h"

#include "app/host_clock.h"

#include <boost/property_tree/ptree.hpp>

#include <cstdio>
#include <iostream>

LogTime localLogTime(int64_t unixMicros) {
  int64_t seconds = unixMicros / 1000000;
  int64_t fraction = unixMicros % 1000000;
  if (fraction < 0) {  // clocks before 1970
    fraction += 1000000;
    --seconds;
  }
  const CivilTime t = localCivilTime(seconds);
  return LogTime{static_cast<int>(t.year), t.month, t.day, t.hour, t.minute, t.second, static_cast<int>(fraction)};
}

const char* loggingLevelName(LoggingLevel level) {
  switch (level) {
    case LoggingLevel::ERROR: return "ERROR    ";
    case LoggingLevel::WARNING: return "WARNING  ";
    case LoggingLevel::NOTICE: return "NOTICE   ";
    case LoggingLevel::INFO: return "INFO     ";
    case LoggingLevel::DEBUG: return "DEBUG    ";
  }
  return "         ";
}

std::string formatLogLine(const LogTime& t, LoggingLevel level, const std::string& text) {
  char stamp[48];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d  ", t.year, t.month, t.day,
                t.hour, t.minute, t.second, t.microsecond / 1000);
  std::string line(stamp);
  line += loggingLevelName(level);
  line += text;
  return line;
}

Logger::Logger(std::ostream& consoleStream) : console(consoleStream) {}

Logger::~Logger() = default;

Logger& Logger::instance() {
  // Built on first use, so it is ready for any static initialiser that logs; never destroyed,
  // so threads still logging during exit find it intact.
  static Logger* logger = new Logger(std::cout);
  return *logger;
}

void Logger::log(LoggingLevel level, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex);
  if (level > consoleLevel && !(fileEnabled && level <= fileLevel)) {
    ++nextSequence;  // a line nobody keeps or sees still takes its number; skip the clock and text
    return;
  }
  LogRecord record{nextSequence, formatLogLine(localLogTime(hostMicros()), level, text), level};
  ++nextSequence;
  if (level <= consoleLevel) {
    if (count >= capacity) {
      records.pop_front();
      --count;
    }
    records.push_back(record);
    ++count;
    if (consoleEnabled) writeLogToConsole(records.back());
  }
  if (fileEnabled && level <= fileLevel) writeLogToFile(record);
}

void Logger::setConsoleOutput(bool enabled, LoggingLevel level) {
  std::lock_guard<std::mutex> lock(mutex);
  consoleEnabled = enabled;
  consoleLevel = level;
}

void Logger::getLogSince(boost::property_tree::ptree& target, uint32_t index) {
  std::lock_guard<std::mutex> lock(mutex);
  // An index from an earlier run of the process gets everything kept.
  const uint32_t since = index > nextSequence ? 0 : index;
  for (const LogRecord& record : records) {
    if (record.sequence <= since) continue;
    boost::property_tree::ptree entry;
    boost::property_tree::ptree value;
    value.put_value(std::to_string(record.sequence));
    entry.push_back({"", value});
    value.put_value(std::to_string(static_cast<int>(record.level)));
    entry.push_back({"", value});
    value.put_value(record.line);
    entry.push_back({"", value});
    target.push_back({"", entry});
  }
}

uint32_t Logger::nextSequenceNumber() {
  std::lock_guard<std::mutex> lock(mutex);
  return nextSequence;
}

void Logger::writeLogToConsole(const LogRecord& record) {
  console << record.line << '\n';
  console.flush();
  console.clear();  // errors of standard output are ignored
}

void Logger::writeLogToFile(const LogRecord& record) {
  fileStream << record.line << '\n';
  fileStream.flush();
}

void logError(const std::string& text) { Logger::instance().log(LoggingLevel::ERROR, text); }
void logInfo(const std::string& text) { Logger::instance().log(LoggingLevel::INFO, text); }
void logDebug(const std::string& text) { Logger::instance().log(LoggingLevel::DEBUG, text); }
void logMessage(LoggingLevel level, const std::string& text) { Logger::instance().log(level, text); }
void setConsoleOutput(bool enabled, LoggingLevel level) {
  Logger::instance().setConsoleOutput(enabled, level);
}
void getLogSince(boost::property_tree::ptree& target, uint32_t index) {
  Logger::instance().getLogSince(target, index);
}
