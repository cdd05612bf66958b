#include "json-server/jsonserver/src/aircraft_json.h"

#include "decode/aircraft.h"
#include "decode/icao_country.h"
#include "decode/magnetic_declination.h"
#include "json-server/jsonserver/src/command_get_stats_text.h"
#include "json-server/jsonserver/src/json_parser_write.h"

#include <cstring>
#include <unordered_map>
#include <vector>

using boost::property_tree::ptree;

namespace {

// A value not updated for longer than this is gone from the page.
constexpr uint32_t kStaleSeconds = 30;

const std::string kEmpty;

const char* const kInfoKeys[] = {"MC", "CY", "RG", "MF", "ITC", "TY", "SN", "PN", "GN", "AC", "E",
                                 "OS", "RO", "MW", "YB", "UN", "UT", "IU", "OF", "SEE", "AURL", "SURL"};
constexpr int kInfoKeyCount = sizeof kInfoKeys / sizeof kInfoKeys[0];
constexpr int kCountryInfoIndex = 0;  // "MC"

// Every key an aircraft object can hold, by index.
enum KeyId : uint32_t {
  kSquawk, kAltitude, kSpeed, kVerticalRate, kTrack, kAzimuth, kDistance, kGround, kLatitude, kLongitude,
  kCount, kAdsb, kLevel, kFirstSeen, kLastSeen, kCallsign, kRoute, kFsync, kEnded, kHidden, kTrail, kIcao,
  kDeclination, kFlag, kCountry, kUnnamed,
  kInfoFirst,
  kFieldFirst = kInfoFirst + kInfoKeyCount,
  kKeyCount = kFieldFirst + kFieldKeyCount,
};

const char* const kFixedKeys[] = {"SQ", "A", "S", "V", "T", "AZ", "D", "G", "LA", "LO", "C", "AB", "L",
                                  "F", "Z", "CS", "FR", "FSYNC", "R", "Y", "TRACK", "I", "TAM", "CFL", "MC", ""};
static_assert(sizeof kFixedKeys / sizeof kFixedKeys[0] == kInfoFirst, "one text per fixed key");

struct Key {
  explicit Key(const std::string& text) : prototype(text, ptree()) { appendJsonKey(json, text); }
  // Every tree node owns a heap container: copying a ready-made empty child costs one, building
  // one from temporaries three.
  ptree::value_type prototype;
  std::string json;  // "key":
};

// Made once; only read afterwards, so any thread may use them.
struct AircraftKeys {
  AircraftKeys() {
    keys.reserve(kKeyCount);
    for (const char* key : kFixedKeys) keys.emplace_back(key);
    for (const char* key : kInfoKeys) keys.emplace_back(key);
    for (int key = 0; key < kFieldKeyCount; ++key) keys.emplace_back(fieldShortName(key));
    for (size_t row = 0; row < IcaoCountryTable::rowCount; ++row) {
      const char* flag = IcaoCountryTable::rows[row].flag;
      flagPaths.push_back(flag[0] == '\0' ? std::string() : std::string("/img/flags/") + flag);
    }
  }
  std::vector<Key> keys;
  std::vector<std::string> flagPaths;  // by country row
};

const AircraftKeys& aircraftKeys() {
  static const AircraftKeys keys;
  return keys;
}

class AircraftObject {
 public:
  AircraftObject(JsonNodeList& target, const AircraftJsonRequest& request) : target(target), request(request) {}

  bool changed(uint32_t changedSerial) const { return changedSerial != 0 && request.since < changedSerial; }
  bool holdsAnyKey() const { return !empty; }
  JsonNodeList& put() {
    empty = false;
    return target;
  }

  // The staleness rule of a tracked value or data item: true when the value itself is to be
  // written; the "" of a stale value is written here.
  template <typename Value>
  bool tracked(uint32_t key, Value& value) {
    if (value.changedSerial == 0) return false;
    // A value updated after `now` (the host clock went back) is fresh.
    const bool fresh = value.lastUpdate >= request.now || request.now - value.lastUpdate <= kStaleSeconds;
    if (fresh) {
      if (request.since < value.changedSerial) {
        empty = false;
        return true;
      }
    } else if (value.staleSerial == 0) {
      value.staleSerial = request.serial;
    }
    if (value.staleSerial != 0 && value.staleSerial >= request.since) put().empty(key);
    return false;
  }

  void trackedNumber(uint32_t key, TrackedValue<float>& value) {
    if (tracked(key, value)) target.number(key, JsonNodeList::Kind::Number, value.value);
  }
  void trackedFlag(uint32_t key, TrackedValue<bool>& value) {
    if (tracked(key, value)) target.flag(key, value.value);
  }
  template <typename Value>
  void plainUnsigned(uint32_t key, const Value& value) {
    if (changed(value.changedSerial)) put().unsignedValue(key, JsonNodeList::Kind::Unsigned, value.value);
  }
  void plainFlag(uint32_t key, const TrackedValue<bool>& value) {
    if (changed(value.changedSerial)) put().flag(key, value.value);
  }
  void plainText(uint32_t key, const TrackedValue<std::string>& value) {
    if (changed(value.changedSerial)) put().text(key, value.value);
  }

 private:
  JsonNodeList& target;
  const AircraftJsonRequest& request;
  bool empty = true;
};

// Upper-case hexadecimal digits of `value`, `digits` of them.
size_t hexText(char* text, uint32_t value, int digits) {
  static const char kDigits[] = "0123456789ABCDEF";
  for (int i = digits - 1; i >= 0; --i) {
    text[i] = kDigits[value & 0x0F];
    value >>= 4;
  }
  return static_cast<size_t>(digits);
}

// The text of a value entry, as the tree holds it; `text` has room for kNumberTextSize.
size_t valueText(const JsonNodeList::Entry& entry, const std::string& characters, char* text, const char*& data) {
  data = text;
  switch (entry.kind) {
    case JsonNodeList::Kind::Number:
      return formatGeneral(text, entry.number, 8);
    case JsonNodeList::Kind::Altitude:
      return formatGeneral(text, entry.number, 9);
    case JsonNodeList::Kind::Fixed5:
      return formatFixed5(text, entry.number);
    case JsonNodeList::Kind::Integer:
      return formatInteger(text, entry.integer);
    case JsonNodeList::Kind::Unsigned:
      return formatInteger(text, entry.unsignedValue);
    case JsonNodeList::Kind::Flag:
      data = flagText(entry.flag);
      return entry.flag ? 4 : 5;
    case JsonNodeList::Kind::Text:
      data = characters.data() + entry.text.offset;
      return entry.text.size;
    case JsonNodeList::Kind::Hex4:
      return hexText(text, entry.unsignedValue & 0xFFFFu, 4);
    case JsonNodeList::Kind::Hex6:
      return hexText(text, entry.unsignedValue & 0xFFFFFFu, 6);
    default:
      return 0;
  }
}

// The keys of a Tail entry: "TAM", then "CFL" and "MC" when they have a text.
template <typename Put>
void expandTail(const JsonNodeList::Entry& entry, Put put) {
  const AircraftKeys& keys = aircraftKeys();
  char text[kNumberTextSize];
  const float declination = magneticDeclination(entry.position.latitude, entry.position.longitude);
  put(kDeclination, text, formatGeneral(text, declination, 8));
  if (const IcaoCountryRow* country = IcaoCountryTable::find(entry.key)) {
    const std::string& flagPath = keys.flagPaths[country - IcaoCountryTable::rows];
    if (!flagPath.empty()) put(kFlag, flagPath.data(), flagPath.size());
    if (!entry.countrySent && country->name[0] != '\0') put(kCountry, country->name, std::strlen(country->name));
  }
}

// Most numbers of one answer were in the answer before (an aircraft's values change a few times
// a second, answers go out many times a second), and spelling a float costs more than finding
// it again: the JSON spelling is kept by the float's bits and digit count.
class NumberSpellings {
 public:
  void append(std::string& out, float value, int digits) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const uint64_t tag = (static_cast<uint64_t>(digits) << 32) | bits;
    Slot& slot = slots[(bits * 0x9E3779B1u >> 19) ^ static_cast<uint32_t>(digits)];
    if (slot.size == 0 || slot.tag != tag) {
      char text[kNumberTextSize];
      std::string spelled;
      appendJsonValue(spelled, text, formatGeneral(text, value, digits));
      slot.tag = tag;
      slot.size = 0;
      if (spelled.size() > sizeof slot.text) {
        out += spelled;
        return;
      }
      std::memcpy(slot.text, spelled.data(), spelled.size());
      slot.size = static_cast<uint8_t>(spelled.size());
    }
    out.append(slot.text, slot.size);
  }

 private:
  struct Slot {
    uint64_t tag = 0;
    uint8_t size = 0;  // 0: empty
    char text[23];
  };
  Slot slots[1u << 13];
};

NumberSpellings& numberSpellings() {
  static thread_local NumberSpellings spellings;
  return spellings;
}

// "TAM", "CFL" and "MC" of an aircraft as JSON members, kept while its position stays.
class TailSpellings {
 public:
  const std::string& get(const JsonNodeList::Entry& entry) {
    Spelling& spelling = byAddress[entry.key];
    if (spelling.json.empty() || spelling.countrySent != entry.countrySent ||
        std::memcmp(&spelling.latitude, &entry.position.latitude, sizeof(float)) != 0 ||
        std::memcmp(&spelling.longitude, &entry.position.longitude, sizeof(float)) != 0) {
      spelling.json.clear();
      const AircraftKeys& keys = aircraftKeys();
      bool first = true;
      expandTail(entry, [&](uint32_t key, const char* data, size_t size) {
        if (!first) spelling.json += ',';
        first = false;
        spelling.json += keys.keys[key].json;
        appendJsonValue(spelling.json, data, size);
      });
      spelling.latitude = entry.position.latitude;
      spelling.longitude = entry.position.longitude;
      spelling.countrySent = entry.countrySent;
    }
    return spelling.json;
  }
  // Aircraft that have left the table are only dropped all at once.
  void trim() {
    if (byAddress.size() > 8192) byAddress.clear();
  }

 private:
  struct Spelling {
    float latitude = 0;
    float longitude = 0;
    bool countrySent = false;
    std::string json;
  };
  std::unordered_map<uint32_t, Spelling> byAddress;
};

TailSpellings& tailSpellings() {
  static thread_local TailSpellings spellings;
  return spellings;
}

}  // namespace

const std::string& aircraftInfoJsonKey(int index) {
  if (index < 0 || index >= kInfoKeyCount) return kEmpty;
  return aircraftKeys().keys[kInfoFirst + index].prototype.first;
}

void JsonNodeList::open(uint32_t key) {
  openNodes.push_back(static_cast<uint32_t>(entries.size()));
  push(key, Kind::Open).closeAt = 0;
}

void JsonNodeList::close() {
  if (openNodes.empty()) return;
  entries[openNodes.back()].closeAt = static_cast<uint32_t>(entries.size());
  openNodes.pop_back();
  push(0, Kind::Close);
}

void JsonNodeList::text(uint32_t key, const std::string& value) { text(key, value.data(), value.size()); }

void JsonNodeList::text(uint32_t key, const char* value, size_t size) {
  Entry& entry = push(key, Kind::Text);
  entry.text.offset = static_cast<uint32_t>(characters.size());
  entry.text.size = static_cast<uint32_t>(size);
  characters.append(value, size);
}

void JsonNodeList::tail(uint32_t address, float latitude, float longitude, bool countrySent) {
  Entry& entry = push(address, Kind::Tail);
  entry.countrySent = countrySent;
  entry.position.latitude = latitude;
  entry.position.longitude = longitude;
}

void JsonNodeList::truncate(size_t size) {
  if (size >= entries.size()) return;
  entries.resize(size);
  while (!openNodes.empty() && openNodes.back() >= size) openNodes.pop_back();
}

void JsonNodeList::clear() {
  entries.clear();
  openNodes.clear();
  characters.clear();
}

void JsonNodeList::moveInto(ptree& target) const {
  const AircraftKeys& keys = aircraftKeys();
  std::vector<ptree*> stack{&target};
  char text[kNumberTextSize];
  const auto append = [&](uint32_t key, const char* data, size_t size) {
    stack.back()->push_back(keys.keys[key].prototype)->second.data().assign(data, size);
  };
  for (const Entry& entry : entries) {
    switch (entry.kind) {
      case Kind::Open:
        stack.push_back(&stack.back()->push_back(keys.keys[entry.key].prototype)->second);
        break;
      case Kind::Close:
        if (stack.size() > 1) stack.pop_back();
        break;
      case Kind::Tail:
        expandTail(entry, append);
        break;
      case Kind::Empty:
        stack.back()->push_back(keys.keys[entry.key].prototype);
        break;
      default: {
        const char* data;
        const size_t size = valueText(entry, characters, text, data);
        append(entry.key, data, size);
      }
    }
  }
}

void JsonNodeList::appendJson(std::string& out) const {
  tailSpellings().trim();
  appendNodeJson(out, 0, entries.size());
}

// The writer's rules for a node below the root: no children is "", children that all have
// empty keys an array, anything else an object.
void JsonNodeList::appendNodeJson(std::string& out, size_t begin, size_t end) const {
  const AircraftKeys& keys = aircraftKeys();
  if (begin == end) {
    out += "\"\"";
    return;
  }
  bool array = true;
  for (size_t i = begin; i < end && array; ++i) {
    const Entry& entry = entries[i];
    if (entry.kind == Kind::Tail || !keys.keys[entry.key].prototype.first.empty()) array = false;
    if (entry.kind == Kind::Open) i = entry.closeAt;
  }
  out += array ? '[' : '{';
  bool first = true;
  const auto separate = [&](uint32_t key) {
    if (!first) out += ',';
    first = false;
    if (!array) out += keys.keys[key].json;
  };
  for (size_t i = begin; i < end; ++i) {
    const Entry& entry = entries[i];
    switch (entry.kind) {
      case Kind::Open:
        separate(entry.key);
        appendNodeJson(out, i + 1, entry.closeAt);
        i = entry.closeAt;
        break;
      case Kind::Close:
        break;
      case Kind::Tail: {
        const std::string& members = tailSpellings().get(entry);
        if (!first) out += ',';
        first = false;
        out += members;
        break;
      }
      case Kind::Number:
      case Kind::Altitude:
        separate(entry.key);
        numberSpellings().append(out, entry.number, entry.kind == Kind::Number ? 8 : 9);
        break;
      default:
        separate(entry.key);
        appendValueJson(out, entry);
    }
  }
  out += array ? ']' : '}';
}

void JsonNodeList::appendValueJson(std::string& out, const Entry& entry) const {
  char text[kNumberTextSize];
  const char* data;
  const size_t size = valueText(entry, characters, text, data);
  appendJsonValue(out, data, size);
}

void buildTrailJson(const Trail& trail, JsonNodeList& target, uint32_t trailSerial) {
  target.open(kTrail);
  for (size_t i = 0; i < trail.size(); ++i) {
    const TrailPoint& point = trail[i];
    if (point.serial < trailSerial) continue;
    target.open(kUnnamed);
    target.number(kUnnamed, JsonNodeList::Kind::Fixed5, point.latitude);
    target.number(kUnnamed, JsonNodeList::Kind::Fixed5, point.longitude);
    target.number(kUnnamed, JsonNodeList::Kind::Altitude, point.altitude);
    if (point.gap) target.text(kUnnamed, "U", 1);
    target.close();
  }
  target.close();
}

void buildTrailJson(const Trail& trail, ptree& target, uint32_t trailSerial) {
  JsonNodeList list;
  buildTrailJson(trail, list, trailSerial);
  list.moveInto(target);
}

void buildAircraftJson(Aircraft& aircraft, ptree& target, const AircraftJsonRequest& request) {
  JsonNodeList list;
  buildAircraftJson(aircraft, list, request);
  list.moveInto(target);
}

void appendAircraftObject(Aircraft& aircraft, JsonNodeList& target, const AircraftJsonRequest& request) {
  const size_t mark = target.size();
  target.open(kUnnamed);
  if (buildAircraftJson(aircraft, target, request)) {
    target.close();
  } else {
    target.truncate(mark);
  }
}

bool buildAircraftJson(Aircraft& aircraft, JsonNodeList& target, const AircraftJsonRequest& request) {
  AircraftObject object(target, request);

  if (object.changed(aircraft.squawk.changedSerial)) {
    object.put().unsignedValue(kSquawk, JsonNodeList::Kind::Hex4, static_cast<uint32_t>(aircraft.squawk.value));
  }
  object.trackedNumber(kAltitude, aircraft.altitude);
  object.trackedNumber(kSpeed, aircraft.groundSpeed);
  object.trackedNumber(kVerticalRate, aircraft.verticalRate);
  object.trackedNumber(kTrack, aircraft.track);
  object.trackedNumber(kAzimuth, aircraft.azimuth);
  object.trackedNumber(kDistance, aircraft.distance);
  object.trackedFlag(kGround, aircraft.onGround);
  object.trackedNumber(kLatitude, aircraft.latitude);
  object.trackedNumber(kLongitude, aircraft.longitude);
  object.plainUnsigned(kCount, aircraft.messageCount);
  object.plainFlag(kAdsb, aircraft.adsb);
  if (object.tracked(kLevel, aircraft.signalLevel)) target.integer(kLevel, aircraft.signalLevel.value);
  object.plainUnsigned(kFirstSeen, aircraft.firstSeen);
  object.plainUnsigned(kLastSeen, aircraft.lastSeen);
  object.plainText(kCallsign, aircraft.callsign);
  object.plainText(kRoute, aircraft.route);

  bool countrySent = false;
  for (const auto& [index, info] : aircraft.databaseInfo) {
    // Any other index has no key; an empty key would turn the object into an array.
    if (index < 0 || index >= kInfoKeyCount || !object.changed(info.changedSerial)) continue;
    object.put().text(kInfoFirst + static_cast<uint32_t>(index), info.value);
    countrySent = countrySent || index == kCountryInfoIndex;
  }

  for (int key = 0; key < kFieldKeyCount; ++key) {
    if (!aircraft.fields.has(key)) continue;
    FieldRecord& record = aircraft.fields[key];
    const uint32_t id = kFieldFirst + static_cast<uint32_t>(key);
    switch (record.kind) {
      case FieldKind::Integer:
        if (object.tracked(id, record)) target.integer(id, record.integer);
        break;
      case FieldKind::Number:
        if (object.tracked(id, record)) target.number(id, JsonNodeList::Kind::Number, record.number);
        break;
      case FieldKind::Flag:
        if (object.tracked(id, record)) target.flag(id, record.flag);
        break;
    }
  }

  if (request.since != 0 && request.since < aircraft.trailRestartSerial) object.put().text(kFsync, "true", 4);
  object.plainFlag(kEnded, aircraft.flightEnded);
  object.plainFlag(kHidden, aircraft.hidden);

  if (request.trailWanted) {
    buildTrailJson(aircraft.trail, target, request.trailSerial);
    object.put().unsignedValue(kIcao, JsonNodeList::Kind::Hex6, aircraft.address);
  } else if (object.holdsAnyKey()) {
    object.put().unsignedValue(kIcao, JsonNodeList::Kind::Hex6, aircraft.address);
  }
  // "TAM", "CFL" and "MC" depend on nothing that changes but the position.
  object.put().tail(aircraft.address, aircraft.latitude.value, aircraft.longitude.value, countrySent);
  return object.holdsAnyKey();
}
