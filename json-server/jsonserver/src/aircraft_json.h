#pragma once
// One aircraft as the page's JSON object, keyed by short codes, incremental: a value goes out
// when it changed after the page's serial, and a value that has gone stale goes out as "" to
// every page that may still show it. Callers hold the aircraft table's mutex.

#include <boost/property_tree/ptree.hpp>

#include <cstdint>
#include <string>

class Aircraft;
class Trail;

struct AircraftJsonRequest {
  uint32_t since = 0;        // the serial the page saw last
  uint32_t serial = 0;       // the table's serial now; stamps values found stale
  uint32_t now = 0;          // host seconds
  bool trailWanted = false;
  uint32_t trailSerial = 0;  // trail points from this serial on (0: all)
};

// Adds the aircraft's keys to `target` (an empty object). May mark values of the aircraft stale.
void buildAircraftJson(Aircraft& aircraft, boost::property_tree::ptree& target, const AircraftJsonRequest& request);

// Puts "TRACK": the points whose serial is at least `trailSerial`, as [lat, lon, alt] or
// [lat, lon, alt, "U"] after a gap; "" when none qualifies.
void buildTrailJson(const Trail& trail, boost::property_tree::ptree& target, uint32_t trailSerial);

// The key of a database information index 0-21 ("MC", "CY", "RG" ...); "" for any other index.
const std::string& aircraftInfoJsonKey(int index);
