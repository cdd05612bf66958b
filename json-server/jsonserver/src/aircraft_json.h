#pragma once
// One aircraft as the page's JSON object, keyed by short codes, incremental: a value goes out
// when it changed after the page's serial, and a value that has gone stale goes out as "" to
// every page that may still show it. Callers hold the aircraft table's mutex.
//
// The frame thread waits for the table's mutex while an answer reads the table, so the objects
// are only collected then: a flat list of keys and raw values, copied into room the list keeps
// from answer to answer. The texts are made once the mutex has been released, either as tree
// nodes (moveInto) or straight as the JSON text the writer would make of those nodes (appendJson).

#include <boost/property_tree/ptree.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class Aircraft;
class Trail;

struct AircraftJsonRequest {
  uint32_t since = 0;        // the serial the page saw last
  uint32_t serial = 0;       // the table's serial now; stamps values found stale
  uint32_t now = 0;          // host seconds
  bool trailWanted = false;
  uint32_t trailSerial = 0;  // trail points from this serial on (0: all)
};

// The nodes of one or more objects in document order: values, and nodes with children between
// open and close. Keys are indices into the table of aircraft keys.
class JsonNodeList {
 public:
  enum class Kind : uint8_t {
    Open,      // `closeAt`: index of the matching Close
    Close,
    Number,    // float, 8 significant digits
    Altitude,  // float, 9 significant digits (trail points)
    Fixed5,    // float as a double with five decimals (trail points)
    Integer,
    Unsigned,
    Flag,
    Text,      // `text`: offset and size in the list's character store
    Empty,     // "": the value has gone
    Hex4,      // squawk: four upper-case hexadecimal digits
    Hex6,      // address: six upper-case hexadecimal digits
    Tail,      // "TAM" from `position`, then "CFL" and "MC" of the address in `key`
  };
  struct Entry {
    uint32_t key;  // for Tail: the address
    Kind kind;
    bool countrySent;  // Tail: the object already holds "MC"
    union {
      float number;
      int32_t integer;
      uint32_t unsignedValue;
      bool flag;
      uint32_t closeAt;
      struct {
        uint32_t offset;
        uint32_t size;
      } text;
      struct {
        float latitude;
        float longitude;
      } position;
    };
  };

  void open(uint32_t key);
  void close();
  void number(uint32_t key, Kind kind, float value) { push(key, kind).number = value; }
  void integer(uint32_t key, int32_t value) { push(key, Kind::Integer).integer = value; }
  void unsignedValue(uint32_t key, Kind kind, uint32_t value) { push(key, kind).unsignedValue = value; }
  void flag(uint32_t key, bool value) { push(key, Kind::Flag).flag = value; }
  void text(uint32_t key, const std::string& value);
  void text(uint32_t key, const char* value, size_t size);
  void empty(uint32_t key) { push(key, Kind::Empty); }
  void tail(uint32_t address, float latitude, float longitude, bool countrySent);

  size_t size() const { return entries.size(); }
  // Drops the entries from `size` on, open nodes among them included.
  void truncate(size_t size);
  // Empties the list and keeps its room.
  void clear();

  // Appends the nodes to `target` (which must hold no value).
  void moveInto(boost::property_tree::ptree& target) const;
  // The JSON text the compact writer makes of a node below the root holding these nodes.
  void appendJson(std::string& out) const;

 private:
  Entry& push(uint32_t key, Kind kind) {
    entries.emplace_back();
    Entry& entry = entries.back();
    entry.key = key;
    entry.kind = kind;
    entry.countrySent = false;
    return entry;
  }
  void appendNodeJson(std::string& out, size_t begin, size_t end) const;
  void appendValueJson(std::string& out, const Entry& entry) const;

  std::vector<Entry> entries;
  std::vector<uint32_t> openNodes;  // indices of the Open entries not closed yet
  std::string characters;
};

// The keys of one aircraft object, written to `target` (the entries after the caller's open).
// May mark values of the aircraft stale. False when it wrote no key.
bool buildAircraftJson(Aircraft& aircraft, JsonNodeList& target, const AircraftJsonRequest& request);
// The same into an empty tree object.
void buildAircraftJson(Aircraft& aircraft, boost::property_tree::ptree& target, const AircraftJsonRequest& request);
// Appends the aircraft's object as an element of a list when it holds any key.
void appendAircraftObject(Aircraft& aircraft, JsonNodeList& target, const AircraftJsonRequest& request);

// Puts "TRACK": the points whose serial is at least `trailSerial`, as [lat, lon, alt] or
// [lat, lon, alt, "U"] after a gap; "" when none qualifies.
void buildTrailJson(const Trail& trail, JsonNodeList& target, uint32_t trailSerial);
void buildTrailJson(const Trail& trail, boost::property_tree::ptree& target, uint32_t trailSerial);

// The key of a database information index 0-21 ("MC", "CY", "RG" ...); "" for any other index.
const std::string& aircraftInfoJsonKey(int index);
