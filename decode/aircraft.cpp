#include "decode/aircraft.h"

#include <cmath>
#include <cstdio>

#include "app/config.h"
#include "app/logger.h"
#include "decode/air_info_queue.h"
#include "decode/geo.h"
#include "decode/magnetic_declination.h"
#include "decode/receiver_position.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRadians = kPi / 180.0;
constexpr double kMetresToNauticalMiles = 0.0005399568;
constexpr double kMetresToKilometres = 0.001;

constexpr uint32_t kGapSeconds = 15;       // a position after a longer silence starts a dashed line
constexpr double kJumpSpeed = 5000;        // metres per second no aircraft can fly
constexpr uint32_t kJumpWindow = 600;      // seconds over which a jump is judged
constexpr double kGroundMove = 5;          // metres that make a new point on the ground
constexpr double kAirborneMove = 250;      // metres before a computed track is trusted aloft
constexpr float kLowAltitude = 250;        // feet below which the ground threshold applies
constexpr float kTrackStep = 3;            // degrees of turn that make a new point
constexpr float kAltitudeStep = 256;       // feet of climb or descent that make a new point
constexpr uint32_t kFreshSeconds = 30;

bool isAdsb(int df) { return df == 17 || df == 18 || df == 19; }

// The smaller angle between two directions, degrees.
double angleBetween(double a, double b) {
  double d = std::fabs(a - b);
  return d > 180 ? 360 - d : d;
}

bool fresh(uint32_t lastUpdate, uint32_t now) {
  return now == 0 || int64_t(now) - int64_t(lastUpdate) <= kFreshSeconds;
}

}  // namespace

Aircraft::Aircraft(uint32_t address, const AircraftContext& context, uint32_t time, uint32_t serial)
    : address(address), context(context) {
  firstSeen.value = time;
  firstSeen.changedSerial = serial;
  lastSeen.value = time;
  lastHeard = time;
}

void Aircraft::update(const ModesData& frame, const Message& m, uint32_t s) {
  const uint32_t t = m.time;
  if (flightEnded.value) {
    firstSeen.value = t;
    firstSeen.changedSerial = s;
    if (context.airInfo != nullptr) context.airInfo->requestAircraft(address);
  }
  hidden.set(false, s, t);
  flightEnded.set(false, s, t);
  lastSeen.set(t, s, t);
  lastHeard = t;
  updateSignal(frame.signal, s, t);
  messageCount.stamp(messageCount.value + 1, s, t);
  updateTrail(m, s);
  updateFlightStatistics(m);
  updateDisplayedValues(m, s);
  updateFieldTable(m, s);
  if (m.has(MessageField::HDG)) updateHeading(m, s);
  if (!m.has(MessageField::TEMP) && (m.has(MessageField::TAS) || m.has(MessageField::MACH))) {
    updateTemperature(m, s);
  }
  if (!m.has(MessageField::WDIR) && !m.has(MessageField::WSPD) &&
      (m.has(MessageField::HDG) || m.has(MessageField::TT) || m.has(MessageField::GS) ||
       m.has(MessageField::TAS))) {
    updateWind(m, s);
  }
}

void Aircraft::updateSignal(uint8_t level, uint32_t s, uint32_t t) {
  signalRing[signalNext] = level;
  signalNext = static_cast<uint8_t>((signalNext + 1) % 10);
  if (signalFill < 10) ++signalFill;
  int32_t sum = 0;
  for (int i = 0; i < signalFill; ++i) sum += signalRing[i];
  signalLevel.set(sum / signalFill, s, t);
}

void Aircraft::updateTrail(const Message& m, uint32_t s) {
  TrailState& ts = trailState;
  const uint32_t t = m.time;
  const bool hasPosition = m.has(MessageField::LAT) && m.has(MessageField::LON);

  if (hasPosition) {
    ts.latitude = static_cast<float>(m.lat);
    ts.longitude = static_cast<float>(m.lon);
    if (ts.positionKnown && int64_t(t) - int64_t(ts.lastPositionTime) > kGapSeconds) {
      ts.pointDue = true;
      ts.gap = true;
    }
    ts.lastPositionTime = t;
    if (!ts.positionKnown) ts.pointDue = true;
    ts.positionKnown = true;
    if (!ts.trackReferenceSet) {
      ts.trackReferenceSet = true;
      ts.trackReferenceLatitude = ts.latitude;
      ts.trackReferenceLongitude = ts.longitude;
    }
    if (!ts.jumpReferenceSet) {
      ts.jumpReferenceSet = true;
      ts.jumpReferenceLatitude = ts.latitude;
      ts.jumpReferenceLongitude = ts.longitude;
      ts.jumpReferenceTime = t;
    }
  }
  if (m.has(MessageField::GR)) {
    ts.onGround = m.gr;
    ts.onGroundKnown = true;
  }
  // A track-and-turn report's track is often stale; only velocity tracks shape the trail.
  if (m.has(MessageField::TT) && !m.has(MessageField::BDS50)) {
    ts.track = static_cast<float>(m.tt);
    ts.trackKnown = true;
    if (!ts.trailHasTrack || angleBetween(m.tt, ts.lastTrailTrack) > kTrackStep) ts.pointDue = true;
  }
  if (m.has(MessageField::ALTITUDE)) {
    ts.altitude = static_cast<float>(m.altitude);
    ts.altitudeKnown = true;
    if (!ts.trailHasAltitude || std::fabs(ts.lastTrailAltitude - ts.altitude) > kAltitudeStep) {
      ts.pointDue = true;
    }
  }

  if (ts.jumpReferenceSet && hasPosition) {
    const double d = greatCircleDistance(ts.jumpReferenceLatitude, ts.jumpReferenceLongitude,
                                         ts.latitude, ts.longitude);
    const uint32_t dt = t - ts.jumpReferenceTime;
    if (dt < kJumpWindow && (dt == 0 ? d : d / dt) > kJumpSpeed) {
      // A position no aircraft could reach: start the trail over from the next one.
      ts.positionKnown = false;
      ts.jumpReferenceSet = false;
      ts.gap = false;
      trail.clear();
      trailRestartSerial = s;
      logDebug(formatIcao(address) + " Track Reset");
    } else {
      if (d > kGroundMove && ts.onGroundNow()) ts.pointDue = true;
      ts.jumpReferenceLatitude = ts.latitude;
      ts.jumpReferenceLongitude = ts.longitude;
      ts.jumpReferenceTime = t;
    }
  }

  if (ts.trackReferenceSet && hasPosition) {
    const double d = greatCircleDistance(ts.trackReferenceLatitude, ts.trackReferenceLongitude,
                                         ts.latitude, ts.longitude);
    const bool low = ts.onGroundNow() || (ts.altitudeKnown && ts.altitude < kLowAltitude);
    if (d > (low ? kGroundMove : kAirborneMove)) {
      const double b = initialBearing(ts.latitude, ts.longitude, ts.trackReferenceLatitude,
                                      ts.trackReferenceLongitude);
      const double computed = (b + 180) - 360 * std::trunc((b + 180) / 360);
      ts.track = static_cast<float>(computed);
      ts.trackKnown = true;
      ts.trackReferenceLatitude = ts.latitude;
      ts.trackReferenceLongitude = ts.longitude;
      if (!ts.trailHasTrack || angleBetween(computed, ts.lastTrailTrack) > kTrackStep) {
        ts.pointDue = true;
      }
    }
  }

  // Without an altitude an airborne point cannot be drawn; it stays due until one arrives.
  if (ts.pointDue && ts.positionKnown && (ts.altitudeKnown || ts.onGroundNow())) {
    if (ts.altitudeKnown) {
      ts.lastTrailAltitude = ts.altitude;
      ts.trailHasAltitude = true;
    }
    ts.lastTrailLatitude = ts.latitude;
    ts.lastTrailLongitude = ts.longitude;
    ts.lastTrailTime = ts.lastPositionTime;
    if (ts.trackKnown) {
      ts.lastTrailTrack = ts.track;
      ts.trailHasTrack = true;
    }
    TrailPoint point;
    point.latitude = ts.latitude;
    point.longitude = ts.longitude;
    point.altitude = ts.onGroundNow() ? kTrailGroundAltitude : ts.lastTrailAltitude;
    point.gap = ts.gap;
    point.serial = s;
    trail.push(point);
    ts.gap = false;
    ts.pointDue = false;
  }
}

namespace {

template <typename T>
void firstAndLast(SeenValue<T>& first, SeenValue<T>& last, const T& value) {
  last.set(value);
  if (!first.seen) first.set(value);
}

// Once true, stays true for the flight.
void latch(SeenValue<bool>& had, bool value) {
  if (!had.seen || value) had.set(value);
}

}  // namespace

void Aircraft::updateFlightStatistics(const Message& m) {
  FlightStatistics& f = flight;
  f.endTime = m.time;
  if (m.has(MessageField::CALLSIGN)) f.callsign.set(m.callsign);
  if (m.has(MessageField::SQUAWK)) firstAndLast(f.firstSquawk, f.lastSquawk, m.squawk);
  if (m.has(MessageField::GR)) firstAndLast(f.firstOnGround, f.lastOnGround, m.gr);
  if (m.has(MessageField::VR)) firstAndLast(f.firstVerticalRate, f.lastVerticalRate, m.vr);
  if (m.has(MessageField::LAT)) {
    firstAndLast(f.firstLatitude, f.lastLatitude, static_cast<float>(m.lat));
  }
  if (m.has(MessageField::LON)) {
    firstAndLast(f.firstLongitude, f.lastLongitude, static_cast<float>(m.lon));
  }
  if (m.has(MessageField::GS)) {
    firstAndLast(f.firstGroundSpeed, f.lastGroundSpeed, static_cast<float>(m.gs));
  }
  if (m.has(MessageField::ALTITUDE)) firstAndLast(f.firstAltitude, f.lastAltitude, m.altitude);
  if (m.has(MessageField::TT)) firstAndLast(f.firstTrack, f.lastTrack, static_cast<float>(m.tt));
  if (m.has(MessageField::ALRT)) latch(f.hadAlert, m.alrt);
  if (m.has(MessageField::SPI)) latch(f.hadSpi, m.spi);
  if (m.has(MessageField::PA)) latch(f.hadEmergency, m.pa);

  uint32_t* c = f.counters;
  if (isAdsb(m.df)) {
    ++c[kFlightAdsb];
    const int tc = m.typeCode;
    if (tc >= 1 && tc <= 4) {
      ++c[kFlightIdentification];
    } else if (tc == 19) {
      ++c[kFlightAirborneVelocities];
    } else if (tc >= 5 && tc <= 22) {
      ++c[kFlightPositions];
      ++c[tc <= 8 ? kFlightSurfacePositions : kFlightAirbornePositions];
    }
    return;
  }
  ++c[kFlightModeS];
  switch (m.df) {
    case 0: case 16: ++c[kFlightAirToAir]; break;
    case 4: case 20: ++c[kFlightSurveillanceAltitude]; break;
    case 5: case 21: ++c[kFlightSurveillanceIdentity]; break;
    case 11: ++c[kFlightAllCallReplies]; break;
    default: break;
  }
}

void Aircraft::updateDisplayedValues(const Message& m, uint32_t s) {
  const uint32_t t = m.time;
  if (m.has(MessageField::SQUAWK)) squawk.set(m.squawk, s, t);

  if (m.has(MessageField::TT) && !m.has(MessageField::BDS50)) {
    track.set(static_cast<float>(m.tt), s, t);
  } else if (trailState.trackKnown) {
    track.set(trailState.track, s, t);
    firstAndLast(flight.firstTrack, flight.lastTrack, trailState.track);
  }

  if (m.has(MessageField::CALLSIGN)) {
    if (callsign.set(m.callsign, s, t) && !m.callsign.empty() && context.airInfo != nullptr) {
      context.airInfo->requestRoute(m.callsign, address);
    }
  }
  if (m.has(MessageField::ALTITUDE)) altitude.set(static_cast<float>(m.altitude), s, t);
  if (m.has(MessageField::GS)) groundSpeed.set(static_cast<float>(m.gs), s, t);
  if (m.has(MessageField::VR)) verticalRate.set(static_cast<float>(m.vr), s, t);
  if (m.has(MessageField::GR)) {
    if (onGround.set(m.gr, s, t)) verticalRate.set(0.0f, s, t);
  }
  if (isAdsb(m.df)) adsb.set(true, s, t);

  if (m.has(MessageField::LAT) && m.has(MessageField::LON)) {
    latitude.set(static_cast<float>(m.lat), s, t);
    longitude.set(static_cast<float>(m.lon), s, t);
    double referenceLatitude = 0, referenceLongitude = 0;
    if (context.config.referencePointGiven) {
      referenceLatitude = context.config.referencePoint.latitude;
      referenceLongitude = context.config.referencePoint.longitude;
    } else if (context.receiverPosition == nullptr ||
               !context.receiverPosition->get(referenceLatitude, referenceLongitude)) {
      return;
    }
    const double metres = greatCircleDistance(referenceLatitude, referenceLongitude, m.lat, m.lon);
    const double unit = context.config.metric ? kMetresToKilometres : kMetresToNauticalMiles;
    distance.set(static_cast<float>(metres * unit), s, t);
    azimuth.set(static_cast<float>(initialBearing(referenceLatitude, referenceLongitude, m.lat, m.lon)),
                s, t);
  }
}

void Aircraft::updateFieldTable(const Message& m, uint32_t s) {
  fields.applyMessage(m, s);
  if (m.has(MessageField::TAS)) {
    fields.setInteger(kFieldTas, tasSmoothing.add(m.tas, m.time), s, m.time);
  }
}

bool Aircraft::isFresh(const TrackedValue<float>& value, uint32_t now) const {
  return value.isSet() && fresh(value.lastUpdate, now);
}

void Aircraft::updateHeading(const Message& m, uint32_t s) {
  const uint32_t t = m.time;
  // Not a number has no heading to show; the smoothing ignores it as well.
  if (!std::isfinite(m.hdg)) return;
  double h = m.hdg;
  const bool positionFresh = isFresh(latitude, t) && isFresh(longitude, t);
  const bool magnetic = !fields.isFresh(kFieldHeadingReference, t) ||
                        fields[kFieldHeadingReference].flag;
  if (positionFresh && magnetic) {
    h += magneticDeclination(latitude.value, longitude.value);
    if (h < 0) {
      h += 360;
    } else if (h >= 360) {
      h -= 360;
    }
  }
  // A double just below 360 rounds to 360 as a float.
  float heading = static_cast<float>(headingSmoothing.add(h, t));
  if (heading >= 360.0f) heading = 0.0f;
  fields.setNumber(kFieldHeading, heading, s, t);
}

void Aircraft::updateTemperature(const Message& m, uint32_t s) {
  const uint32_t t = m.time;
  if (!fields.isFresh(kFieldTas, t) || !fields.isFresh(kFieldMach, t)) return;
  const int32_t mach = fields[kFieldMach].integer;
  if (mach == 0) return;
  const double ratio = tasSmoothing.value() * 1000.0 / (mach * 38.975);
  const double celsius = ratio * ratio - 273.15;
  if (celsius > -80 && celsius < -10) {
    fields.setNumber(kFieldTemperature, static_cast<float>(celsius), s, t);
  }
}

void Aircraft::updateWind(const Message& m, uint32_t s) {
  const uint32_t t = m.time;
  if (!fields.isFresh(kFieldTas, t) || !fields.isFresh(kFieldHeading, t)) return;
  if (!isFresh(groundSpeed, t) || !isFresh(track, t)) return;
  const double tas = fields[kFieldTas].integer;
  const double gs = groundSpeed.value;
  const double delta = (fields[kFieldHeading].number - track.value) * kRadians;
  const double half = std::sin(delta / 2);
  const double w2 = (tas - gs) * (tas - gs) + 4 * tas * gs * half * half;
  if (!(w2 >= 0)) return;
  const double speed = std::sqrt(w2);
  if (!(speed > 0 && speed < 180)) return;
  fields.setInteger(kFieldWindSpeed, static_cast<int32_t>(speed), s, t);
  double direction = std::atan2(tas * std::sin(delta), tas * std::cos(delta) - gs) + track.value * kRadians;
  if (direction < 0) {
    direction += 2 * kPi;
  } else if (direction > 2 * kPi) {
    direction -= 2 * kPi;
  }
  fields.setInteger(kFieldWindDirection, static_cast<int32_t>(direction / kRadians), s, t);
}

void Aircraft::resetFlight(uint32_t s) {
  squawk.clear();
  track.clear();
  altitude.clear();
  groundSpeed.clear();
  verticalRate.clear();
  azimuth.clear();
  distance.clear();
  latitude.clear();
  longitude.clear();
  onGround.clear();
  signalLevel.clear();
  lastSeen.clear();
  messageCount.clear();
  adsb.clear();
  firstSeen.changedSerial = 0;
  callsign.set(std::string(), s, 0);
  route.set(std::string(), s, 0);
  trail.clear();
  trailState = TrailState();
  trailRestartSerial = 0;
  databaseInfo.clear();
  flight.reset();
}

std::string formatIcao(uint32_t address) {
  char text[8];
  std::snprintf(text, sizeof text, "%06X", address & 0xFFFFFFu);
  return text;
}

std::string formatIcao(const Aircraft& aircraft) { return formatIcao(aircraft.address); }

std::string formatSquawk(const Aircraft& aircraft) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", static_cast<uint32_t>(aircraft.squawk.value) & 0xFFFFu);
  return text;
}
