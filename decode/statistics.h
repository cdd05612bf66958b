#pragma once
// What the receiver hears and where: totals by kind, by downlink format and by type code, counts
// per local hour, coverage by bearing sector and distance ring, the farthest position per degree,
// and a distance histogram. Owns the aircraft table and feeds it every decoded message.
//
// Threads: only the frame-delivering thread writes (onMessage, addCounter). The web thread reads
// through the accessors below at any time without a lock: every value is an atomic, and groups
// that belong together (an hour's two counts, a farthest position) are read consistently, so a
// reader sees at worst a count one message behind, never half an entry. The aircraft table is
// read under its own mutex.

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "decode/aircraft_table.h"
#include "decode/message.h"
#include "decode/modes_data.h"
#include "decode/statistics_seqlock.h"

struct Config;
class AirInfoQueue;
class ReceiverPosition;

enum StatCounterKind : int {
  TOTAL_MSG = 0,
  MODEAC_MSG = 1,
  MODES_MSG = 2,
  MODES_SHORT = 3,
  MODES_LONG = 4,
  ADSB_MSG = 5,
  OUTPUT_BYTES = 6,
  OUTPUT_POSITIONS = 7,
  ADSB_NONE = 8,
  ADSB_NOPOSITION = 9,
  ADSB_IDENT = 10,
  ADSB_SPOS = 11,
  ADSB_APOS = 12,
  ADSB_SPEED = 13,
  ADSB_STATUS = 14,
  ADSB_TSTATE = 15,
  ADSB_ASTATUS = 16,
};

constexpr int kStatCounterKinds = 17;

// The key of a kind in the web reply ("TOTAL_MSG" ...); "" for any other value.
const char* statCounterName(StatCounterKind kind);

// Local time minus UTC in seconds, now.

struct HourCounts {
  uint64_t messages = 0;
  uint64_t positions = 0;
};

struct FarthestPosition {
  float distance = 0;  // nautical miles, kilometres with "metric"
  float latitude = 0;
  float longitude = 0;
};

class Statistics {
 public:
  static constexpr int kSectors = 36;         // 10 degrees each, sector 0 is 355 to 5
  static constexpr int kRings = 6;            // 50 NM or 100 km each, the last one open
  static constexpr int kDegrees = 360;
  static constexpr uint32_t kHistogramCells = 300;        // NM
  static constexpr uint32_t kMetricHistogramCells = 550;  // km

  // `config` must outlive the statistics; "metric" is read here once. `receiverPosition` and
  // `airInfo` may be null. `localOffset` is local time minus UTC.
  Statistics(const Config& config, ReceiverPosition* receiverPosition, AirInfoQueue* airInfo,
             int32_t localOffset);
  Statistics(const Statistics&) = delete;
  Statistics& operator=(const Statistics&) = delete;

  // Frame thread, once per decoded message: counters, the aircraft table, hours, coverage.
  void onMessage(const ModesData& frame, const Message& message);
  // Frame thread only. A kind gains its entry at its first count.
  void addCounter(StatCounterKind kind, uint64_t amount);

  AircraftTable& aircraftTable() { return table; }

  // Readers, any thread, no lock.
  bool metric() const { return metricUnits; }
  uint32_t startTime() const { return start; }
  // False while the kind has never been counted.
  bool counter(StatCounterKind kind, uint64_t& total) const;
  // The kinds counted so far, in kind order.
  std::vector<std::pair<StatCounterKind, uint64_t>> counters() const;
  uint64_t downlinkFormatCount(int df) const;  // 0 outside 0-31
  uint64_t typeCodeCount(int typeCode) const;  // 0 outside 0-31
  HourCounts hour(int hour) const;             // zeros outside 0-23
  uint64_t polarCount(int sector, int ring) const;
  float sectorMaximum(int sector) const;
  FarthestPosition farthest(int degree) const;
  uint32_t histogramCellCount() const { return cellCount; }
  uint64_t histogramCell(uint32_t cell) const;  // 0 past the last cell

  // The coverage step of one position: `distance` in the statistics' unit, `bearing` in
  // [0, 360) from the receiver. Frame thread only.
  void recordCoverage(float distance, float bearing, double latitude, double longitude);

 private:
  using Counter = std::atomic<uint64_t>;

  // Single writer: a load and a store, no read-modify-write needed.
  static void bump(Counter& counter, uint64_t amount = 1) {
    counter.store(counter.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
  }
  void countKinds(const Message& message);
  void countHour(uint32_t time, bool position);

  const bool metricUnits;
  const double unitPerMetre;
  const uint32_t cellCount;
  const int32_t localOffset;
  const uint32_t start;
  ReceiverPosition* const receiverPosition;

  Counter counterTotals[kStatCounterKinds] = {};
  std::atomic<uint32_t> counterPresent{0};  // bit per kind
  Counter dfCounts[32] = {};
  Counter typeCodeCounts[32] = {};

  StatisticsSeqLock hourLock;
  Counter hourMessages[24] = {};
  Counter hourPositions[24] = {};
  uint32_t currentHour = 0;  // writer only

  Counter polar[kSectors][kRings] = {};
  std::atomic<float> sectorMaxima[kSectors] = {};

  StatisticsSeqLock farthestLock;
  struct FarthestEntry {
    std::atomic<float> distance{0};
    std::atomic<float> latitude{0};
    std::atomic<float> longitude{0};
  };
  FarthestEntry farthestPositions[kDegrees];

  std::unique_ptr<Counter[]> histogram;

  AircraftTable table;
};
