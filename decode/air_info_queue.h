#pragma once
// Requests from the aircraft table to the FlightRoute worker: flights to close, a callsign whose
// route to look up, an aircraft to look up and open a flight for. The worker serves them in order.
// Lock order: the table pushes while it holds its own mutex, so an implementation's queue mutex
// is always taken after the table's and must never be held while taking the table's.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "decode/flight_record.h"

struct AirInfoCommand {
  enum class Kind { CloseFlights, RouteLookup, AircraftLookup };

  std::string flight;                 // callsign of a route look-up
  uint32_t address = 0;               // aircraft of an aircraft or route look-up
  std::vector<FlightRecord> flights;  // flights to close

  // Told by the content, in this order.
  Kind kind() const {
    if (!flights.empty()) return Kind::CloseFlights;
    if (!flight.empty()) return Kind::RouteLookup;
    return Kind::AircraftLookup;
  }
};

class AirInfoQueue {
 public:
  virtual ~AirInfoQueue() = default;

  // Appends at the back; any thread.
  virtual void push(std::shared_ptr<AirInfoCommand> command) = 0;

  // An empty list queues nothing.
  void requestCloseFlights(std::vector<FlightRecord> records) {
    if (records.empty()) return;
    auto command = std::make_shared<AirInfoCommand>();
    command->flights = std::move(records);
    push(std::move(command));
  }

  void requestAircraft(uint32_t address) {
    auto command = std::make_shared<AirInfoCommand>();
    command->address = address;
    push(std::move(command));
  }

  // An empty callsign queues nothing: the command would read as an aircraft look-up.
  void requestRoute(const std::string& callsign, uint32_t address) {
    if (callsign.empty()) return;
    auto command = std::make_shared<AirInfoCommand>();
    command->flight = callsign;
    command->address = address;
    push(std::move(command));
  }
};
