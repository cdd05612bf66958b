#include "json-server/jsonserver/src/aircraft_json.h"

#include "decode/aircraft.h"
#include "decode/icao_country.h"
#include "decode/magnetic_declination.h"
#include "json-server/jsonserver/src/command_get_stats_text.h"

using boost::property_tree::ptree;

namespace {

// A value not updated for longer than this is gone from the page.
constexpr uint32_t kStaleSeconds = 30;

const std::string kEmpty;

class AircraftObject {
 public:
  AircraftObject(ptree& target, const AircraftJsonRequest& request) : target(target), request(request) {}

  bool changed(uint32_t changedSerial) const { return changedSerial != 0 && request.since < changedSerial; }

  void put(const char* key, const std::string& value) {
    appendChild(target, key, value);
    if (key[0] == 'M' && key[1] == 'C' && key[2] == '\0') hasCountry = true;
  }

  template <typename Serial, typename Format>
  void plain(const char* key, const Serial& value, Format format) {
    if (changed(value.changedSerial)) put(key, format(value.value));
  }

  // The staleness rule of a tracked value or data item.
  template <typename Value, typename Format>
  void tracked(const char* key, Value& value, Format format) {
    if (value.changedSerial == 0) return;
    const bool fresh = value.lastUpdate >= request.now || request.now - value.lastUpdate <= kStaleSeconds;
    if (fresh) {
      if (request.since < value.changedSerial) {
        put(key, format(value));
        return;
      }
    } else if (value.staleSerial == 0) {
      value.staleSerial = request.serial;
    }
    if (value.staleSerial != 0 && value.staleSerial >= request.since) put(key, kEmpty);
  }

  ptree& target;
  const AircraftJsonRequest& request;
  bool hasCountry = false;
};

std::string trackedFloat(const TrackedValue<float>& v) { return floatText(v.value); }
std::string trackedFlag(const TrackedValue<bool>& v) { return flagText(v.value); }
std::string trackedInteger(const TrackedValue<int32_t>& v) { return integerText(v.value); }

}  // namespace

const std::string& aircraftInfoJsonKey(int index) {
  static const std::string keys[] = {"MC", "CY", "RG", "MF", "ITC", "TY", "SN", "PN", "GN", "AC", "E",
                                     "OS", "RO", "MW", "YB", "UN", "UT", "IU", "OF", "SEE", "AURL", "SURL"};
  if (index < 0 || index >= static_cast<int>(sizeof keys / sizeof keys[0])) return kEmpty;
  return keys[index];
}

void buildTrailJson(const Trail& trail, ptree& target, uint32_t trailSerial) {
  ptree& track = appendChild(target, "TRACK");
  for (size_t i = 0; i < trail.size(); ++i) {
    const TrailPoint& point = trail[i];
    if (point.serial < trailSerial) continue;
    ptree& item = appendChild(track, "");
    appendChild(item, "", doubleToText(point.latitude));
    appendChild(item, "", doubleToText(point.longitude));
    appendChild(item, "", generalText(point.altitude, 9));
    if (point.gap) appendChild(item, "", "U");
  }
}

void buildAircraftJson(Aircraft& aircraft, ptree& target, const AircraftJsonRequest& request) {
  AircraftObject object(target, request);
  const auto text = [](const std::string& v) { return v; };
  const auto integer = [](auto v) { return integerText(v); };
  const auto flag = [](bool v) { return std::string(flagText(v)); };

  if (object.changed(aircraft.squawk.changedSerial)) object.put("SQ", formatSquawk(aircraft));
  object.tracked("A", aircraft.altitude, trackedFloat);
  object.tracked("S", aircraft.groundSpeed, trackedFloat);
  object.tracked("V", aircraft.verticalRate, trackedFloat);
  object.tracked("T", aircraft.track, trackedFloat);
  object.tracked("AZ", aircraft.azimuth, trackedFloat);
  object.tracked("D", aircraft.distance, trackedFloat);
  object.tracked("G", aircraft.onGround, trackedFlag);
  object.tracked("LA", aircraft.latitude, trackedFloat);
  object.tracked("LO", aircraft.longitude, trackedFloat);
  object.plain("C", aircraft.messageCount, integer);
  object.plain("AB", aircraft.adsb, flag);
  object.tracked("L", aircraft.signalLevel, trackedInteger);
  object.plain("F", aircraft.firstSeen, integer);
  object.plain("Z", aircraft.lastSeen, integer);
  object.plain("CS", aircraft.callsign, text);
  object.plain("FR", aircraft.route, text);

  for (const auto& [index, info] : aircraft.databaseInfo) {
    const std::string& key = aircraftInfoJsonKey(index);
    // An empty key would turn the object into an array.
    if (!key.empty()) object.plain(key.c_str(), info, text);
  }

  for (int key = 0; key < kFieldKeyCount; ++key) {
    if (!aircraft.fields.has(key)) continue;
    FieldRecord& record = aircraft.fields[key];
    switch (record.kind) {
      case FieldKind::Integer:
        object.tracked(fieldShortName(key), record, [](const FieldRecord& r) { return integerText(r.integer); });
        break;
      case FieldKind::Number:
        object.tracked(fieldShortName(key), record, [](const FieldRecord& r) { return floatText(r.number); });
        break;
      case FieldKind::Flag:
        object.tracked(fieldShortName(key), record, [](const FieldRecord& r) { return std::string(flagText(r.flag)); });
        break;
    }
  }

  if (request.since != 0 && request.since < aircraft.trailRestartSerial) object.put("FSYNC", "true");
  object.plain("R", aircraft.flightEnded, flag);
  object.plain("Y", aircraft.hidden, flag);

  if (request.trailWanted) buildTrailJson(aircraft.trail, target, request.trailSerial);

  if (!target.empty()) object.put("I", formatIcao(aircraft));
  object.put("TAM", floatText(magneticDeclination(aircraft.latitude.value, aircraft.longitude.value)));
  if (const IcaoCountryRow* country = IcaoCountryTable::find(aircraft.address)) {
    if (country->flag[0] != '\0') object.put("CFL", std::string("/img/flags/") + country->flag);
    if (!object.hasCountry && country->name[0] != '\0') object.put("MC", country->name);
  }
}
