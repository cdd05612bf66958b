// The aircraft answers of getStats: "flights" (incremental, polled every second by every page),
// "tracks" and "track". Each holds the table's mutex for its sweep and walk, and only then: the
// reply text is written and sent after it has been released.

#include "app/application.h"
#include "app/host_clock.h"
#include "decode/statistics.h"
#include "json-server/jsonserver/src/aircraft_json.h"
#include "json-server/jsonserver/src/command_get_stats.h"
#include "json-server/jsonserver/src/command_get_stats_text.h"

#include <mutex>

using boost::property_tree::ptree;

namespace {

// Appends one object per aircraft that holds any key.
void buildFlightList(AircraftTable& table, ptree& flights, uint32_t since, uint32_t selected, uint32_t trailSerial,
                     bool allTrails) {
  AircraftJsonRequest request;
  request.since = since;
  request.now = hostSeconds();
  table.sweep(request.now);
  request.serial = table.updateSerial();
  for (const auto& entry : table.aircraft()) {
    Aircraft& aircraft = *entry.second;
    request.trailWanted = allTrails || (selected != 0 && aircraft.address == selected);
    request.trailSerial = allTrails ? 0 : trailSerial;
    ptree& object = appendChild(flights, "");
    buildAircraftJson(aircraft, object, request);
    if (object.empty()) flights.pop_back();
  }
}

}  // namespace

void CommandGetStats::buildFlightsJson(ptree& stats, uint32_t since, uint32_t selected, uint32_t trailSerial) {
  Statistics& s = statistics();
  AircraftTable& table = s.aircraftTable();
  {
    std::lock_guard<std::mutex> lock(table.mutex());
    // A serial from before a restart of the program: start the page over.
    if (since > table.updateSerial()) since = 0;
    ptree flights;
    buildFlightList(table, flights, since, selected, trailSerial, false);
    appendChild(stats, "epoch", integerText(table.updateSerial()));
    appendChild(stats, "flights").swap(flights);
  }
  appendChild(stats, "s", integerText(s.startTime()));
}

void buildTracks(Statistics& statistics, ptree& stats) {
  AircraftTable& table = statistics.aircraftTable();
  std::lock_guard<std::mutex> lock(table.mutex());
  ptree flights;
  buildFlightList(table, flights, 0, 0, 0, true);
  appendChild(stats, "epoch", integerText(table.updateSerial()));
  appendChild(stats, "flights").swap(flights);
}

void buildTrack(Statistics& statistics, uint32_t address, ptree& stats) {
  AircraftTable& table = statistics.aircraftTable();
  std::lock_guard<std::mutex> lock(table.mutex());
  AircraftJsonRequest request;
  request.now = hostSeconds();
  table.sweep(request.now);
  request.serial = table.updateSerial();
  request.trailWanted = true;
  if (Aircraft* aircraft = table.find(address)) buildAircraftJson(*aircraft, appendChild(stats, "track"), request);
}
