#pragma once
// The schedule of what every aircraft sends: extended squitters at their nominal rates,
// DF 11 acquisition squitters, replies to interrogations (DF 4/5/20/21) and Mode A/C
// replies, placed on one air channel in order of their start times.

#include <cstdint>
#include <deque>
#include <queue>
#include <string>
#include <vector>

#include "tools/synth/flight_model.h"
#include "tools/synth/scenario.h"
#include "tools/synth/synth_frame.h"
#include "tools/synth/synth_random.h"

struct SynthTransmission {
  uint64_t index = 0;
  double start = 0;          // file sample position of the first pulse's leading edge
  double durationUs = 0;     // on-air length
  SynthFrame frame;          // as encoded (Mode A/C: the 2-byte reply a decoder reports)
  SynthFrame onAir;          // what is modulated: the frame with the flipped bits
  int flips[2] = {-1, -1};
  int flipCount = 0;
  bool modeAc = false;
  uint32_t modeAcPulses = 0; // reply layout of the pulses, SPI in bit 7
  double levelDb = 0;
  double amplitude = 0;      // relative to full scale
  double phase = 0;          // carrier phase at the first pulse, radians
  double frequencyHz = 0;
  bool overlap = false;      // shares air time with another transmission
  std::string kind;

  double endSample(double samplesPerUs) const { return start + durationUs * samplesPerUs; }
};

class SynthTraffic {
 public:
  // Keeps a reference to the scenario, which must outlive it.
  SynthTraffic(const SynthScenario& scenario, uint32_t oversamplingFactor);

  // The next transmission by start time; false only when nothing is ever sent.
  bool next(SynthTransmission& out);

 private:
  enum class Kind { Identification, AirbornePosition, SurfacePosition, Velocity, AllCall, Reply, ModeAc };
  struct Event {
    double time;
    uint64_t order;
    size_t aircraft;
    Kind kind;
    bool operator>(const Event& other) const {
      return time != other.time ? time > other.time : order > other.order;
    }
  };
  struct AircraftRun {
    const SynthAircraftParams* params;
    SynthFlight flight;
    double frequencyHz;
    double modeAcRate;
    bool nextOdd = false;
    bool nextModeC = false;
    uint32_t nextRegister = 0;
  };

  void schedule(size_t aircraft, Kind kind, double time);
  double interval(const AircraftRun& run, Kind kind);
  void placeOne();
  void encode(AircraftRun& run, Kind kind, SynthTransmission& tx);
  void encodeReply(AircraftRun& run, SynthTransmission& tx);
  void applyErrors(SynthTransmission& tx);

  const SynthScenario& scenario;
  double samplesPerUs;
  SynthRandom random;
  std::vector<AircraftRun> aircraft;
  std::priority_queue<Event, std::vector<Event>, std::greater<Event>> events;
  uint64_t eventOrder = 0;
  std::deque<SynthTransmission> pending;  // placed, possibly still overlapped by later ones
  uint64_t placed = 0;
  double lastStart = -1e300;
  double busyUntil = -1e300;
};
