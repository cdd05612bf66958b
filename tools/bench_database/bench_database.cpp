// Flights closed per second by the BaseStation writer on a real database file, and decoded
// messages per second through Statistics::onMessage while aircraft keep coming and going and the
// FlightRoute worker looks them up, opens and closes their flights in that file.

#include <benchmark/benchmark.h>

#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "app/config.h"
#include "app/host_clock.h"
#include "app/logger.h"
#include "decode/air_info_queue.h"
#include "decode/message.h"
#include "decode/modes_data.h"
#include "decode/receiver_position.h"
#include "decode/statistics.h"
#include "output/air_info.h"
#include "output/base_station_db.h"
#include "tools/bench_tracking/busy_sky.h"

namespace {

using namespace busy_sky;

constexpr uint32_t kFirstAddress = 0x400000;  // a block with a country, as most traffic has
constexpr uint32_t kAddressBlock = 0x40000;
constexpr uint32_t kMessagesPerSecond = 10000;  // 2,000 aircraft at about five messages a second

// The program logs to the console from INFO up; DEBUG lines are skipped just as cheaply here.
void quietLog() { setConsoleOutput(false, LoggingLevel::INFO); }

// An empty BaseStation database made by the project's script in a fresh directory under /tmp.
class TempDatabase {
 public:
  TempDatabase() {
    char pattern[] = "/tmp/velkaro-bench-db-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir = pattern;
    path = dir + "/basestation.sqb";
    const std::string command =
        std::string(VELKARO_SOURCE_DIR) + "/tools/basestation/make-databases.sh '" + path + "'";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("make-databases.sh failed");
  }
  ~TempDatabase() {
    std::error_code error;
    std::filesystem::remove_all(dir, error);
  }
  TempDatabase(const TempDatabase&) = delete;
  TempDatabase& operator=(const TempDatabase&) = delete;

  // The single number `sql` selects, read on a connection of its own; -1 on failure.
  int64_t count(const char* sql) const {
    sqlite3* handle = nullptr;
    int64_t result = -1;
    if (sqlite3_open_v2(path.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
      sqlite3_stmt* statement = nullptr;
      if (sqlite3_prepare_v2(handle, sql, -1, &statement, nullptr) == SQLITE_OK &&
          sqlite3_step(statement) == SQLITE_ROW) {
        result = sqlite3_column_int64(statement, 0);
      }
      sqlite3_finalize(statement);
    }
    sqlite3_close(handle);
    return result;
  }

  std::string dir;
  std::string path;
};

// A flight as the sweep hands it over after an hour or so in range: every value seen.
FlightRecord makeRecord(int64_t flightId, uint32_t endTime, uint32_t n) {
  FlightRecord r;
  r.flightId = flightId;
  const uint32_t counters[kFlightCounterCount] = {1180, 3420, 5260, 96, 0, 1180, 1712, 2104, 242, 318, 266};
  for (int i = 0; i < kFlightCounterCount; ++i) r.counters[i] = counters[i] + n % 17;
  r.firstOnGround.set(false);
  r.lastOnGround.set(false);
  r.firstLatitude.set(50.8f + float(n % 100) * 0.01f);
  r.firstLongitude.set(1.9f + float(n % 70) * 0.02f);
  r.lastLatitude.set(53.1f - float(n % 90) * 0.01f);
  r.lastLongitude.set(6.4f - float(n % 60) * 0.02f);
  r.firstGroundSpeed.set(452.5f);
  r.lastGroundSpeed.set(286.0f);
  r.firstAltitude.set(37000);
  r.lastAltitude.set(7825);
  r.firstVerticalRate.set(64);
  r.lastVerticalRate.set(-1344);
  r.firstTrack.set(92.4f);
  r.lastTrack.set(271.8f);
  r.firstSquawk.set(0x1000);
  r.lastSquawk.set(0x4671);
  r.hadAlert.set(false);
  r.hadEmergency.set(false);
  r.hadSpi.set(n % 50 == 0);
  r.endTime = endTime;
  char callsign[9];
  std::snprintf(callsign, sizeof callsign, "KLM%04u", n % 10000);
  r.callsign.set(callsign);
  return r;
}

// Batches of 1 (the sweep), 100 and 2,000 (the stop step's flush) records, each flight opened
// first as the worker does. Only closeFlights is timed.
void BM_CloseFlights(benchmark::State& state) {
  quietLog();
  const size_t batch = size_t(state.range(0));
  try {
    TempDatabase file;
    Config config;
    PictureLookup pictures(config);
    BaseStationDb db(config, &pictures);
    db.open(file.path);
    db.openSession();
    std::vector<FlightRecord> records(batch);
    uint32_t next = 0;
    for (auto _ : state) {
      state.PauseTiming();
      for (FlightRecord& record : records) {
        int64_t aircraftId = 0;
        db.lookupAircraft(kFirstAddress + next % kAircraft, aircraftId);
        record = makeRecord(db.openFlight(aircraftId), hostSeconds(), next);
        ++next;
      }
      state.ResumeTiming();
      db.closeFlights(records);
    }
    db.closeSession();
    db.close();
    state.SetItemsProcessed(int64_t(state.iterations() * batch));
    state.counters["flights_closed"] = double(file.count("SELECT COUNT(*) FROM Flights WHERE EndTime IS NOT NULL;"));
    state.counters["flights_open"] = double(file.count("SELECT COUNT(*) FROM Flights WHERE EndTime IS NULL;"));
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
}

// What the frame thread sent to the worker. Pushes come from the frame thread and from the
// worker's own sweep, both under the aircraft table's mutex, so that mutex guards this too.
struct Tally {
  uint64_t lookups = 0, routes = 0, closes = 0;
  uint64_t total() const { return lookups + routes + closes; }
  void add(const AirInfoCommand& command) {
    switch (command.kind()) {
      case AirInfoCommand::Kind::AircraftLookup: ++lookups; break;
      case AirInfoCommand::Kind::RouteLookup: ++routes; break;
      case AirInfoCommand::Kind::CloseFlights: ++closes; break;
    }
  }
};

// The worker's queue without the worker: counts and drops.
class CountingAirInfo : public AirInfoQueue {
 public:
  void push(std::shared_ptr<AirInfoCommand> command) override { tally.add(*command); }
  Tally tally;
};

// The same count in front of the real worker.
class CountedAirInfo : public AirInfoQueue {
 public:
  explicit CountedAirInfo(AirInfo& worker) : worker(worker) {}
  void push(std::shared_ptr<AirInfoCommand> command) override {
    tally.add(*command);
    worker.push(std::move(command));
  }
  Tally tally;

 private:
  AirInfo& worker;
};

// 2,000 aircraft in the air at any time. Every ten simulated seconds the oldest `departures` of
// them fall silent and as many new addresses take their slots, so each stays 20,000 / departures
// seconds. Messages come from a fixed pattern of 60,000 (six seconds) over the slots; the clock
// is the host clock, pinned to the simulated second, so that the worker's sweeps agree with the
// frame thread's.
class Traffic {
 public:
  Traffic(uint32_t departures, uint32_t start) : departuresPerTen(departures), second(start) {
    std::mt19937 random(1090);
    const std::vector<Flight> paths = makeFlights(random);
    std::uniform_int_distribution<int> pick(0, kAircraft - 1), kind(0, 9);
    for (int i = 0; i < kAircraft; ++i) occupant.push_back(newAddress());
    for (uint32_t i = 0; i < 6 * kMessagesPerSecond; ++i) {
      const int slot = pick(random);
      pattern.push_back(makeMessage(paths[slot], kStart + i / kMessagesPerSecond, kind(random)));
      slotOf.push_back(uint16_t(slot));
    }
    setHostSecondsForTest(second);
  }

  // The next message into `m`; true when it was the last of its second.
  bool next(Message& m) {
    m = pattern[index];  // the pipeline hands over a fresh message each time, too
    m.icao = occupant[slotOf[index]];
    m.time = second;
    if (++index == pattern.size()) index = 0;
    if (++inSecond < kMessagesPerSecond) return false;
    inSecond = 0;
    ++second;
    setHostSecondsForTest(second);
    for (due += departuresPerTen; due >= 10; due -= 10) {
      occupant[cursor] = newAddress();
      if (++cursor == occupant.size()) cursor = 0;
    }
    return true;
  }

  uint64_t arrivals() const { return addresses; }

 private:
  uint32_t newAddress() { return kFirstAddress + uint32_t(addresses++ % kAddressBlock); }

  std::vector<Message> pattern;
  std::vector<uint16_t> slotOf;
  std::vector<uint32_t> occupant;
  uint64_t addresses = 0;
  size_t index = 0;
  size_t cursor = 0;
  uint32_t inSecond = 0;
  uint32_t due = 0;
  uint32_t departuresPerTen;
  uint32_t second;
};

enum Mode : int { kStandIn = 0, kWorkerWithoutDb = 1, kWorkerWithDb = 2 };

// Flights end after a minute of silence here (the program's default is an hour), so that the
// sweep ends flights all through a run of a few seconds.
constexpr uint32_t kFlightExpiry = 60;
// Long enough for the first aircraft to have been removed: the table is as full as it gets.
constexpr uint32_t kWarmUpSeconds = kFlightExpiry + AircraftTable::kRemoveAfterExpiry + 40;
constexpr int64_t kMeasuredMessages = 1000 * int64_t(kMessagesPerSecond);

// Messages per second through Statistics::onMessage while aircraft come and go: with the
// counting stand-in, with the real worker and no database, and with the real worker writing to a
// real database. Arguments: the mode, departures (and as many arrivals) per ten simulated seconds.
// Simulated time runs some 200 times faster than real time here, and so do the worker's requests:
// the counters tell whether it kept up at that rate.
void BM_ComeAndGo(benchmark::State& state) {
  quietLog();
  const Mode mode = Mode(state.range(0));
  const uint32_t departures = uint32_t(state.range(1));
  try {
    Config config;
    config.flightExpireTime = kFlightExpiry;
    std::unique_ptr<TempDatabase> file;
    std::unique_ptr<PictureLookup> pictures;
    std::unique_ptr<BaseStationDb> db;
    if (mode == kWorkerWithDb) {
      file = std::make_unique<TempDatabase>();
      config.baseStationDbPath = file->path;
      pictures = std::make_unique<PictureLookup>(config);
      db = std::make_unique<BaseStationDb>(config, pictures.get());
    }
    std::unique_ptr<AirInfo> worker;
    std::unique_ptr<CountedAirInfo> counted;
    CountingAirInfo standIn;
    AirInfoQueue* queue = &standIn;
    if (mode != kStandIn) {
      worker = std::make_unique<AirInfo>(config, db.get());
      counted = std::make_unique<CountedAirInfo>(*worker);
      queue = counted.get();
    }
    const Tally& tally = mode == kStandIn ? standIn.tally : counted->tally;

    Traffic traffic(departures, uint32_t(std::time(nullptr)));
    ReceiverPosition receiver;
    receiver.fix(kReceiverLat, kReceiverLon);
    Statistics stats(config, &receiver, queue, 3600);
    AircraftTable& table = stats.aircraftTable();
    if (worker) worker->setAircraftTable(&table);
    // The start step.
    if (db) {
      db->open(file->path);
      db->openSession();
    }
    if (worker) worker->start();

    ModesData frame;
    frame.length = 14;
    frame.signal = 120;
    Message m;
    // The first second brings all 2,000 aircraft at once, a burst that a real run has a second
    // of real time for: let the worker take it before the clock runs on.
    while (!traffic.next(m)) stats.onMessage(frame, m);
    stats.onMessage(frame, m);
    if (worker) worker->waitIdle();
    for (uint32_t s = 1; s < kWarmUpSeconds;) {
      const bool last = traffic.next(m);
      stats.onMessage(frame, m);
      s += last;
    }

    auto snapshot = [&] {
      std::lock_guard<std::mutex> lock(table.mutex());
      return tally;
    };
    const Tally before = snapshot();
    const size_t queuedBefore = worker ? worker->queued() : 0;
    size_t queuedMax = queuedBefore;
    const uint64_t arrivalsBefore = traffic.arrivals();
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
      const bool newSecond = traffic.next(m);
      stats.onMessage(frame, m);
      if (newSecond && worker) queuedMax = std::max(queuedMax, worker->queued());
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const Tally after = snapshot();
    const size_t queuedAfter = worker ? worker->queued() : 0;
    size_t aircraft;
    {
      std::lock_guard<std::mutex> lock(table.mutex());
      aircraft = table.size();
    }

    // The stop step.
    const auto stopping = std::chrono::steady_clock::now();
    if (worker) worker->waitIdle();
    const double drain = std::chrono::duration<double>(std::chrono::steady_clock::now() - stopping).count();
    table.flush();
    if (worker) worker->stop();
    if (db) {
      db->closeSession();
      db->close();
    }
    setHostSecondsForTest(0);

    const uint64_t pushed = after.total() - before.total();
    state.SetItemsProcessed(state.iterations());
    state.counters["aircraft_in_table"] = double(aircraft);
    state.counters["arrivals"] = double(traffic.arrivals() - arrivalsBefore);
    state.counters["req_lookup"] = double(after.lookups - before.lookups);
    state.counters["req_route"] = double(after.routes - before.routes);
    state.counters["req_close"] = double(after.closes - before.closes);
    if (worker) {
      const double served = double(pushed) + double(queuedBefore) - double(queuedAfter);
      state.counters["served"] = served;
      state.counters["served_per_s"] = served / seconds;
      state.counters["backlog_start"] = double(queuedBefore);
      state.counters["backlog_max"] = double(queuedMax);
      state.counters["backlog_end"] = double(queuedAfter);
      state.counters["drain_s"] = drain;
    }
    if (file) {
      state.counters["db_flights"] = double(file->count("SELECT COUNT(*) FROM Flights;"));
      state.counters["db_unended"] = double(file->count("SELECT COUNT(*) FROM Flights WHERE EndTime IS NULL;"));
      // Closed with an empty record (end time 0): the flight had ended before its row was opened.
      state.counters["db_end_1970"] = double(file->count("SELECT COUNT(*) FROM Flights WHERE EndTime < '1971-01-01';"));
    }
  } catch (const std::exception& e) {
    setHostSecondsForTest(0);
    state.SkipWithError(e.what());
  }
}

}  // namespace

// Iterations are fixed: setting a batch up takes a transaction per flight, far longer than
// closing it.
BENCHMARK(BM_CloseFlights)->Arg(1)->Iterations(1000)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CloseFlights)->Arg(100)->Iterations(40)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CloseFlights)->Arg(2000)->Iterations(4)->UseRealTime()->Unit(benchmark::kMicrosecond);
// One run each: the set-up (warm-up of 400 simulated seconds) is the costly part.
BENCHMARK(BM_ComeAndGo)
    ->ArgNames({"mode", "departures_per_10s"})
    ->ArgsProduct({{kStandIn, kWorkerWithoutDb, kWorkerWithDb}, {5, 20}})
    ->Iterations(kMeasuredMessages)
    ->UseRealTime();
