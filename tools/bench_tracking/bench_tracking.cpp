// Decoded messages per second through Statistics::onMessage with a busy sky (2,000 aircraft in
// the table), and the memory an aircraft takes once its trail is full.

#include <benchmark/benchmark.h>

#include <malloc.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <random>
#include <vector>

#include "app/config.h"
#include "decode/air_info_queue.h"
#include "decode/message.h"
#include "decode/modes_data.h"
#include "decode/receiver_position.h"
#include "decode/statistics.h"
#include "tools/bench_tracking/busy_sky.h"

namespace {

using namespace busy_sky;

// The FlightRoute worker's queue without the worker: counts and drops.
class CountingAirInfo : public AirInfoQueue {
 public:
  void push(std::shared_ptr<AirInfoCommand>) override { ++pushed; }
  uint64_t pushed = 0;
};

// 2,000 aircraft at about five messages a second each: 10,000 a second.
std::vector<Message> makeCorpus(size_t count) {
  std::mt19937 random(1090);
  const std::vector<Flight> flights = makeFlights(random);
  std::uniform_int_distribution<int> pick(0, kAircraft - 1), kind(0, 9);
  std::vector<Message> corpus;
  corpus.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    corpus.push_back(makeMessage(flights[pick(random)], kStart + uint32_t(i / 10000), kind(random)));
  }
  return corpus;
}

void BM_StatisticsOnMessage(benchmark::State& state) {
  static const std::vector<Message> corpus = makeCorpus(60000);
  Config config;
  ReceiverPosition receiver;
  receiver.fix(kReceiverLat, kReceiverLon);
  CountingAirInfo airInfo;
  Statistics stats(config, &receiver, &airInfo, 3600);
  ModesData frame;
  frame.length = 14;
  frame.signal = 120;
  // One pass first, so that every aircraft is in the table before the clock starts.
  for (const Message& m : corpus) stats.onMessage(frame, m);
  uint32_t offset = 6;
  size_t next = 0;
  Message m;
  for (auto _ : state) {
    m = corpus[next];  // the pipeline hands over a fresh message each time, too
    m.time += offset;
    stats.onMessage(frame, m);
    if (++next == corpus.size()) {
      next = 0;
      offset += 6;  // the clock runs on across rounds
    }
  }
  state.SetItemsProcessed(int64_t(state.iterations()));
  std::lock_guard<std::mutex> lock(stats.aircraftTable().mutex());
  state.counters["aircraft"] = double(stats.aircraftTable().size());
}

// The copy of a message alone, to subtract from the figure above.
void BM_MessageCopy(benchmark::State& state) {
  static const std::vector<Message> corpus = makeCorpus(60000);
  size_t next = 0;
  Message m;
  for (auto _ : state) {
    m = corpus[next];
    benchmark::DoNotOptimize(m);
    if (++next == corpus.size()) next = 0;
  }
  state.SetItemsProcessed(int64_t(state.iterations()));
}

size_t residentBytes() {
  long pages = 0, resident = 0;
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return 0;
  if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
  std::fclose(statm);
  return size_t(resident) * size_t(sysconf(_SC_PAGESIZE));
}

// Each aircraft climbs 300 ft a message until its trail is full, and carries a callsign, a route,
// database information and every data item the messages above give.
void BM_MemoryPerAircraftWithFullTrail(benchmark::State& state) {
  for (auto _ : state) {
    malloc_trim(0);
    const size_t heapBefore = mallinfo2().uordblks;
    const size_t residentBefore = residentBytes();
    Config config;
    ReceiverPosition receiver;
    receiver.fix(kReceiverLat, kReceiverLon);
    auto stats = std::make_unique<Statistics>(config, &receiver, nullptr, 0);
    ModesData frame;
    frame.length = 14;
    std::mt19937 random(7);
    const std::vector<Flight> flights = makeFlights(random);
    const int points = int(Trail::kTrailCapacity) + 10;
    for (int p = 0; p < points; ++p) {
      for (const Flight& f : flights) {
        Message m = makeMessage(f, kStart + uint32_t(p), p < 10 ? p : 0);
        m.altitude = 1000 + 300 * p;
        stats->onMessage(frame, m);
      }
    }
    AircraftTable& table = stats->aircraftTable();
    {
      std::lock_guard<std::mutex> lock(table.mutex());
      for (const auto& entry : table.aircraft()) {
        Aircraft& a = *entry.second;
        const uint32_t s = table.advanceSerial();
        a.route.set("EHAM-KJFK", s, 0);
        for (int key : {0, 1, 2, 3, 4, 5, 7, 9, 19}) a.databaseInfo[key].set("Some database text", s, 0);
      }
    }
    const size_t heapAfter = mallinfo2().uordblks;
    const size_t residentAfter = residentBytes();
    size_t trailPoints = 0;
    {
      std::lock_guard<std::mutex> lock(table.mutex());
      for (const auto& entry : table.aircraft()) trailPoints += entry.second->trail.size();
      state.counters["aircraft"] = double(table.size());
    }
    state.counters["trail_points_per_aircraft"] = double(trailPoints) / kAircraft;
    state.counters["heap_bytes_per_aircraft"] = double(heapAfter - heapBefore) / kAircraft;
    state.counters["resident_bytes_per_aircraft"] = double(residentAfter - residentBefore) / kAircraft;
    state.counters["record_bytes_without_trail"] = double(sizeof(Aircraft));
    benchmark::DoNotOptimize(stats);
  }
}

}  // namespace

BENCHMARK(BM_StatisticsOnMessage)->MinTime(2.0);
BENCHMARK(BM_MessageCopy)->MinTime(0.5);
BENCHMARK(BM_MemoryPerAircraftWithFullTrail)->Iterations(1)->Unit(benchmark::kMillisecond);
