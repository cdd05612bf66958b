#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

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

// Every distinct question adds an entry: the cache holds a bounded number, and the one neither
// stored nor found for longest goes first.
TEST(ResponseCacheBounds, LeastRecentlyUsedGoesWhenEntriesOrBytesRunOut) {
  struct Step {
    char op;  // p: put, l: lookup
    const char* key;
    const char* text;
  };
  struct Case {
    const char* name;
    ResponseCacheLimits limits;
    std::vector<Step> steps;
    std::vector<const char*> kept;
    std::vector<const char*> gone;
  };
  const std::vector<Case> cases = {
      {"entries", {3, 1000}, {{'p', "A", "a"}, {'p', "B", "b"}, {'p', "C", "c"}, {'l', "A", ""}, {'p', "D", "d"}},
       {"A", "C", "D"}, {"B"}},
      // Key and text count: A and B take 10 bytes each; C's 17 push out the oldest two.
      {"bytes", {100, 25}, {{'p', "A", "123456789"}, {'p', "B", "123456789"}, {'p', "C", "1234567890123456"}},
       {"C"}, {"A", "B"}},
      {"a store refreshes", {2, 1000}, {{'p', "A", "a"}, {'p', "B", "b"}, {'p', "A", "a2"}, {'p', "C", "c"}},
       {"A", "C"}, {"B"}},
      {"empty entries count too", {2, 1000}, {{'p', "A", "a"}, {'p', "B", ""}, {'p', "C", ""}}, {}, {"A"}},
      // Larger than the whole bound: not kept, and the older text of its key goes as well.
      {"too large", {10, 8}, {{'p', "A", "old"}, {'p', "B", "b"}, {'p', "A", "far too long"}}, {"B"}, {"A"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResponseCache cache([] { return T; }, c.limits);
    for (const Step& step : c.steps) {
      if (step.op == 'p') {
        cache.put(step.key, step.text, 600, false);
      } else {
        cache.lookup(step.key);
      }
      EXPECT_LE(cache.size(), c.limits.maxEntries);
      EXPECT_LE(cache.bytes(), c.limits.maxBytes);
    }
    for (const char* key : c.kept) EXPECT_NE(cache.lookup(key), "") << key;
    for (const char* key : c.gone) EXPECT_EQ(cache.lookup(key), "") << key;
  }
}

TEST_F(ResponseCacheTest, BytesFollowOverwritesAndPurges) {
  putAt(T, "EGLL", "12345", 600, false);
  putAt(T, "KJFK", "1", 21600, true);
  EXPECT_EQ(cache.bytes(), 4u + 5u + 4u + 1u);
  putAt(T + 1, "EGLL", "", 600, false);
  EXPECT_EQ(cache.bytes(), 4u + 4u + 1u);
  EXPECT_EQ(at(T + 700, "KJFK"), "1");  // EGLL purged, KJFK refreshed
  EXPECT_EQ(cache.bytes(), 4u + 1u);
  EXPECT_EQ(at(T + 700 + 21600, "KJFK"), "");
  EXPECT_EQ(cache.bytes(), 0u);
  EXPECT_EQ(cache.size(), 0u);
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
