#pragma once
// An aircraft's motion: constant ground speed and turn rate over a spherical Earth, climbing
// or descending at its vertical rate until it reaches its target altitude.

#include "tools/synth/scenario.h"

struct SynthFlight {
  explicit SynthFlight(const SynthAircraftParams& params);

  // Moves the state forward to `seconds` (never backwards).
  void advanceTo(double seconds);

  double time = 0;
  double latitude;
  double longitude;
  double track;
  double groundSpeed;
  double altitude;
  double verticalRate;
  double turnRate;

 private:
  bool hasTarget;
  double target;
};
