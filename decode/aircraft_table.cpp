#include "decode/aircraft_table.h"

#include <utility>
#include <vector>

#include "app/config.h"
#include "decode/air_info_queue.h"

AircraftTable::AircraftTable(const Config& config, ReceiverPosition* receiverPosition,
                             AirInfoQueue* airInfo)
    : context{config, receiverPosition, airInfo} {}

AircraftTable::~AircraftTable() = default;

void AircraftTable::setAirInfo(AirInfoQueue* airInfo) {
  std::lock_guard<std::mutex> lock(tableMutex);
  context.airInfo = airInfo;
}

uint32_t AircraftTable::advanceSerial() {
  // 0 means "never set" to every reader, so a wrapped serial skips it.
  if (++serial == 0) serial = 1;
  return serial;
}

Aircraft* AircraftTable::find(uint32_t address) {
  auto it = map.find(address);
  return it == map.end() ? nullptr : it->second.get();
}

void AircraftTable::applyMessage(const ModesData& frame, const Message& message) {
  std::lock_guard<std::mutex> lock(tableMutex);
  const uint32_t s = advanceSerial();
  sweep(message.time);
  if (Aircraft* known = find(message.icao)) {
    known->update(frame, message, s);
    return;
  }
  auto aircraft = std::make_unique<Aircraft>(message.icao, context, message.time, s);
  aircraft->update(frame, message, s);
  map.emplace(message.icao, std::move(aircraft));
  if (context.airInfo != nullptr) context.airInfo->requestAircraft(message.icao);
}

void AircraftTable::endFlight(Aircraft& aircraft, uint32_t s) {
  if (aircraft.flightEnded.set(true, s, 0) && context.airInfo != nullptr &&
      aircraft.flight.flightOpen) {
    context.airInfo->requestCloseFlights({aircraft.flight.record()});
  }
  aircraft.resetFlight(s);
}

void AircraftTable::sweep(uint32_t now) {
  if (now == lastSweep) return;
  lastSweep = now;
  const uint32_t s = advanceSerial();
  const uint64_t expiry = context.config.flightExpireTime;
  for (auto it = map.begin(); it != map.end();) {
    Aircraft& aircraft = *it->second;
    // An aircraft heard after `now` (the host clock was set back) is not silent.
    const uint32_t silence = now >= aircraft.lastHeard ? now - aircraft.lastHeard : 0;
    if (silence > expiry + kRemoveAfterExpiry) {
      // No sweep ran while its flight was ending (nothing was decoded or asked for that long):
      // close the flight now, or its Flights row would never get an end.
      if (context.airInfo != nullptr && aircraft.flight.flightOpen) {
        context.airInfo->requestCloseFlights({aircraft.flight.record()});
      }
      it = map.erase(it);
      continue;
    }
    if (silence > kHideSeconds) aircraft.hidden.set(true, s, 0);
    if (silence > expiry) endFlight(aircraft, s);
    ++it;
  }
}

void AircraftTable::flush() {
  std::lock_guard<std::mutex> lock(tableMutex);
  std::vector<FlightRecord> records;
  if (context.airInfo != nullptr) {
    for (const auto& entry : map) {
      if (entry.second->flight.flightOpen) records.push_back(entry.second->flight.record());
    }
  }
  map.clear();
  if (context.airInfo != nullptr) context.airInfo->requestCloseFlights(std::move(records));
}
