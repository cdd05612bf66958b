// Per-aircraft CPR state machine: a global fix from an even/odd pair, confirmed by one local
// decode, then local decoding against the last accepted position.

#include <cmath>
#include <cstdlib>

#include "decode/cpr.h"
#include "decode/geo.h"
#include "decode/message_decoder.h"

namespace {

constexpr uint32_t kCprLimit = 1u << 17;
constexpr uint32_t kFixExpiry = 120;        // seconds after the last fix before starting over
constexpr double kMaximumRange = 550000.0;  // metres from the receiver
constexpr double kSurfaceAgreement = 1.25;  // metres between a local and a global decode
constexpr double kAirborneAgreement = 5.0;

bool isFarApart(uint32_t a, uint32_t b, uint32_t limit) {
  return std::llabs(int64_t(a) - int64_t(b)) > int64_t(limit);
}

}  // namespace

bool MessageDecoder::decodeCprPosition(uint32_t address, bool odd, uint32_t cprLat, uint32_t cprLon,
                                       double referenceLat, double referenceLon, uint32_t time,
                                       bool surface, bool referenceValid, double& latitude,
                                       double& longitude) {
  // Wider values cannot come from a frame's 17-bit fields.
  if (cprLat >= kCprLimit || cprLon >= kCprLimit) return false;
  // A reference off the globe is no reference.
  referenceValid = referenceValid && std::isfinite(referenceLon) &&
                   std::fabs(referenceLat) <= 90.0;

  cprStates.purge(time);
  auto found = cprStates.states.find(address);
  if (found == cprStates.states.end()) {
    CprState& state = cprStates.states[address];
    state.address = address;
    state.lastSeen = time;
    state.store(odd, cprLat, cprLon, time, surface);
    return false;
  }
  CprState& state = found->second;
  if (state.lastFixTime != 0 && isFarApart(time, state.lastFixTime, kFixExpiry)) {
    state.reset();
    state.lastSeen = time;
    state.store(odd, cprLat, cprLon, time, surface);
    return false;
  }
  state.lastSeen = time;
  state.store(odd, cprLat, cprLon, time, surface);

  bool checkRange = rangeCheck && referenceValid;
  auto outOfRange = [&](double lat, double lon) {
    // Written so that a NaN distance counts as out of range.
    return checkRange &&
           !(greatCircleDistance(referenceLat, referenceLon, lat, lon) <= kMaximumRange);
  };
  auto accept = [&](double lat, double lon) {
    state.lastLatitude = lat;
    state.lastLongitude = lon;
    state.lastFixTime = time;
  };

  double lat = 0;
  double lon = 0;
  if (state.status == 0) {
    if (!state.decodeGlobal(odd, referenceLat, referenceLon, referenceValid, lat, lon)) return false;
    if (outOfRange(lat, lon)) return false;
    accept(lat, lon);
    state.status = 1;
    return false;  // one fix is not trusted until a local decode agrees
  }

  if (state.status == 1) {
    if (!state.decodeLocal(odd, surface, cprLat, cprLon, lat, lon) || outOfRange(lat, lon) ||
        !state.isPlausible(time, surface, lat, lon)) {
      state.reset();
      return false;
    }
    double globalLat = 0;
    double globalLon = 0;
    if (state.decodeGlobal(odd, referenceLat, referenceLon, referenceValid, globalLat, globalLon)) {
      double agreement = surface ? kSurfaceAgreement : kAirborneAgreement;
      if (!(greatCircleDistance(globalLat, globalLon, lat, lon) <= agreement)) {
        state.reset();
        return false;
      }
      accept(lat, lon);
      state.status = 2;
    }
    latitude = lat;
    longitude = lon;
    return true;
  }

  if (!state.decodeLocal(odd, surface, cprLat, cprLon, lat, lon) || outOfRange(lat, lon) ||
      !state.isPlausible(time, surface, lat, lon))
    return false;
  accept(lat, lon);
  latitude = lat;
  longitude = lon;
  return true;
}
