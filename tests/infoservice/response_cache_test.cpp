#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "infoservice/response_cache.h"

namespace {

constexpr uint32_t T = 1700000000;

class ResponseCacheTest : public ::testing::Test {
 protected:
  std::string at(uint32_t time, const std::string& key) {
    now = time;
    return cache.lookup(key);
  }
  void putAt(uint32_t time, const std::string& key, const std::string& text, uint32_t lifetime, bool sliding) {
    now = time;
    cache.put(key, text, lifetime, sliding);
  }

  std::atomic<uint32_t> now{T};
  ResponseCache cache{[this] { return now.load(); }};
};

TEST_F(ResponseCacheTest, FirstOperationPurgesSoTheNextThirtySecondsDoNot) {
  putAt(T, "A", "text", 5, false);
  // Past its lifetime, but the purge ran at T.
  EXPECT_EQ(at(T + 10, "A"), "text");
  EXPECT_EQ(at(T + 29, "A"), "text");
  EXPECT_EQ(at(T + 30, "A"), "");
}

TEST_F(ResponseCacheTest, EntryOutlivesItsLifetimeUntilTheNextPurge) {
  putAt(T, "AIRPORTEGLL", "METAR", 600, false);
  EXPECT_EQ(at(T + 590, "AIRPORTEGLL"), "METAR");  // purge at T + 590
  EXPECT_EQ(at(T + 610, "AIRPORTEGLL"), "METAR");
  EXPECT_EQ(at(T + 619, "AIRPORTEGLL"), "METAR");
  EXPECT_EQ(at(T + 620, "AIRPORTEGLL"), "");
}

TEST_F(ResponseCacheTest, SlidingEntryLivesWhileFoundAndFixedOneExpiresHoweverOften) {
  putAt(T, "4CA1FA", "{\"photo\":1}", 21600, true);
  putAt(T, "EGLLTAF", "TAF", 600, false);
  for (uint32_t i = 1; i <= 5; ++i) EXPECT_EQ(at(T + i * 100, "EGLLTAF"), "TAF") << i;
  EXPECT_EQ(at(T + 630, "EGLLTAF"), "");
  // Found every five hours for a day: never six hours unread.
  for (uint32_t hour = 5; hour <= 25; hour += 5) EXPECT_EQ(at(T + hour * 3600, "4CA1FA"), "{\"photo\":1}") << hour;
  EXPECT_EQ(at(T + 31 * 3600 + 30, "4CA1FA"), "");
}

TEST_F(ResponseCacheTest, SlidingEntryWithEmptyTextIsNotRefreshed) {
  putAt(T, "EGLL", "", 600, true);
  putAt(T, "KJFK", "kept", 21600, true);
  EXPECT_EQ(at(T + 590, "EGLL"), "");
  EXPECT_EQ(cache.size(), 2u);
  putAt(T + 620, "OTHER", "x", 600, false);
  EXPECT_EQ(cache.size(), 2u);  // EGLL went by age, OTHER came
  EXPECT_EQ(at(T + 621, "KJFK"), "kept");
}

TEST_F(ResponseCacheTest, PutReplacesTextTimeLifetimeAndSliding) {
  putAt(T, "EGLL", "first", 21600, true);
  putAt(T + 100, "EGLL", "second", 600, false);
  EXPECT_EQ(at(T + 200, "EGLL"), "second");
  EXPECT_EQ(at(T + 700, "EGLL"), "");  // 600 s after the second put, lookups notwithstanding
  putAt(T + 800, "KJFK", "text", 600, false);
  putAt(T + 801, "KJFK", "", 600, false);
  EXPECT_EQ(at(T + 802, "KJFK"), "");
}

TEST_F(ResponseCacheTest, ClockSetBackPurgesWhatWasStoredLater) {
  putAt(T, "EGLL", "text", 21600, true);
  EXPECT_EQ(at(T - 1000, "EGLL"), "");
  EXPECT_EQ(cache.size(), 0u);
}

TEST_F(ResponseCacheTest, KeysDifferingInCaseAreTwoKeys) {
  putAt(T, "EGLL", "upper", 600, false);
  putAt(T, "egll", "lower", 600, false);
  EXPECT_EQ(at(T + 1, "EGLL"), "upper");
  EXPECT_EQ(at(T + 1, "egll"), "lower");
}

TEST(ResponseCacheThreads, StoreOnOneThreadLookUpOnAnother) {
  std::atomic<uint32_t> now{T};
  ResponseCache cache([&] { return now.load(); });
  std::thread writer([&] {
    for (uint32_t i = 0; i < 20000; ++i) {
      cache.put("K" + std::to_string(i % 64), std::to_string(i), 60, i % 2 == 0);
      now += i % 3 == 0 ? 1 : 0;
    }
  });
  // Every text found is whole: a copy taken under the lock.
  size_t torn = 0;
  for (uint32_t i = 0; i < 20000; ++i) {
    const std::string text = cache.lookup("K" + std::to_string(i % 64));
    if (!text.empty() && text.find_first_not_of("0123456789") != std::string::npos) ++torn;
  }
  writer.join();
  EXPECT_EQ(torn, 0u);
  EXPECT_LE(cache.size(), 64u);
}

}  // namespace
