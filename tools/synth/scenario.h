#pragma once
// A traffic scenario: global settings and the aircraft in view. The text format is described
// in tools/synth/README.md.

#include <cstdint>
#include <istream>
#include <stdexcept>
#include <string>
#include <vector>

class SynthScenarioError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct SynthAircraftParams {
  uint32_t address = 0;
  std::string callsign;         // up to 8 of A-Z, 0-9, blank; empty sends no identification
  uint32_t squawk = 01200;      // four octal digits
  double latitude = 0;          // degrees
  double longitude = 0;
  double track = 0;             // degrees true
  double groundSpeed = 0;       // knots
  double altitude = 0;          // feet, barometric
  double verticalRate = 0;      // feet per minute
  bool hasTargetAltitude = false;
  double targetAltitude = 0;    // the vertical rate stops here
  double turnRate = 0;          // degrees per second, positive to the right
  bool surface = false;
  double levelDb = 15;          // above the noise floor
  double levelJitterDb = 0;     // each frame's level varies by up to this much
  bool hasFrequency = false;
  double frequencyHz = 0;       // carrier offset; otherwise drawn within the scenario's limit
  uint32_t categorySet = 4;     // identification type code: 4 = set A ... 1 = set D
  uint32_t category = 3;
  double gnssMinusBaro = 0;     // feet
  bool spi = false;
  double selectedAltitude = -1; // feet, for Comm-B 4,0; -1: the target altitude or the altitude
  double qnh = 1013.2;          // hPa
  bool adsb = true;             // sends extended squitters
  bool allCall = true;          // sends DF 11 acquisition squitters
  double replyRate = 1.0;       // DF 4/5/20/21 replies per second
  double modeAcRate = -1;       // Mode A/C replies per second; -1: the scenario's default
};

struct SynthFlip {
  uint64_t frame = 0;           // index in the list of sent frames
  std::vector<int> bits;        // frame bit numbers, 0 = first bit after the preamble
};

struct SynthScenario {
  double duration = 10;         // seconds (a stream without a limit ignores it)
  uint64_t seed = 1;
  double noiseFloorDbfs = -32;  // complex noise power per sample relative to full scale
  bool noise = true;            // off: the floor stays the level reference, no noise is added
  bool alignedTiming = false;   // every frame starts on a sample boundary
  double maxFrequencyOffsetHz = 0;
  double riseTimeNs = 50;
  bool avoidCollisions = true;
  double overlapFraction = 0;   // frames deliberately placed over the previous one
  double oneBitErrorRate = 0;
  double twoBitErrorRate = 0;
  bool errorsInAllFormats = false;  // otherwise only DF 17 frames get random errors
  double modeAcRate = 0;
  uint32_t interrogatorCode = 0;    // DF 11 parity overlay, 0 .. 79
  std::vector<SynthFlip> flips;
  std::vector<SynthAircraftParams> aircraft;
};

// Throws SynthScenarioError with the line number and the reason.
SynthScenario parseSynthScenario(std::istream& in);
SynthScenario parseSynthScenarioText(const std::string& text);
SynthScenario loadSynthScenario(const std::string& path);
