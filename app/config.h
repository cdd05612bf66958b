#pragma once
// The values of the command-line options; filled once before any other thread exists, then read-only.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

struct ReferencePoint {
  std::string label;
  float latitude = 0;
  float longitude = 0;
};

struct Config {
  std::vector<ReferencePoint> additionalPoints;
  uint32_t deviceIndex = 0;
  std::string deviceSerial;
  float gain = 0;
  bool autoGain = true;
  int32_t freqCorrection = 0;
  bool agc = false;
  bool useAirspy = false;
  uint32_t airspyLnaGain = 14;
  uint32_t airspyMixerGain = 12;
  uint32_t airspyIfGain = 13;
  uint32_t airspySampleRate = 0;
  uint64_t airspySerial = 0;
  bool airspySerialGiven = false;
  bool airspyRfBias = false;
  uint8_t airspyDecimation = 1;
  uint8_t airspyFecBits = 1;
  uint8_t airspyWorkers = 1;
  uint8_t airspyLinearity = 255;
  bool airspyCrcValidOnly = false;
  bool airspyPacking = false;
  bool disableCorrection = false;
  bool rbsDecoding = false;
  uint32_t beastPort = 0;
  uint32_t avrPort = 0;
  uint32_t avrMlatPort = 0;
  uint32_t avrMlatAirspyPort = 0;
  uint32_t sbsPort = 0;
  uint32_t msgPort = 0;
  uint32_t webPort = 0;
  std::string silhouettesDir;
  std::string picturesDir;
  std::string baseStationDbPath;
  std::string flightRouteDbPath;
  float locationLat = 0;
  float locationLon = 0;
  bool locationGiven = false;
  bool verbose = false;
  bool msgLocalTime = false;
  uint32_t filterExpire = 20;
  uint32_t filterCount = 6;
  uint32_t filterTime = 60;
  bool countryCheck = true;
  uint32_t flightExpireTime = 3600;
  uint32_t nmeaIcao = 0;
  std::string nmeaPort;
  int32_t nmeaBaudRate = 0;
  std::string nmeaLogPath;
  bool deviceList = false;
  std::string webUser;
  std::string webPassword;
  bool metric = false;
  bool disableWebLog = false;
  bool icFilter = false;
  bool duplicateFilter = true;
  std::string inputFile;
  uint32_t inputRateFactor = 1;
  uint32_t inputSampleSize = 1;
  bool referencePointGiven = false;
  ReferencePoint referencePoint;
  std::string googleKey;
};

// Thrown inside the parser to end it; carries no text.
class ConfigException : public std::runtime_error {
 public:
  ConfigException() : std::runtime_error("") {}
};

// Results of parseCommandLine.
constexpr int kCommandLineGoOn = 0;
constexpr int kCommandLineStop = 1;   // the help was shown
constexpr int kCommandLineError = 2;  // an option was refused; the reason is logged

int parseCommandLine(Config& config, int argc, const char* const argv[]);

// Pieces between ':' characters; empty pieces stay, so there is always at least one.
std::vector<std::string> splitOptionValue(const std::string& value);

// "lat:lon" or "lat:lon:label"; label is left alone for two pieces.
bool parseLatLonOption(const std::string& value, std::string& label, float& latitude, float& longitude);
