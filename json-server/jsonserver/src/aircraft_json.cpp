#include "json-server/jsonserver/src/aircraft_json.h"

#include "decode/aircraft.h"
#include "decode/icao_country.h"
#include "decode/magnetic_declination.h"
#include "json-server/jsonserver/src/command_get_stats_text.h"

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

// Every key an aircraft object can hold, made once.
struct AircraftKeys {
  AircraftKeys() {
    for (const char* key : kInfoKeys) info.emplace_back(key);
    for (int key = 0; key < kFieldKeyCount; ++key) fields.emplace_back(fieldShortName(key));
    for (size_t row = 0; row < IcaoCountryTable::rowCount; ++row) {
      const char* flag = IcaoCountryTable::rows[row].flag;
      flagPaths.push_back(flag[0] == '\0' ? std::string() : std::string("/img/flags/") + flag);
    }
  }
  const JsonKey squawk{"SQ"}, altitude{"A"}, speed{"S"}, verticalRate{"V"}, track{"T"}, azimuth{"AZ"},
      distance{"D"}, ground{"G"}, latitude{"LA"}, longitude{"LO"}, count{"C"}, adsb{"AB"}, level{"L"},
      firstSeen{"F"}, lastSeen{"Z"}, callsign{"CS"}, route{"FR"}, fsync{"FSYNC"}, ended{"R"}, hidden{"Y"},
      trail{"TRACK"}, icao{"I"}, declination{"TAM"}, flag{"CFL"}, country{"MC"}, unnamed{""};
  std::vector<JsonKey> info;
  std::vector<JsonKey> fields;
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

  void put(const JsonKey& key, std::string value) {
    target.value(key, std::move(value));
    empty = false;
  }
  bool holdsAnyKey() const { return !empty; }

  template <typename Serial, typename Format>
  void plain(const JsonKey& key, const Serial& value, Format format) {
    if (changed(value.changedSerial)) put(key, format(value.value));
  }

  // The staleness rule of a tracked value or data item.
  template <typename Value, typename Format>
  void tracked(const JsonKey& key, Value& value, Format format) {
    if (value.changedSerial == 0) return;
    // A value updated after `now` (the host clock went back) is fresh.
    const bool fresh = value.lastUpdate >= request.now || request.now - value.lastUpdate <= kStaleSeconds;
    if (fresh) {
      if (request.since < value.changedSerial) {
        put(key, format(value));
        return;
      }
    } else if (value.staleSerial == 0) {
      value.staleSerial = request.serial;
    }
    if (value.staleSerial != 0 && value.staleSerial >= request.since) put(key, std::string());
  }

 private:
  JsonNodeList& target;
  const AircraftJsonRequest& request;
  bool empty = true;
};

std::string trackedFloat(const TrackedValue<float>& v) { return floatText(v.value); }
std::string trackedFlag(const TrackedValue<bool>& v) { return flagText(v.value); }
std::string trackedInteger(const TrackedValue<int32_t>& v) { return integerText(v.value); }
std::string fieldInteger(const FieldRecord& r) { return integerText(r.integer); }
std::string fieldNumber(const FieldRecord& r) { return floatText(r.number); }
std::string fieldFlag(const FieldRecord& r) { return flagText(r.flag); }

}  // namespace

const std::string& aircraftInfoJsonKey(int index) {
  if (index < 0 || index >= kInfoKeyCount) return kEmpty;
  return aircraftKeys().info[index].text();
}

const JsonKey& unnamedJsonKey() { return aircraftKeys().unnamed; }

void JsonNodeList::moveInto(ptree& target) {
  std::vector<ptree*> stack{&target};
  for (Entry& entry : entries) {
    switch (entry.kind) {
      case Kind::Value:
        entry.key->appendTo(*stack.back(), std::move(entry.text));
        break;
      case Kind::Open:
        stack.push_back(&entry.key->appendTo(*stack.back()));
        break;
      case Kind::Close:
        if (stack.size() > 1) stack.pop_back();
        break;
    }
  }
  entries.clear();
}

void buildTrailJson(const Trail& trail, JsonNodeList& target, uint32_t trailSerial) {
  const AircraftKeys& keys = aircraftKeys();
  target.open(keys.trail);
  for (size_t i = 0; i < trail.size(); ++i) {
    const TrailPoint& point = trail[i];
    if (point.serial < trailSerial) continue;
    target.open(keys.unnamed);
    target.value(keys.unnamed, doubleToText(point.latitude));
    target.value(keys.unnamed, doubleToText(point.longitude));
    target.value(keys.unnamed, generalText(point.altitude, 9));
    if (point.gap) target.value(keys.unnamed, "U");
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

bool buildAircraftJson(Aircraft& aircraft, JsonNodeList& target, const AircraftJsonRequest& request) {
  const AircraftKeys& keys = aircraftKeys();
  AircraftObject object(target, request);
  const auto text = [](const std::string& v) { return v; };
  const auto integer = [](auto v) { return integerText(v); };
  const auto flag = [](bool v) { return std::string(flagText(v)); };

  if (object.changed(aircraft.squawk.changedSerial)) object.put(keys.squawk, formatSquawk(aircraft));
  object.tracked(keys.altitude, aircraft.altitude, trackedFloat);
  object.tracked(keys.speed, aircraft.groundSpeed, trackedFloat);
  object.tracked(keys.verticalRate, aircraft.verticalRate, trackedFloat);
  object.tracked(keys.track, aircraft.track, trackedFloat);
  object.tracked(keys.azimuth, aircraft.azimuth, trackedFloat);
  object.tracked(keys.distance, aircraft.distance, trackedFloat);
  object.tracked(keys.ground, aircraft.onGround, trackedFlag);
  object.tracked(keys.latitude, aircraft.latitude, trackedFloat);
  object.tracked(keys.longitude, aircraft.longitude, trackedFloat);
  object.plain(keys.count, aircraft.messageCount, integer);
  object.plain(keys.adsb, aircraft.adsb, flag);
  object.tracked(keys.level, aircraft.signalLevel, trackedInteger);
  object.plain(keys.firstSeen, aircraft.firstSeen, integer);
  object.plain(keys.lastSeen, aircraft.lastSeen, integer);
  object.plain(keys.callsign, aircraft.callsign, text);
  object.plain(keys.route, aircraft.route, text);

  bool countrySent = false;
  for (const auto& [index, info] : aircraft.databaseInfo) {
    // Any other index has no key; an empty key would turn the object into an array.
    if (index < 0 || index >= kInfoKeyCount || !object.changed(info.changedSerial)) continue;
    object.put(keys.info[index], info.value);
    countrySent = countrySent || index == kCountryInfoIndex;
  }

  for (int key = 0; key < kFieldKeyCount; ++key) {
    if (!aircraft.fields.has(key)) continue;
    FieldRecord& record = aircraft.fields[key];
    switch (record.kind) {
      case FieldKind::Integer:
        object.tracked(keys.fields[key], record, fieldInteger);
        break;
      case FieldKind::Number:
        object.tracked(keys.fields[key], record, fieldNumber);
        break;
      case FieldKind::Flag:
        object.tracked(keys.fields[key], record, fieldFlag);
        break;
    }
  }

  if (request.since != 0 && request.since < aircraft.trailRestartSerial) object.put(keys.fsync, "true");
  object.plain(keys.ended, aircraft.flightEnded, flag);
  object.plain(keys.hidden, aircraft.hidden, flag);

  if (request.trailWanted) {
    buildTrailJson(aircraft.trail, target, request.trailSerial);
    object.put(keys.icao, formatIcao(aircraft));
  } else if (object.holdsAnyKey()) {
    object.put(keys.icao, formatIcao(aircraft));
  }
  object.put(keys.declination, floatText(magneticDeclination(aircraft.latitude.value, aircraft.longitude.value)));
  if (const IcaoCountryRow* country = IcaoCountryTable::find(aircraft.address)) {
    const std::string& flagPath = keys.flagPaths[country - IcaoCountryTable::rows];
    if (!flagPath.empty()) object.put(keys.flag, flagPath);
    if (!countrySent && country->name[0] != '\0') object.put(keys.country, country->name);
  }
  return object.holdsAnyKey();
}
