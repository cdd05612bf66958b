#pragma once
// The aircraft heard while the web interface runs, keyed by ICAO address, with the update serial
// that stamps every change (the web page's "epoch") and the once-a-second sweep that hides silent
// aircraft, ends their flights and removes them.
//
// One mutex guards the map, the serial, the sweep and every record. The frame thread, the web
// thread and the FlightRoute worker take it for every read and write; requests to the worker are
// pushed while it is held, so it always comes before the worker's queue mutex. Methods marked
// "locked" take the mutex themselves; all others expect the caller to hold mutex().

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "decode/aircraft.h"
#include "decode/message.h"
#include "decode/modes_data.h"

struct Config;
class AirInfoQueue;
class ReceiverPosition;

class AircraftTable {
 public:
  using Map = std::unordered_map<uint32_t, std::unique_ptr<Aircraft>>;

  static constexpr uint32_t kHideSeconds = 25;
  static constexpr uint32_t kRemoveAfterExpiry = 300;

  // `config` ("flight-expire-time", "metric", "add-reference-point") must outlive the table;
  // `receiverPosition` and `airInfo` may be null.
  AircraftTable(const Config& config, ReceiverPosition* receiverPosition, AirInfoQueue* airInfo);
  ~AircraftTable();
  AircraftTable(const AircraftTable&) = delete;
  AircraftTable& operator=(const AircraftTable&) = delete;

  std::mutex& mutex() const { return tableMutex; }

  // Locked. The FlightRoute worker may be made after the table, before frames flow.
  void setAirInfo(AirInfoQueue* airInfo);

  // Locked. One decoded message: a new serial, the sweep at the message's time, then the update
  // of its aircraft, made (and looked up by the worker) on its first message.
  void applyMessage(const ModesData& frame, const Message& message);

  // Locked. The stop step: every open flight goes to the worker in one list; the table empties.
  void flush();

  // At most once per second of `now`: hide after 25 s of silence, end the flight after
  // "flight-expire-time", remove 300 s after that.
  void sweep(uint32_t now);

  uint32_t updateSerial() const { return serial; }
  // The next serial, for a change outside applyMessage (the worker's write-backs).
  uint32_t advanceSerial();

  Aircraft* find(uint32_t address);
  const Map& aircraft() const { return map; }
  size_t size() const { return map.size(); }
  AirInfoQueue* airInfo() const { return context.airInfo; }

 private:
  void endFlight(Aircraft& aircraft, uint32_t serial);

  mutable std::mutex tableMutex;
  AircraftContext context;
  Map map;
  uint32_t serial = 0;
  uint32_t lastSweep = 0;
};
