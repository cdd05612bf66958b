#pragma once
// Everything known about one aircraft address: the values the web page shows, the trail, the data
// items, smoothed and derived values, what the FlightRoute worker adds, and the current flight.
// Every read and write, from any thread, happens under the aircraft table's mutex; the fields are
// public so that the web replies can read them (and mark values stale) while they hold it.

#include <cstdint>
#include <map>
#include <string>

#include "decode/aircraft_field_table.h"
#include "decode/aircraft_smoothing.h"
#include "decode/aircraft_trail.h"
#include "decode/flight_record.h"
#include "decode/message.h"
#include "decode/modes_data.h"
#include "decode/tracked_value.h"

struct Config;
class AirInfoQueue;
class ReceiverPosition;

// What an aircraft record reaches outside itself; owned by the aircraft table.
struct AircraftContext {
  const Config& config;                // "metric", "add-reference-point"
  ReceiverPosition* receiverPosition;  // may be null
  AirInfoQueue* airInfo;               // the FlightRoute worker; null when there is none
};

class Aircraft {
 public:
  // The record of an address first heard at `time`; the first update follows at once.
  Aircraft(uint32_t address, const AircraftContext& context, uint32_t time, uint32_t serial);
  Aircraft(const Aircraft&) = delete;
  Aircraft& operator=(const Aircraft&) = delete;

  // Applies one decoded message, stamping every change with `serial`.
  void update(const ModesData& frame, const Message& message, uint32_t serial);
  // The data-item step of update.
  void updateFieldTable(const Message& message, uint32_t serial);
  // The sweep's reset once the flight has ended: displayed values, trail, database information
  // and flight statistics. The field table and the smoothing survive into the next flight.
  void resetFlight(uint32_t serial);

  const uint32_t address;
  // Host second of the latest message. The sweep measures silence by it: the displayed last-seen
  // value is cleared when the flight ends, while the record must stay until its removal is due.
  uint32_t lastHeard = 0;

  // Written by the FlightRoute worker: index 0-21 of the BaseStation look-up.
  std::map<int, TrackedValue<std::string>> databaseInfo;

  TrackedValue<int32_t> squawk;
  TrackedValue<float> track;          // degrees
  TrackedValue<float> altitude;       // feet
  TrackedValue<float> groundSpeed;    // knots
  TrackedValue<float> verticalRate;   // feet per minute
  TrackedValue<float> azimuth;        // degrees from the reference point
  TrackedValue<float> distance;       // nautical miles, kilometres with "metric"
  TrackedValue<float> latitude;
  TrackedValue<float> longitude;
  TrackedValue<bool> onGround;
  TrackedValue<int32_t> signalLevel;  // mean signal byte of the last 10 frames
  SerialValue<uint32_t> firstSeen;    // first message of the current flight
  TrackedValue<uint32_t> lastSeen;
  TrackedValue<uint32_t> messageCount;
  TrackedValue<bool> adsb;
  TrackedValue<bool> flightEnded;
  TrackedValue<bool> hidden;
  TrackedValue<std::string> callsign;
  TrackedValue<std::string> route;

  Trail trail;
  uint32_t trailRestartSerial = 0;  // serial of the last trail reset; 0 = none

  AircraftFieldTable fields;
  FlightStatistics flight;

 private:
  // Decides when a position becomes a trail point.
  struct TrailState {
    bool positionKnown = false;
    bool altitudeKnown = false;
    bool onGroundKnown = false;
    bool trackKnown = false;
    bool pointDue = false;
    bool trailHasAltitude = false;
    bool trailHasTrack = false;
    bool gap = false;
    float latitude = 0, longitude = 0;
    float altitude = 0;
    bool onGround = false;
    float track = 0;
    uint32_t lastPositionTime = 0;
    float lastTrailLatitude = 0, lastTrailLongitude = 0;
    uint32_t lastTrailTime = 0;
    float lastTrailAltitude = 0;
    float lastTrailTrack = 0;
    bool trackReferenceSet = false;
    float trackReferenceLatitude = 0, trackReferenceLongitude = 0;
    bool jumpReferenceSet = false;
    float jumpReferenceLatitude = 0, jumpReferenceLongitude = 0;
    uint32_t jumpReferenceTime = 0;

    bool onGroundNow() const { return onGroundKnown && onGround; }
  };

  void updateSignal(uint8_t level, uint32_t serial, uint32_t time);
  void updateTrail(const Message& message, uint32_t serial);
  void updateFlightStatistics(const Message& message);
  void updateDisplayedValues(const Message& message, uint32_t serial);
  void updateHeading(const Message& message, uint32_t serial);
  void updateTemperature(const Message& message, uint32_t serial);
  void updateWind(const Message& message, uint32_t serial);
  bool isFresh(const TrackedValue<float>& value, uint32_t now) const;

  const AircraftContext& context;
  int32_t signalRing[10] = {};
  uint8_t signalFill = 0;
  uint8_t signalNext = 0;
  TrailState trailState;
  // Trends clamped to 4 a second: above a standard-rate turn (3 degrees/s) and a brisk speed
  // change (2 knots/s).
  Smoother<int32_t> tasSmoothing{10, 4.0f};
  Smoother<double, true> headingSmoothing{10.0, 4.0f};
};

// Six upper-case hexadecimal digits.
std::string formatIcao(const Aircraft& aircraft);
std::string formatIcao(uint32_t address);
// The four octal digits of the squawk.
std::string formatSquawk(const Aircraft& aircraft);
