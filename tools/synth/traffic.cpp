#include "tools/synth/traffic.h"

#include <algorithm>
#include <cmath>

#include "tools/synth/altitude_codes.h"
#include "tools/synth/comm_b_encoder.h"
#include "tools/synth/cpr_encoder.h"
#include "tools/synth/frame_builder.h"

namespace {

constexpr double guardUs = 4;  // quiet air between two frames when collisions are avoided
constexpr uint32_t airbornePositionTypeCode = 11;
constexpr uint32_t surfacePositionTypeCode = 6;

bool isAlertSquawk(uint32_t squawk) { return squawk == 07500 || squawk == 07600 || squawk == 07700; }

// International standard atmosphere, enough for plausible IAS and Mach from the true airspeed.
double densityRatio(double feet) {
  if (feet < 36089) return std::pow(1 - 6.8756e-6 * std::max(feet, -2000.0), 4.2559);
  return 0.2971 * std::exp(-(feet - 36089) / 20806);
}

double speedOfSoundKnots(double feet) {
  const double kelvin = feet < 36089 ? 288.15 - 0.0019812 * feet : 216.65;
  return 661.47 * std::sqrt(kelvin / 288.15);
}

}  // namespace

SynthTraffic::SynthTraffic(const SynthScenario& scenario, uint32_t oversamplingFactor)
    : scenario(scenario), samplesPerUs(2.0 * oversamplingFactor), random(scenario.seed * 0x2545F4914F6CDD1Dull + 7) {
  aircraft.reserve(scenario.aircraft.size());
  for (const auto& params : scenario.aircraft) {
    const double frequency = params.hasFrequency ? params.frequencyHz
                                               : random.uniform(-scenario.maxFrequencyOffsetHz, scenario.maxFrequencyOffsetHz);
    aircraft.push_back(AircraftRun{&params, SynthFlight(params), frequency,
                                   params.modeAcRate >= 0 ? params.modeAcRate : scenario.modeAcRate});
  }
  for (size_t i = 0; i < aircraft.size(); ++i) {
    const SynthAircraftParams& params = *aircraft[i].params;
    std::vector<Kind> kinds;
    if (params.adsb && !params.callsign.empty()) kinds.push_back(Kind::Identification);
    if (params.adsb && !params.surface) {
      kinds.push_back(Kind::AirbornePosition);
      kinds.push_back(Kind::Velocity);
    }
    if (params.adsb && params.surface) kinds.push_back(Kind::SurfacePosition);
    if (params.allCall) kinds.push_back(Kind::AllCall);
    if (params.replyRate > 0) kinds.push_back(Kind::Reply);
    if (aircraft[i].modeAcRate > 0) kinds.push_back(Kind::ModeAc);
    for (Kind kind : kinds) schedule(i, kind, random.uniform() * interval(aircraft[i], kind));
  }
}

void SynthTraffic::schedule(size_t index, Kind kind, double time) { events.push(Event{time, eventOrder++, index, kind}); }

double SynthTraffic::interval(const AircraftRun& run, Kind kind) {
  const bool standing = run.params->surface && run.params->groundSpeed <= 0;
  switch (kind) {
    case Kind::Identification:
      return standing ? random.uniform(9.8, 10.2) : random.uniform(4.8, 5.2);
    case Kind::AirbornePosition:
    case Kind::Velocity:
      return random.uniform(0.4, 0.6);
    case Kind::SurfacePosition:
      return standing ? random.uniform(4.8, 5.2) : random.uniform(0.4, 0.6);
    case Kind::AllCall:
      return random.uniform(0.8, 1.2);
    case Kind::Reply:
      return random.exponential(1 / run.params->replyRate);
    case Kind::ModeAc:
      return random.exponential(1 / run.modeAcRate);
  }
  return 1;
}

bool SynthTraffic::next(SynthTransmission& out) {
  // A transmission leaves only once a later one starts after its end, so that its overlap
  // flag is final.
  while ((pending.empty() || pending.front().endSample(samplesPerUs) > lastStart) && !events.empty()) placeOne();
  if (pending.empty()) return false;
  out = pending.front();
  pending.pop_front();
  return true;
}

void SynthTraffic::placeOne() {
  const Event event = events.top();
  events.pop();
  AircraftRun& run = aircraft[event.aircraft];
  schedule(event.aircraft, event.kind, event.time + interval(run, event.kind));
  run.flight.advanceTo(event.time);

  SynthTransmission tx;
  encode(run, event.kind, tx);
  double start = event.time * 1e6 * samplesPerUs;
  if (scenario.overlapFraction > 0 && !pending.empty() && random.uniform() < scenario.overlapFraction) {
    const SynthTransmission& previous = pending.back();
    start = previous.start + random.uniform(0.1, 0.9) * previous.durationUs * samplesPerUs;
  } else if (scenario.avoidCollisions) {
    start = std::max(start, busyUntil + guardUs * samplesPerUs);
  }
  if (scenario.alignedTiming) start = std::ceil(start);
  tx.start = std::max({start, lastStart, 0.0});

  const double end = tx.endSample(samplesPerUs);
  for (auto& earlier : pending)
    if (earlier.endSample(samplesPerUs) > tx.start) earlier.overlap = tx.overlap = true;
  busyUntil = std::max(busyUntil, end);
  lastStart = tx.start;

  tx.index = placed++;
  applyErrors(tx);
  tx.levelDb = run.params->levelDb;
  if (run.params->levelJitterDb > 0) tx.levelDb += random.uniform(-run.params->levelJitterDb, run.params->levelJitterDb);
  tx.amplitude = std::pow(10.0, (scenario.noiseFloorDbfs + tx.levelDb) / 20);
  tx.phase = random.uniform(0, 2 * M_PI);
  tx.frequencyHz = run.frequencyHz;
  pending.push_back(tx);
}

void SynthTraffic::encode(AircraftRun& run, Kind kind, SynthTransmission& tx) {
  const SynthAircraftParams& params = *run.params;
  const SynthFlight& f = run.flight;
  const uint32_t ca = params.surface ? 4 : 5;
  switch (kind) {
    case Kind::Identification:
      tx.frame = synthIdentificationSquitter(params.address, ca, params.categorySet, params.category, params.callsign);
      tx.kind = "ident";
      break;
    case Kind::AirbornePosition:
    case Kind::SurfacePosition: {
      const bool odd = run.nextOdd;
      run.nextOdd = !odd;
      const bool surface = kind == Kind::SurfacePosition;
      const SynthCpr cpr = synthEncodeCpr(f.latitude, f.longitude, odd, surface);
      if (surface) {
        tx.frame = synthSurfacePositionSquitter(params.address, ca, surfacePositionTypeCode, f.groundSpeed, f.track, odd, cpr);
        tx.kind = odd ? "surfpos-odd" : "surfpos-even";
      } else {
        const uint32_t status = isAlertSquawk(params.squawk) ? 1 : (params.spi ? 3 : 0);
        tx.frame = synthAirbornePositionSquitter(params.address, ca, airbornePositionTypeCode, status, f.altitude, odd, cpr);
        tx.kind = odd ? "airpos-odd" : "airpos-even";
      }
      break;
    }
    case Kind::Velocity:
      tx.frame = synthVelocitySquitter(params.address, ca, f.groundSpeed, f.track, f.verticalRate, params.gnssMinusBaro);
      tx.kind = "velocity";
      break;
    case Kind::AllCall:
      tx.frame = synthAllCallReply(params.address, ca, scenario.interrogatorCode);
      tx.kind = "df11";
      break;
    case Kind::Reply:
      encodeReply(run, tx);
      break;
    case Kind::ModeAc: {
      const bool modeC = run.nextModeC;
      run.nextModeC = !modeC;
      tx.modeAc = true;
      tx.modeAcPulses = (modeC ? synthGillhamPulses(f.altitude) : synthSquawkPulses(params.squawk)) | (params.spi ? 0x80 : 0);
      tx.frame.length = 2;
      tx.frame.bytes[0] = static_cast<uint8_t>(tx.modeAcPulses >> 8);
      tx.frame.bytes[1] = static_cast<uint8_t>(tx.modeAcPulses & 0xFF);
      tx.durationUs = (params.spi ? 24.65 : 20.3) + 0.45;
      tx.kind = modeC ? "modec" : "modea";
      return;
    }
  }
  tx.durationUs = 8 + 8.0 * tx.frame.length;
}

void SynthTraffic::encodeReply(AircraftRun& run, SynthTransmission& tx) {
  const SynthAircraftParams& params = *run.params;
  const SynthFlight& f = run.flight;
  const uint32_t fs = synthFlightStatus(params.surface, isAlertSquawk(params.squawk), params.spi);
  const uint32_t altitudeField = synthAc13Field(f.altitude);
  const uint32_t identityField = synthIdentityField(synthSquawkPulses(params.squawk));
  const double u = random.uniform();
  if (u < 0.3) {
    tx.frame = synthSurveillanceReply(4, params.address, fs, altitudeField);
    tx.kind = "df4";
    return;
  }
  if (u < 0.5) {
    tx.frame = synthSurveillanceReply(5, params.address, fs, identityField);
    tx.kind = "df5";
    return;
  }
  const uint32_t df = u < 0.8 ? 20 : 21;
  uint32_t reg = run.nextRegister;
  run.nextRegister = (reg + 1) % 4;
  if (reg == 0 && params.callsign.empty()) reg = 2;
  uint64_t mb = 0;
  const char* name = "";
  switch (reg) {
    case 0:
      mb = synthBds20(params.callsign);
      name = "bds20";
      break;
    case 1: {
      const double selected = params.selectedAltitude >= 0 ? params.selectedAltitude
                              : params.hasTargetAltitude    ? params.targetAltitude
                                                          : std::round(params.altitude / 100) * 100;
      mb = synthBds40(selected, selected, params.qnh);
      name = "bds40";
      break;
    }
    case 2: {
      const double omega = f.turnRate * M_PI / 180;
      const double roll = std::atan(omega * f.groundSpeed * 1852 / 3600 / 9.80665) * 180 / M_PI;
      mb = synthBds50(roll, f.track, f.groundSpeed, f.turnRate, f.groundSpeed);
      name = "bds50";
      break;
    }
    default: {
      // No wind: heading = track, true airspeed = ground speed.
      const double ias = f.groundSpeed * std::sqrt(densityRatio(f.altitude));
      const double mach = f.groundSpeed / speedOfSoundKnots(f.altitude);
      mb = synthBds60(f.track, ias, mach, f.verticalRate, f.verticalRate);
      name = "bds60";
      break;
    }
  }
  tx.frame = synthCommBReply(df, params.address, fs, df == 20 ? altitudeField : identityField, mb);
  tx.kind = (df == 20 ? std::string("df20-") : std::string("df21-")) + name;
}

void SynthTraffic::applyErrors(SynthTransmission& tx) {
  tx.onAir = tx.frame;
  if (tx.modeAc) return;
  const int bits = static_cast<int>(tx.frame.length * 8);
  for (const auto& flip : scenario.flips) {
    if (flip.frame != tx.index) continue;
    for (int bit : flip.bits)
      if (bit < bits && tx.flipCount < 2 && (tx.flipCount == 0 || tx.flips[0] != bit)) tx.flips[tx.flipCount++] = bit;
  }
  const bool eligible = scenario.errorsInAllFormats || (tx.frame.bytes[0] >> 3) == 17;
  if (tx.flipCount == 0 && eligible && scenario.oneBitErrorRate + scenario.twoBitErrorRate > 0) {
    const double u = random.uniform();
    const int count = u < scenario.twoBitErrorRate ? 2 : (u < scenario.oneBitErrorRate + scenario.twoBitErrorRate ? 1 : 0);
    // Bits 5 and later: the downlink format itself is never repaired by a receiver.
    while (tx.flipCount < count) {
      const int bit = 5 + static_cast<int>(random.below(static_cast<uint32_t>(bits - 5)));
      if (tx.flipCount == 1 && tx.flips[0] == bit) continue;
      tx.flips[tx.flipCount++] = bit;
    }
  }
  for (int i = 0; i < tx.flipCount; ++i) synthFlipBit(tx.onAir.bytes, tx.flips[i]);
}
