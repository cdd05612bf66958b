// The frame thread writes the statistics while the web thread reads them. Run under the thread
// sanitizer as well (VELKARO_SANITIZE=thread): it must report no race, and the reader must never
// see half of an entry.

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "app/config.h"
#include "decode/receiver_position.h"
#include "decode/statistics.h"
#include "tests/decode/aircraft_test_support.h"

using namespace tracking_test;

namespace {

TEST(StatisticsConcurrencyTest, WebThreadReadsWhileTheFrameThreadWrites) {
  Config config;
  ReceiverPosition receiver;
  receiver.fix(50.0, 10.0);
  RecordingAirInfo airInfo;  // pushed to under the table mutex only, so one thread at a time
  Statistics stats(config, &receiver, &airInfo, 0);
  constexpr int kMessages = 100000;
  std::atomic<bool> done{false};

  std::thread frames([&] {
    for (int i = 0; i < kMessages; ++i) {
      // Ten minutes a message: every sixth message starts an hour over, two of the five
      // before it having counted a position.
      const uint32_t time = kStart + 600 * uint32_t(i);
      const uint32_t icao = 0x400000 + uint32_t(i % 50);
      if (i % 3 == 0) {
        stats.onMessage(frameWithSignal(90, time),
                        airbornePosition(icao, time, 50.0 + (i % 200) * 0.01, 10.0, 30000 + i % 7 * 300));
      } else {
        stats.onMessage(frameWithSignal(90, time), surveillance(i % 2 ? 11 : 20, icao, time));
      }
      // Farthest entries whose three values belong together: latitude = distance, longitude =
      // -distance. Each write is farther than the last, so each one replaces an entry.
      const float distance = float(i) + 1.0f;
      stats.recordCoverage(distance, float(1 + i % 358), distance, -distance);
      stats.addCounter(OUTPUT_BYTES, 14);
    }
    done.store(true);
  });

  int rounds = 0, tornHours = 0, tornPositions = 0, shrinking = 0;
  uint64_t lastTotal = 0;
  std::thread web([&] {
    while (!done.load()) {
      ++rounds;
      uint64_t total = 0;
      if (stats.counter(TOTAL_MSG, total)) {
        if (total < lastTotal) ++shrinking;
        lastTotal = total;
      }
      for (const auto& entry : stats.counters()) (void)entry;
      for (int h = 0; h < 24; ++h) {
        const HourCounts counts = stats.hour(h);
        if (counts.positions > counts.messages) ++tornHours;
      }
      for (int d = 1; d < Statistics::kDegrees; ++d) {
        const FarthestPosition f = stats.farthest(d);
        if (f.latitude != f.distance || f.longitude != -f.distance) ++tornPositions;
      }
      uint64_t sum = 0;
      for (int s = 0; s < Statistics::kSectors; ++s) {
        sum += stats.polarCount(s, 0) + stats.polarCount(s, 5);
        (void)stats.sectorMaximum(s);
      }
      for (uint32_t c = 0; c < stats.histogramCellCount(); ++c) sum += stats.histogramCell(c);
      for (int df = 0; df < 32; ++df) sum += stats.downlinkFormatCount(df) + stats.typeCodeCount(df);
      // The aircraft replies read and mark records under the table's mutex.
      AircraftTable& table = stats.aircraftTable();
      std::lock_guard<std::mutex> lock(table.mutex());
      table.sweep(kStart + 600 * uint32_t(rounds % kMessages));
      for (const auto& entry : table.aircraft()) {
        Aircraft& a = *entry.second;
        sum += a.messageCount.value + a.trail.size();
        if (a.altitude.isSet() && a.altitude.staleSerial == 0) a.altitude.staleSerial = table.updateSerial();
      }
      (void)sum;
    }
  });

  frames.join();
  web.join();
  EXPECT_GT(rounds, 0);
  EXPECT_EQ(tornHours, 0);
  EXPECT_EQ(tornPositions, 0);
  EXPECT_EQ(shrinking, 0);
  uint64_t total = 0;
  ASSERT_TRUE(stats.counter(TOTAL_MSG, total));
  EXPECT_EQ(total, uint64_t(kMessages));
  ASSERT_TRUE(stats.counter(OUTPUT_BYTES, total));
  EXPECT_EQ(total, 14u * kMessages);
}

}  // namespace
