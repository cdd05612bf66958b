// The aircraft answers of getStats: "flights" (incremental, polled every second by every page),
// "tracks" and "track". Each holds the table's mutex for its sweep and walk only: the texts are
// made, and the reply written and sent, after it has been released.

#include "app/host_clock.h"
#include "decode/statistics.h"
#include "json-server/jsonserver/src/aircraft_json.h"
#include "json-server/jsonserver/src/command_get_stats.h"
#include "json-server/jsonserver/src/command_get_stats_text.h"
#include "json-server/jsonserver/src/json_parser_write.h"

#include <chrono>
#include <mutex>
#include <thread>

using boost::property_tree::ptree;

namespace {

// The frame thread holds the table's mutex for a fraction of a microsecond per message, so it
// is soon free. Blocking at once would leave the mutex marked contended: every unlock of the
// frame thread would then make a wake-up system call until this thread got its turn.
class TableLock {
 public:
  explicit TableLock(std::mutex& mutex) : mutex(mutex) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::microseconds(200);
    for (int tries = 0;; ++tries) {
      if (mutex.try_lock()) return;
      if ((tries & 63) == 63 && std::chrono::steady_clock::now() > giveUp) break;
      spinPause();
    }
    mutex.lock();
  }
  ~TableLock() { mutex.unlock(); }
  TableLock(const TableLock&) = delete;
  TableLock& operator=(const TableLock&) = delete;

 private:
  static void spinPause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__arm__) || defined(__aarch64__)
    asm volatile("yield");
#else
    std::this_thread::yield();
#endif
  }
  std::mutex& mutex;
};

// Collects one object per aircraft that holds any key. Returns the table's serial afterwards.
uint32_t collectFlights(AircraftTable& table, JsonNodeList& list, uint32_t since, uint32_t selected,
                        uint32_t trailSerial, bool allTrails) {
  TableLock lock(table.mutex());
  // A serial from before a restart of the program: the page starts over.
  if (since > table.updateSerial()) since = 0;
  AircraftJsonRequest request;
  request.since = since;
  request.now = hostSeconds();
  table.sweep(request.now);
  request.serial = table.updateSerial();
  for (const auto& entry : table.aircraft()) {
    Aircraft& aircraft = *entry.second;
    request.trailWanted = allTrails || (selected != 0 && aircraft.address == selected);
    request.trailSerial = allTrails ? 0 : trailSerial;
    appendAircraftObject(aircraft, list, request);
  }
  return table.updateSerial();
}

// The list of one thread keeps its room from answer to answer.
JsonNodeList& scratchList() {
  static thread_local JsonNodeList list;
  list.clear();
  return list;
}

// Fills `node` from the list: as text written at once while a reply is being sent, else as nodes.
void putList(ptree& node, const JsonNodeList& list) {
  if (!JsonTextScope::isOpen()) {
    list.moveInto(node);
    return;
  }
  // Answers of one thread are much alike in size: reserving the last size saves regrowing.
  static thread_local size_t sizeHint = 0;
  std::string text;
  text.reserve(sizeHint);
  list.appendJson(text);
  sizeHint = text.size() + text.size() / 8;
  attachJsonText(node, std::move(text));
}

}  // namespace

void CommandGetStats::buildFlightsJson(ptree& stats, uint32_t since, uint32_t selected, uint32_t trailSerial) {
  Statistics& s = statistics();
  JsonNodeList& list = scratchList();
  const uint32_t epoch = collectFlights(s.aircraftTable(), list, since, selected, trailSerial, false);
  appendChild(stats, "epoch", integerText(epoch));
  putList(appendChild(stats, "flights"), list);
  appendChild(stats, "s", integerText(s.startTime()));
}

void buildTracks(Statistics& statistics, ptree& stats) {
  JsonNodeList& list = scratchList();
  const uint32_t epoch = collectFlights(statistics.aircraftTable(), list, 0, 0, 0, true);
  appendChild(stats, "epoch", integerText(epoch));
  putList(appendChild(stats, "flights"), list);
}

void buildTrack(Statistics& statistics, uint32_t address, ptree& stats) {
  AircraftTable& table = statistics.aircraftTable();
  JsonNodeList& list = scratchList();
  bool found = false;
  {
    TableLock lock(table.mutex());
    AircraftJsonRequest request;
    request.now = hostSeconds();
    table.sweep(request.now);
    request.serial = table.updateSerial();
    request.trailWanted = true;
    if (Aircraft* aircraft = table.find(address)) {
      buildAircraftJson(*aircraft, list, request);
      found = true;
    }
  }
  if (found) putList(appendChild(stats, "track"), list);
}
