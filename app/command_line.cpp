#include "app/config.h"
#include "app/logger.h"
#include "app/version.h"

#include <boost/program_options.hpp>

#include <boost/lexical_cast.hpp>

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <type_traits>

namespace po = boost::program_options;

std::vector<std::string> splitOptionValue(const std::string& value) {
  std::vector<std::string> pieces;
  std::string::size_type start = 0;
  for (;;) {
    const auto colon = value.find(':', start);
    if (colon == std::string::npos) {
      pieces.push_back(value.substr(start));
      return pieces;
    }
    pieces.push_back(value.substr(start, colon - start));
    start = colon + 1;
  }
}

namespace {

// strtod narrowed to float; text that is no number reads as 0.
float readCoordinate(const std::string& text) { return static_cast<float>(std::strtod(text.c_str(), nullptr)); }

// "nan", "inf" or 1e99 would reach the map and the distances.
bool isOnEarth(float latitude, float longitude) {
  return std::isfinite(latitude) && std::isfinite(longitude) && std::fabs(latitude) <= 90.0f &&
         std::fabs(longitude) <= 180.0f;
}

}  // namespace

bool parseLatLonOption(const std::string& value, std::string& label, float& latitude, float& longitude) {
  const auto pieces = splitOptionValue(value);
  if (pieces.size() != 2 && pieces.size() != 3) return false;
  const float lat = readCoordinate(pieces[0]);
  const float lon = readCoordinate(pieces[1]);
  if (!isOnEarth(lat, lon)) return false;
  latitude = lat;
  longitude = lon;
  if (pieces.size() == 3) label = pieces[2];
  return true;
}

namespace {

// Option values that the option library would otherwise wrap: it reads "-1" for an unsigned
// option as its largest value, and a port beyond 65535 would be bound modulo 65536.
template <typename T>
struct Unsigned {
  T value;
};
struct Port {
  uint32_t value;
};
struct FiniteFloat {
  float value;
};
// The Airspy worker, decimation, FEC and linearity counts: stored in 8 bits, where 257 workers
// would quietly run as 1.
struct Count {
  uint8_t value;
};

[[noreturn]] void refuseValue(const std::string& text, const char* why) {
  po::error_with_option_name error(std::string("the argument ('%value%') for option '%canonical_option%' ") + why);
  error.set_substitute("value", text);
  throw error;
}

template <typename T>
T readUnsigned(const std::vector<std::string>& values) {
  const std::string& text = po::validators::get_single_string(values);
  const size_t start = text.find_first_not_of(' ');
  if (start != std::string::npos && text[start] == '-') refuseValue(text, "must not be negative");
  // Read at least as wide as unsigned int: for a narrower type the library's digit loop multiplies
  // in int, which overflows on texts such as "3-65535".
  using Wide = std::common_type_t<T, unsigned>;
  Wide value = 0;
  try {
    value = boost::lexical_cast<Wide>(text);
  } catch (const boost::bad_lexical_cast&) {
    throw po::invalid_option_value(text);
  }
  if constexpr (sizeof(T) < sizeof(Wide)) {
    if (value > std::numeric_limits<T>::max()) throw po::invalid_option_value(text);
  }
  return static_cast<T>(value);
}

template <typename T>
void validate(boost::any& v, const std::vector<std::string>& values, Unsigned<T>*, int) {
  po::validators::check_first_occurrence(v);
  v = Unsigned<T>{readUnsigned<T>(values)};
}

void validate(boost::any& v, const std::vector<std::string>& values, Port*, int) {
  po::validators::check_first_occurrence(v);
  const uint32_t port = readUnsigned<uint32_t>(values);
  if (port > 65535) refuseValue(values.front(), "is not a port number (1 to 65535, or 0 for off)");
  v = Port{port};
}

void validate(boost::any& v, const std::vector<std::string>& values, Count*, int) {
  po::validators::check_first_occurrence(v);
  const uint16_t count = readUnsigned<uint16_t>(values);
  if (count > 255) refuseValue(values.front(), "is not a count (0 to 255)");
  v = Count{static_cast<uint8_t>(count)};
}

void validate(boost::any& v, const std::vector<std::string>& values, FiniteFloat*, int) {
  po::validators::check_first_occurrence(v);
  const std::string& text = po::validators::get_single_string(values);
  float value = 0;
  try {
    value = boost::lexical_cast<float>(text);
  } catch (const boost::bad_lexical_cast&) {
    throw po::invalid_option_value(text);
  }
  if (!std::isfinite(value)) throw po::invalid_option_value(text);
  v = FiniteFloat{value};
}

po::options_description optionTable() {
  po::options_description desc("Program options");
  // clang-format off
  desc.add_options()
    ("help,h", "This help message")
    ("device-list", "List available devices")
    ("device-index", po::value<Unsigned<uint32_t>>(), "Select RTL device (default: 0)")
    ("device-serial", po::value<std::string>(), "Select RTL device by serial number")
    ("gain", po::value<FiniteFloat>(), "Set Gain in RTL Receiver chip, dB (default: auto)")
    ("agc", "Enable Automatic Gain Control in RTL2832 chip (default: off)")
    ("freq-correction", po::value<int32_t>(), "Set RTL frequency correction, ppm (default: 0)")
    ("airspy", "Select AirSpy device")
    ("airspy-sn", po::value<std::string>(), "Select AirSpy device by serial number")
    ("airspy-lna", po::value<Unsigned<uint32_t>>(), "Set LNA gain in AirSpy Receiver chip (default: 14)")
    ("airspy-mixer", po::value<Unsigned<uint32_t>>(), "Set Mixer gain in AirSpy Receiver chip (default: 12)")
    ("airspy-sr", po::value<Unsigned<uint32_t>>(), "Set AirSpy sample rate (default: max available)\n Example: 4, 6, 10")
    ("airspy-rfbias", "Enable AirSpy RF Bias (default: off)")
    ("airspy-if", po::value<Unsigned<uint32_t>>(), "Set IF gain in AirSpy Receiver chip (default: 13)")
    ("airspy-workers", po::value<Count>(), "Set Airspy decoding worker threads (default: 1)")
    ("airspy-decimation", po::value<Count>(), "Set Airspy decoding decimation factor (default: 1)")
    ("airspy-fecbits", po::value<Count>(), "Forward Error Correction (FEC) bits (0..2) (default: 1)")
    ("airspy-linearity", po::value<Count>(), "Select Airspy linearity gains (0..21)")
    ("airspy-crc-valid", "Select only CRC valid frames (default: off)")
    ("disable-correction", "Disable correction of corrupted signals (Default: on)")
    ("input-file", po::value<std::string>(), "Set input filename with I/Q signals\nFormat: type:filename (type: rtl,airspy10,airspy6)")
    ("rbs", "Enable RBS decoding (only with RTL devices) (default: off)")
    ("beast", po::value<Port>(), "Enable BEAST output listen port (default: off)")
    ("avr", po::value<Port>(), "Enable AVR output listen port (default: off)")
    ("avrmlat", po::value<Port>(), "Enable AVR MLAT output listen port (default: off)")
    ("avrmlatas", po::value<Port>(), "Enable AVR MLAT AirSpy output listen port (default: off)")
    ("sbs10001", po::value<Port>(), "Enable SBS-3 output listen port (default: off)")
    ("msg", po::value<Port>(), "Enable MSG output listen port (default: off)")
    ("web", po::value<Port>(), "Enable Web Server on port (default: off)")
    ("google-key", po::value<std::string>(), "Google Maps key")
    ("web-auth", po::value<std::string>(), "Enable web auth username:password (default: off)")
    ("disable-web-log", "Disable Web Log (default: on)")
    ("silhouettes", po::value<std::string>(), "Set Silhouettes directory")
    ("pictures", po::value<std::string>(), "Set Aircraft Pictures directory")
    ("db", po::value<std::string>(), "Set BaseStation DB Filename")
    ("frdb", po::value<std::string>(), "Set FlightRoute DB Filename")
    ("location", po::value<std::string>(), "Receiver location Lat:Lon\nExample: 36.27:-15.89")
    ("add-reference-point", po::value<std::string>()->multitoken(), "Add a new reference point for calculating distance and azimuth to the map\nExample: 38.5:-12.6:[Label1]")
    ("add-points", po::value<std::vector<std::string>>()->multitoken()->composing(), "Add additional points (single or list) with coordinates to the map\nExample: 36.2:-15.3:[Label1] [38.5:-12.6:[Label1]] ...")
    ("verbose", "Verbose mode (default: off)")
    ("localtime", "Local Time in MSG format output (default: UTC)")
    ("filter-expire", po::value<Unsigned<uint32_t>>(), "Filter record expire time, sec (default: 20)")
    ("filter-count", po::value<Unsigned<uint32_t>>(), "Filter record min count (default: 6)")
    ("filter-time", po::value<Unsigned<uint32_t>>(), "filter record min time, sec (default: 60)")
    ("filter-nocountry", "Disable ICAO Country check filter (default: on)")
    ("filter-ic", "Enable Interrogator Code suppression filter (default: off)")
    ("filter-nodup", "Disable Duplicate filter (default: on)")
    ("flight-expire-time", po::value<Unsigned<uint32_t>>(), "Flight expire time, sec (default: 3600)")
    ("nmea", po::value<std::string>(), "Enable GPS Emulation.\nFormat: ICAO:Port:BaudRate")
    ("nmea-logfile", po::value<std::string>(), "Set GPS Emulator logfile")
    ("metric", "Switch to metric system of distance measurement (default: imperial)")
    ("airspy-packing", "Enable AirSpy packed sample transfer (default: off)");
  // clang-format on
  return desc;
}

// Upper-cased "0X" + 1..16 hex digits, or up to 20 decimal digits taken modulo 2^64.
bool parseAirspySerial(std::string text, uint64_t& serial) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  uint64_t value = 0;
  if (text.size() > 2 && text.compare(0, 2, "0X") == 0) {
    const std::string digits = text.substr(2);
    if (digits.size() > 16) return false;
    for (char c : digits) {
      int nibble;
      if (c >= '0' && c <= '9') nibble = c - '0';
      else if (c >= 'A' && c <= 'F') nibble = c - 'A' + 10;
      else return false;
      value = (value << 4) | static_cast<uint64_t>(nibble);
    }
  } else {
    if (text.size() > 20) return false;
    for (char c : text) {
      if (c < '0' || c > '9') return false;
      value = value * 10 + static_cast<uint64_t>(c - '0');  // wraps: modulo 2^64
    }
  }
  serial = value;
  return true;
}

void stripTrailingSlash(std::string& dir) {
  if (dir.size() > 1 && dir.back() == '/') dir.pop_back();
}

template <typename T>
bool copyValue(const po::variables_map& vm, const char* name, T& field) {
  if (!vm.count(name)) return false;
  field = vm[name].as<T>();
  return true;
}

// The checked number types hand over their plain value.
template <typename Checked, typename T>
bool copyChecked(const po::variables_map& vm, const char* name, T& field) {
  if (!vm.count(name)) return false;
  field = vm[name].as<Checked>().value;
  return true;
}
bool copyNumber(const po::variables_map& vm, const char* name, uint32_t& field) {
  return copyChecked<Unsigned<uint32_t>>(vm, name, field);
}
bool copyPort(const po::variables_map& vm, const char* name, uint32_t& field) {
  return copyChecked<Port>(vm, name, field);
}

// Options whose component exists only with another option: given alone they do nothing, and say so.
void reportDroppedOptions(const po::variables_map& vm, const Config& config) {
  struct Needs {
    const char* option;
    const char* needed;
  };
  static const Needs needs[] = {
      {"google-key", "web"}, {"web-auth", "web"}, {"disable-web-log", "web"}, {"silhouettes", "web"},
      {"pictures", "web"},   {"db", "web"},       {"frdb", "web"},            {"nmea-logfile", "nmea"},
      {"metric", "web"},
  };
  // A web port of 0 is the web interface off.
  const auto inUse = [&](const std::string& name) { return name == "web" ? config.webPort != 0 : vm.count(name) > 0; };
  for (const Needs& n : needs) {
    if (vm.count(n.option) && !inUse(n.needed)) {
      logError(std::string("--") + n.option + " command line option used only with --" + n.needed + " - ignored");
    }
  }
}

// The checks in their fixed order; a failed check logs its reason and asks to stop.
int copyOptions(const po::variables_map& vm, Config& config) {
  if (vm.count("device-list")) config.deviceList = true;
  copyNumber(vm, "device-index", config.deviceIndex);
  copyValue(vm, "device-serial", config.deviceSerial);
  if (copyChecked<FiniteFloat>(vm, "gain", config.gain)) config.autoGain = false;
  copyValue(vm, "freq-correction", config.freqCorrection);
  if (vm.count("agc")) config.agc = true;
  if (vm.count("airspy")) config.useAirspy = true;

  if (vm.count("airspy-sn")) {
    config.useAirspy = true;
    config.airspySerialGiven = true;
    if (!parseAirspySerial(vm["airspy-sn"].as<std::string>(), config.airspySerial)) {
      logError("Can't parse AirSpy serial number");
      return kCommandLineError;
    }
  }

  bool manualGains = copyNumber(vm, "airspy-lna", config.airspyLnaGain);
  manualGains |= copyNumber(vm, "airspy-mixer", config.airspyMixerGain);
  manualGains |= copyNumber(vm, "airspy-if", config.airspyIfGain);
  if (vm.count("airspy-linearity")) {
    if (manualGains) {
      logError("Gains was selected manually");
      return kCommandLineError;
    }
    copyChecked<Count>(vm, "airspy-linearity", config.airspyLinearity);
  }

  copyChecked<Count>(vm, "airspy-workers", config.airspyWorkers);
  copyChecked<Count>(vm, "airspy-decimation", config.airspyDecimation);
  config.airspyPacking = vm.count("airspy-packing") > 0;
  config.airspyCrcValidOnly = vm.count("airspy-crc-valid") > 0;
  copyChecked<Count>(vm, "airspy-fecbits", config.airspyFecBits);
  copyNumber(vm, "airspy-sr", config.airspySampleRate);
  config.airspyRfBias = vm.count("airspy-rfbias") > 0;

  if (vm.count("disable-correction")) config.disableCorrection = true;
  if (vm.count("rbs")) {
    if (vm.count("airspy") || vm.count("airspy-sn")) {
      logError("--rbs command line option used only with RTL2832 dongles - ignored");
    } else {
      config.rbsDecoding = true;
    }
  }

  copyPort(vm, "beast", config.beastPort);
  copyPort(vm, "avr", config.avrPort);
  copyPort(vm, "avrmlat", config.avrMlatPort);
  copyPort(vm, "avrmlatas", config.avrMlatAirspyPort);
  copyPort(vm, "sbs10001", config.sbsPort);
  copyPort(vm, "msg", config.msgPort);
  copyPort(vm, "web", config.webPort);

  copyValue(vm, "google-key", config.googleKey);
  config.disableWebLog = vm.count("disable-web-log") > 0;

  if (copyValue(vm, "silhouettes", config.silhouettesDir)) stripTrailingSlash(config.silhouettesDir);
  if (copyValue(vm, "pictures", config.picturesDir)) stripTrailingSlash(config.picturesDir);
  copyValue(vm, "db", config.baseStationDbPath);
  copyValue(vm, "frdb", config.flightRouteDbPath);

  if (vm.count("add-reference-point")) {
    ReferencePoint point;
    if (!parseLatLonOption(vm["add-reference-point"].as<std::string>(), point.label, point.latitude,
                           point.longitude)) {
      logError("Can't parse --add-reference-point parameters");
      return kCommandLineError;
    }
    config.referencePointGiven = true;
    config.referencePoint = point;
  }

  if (vm.count("location")) {
    const auto pieces = splitOptionValue(vm["location"].as<std::string>());
    if (pieces.size() != 2) {
      logError("Can't parse --location parameters");
      return kCommandLineError;
    }
    const float lat = readCoordinate(pieces[0]);
    const float lon = readCoordinate(pieces[1]);
    if (!isOnEarth(lat, lon)) {
      logError("Invalid --location coordinates " + vm["location"].as<std::string>() +
               " (latitude -90 to 90, longitude -180 to 180)");
      return kCommandLineError;
    }
    config.locationLat = lat;
    config.locationLon = lon;
    config.locationGiven = true;
    logInfo("Magnetic declination value was calculated");
  }

  if (vm.count("verbose")) config.verbose = true;
  if (vm.count("localtime")) config.msgLocalTime = true;
  copyNumber(vm, "filter-expire", config.filterExpire);
  copyNumber(vm, "filter-time", config.filterTime);
  copyNumber(vm, "filter-count", config.filterCount);
  config.icFilter = vm.count("filter-ic") > 0;
  config.duplicateFilter = vm.count("filter-nodup") == 0;
  config.countryCheck = vm.count("filter-nocountry") == 0;
  copyNumber(vm, "flight-expire-time", config.flightExpireTime);

  if (vm.count("nmea")) {
    const auto pieces = splitOptionValue(vm["nmea"].as<std::string>());
    if (pieces.size() != 3) {
      logError("Invalid --nmea option format");
      return kCommandLineError;
    }
    // An address has 24 bits; more must not be cut down to some other aircraft's.
    const unsigned long icao = std::strtoul(pieces[0].c_str(), nullptr, 16);
    config.nmeaIcao = icao > 0xFFFFFF ? 0 : static_cast<uint32_t>(icao);
    if (config.nmeaIcao == 0) {
      logError("Incorrect ICAO address " + pieces[0]);
      return kCommandLineError;
    }
    config.nmeaPort = pieces[1];
    const long long baud = std::strtoll(pieces[2].c_str(), nullptr, 10);
    config.nmeaBaudRate = baud < 0 || baud > INT32_MAX ? 0 : static_cast<int32_t>(baud);
    if (config.nmeaBaudRate == 0) {
      logError("Incorrect BaudRate value " + pieces[2]);
      return kCommandLineError;
    }
    copyValue(vm, "nmea-logfile", config.nmeaLogPath);
  }

  if (vm.count("web-auth")) {
    const auto pieces = splitOptionValue(vm["web-auth"].as<std::string>());
    if (pieces.size() != 2 || pieces[0].empty() || pieces[1].empty()) {
      logError("Invalid --web-auth option format");
      return kCommandLineError;
    }
    config.webUser = pieces[0];
    config.webPassword = pieces[1];
  }

  config.metric = vm.count("metric") > 0;

  if (vm.count("input-file")) {
    const auto pieces = splitOptionValue(vm["input-file"].as<std::string>());
    struct FileType {
      const char* name;
      uint32_t rateFactor;
      uint32_t sampleSize;
    };
    static const FileType types[] = {{"rtl", 1, 1}, {"airspy10", 5, 2}, {"airspy6", 3, 2}};
    const FileType* type = nullptr;
    if (pieces.size() == 2) {
      for (const auto& t : types) {
        if (pieces[0] == t.name) type = &t;
      }
    }
    if (!type) {
      logError("Can't parse --input-file parameters");
      return kCommandLineError;
    }
    config.inputRateFactor = type->rateFactor;
    config.inputSampleSize = type->sampleSize;
    config.inputFile = pieces[1];
  }

  if (vm.count("add-points")) {
    for (const auto& item : vm["add-points"].as<std::vector<std::string>>()) {
      ReferencePoint point;
      if (!parseLatLonOption(item, point.label, point.latitude, point.longitude)) {
        logError("Unable to parse additional point location: " + item);
        throw ConfigException();
      }
      config.additionalPoints.push_back(point);
    }
  }
  reportDroppedOptions(vm, config);
  return kCommandLineGoOn;
}

// The option library builds its messages by replacing "%name%" markers until none is left, so an
// argument that holds the marker it is put in for would never end: with a "%" in any argument
// the message names the option only.
std::string commandLineErrorText(const po::error& error, int argc, const char* const argv[]) {
  const auto* named = dynamic_cast<const po::error_with_option_name*>(&error);
  if (named) {
    for (int i = 1; i < argc; ++i) {
      if (std::strchr(argv[i], '%')) return "option '" + named->get_option_name() + "' or its value is not valid";
    }
  }
  return error.what();
}

}  // namespace

int parseCommandLine(Config& config, int argc, const char* const argv[]) {
  const po::options_description desc = optionTable();
  po::variables_map vm;
  try {
    po::store(po::parse_command_line(argc, argv, desc), vm);
    po::notify(vm);
  } catch (const po::error& e) {
    logError(std::string("Parse command line ") + commandLineErrorText(e, argc, argv));
    return kCommandLineError;
  }

  if (vm.count("help") || argc <= 1) {
    std::cout << "Velkaro " << velkaroVersion << "\n" << desc << std::endl;
    return kCommandLineStop;
  }
  logInfo(std::string("Velkaro ") + velkaroVersion);

  try {
    return copyOptions(vm, config);
  } catch (const ConfigException&) {
    return kCommandLineError;
  }
}
