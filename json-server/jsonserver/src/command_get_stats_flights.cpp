// The aircraft answers of getStats: "flights" (incremental, polled every second by every page),
// "tracks" and "track". Each holds the table's mutex for its sweep and walk only: the tree nodes
// are made, and the reply text written and sent, after it has been released.

#include "app/host_clock.h"
#include "decode/statistics.h"
#include "json-server/jsonserver/src/aircraft_json.h"
#include "json-server/jsonserver/src/command_get_stats.h"
#include "json-server/jsonserver/src/command_get_stats_text.h"

#include <mutex>

using boost::property_tree::ptree;

namespace {

// Collects one object per aircraft that holds any key. Returns the table's serial afterwards.
uint32_t collectFlights(AircraftTable& table, JsonNodeList& list, uint32_t since, uint32_t selected,
                        uint32_t trailSerial, bool allTrails) {
  std::lock_guard<std::mutex> lock(table.mutex());
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
    const size_t mark = list.size();
    list.open(unnamedJsonKey());
    if (buildAircraftJson(aircraft, list, request)) {
      list.close();
    } else {
      list.truncate(mark);
    }
  }
  return table.updateSerial();
}

// The list of one thread keeps its room from answer to answer.
JsonNodeList& scratchList() {
  static thread_local JsonNodeList list;
  list.clear();
  return list;
}

}  // namespace

void CommandGetStats::buildFlightsJson(ptree& stats, uint32_t since, uint32_t selected, uint32_t trailSerial) {
  Statistics& s = statistics();
  JsonNodeList& list = scratchList();
  const uint32_t epoch = collectFlights(s.aircraftTable(), list, since, selected, trailSerial, false);
  appendChild(stats, "epoch", integerText(epoch));
  list.moveInto(appendChild(stats, "flights"));
  appendChild(stats, "s", integerText(s.startTime()));
}

void buildTracks(Statistics& statistics, ptree& stats) {
  JsonNodeList& list = scratchList();
  const uint32_t epoch = collectFlights(statistics.aircraftTable(), list, 0, 0, 0, true);
  appendChild(stats, "epoch", integerText(epoch));
  list.moveInto(appendChild(stats, "flights"));
}

void buildTrack(Statistics& statistics, uint32_t address, ptree& stats) {
  AircraftTable& table = statistics.aircraftTable();
  JsonNodeList& list = scratchList();
  bool found = false;
  {
    std::lock_guard<std::mutex> lock(table.mutex());
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
  if (found) list.moveInto(appendChild(stats, "track"));
}
