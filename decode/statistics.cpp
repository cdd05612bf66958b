#include "decode/statistics.h"

#include <algorithm>
#include <cmath>
#include <ctime>

#include "app/config.h"
#include "app/host_clock.h"
#include "decode/geo.h"
#include "decode/receiver_position.h"

namespace {

constexpr const char* kCounterNames[kStatCounterKinds] = {
    "TOTAL_MSG",       "MODEAC_MSG", "MODES_MSG",  "MODES_SHORT", "MODES_LONG",  "ADSB_MSG",
    "OUTPUT_BYTES",    "OUTPUT_POSITIONS", "ADSB_NONE", "ADSB_NOPOSITION", "ADSB_IDENT",
    "ADSB_SPOS",       "ADSB_APOS",  "ADSB_SPEED", "ADSB_STATUS", "ADSB_TSTATE", "ADSB_ASTATUS",
};

StatCounterKind kindOfTypeCode(int typeCode) {
  if (typeCode == 0) return ADSB_NOPOSITION;
  if (typeCode >= 1 && typeCode <= 4) return ADSB_IDENT;
  if (typeCode >= 5 && typeCode <= 8) return ADSB_SPOS;
  if (typeCode == 19) return ADSB_SPEED;
  if (typeCode >= 9 && typeCode <= 22) return ADSB_APOS;
  if (typeCode == 28) return ADSB_STATUS;
  if (typeCode == 29) return ADSB_TSTATE;
  if (typeCode == 31) return ADSB_ASTATUS;
  return ADSB_NONE;
}

bool validIndex(int i, int count) { return i >= 0 && i < count; }

}  // namespace

const char* statCounterName(StatCounterKind kind) {
  return validIndex(kind, kStatCounterKinds) ? kCounterNames[kind] : "";
}

Statistics::Statistics(const Config& config, ReceiverPosition* receiverPosition,
                       AirInfoQueue* airInfo, int32_t localOffset)
    : metricUnits(config.metric),
      unitPerMetre(config.metric ? 0.001 : 0.0005399568),
      cellCount(config.metric ? kMetricHistogramCells : kHistogramCells),
      localOffset(localOffset),
      start(hostSeconds()),
      receiverPosition(receiverPosition),
      histogram(new Counter[cellCount]()),
      table(config, receiverPosition, airInfo) {}

void Statistics::addCounter(StatCounterKind kind, uint64_t amount) {
  if (!validIndex(kind, kStatCounterKinds)) return;
  bump(counterTotals[kind], amount);
  const uint32_t bit = 1u << kind;
  const uint32_t present = counterPresent.load(std::memory_order_relaxed);
  // Release: a reader that sees the kind sees its first count.
  if ((present & bit) == 0) counterPresent.store(present | bit, std::memory_order_release);
}

void Statistics::countKinds(const Message& m) {
  addCounter(TOTAL_MSG, 1);
  if (validIndex(m.df, 32)) bump(dfCounts[m.df]);
  if (m.df == 17 || m.df == 18 || m.df == 19) {
    addCounter(ADSB_MSG, 1);
    if (validIndex(m.typeCode, 32)) bump(typeCodeCounts[m.typeCode]);
    addCounter(kindOfTypeCode(m.typeCode), 1);
    return;
  }
  addCounter(MODES_MSG, 1);
  switch (m.df) {
    case 0: case 4: case 5: case 11: addCounter(MODES_SHORT, 1); break;
    case 16: case 20: case 21: addCounter(MODES_LONG, 1); break;
    default: break;
  }
}

void Statistics::countHour(uint32_t time, bool position) {
  const uint32_t h = ((static_cast<uint32_t>(localOffset) + time) % 86400u) / 3600u;
  hourLock.beginWrite();
  if (h != currentHour) {
    // The first message of an hour of the day starts that hour's counts over from yesterday's.
    currentHour = h;
    hourMessages[h].store(1, std::memory_order_release);
    hourPositions[h].store(0, std::memory_order_release);
  } else {
    hourMessages[h].store(hourMessages[h].load(std::memory_order_relaxed) + 1,
                          std::memory_order_release);
  }
  if (position) {
    hourPositions[h].store(hourPositions[h].load(std::memory_order_relaxed) + 1,
                           std::memory_order_release);
  }
  hourLock.endWrite();
}

void Statistics::onMessage(const ModesData& frame, const Message& m) {
  countKinds(m);
  table.applyMessage(frame, m);

  const bool position = m.has(MessageField::LAT) && m.has(MessageField::LON);
  countHour(m.time, position);
  if (!position) return;
  addCounter(OUTPUT_POSITIONS, 1);

  double receiverLatitude = 0, receiverLongitude = 0;
  if (receiverPosition == nullptr || !receiverPosition->get(receiverLatitude, receiverLongitude)) return;
  const float metres =
      static_cast<float>(greatCircleDistance(receiverLatitude, receiverLongitude, m.lat, m.lon));
  const float distance = static_cast<float>(metres * unitPerMetre);
  const float bearing =
      static_cast<float>(initialBearing(receiverLatitude, receiverLongitude, m.lat, m.lon));
  recordCoverage(distance, bearing, m.lat, m.lon);
}

void Statistics::recordCoverage(float distance, float bearing, double latitude, double longitude) {
  // A position that is not a number would index nothing sensible.
  if (!std::isfinite(distance) || !std::isfinite(bearing) || distance < 0 || bearing < 0 ||
      bearing >= 360) {
    return;
  }
  float shifted = bearing + 5;
  if (shifted >= 360) shifted -= 360;
  const int sector = std::min(kSectors - 1, static_cast<int>(shifted * 0.1));
  const double ringWidth = metricUnits ? 0.01 : 0.02;
  const int ring = static_cast<int>(std::min<double>(kRings - 1, distance * ringWidth));
  bump(polar[sector][ring]);
  if (distance > sectorMaxima[sector].load(std::memory_order_relaxed)) {
    sectorMaxima[sector].store(distance, std::memory_order_relaxed);
  }

  // 359.5 and above round to 360, which has no entry.
  const long degree = std::lround(bearing);
  if (degree <= kDegrees - 1) {
    FarthestEntry& entry = farthestPositions[degree];
    if (distance > entry.distance.load(std::memory_order_relaxed)) {
      farthestLock.beginWrite();
      entry.distance.store(distance, std::memory_order_release);
      entry.latitude.store(static_cast<float>(latitude), std::memory_order_release);
      entry.longitude.store(static_cast<float>(longitude), std::memory_order_release);
      farthestLock.endWrite();
    }
  }

  if (distance < static_cast<float>(cellCount)) bump(histogram[static_cast<uint32_t>(distance)]);
}

bool Statistics::counter(StatCounterKind kind, uint64_t& total) const {
  if (!validIndex(kind, kStatCounterKinds)) return false;
  if ((counterPresent.load(std::memory_order_acquire) & (1u << kind)) == 0) return false;
  total = counterTotals[kind].load(std::memory_order_relaxed);
  return true;
}

std::vector<std::pair<StatCounterKind, uint64_t>> Statistics::counters() const {
  std::vector<std::pair<StatCounterKind, uint64_t>> result;
  const uint32_t present = counterPresent.load(std::memory_order_acquire);
  for (int kind = 0; kind < kStatCounterKinds; ++kind) {
    if ((present & (1u << kind)) == 0) continue;
    result.emplace_back(static_cast<StatCounterKind>(kind),
                        counterTotals[kind].load(std::memory_order_relaxed));
  }
  return result;
}

uint64_t Statistics::downlinkFormatCount(int df) const {
  return validIndex(df, 32) ? dfCounts[df].load(std::memory_order_relaxed) : 0;
}

uint64_t Statistics::typeCodeCount(int typeCode) const {
  return validIndex(typeCode, 32) ? typeCodeCounts[typeCode].load(std::memory_order_relaxed) : 0;
}

HourCounts Statistics::hour(int h) const {
  HourCounts counts;
  if (!validIndex(h, 24)) return counts;
  hourLock.read([&] {
    counts.messages = hourMessages[h].load(std::memory_order_acquire);
    counts.positions = hourPositions[h].load(std::memory_order_acquire);
  });
  return counts;
}

uint64_t Statistics::polarCount(int sector, int ring) const {
  if (!validIndex(sector, kSectors) || !validIndex(ring, kRings)) return 0;
  return polar[sector][ring].load(std::memory_order_relaxed);
}

float Statistics::sectorMaximum(int sector) const {
  return validIndex(sector, kSectors) ? sectorMaxima[sector].load(std::memory_order_relaxed) : 0.0f;
}

FarthestPosition Statistics::farthest(int degree) const {
  FarthestPosition position;
  if (!validIndex(degree, kDegrees)) return position;
  const FarthestEntry& entry = farthestPositions[degree];
  farthestLock.read([&] {
    position.distance = entry.distance.load(std::memory_order_acquire);
    position.latitude = entry.latitude.load(std::memory_order_acquire);
    position.longitude = entry.longitude.load(std::memory_order_acquire);
  });
  return position;
}

uint64_t Statistics::histogramCell(uint32_t cell) const {
  return cell < cellCount ? histogram[cell].load(std::memory_order_relaxed) : 0;
}
