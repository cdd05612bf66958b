#include "tools/synth/flight_model.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double earthRadius = 6371000;  // metres
constexpr double knot = 1852.0 / 3600;   // metres per second
constexpr double maxStep = 0.25;         // seconds: small enough that a turn stays a circle

double normalise(double degrees, double low) {
  return degrees - 360 * std::floor((degrees - low) / 360);
}

}  // namespace

SynthFlight::SynthFlight(const SynthAircraftParams& params)
    : latitude(params.latitude),
      longitude(params.longitude),
      track(params.track),
      groundSpeed(params.groundSpeed),
      altitude(params.altitude),
      verticalRate(params.surface ? 0 : params.verticalRate),
      turnRate(params.turnRate),
      hasTarget(params.hasTargetAltitude),
      target(params.targetAltitude) {}

void SynthFlight::advanceTo(double seconds) {
  while (time < seconds) {
    const double dt = std::min(maxStep, seconds - time);
    const double midTrack = (track + turnRate * dt / 2) * M_PI / 180;
    const double distance = groundSpeed * knot * dt / earthRadius;  // radians of arc
    const double midLatitude = (latitude + distance * std::cos(midTrack) * 90 / M_PI) * M_PI / 180;
    latitude += distance * std::cos(midTrack) * 180 / M_PI;
    longitude += distance * std::sin(midTrack) * 180 / M_PI / std::max(0.01, std::cos(midLatitude));
    track += turnRate * dt;
    if (std::fabs(latitude) > 89) {  // turn back before the pole rather than cross it
      latitude = latitude > 0 ? 178 - latitude : -178 - latitude;
      track = 180 - track;
    }
    longitude = normalise(longitude, -180);
    track = normalise(track, 0);

    if (verticalRate != 0) {
      const double next = altitude + verticalRate * dt / 60;
      if (hasTarget && (next - target) * (altitude - target) <= 0) {
        altitude = target;
        verticalRate = 0;
      } else if (next < -1000 || next > 60000) {
        altitude = std::clamp(next, -1000.0, 60000.0);
        verticalRate = 0;
      } else {
        altitude = next;
      }
    }
    time += dt;
  }
}
