#pragma once
// The values of one flight of an aircraft: gathered message by message in the aircraft record,
// handed to the BaseStation writer as a FlightRecord when the flight ends.

#include <cstdint>
#include <string>

template <typename T>
struct SeenValue {
  T value{};
  bool seen = false;

  void set(const T& v) {
    value = v;
    seen = true;
  }
};

// Message counters in the order of the Flights row's columns.
enum FlightCounter : int {
  kFlightPositions = 0,
  kFlightAdsb,
  kFlightModeS,
  kFlightIdentification,
  kFlightSurfacePositions,
  kFlightAirbornePositions,
  kFlightAirborneVelocities,
  kFlightSurveillanceAltitude,
  kFlightSurveillanceIdentity,
  kFlightAirToAir,
  kFlightAllCallReplies,
  kFlightCounterCount
};

struct FlightRecord {
  int64_t flightId = 0;  // the Flights row opened for the flight; 0 = none
  uint32_t counters[kFlightCounterCount] = {};
  SeenValue<bool> firstOnGround, lastOnGround;
  SeenValue<float> firstLatitude, firstLongitude, lastLatitude, lastLongitude;  // degrees
  SeenValue<float> firstGroundSpeed, lastGroundSpeed;                             // knots
  SeenValue<int32_t> firstAltitude, lastAltitude;                                 // feet
  SeenValue<int32_t> firstVerticalRate, lastVerticalRate;                         // feet per minute
  SeenValue<float> firstTrack, lastTrack;                                         // degrees
  SeenValue<int32_t> firstSquawk, lastSquawk;  // octal digits in nibbles
  SeenValue<bool> hadAlert, hadEmergency, hadSpi;
  uint32_t endTime = 0;  // host second of the flight's latest message
  SeenValue<std::string> callsign;
};

// The current flight of an aircraft. endTime moves with every message.
struct FlightStatistics : FlightRecord {
  bool flightOpen = false;  // a Flights row is open for it (set by the FlightRoute worker)

  const FlightRecord& record() const { return *this; }

  // Flight end: everything but the callsign, which the next flight may well reuse.
  void reset() {
    SeenValue<std::string> keptCallsign = std::move(callsign);
    static_cast<FlightRecord&>(*this) = FlightRecord();
    callsign = std::move(keptCallsign);
    flightOpen = false;
  }
};
