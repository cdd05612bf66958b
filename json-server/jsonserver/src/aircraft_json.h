#pragma once
// One aircraft as the page's JSON object, keyed by short codes, incremental: a value goes out
// when it changed after the page's serial, and a value that has gone stale goes out as "" to
// every page that may still show it. Callers hold the aircraft table's mutex.
//
// The objects are first collected as a flat list of keys and texts, which costs little more than
// the texts themselves, and made into tree nodes (a heap container each) once the table's mutex
// has been released, so that the frame thread does not wait for the allocations.

#include <boost/property_tree/ptree.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "json-server/jsonserver/src/command_get_stats_text.h"

class Aircraft;
class Trail;

struct AircraftJsonRequest {
  uint32_t since = 0;        // the serial the page saw last
  uint32_t serial = 0;       // the table's serial now; stamps values found stale
  uint32_t now = 0;          // host seconds
  bool trailWanted = false;
  uint32_t trailSerial = 0;  // trail points from this serial on (0: all)
};

// Tree nodes in document order: values, and nodes with children between open and close.
class JsonNodeList {
 public:
  void open(const JsonKey& key) { entries.push_back({&key, std::string(), Kind::Open}); }
  void close() { entries.push_back({nullptr, std::string(), Kind::Close}); }
  void value(const JsonKey& key, std::string text) { entries.push_back({&key, std::move(text), Kind::Value}); }

  size_t size() const { return entries.size(); }
  void truncate(size_t size) { entries.resize(size); }
  void clear() { entries.clear(); }

  // Appends the nodes to `target`, moving the texts out; the list is left empty.
  void moveInto(boost::property_tree::ptree& target);

 private:
  enum class Kind : uint8_t { Value, Open, Close };
  struct Entry {
    const JsonKey* key;
    std::string text;
    Kind kind;
  };
  std::vector<Entry> entries;
};

// The keys of one aircraft object, written to `target` (the entries after the caller's open).
// May mark values of the aircraft stale. False when it wrote no key.
bool buildAircraftJson(Aircraft& aircraft, JsonNodeList& target, const AircraftJsonRequest& request);
// The same into an empty tree object.
void buildAircraftJson(Aircraft& aircraft, boost::property_tree::ptree& target, const AircraftJsonRequest& request);

// Puts "TRACK": the points whose serial is at least `trailSerial`, as [lat, lon, alt] or
// [lat, lon, alt, "U"] after a gap; "" when none qualifies.
void buildTrailJson(const Trail& trail, JsonNodeList& target, uint32_t trailSerial);
void buildTrailJson(const Trail& trail, boost::property_tree::ptree& target, uint32_t trailSerial);

// The key of a database information index 0-21 ("MC", "CY", "RG" ...); "" for any other index.
const std::string& aircraftInfoJsonKey(int index);

// The key of the elements of a list.
const JsonKey& unnamedJsonKey();
