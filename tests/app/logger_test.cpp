#include "app/logger.h"
#include "tests/support/time_zone.h"

#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include <sstream>
#include <thread>
#include <vector>

namespace {

using boost::property_tree::ptree;

struct Kept {
  uint32_t sequence;
  int level;
  std::string line;
};

std::vector<Kept> readSince(Logger& logger, uint32_t index) {
  ptree tree;
  logger.getLogSince(tree, index);
  std::vector<Kept> out;
  for (const auto& entry : tree) {
    std::vector<std::string> values;
    for (const auto& value : entry.second) values.push_back(value.second.data());
    EXPECT_EQ(values.size(), 3u);
    out.push_back({static_cast<uint32_t>(std::stoul(values[0])), std::stoi(values[1]), values[2]});
  }
  return out;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::string textOf(const std::string& line) { return line.substr(34); }

TEST(LogLineFormat, DateTimeMillisecondsAndLevelColumn) {
  struct Case {
    LogTime time;
    LoggingLevel level;
    const char* text;
    const char* expected;
  };
  const Case cases[] = {
      {{2017, 1, 27, 9, 5, 3, 42999}, LoggingLevel::INFO, "Closed successfully",
       "2017-01-27 09:05:03.042  INFO     Closed successfully"},
      {{2017, 12, 1, 0, 0, 0, 0}, LoggingLevel::ERROR, "x", "2017-12-01 00:00:00.000  ERROR    x"},
      {{2026, 6, 9, 23, 59, 59, 5000}, LoggingLevel::WARNING, "w", "2026-06-09 23:59:59.005  WARNING  w"},
      {{2026, 6, 9, 1, 2, 3, 999999}, LoggingLevel::NOTICE, "", "2026-06-09 01:02:03.999  NOTICE   "},
      {{2026, 6, 9, 1, 2, 3, 0}, LoggingLevel::DEBUG, "d", "2026-06-09 01:02:03.000  DEBUG    d"},
  };
  for (const auto& c : cases) EXPECT_EQ(formatLogLine(c.time, c.level, c.text), c.expected);
}

// The line's local time from the clock reading, also past what a 32-bit time_t holds.
TEST(LogLineFormat, LocalTimeOfAClockReading) {
  ScopedTimeZone zone(kCentralEurope);
  struct Case {
    int64_t micros;
    const char* expected;
  };
  const Case cases[] = {
      {1485507903042999, "2017-01-27 10:05:03.042  INFO     x"},
      {2218104000123456, "2040-04-15 14:00:00.123  INFO     x"},
      {4102444799999999, "2100-01-01 00:59:59.999  INFO     x"},
      {-1, "1970-01-01 00:59:59.999  INFO     x"},
  };
  for (const Case& c : cases) EXPECT_EQ(formatLogLine(localLogTime(c.micros), LoggingLevel::INFO, "x"), c.expected);
}

TEST(Logger, NumbersEveryCallButKeepsAndPrintsOnlyUpToConsoleLevel) {
  std::ostringstream out;
  Logger logger(out);
  logger.log(LoggingLevel::INFO, "first");
  logger.setConsoleOutput(true, LoggingLevel::INFO);
  logger.log(LoggingLevel::INFO, "one");
  logger.log(LoggingLevel::DEBUG, "hidden");
  logger.log(LoggingLevel::ERROR, "two");

  const auto kept = readSince(logger, 0);
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept[0].sequence, 1u);  // kept, but printed only once the console was on
  EXPECT_EQ(kept[1].sequence, 2u);
  EXPECT_EQ(kept[2].sequence, 4u);  // the DEBUG line took number 3
  EXPECT_EQ(kept[2].level, 1);
  EXPECT_EQ(textOf(kept[1].line), "one");
  EXPECT_EQ(kept[1].line.substr(23, 11), "  INFO     ");

  const auto printed = lines(out.str());
  ASSERT_EQ(printed.size(), 2u);
  EXPECT_EQ(printed[0], kept[1].line);
  EXPECT_EQ(printed[1], kept[2].line);
  EXPECT_EQ(logger.nextSequenceNumber(), 5u);
}

TEST(Logger, ReadOutSinceAnIndex) {
  std::ostringstream out;
  Logger logger(out);
  logger.setConsoleOutput(false, LoggingLevel::INFO);
  for (int i = 0; i < 5; ++i) logger.log(LoggingLevel::INFO, std::to_string(i));

  EXPECT_EQ(readSince(logger, 0).size(), 5u);
  const auto newer = readSince(logger, 3);
  ASSERT_EQ(newer.size(), 2u);
  EXPECT_EQ(newer[0].sequence, 4u);

  ptree empty;
  logger.getLogSince(empty, 5);  // the newest kept line: nothing newer
  EXPECT_TRUE(empty.empty());
  EXPECT_EQ(readSince(logger, 6).size(), 0u);   // equal to the next number: still this run
  EXPECT_EQ(readSince(logger, 7).size(), 5u);   // from an earlier run: everything
  EXPECT_TRUE(out.str().empty());
}

TEST(Logger, RingKeepsTheNewestThousand) {
  std::ostringstream out;
  Logger logger(out);
  logger.setConsoleOutput(false, LoggingLevel::INFO);
  for (int i = 1; i <= 1001; ++i) logger.log(LoggingLevel::INFO, std::to_string(i));
  const auto kept = readSince(logger, 0);
  ASSERT_EQ(kept.size(), 1000u);
  EXPECT_EQ(kept.front().sequence, 2u);
  EXPECT_EQ(textOf(kept.front().line), "2");
  EXPECT_EQ(kept.back().sequence, 1001u);
}

TEST(Logger, ConcurrentCallersAgreeOnNumbersRingAndPrintedOrder) {
  std::ostringstream out;
  Logger logger(out);
  logger.setConsoleOutput(true, LoggingLevel::INFO);
  constexpr int threads = 6;
  constexpr int perThread = 400;  // 2400 lines: the ring has wrapped
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&logger, t] {
      for (int i = 0; i < perThread; ++i) {
        logger.log(i % 7 == 0 ? LoggingLevel::DEBUG : LoggingLevel::INFO,
                   "t" + std::to_string(t) + "-" + std::to_string(i));
      }
    });
  }
  for (auto& w : workers) w.join();

  const auto printed = lines(out.str());
  const auto kept = readSince(logger, 0);
  ASSERT_EQ(kept.size(), 1000u);
  ASSERT_GE(printed.size(), kept.size());
  // The ring is the tail of what was printed, in the same order, with rising numbers.
  const size_t offset = printed.size() - kept.size();
  for (size_t i = 0; i < kept.size(); ++i) {
    EXPECT_EQ(kept[i].line, printed[offset + i]);
    if (i > 0) {
      EXPECT_LT(kept[i - 1].sequence, kept[i].sequence);
    }
  }
  EXPECT_EQ(logger.nextSequenceNumber(), static_cast<uint32_t>(threads * perThread + 1));
  // Each thread's own lines keep their order, and no line is torn.
  std::vector<int> next(threads, 0);
  for (const auto& line : printed) {
    const std::string text = textOf(line);
    const int t = std::stoi(text.substr(1));
    const int i = std::stoi(text.substr(text.find('-') + 1));
    while (next[t] % 7 == 0) ++next[t];  // skip the dropped DEBUG lines
    EXPECT_EQ(i, next[t]);
    next[t] = i + 1;
  }
}

}  // namespace
