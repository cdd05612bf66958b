#include "app/config.h"
#include "app/logger.h"

#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <sstream>

namespace {

struct ParseResult {
  int status;
  Config config;
  std::vector<std::string> logged;  // the text of each line, level name included
  std::string printed;
};

ParseResult parse(std::vector<std::string> args) {
  args.insert(args.begin(), "velkaro");
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());

  const uint32_t before = Logger::instance().nextSequenceNumber() - 1;
  std::ostringstream printed;
  std::streambuf* old = std::cout.rdbuf(printed.rdbuf());
  ParseResult result{};
  result.status = parseCommandLine(result.config, static_cast<int>(argv.size()), argv.data());
  std::cout.rdbuf(old);
  result.printed = printed.str();

  boost::property_tree::ptree tree;
  Logger::instance().getLogSince(tree, before);
  for (const auto& entry : tree) result.logged.push_back(entry.second.back().second.data().substr(25));
  return result;
}

constexpr int goOn = kCommandLineGoOn;
constexpr int stop = kCommandLineStop;
constexpr int error = kCommandLineError;

struct Case {
  std::vector<std::string> args;
  int status;
  std::string lastLine;  // the last logged line, "LEVEL    text"; empty: only the version line
  std::function<void(const Config&)> check;
};

// Each case: its status, nothing printed, the version line first (unless the option library
// refused the line), and its last logged line (or none but the version line).
template <size_t N>
void expectCases(const Case (&cases)[N]) {
  for (const auto& c : cases) {
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    SCOPED_TRACE(joined);
    const ParseResult r = parse(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_TRUE(r.printed.empty());
    ASSERT_FALSE(r.logged.empty());
    const bool libraryError = r.logged.front().rfind("ERROR    Parse command line ", 0) == 0;
    if (!libraryError) {
      EXPECT_EQ(r.logged.front(), "INFO     Velkaro v.20170127");
    }
    if (c.lastLine.empty()) {
      EXPECT_EQ(r.logged.size(), 1u) << r.logged.back();
    } else {
      EXPECT_EQ(r.logged.back(), c.lastLine);
    }
    if (c.check) c.check(r.config);
  }
}

TEST(CommandLine, ChecksMessagesOutcomesAndStoredValues) {
  const Case cases[] = {
      // option library errors
      {{"--no-such-option"}, error, "ERROR    Parse command line unrecognised option '--no-such-option'", {}},
      {{"--beast", "abc"}, error, "ERROR    Parse command line the argument ('abc') for option '--beast' is invalid", {}},
      {{"--beast", "1", "--beast", "2"}, error,
       "ERROR    Parse command line option '--beast' cannot be specified more than once", {}},
      {{"--add-reference-point", "1:2", "3:4"}, error,
       "ERROR    Parse command line option '--add-reference-point' only takes a single argument", {}},
      {{"--help", "--bogus"}, error, "ERROR    Parse command line unrecognised option '--bogus'", {}},
      // airspy serial numbers
      {{"--airspy-sn", "0x1f"}, goOn, "", [](const Config& c) {
         EXPECT_EQ(c.airspySerial, 31u);
         EXPECT_TRUE(c.useAirspy);
         EXPECT_TRUE(c.airspySerialGiven);
       }},
      {{"--airspy-sn", "31"}, goOn, "", [](const Config& c) { EXPECT_EQ(c.airspySerial, 31u); }},
      {{"--airspy-sn", "0XFFFFFFFFFFFFFFFF"}, goOn, "",
       [](const Config& c) { EXPECT_EQ(c.airspySerial, ~0ull); }},
      {{"--airspy-sn", "18446744073709551617"}, goOn, "",
       [](const Config& c) { EXPECT_EQ(c.airspySerial, 1u); }},  // modulo 2^64
      {{"--airspy-sn", ""}, goOn, "", [](const Config& c) {
         EXPECT_EQ(c.airspySerial, 0u);
         EXPECT_TRUE(c.useAirspy);
       }},
      {{"--airspy-sn", "0x"}, error, "ERROR    Can't parse AirSpy serial number", {}},
      {{"--airspy-sn", "0x1FFFFFFFFFFFFFFFF"}, error, "ERROR    Can't parse AirSpy serial number", {}},
      {{"--airspy-sn", "123456789012345678901"}, error, "ERROR    Can't parse AirSpy serial number", {}},
      {{"--airspy-sn", "12a"}, error, "ERROR    Can't parse AirSpy serial number", {}},
      // gains and linearity
      {{"--airspy-lna", "10", "--airspy-linearity", "15"}, error, "ERROR    Gains was selected manually", {}},
      {{"--airspy-linearity", "21"}, goOn, "", [](const Config& c) { EXPECT_EQ(c.airspyLinearity, 21); }},
      {{"--airspy-if", "7"}, goOn, "", [](const Config& c) {
         EXPECT_EQ(c.airspyIfGain, 7u);
         EXPECT_EQ(c.airspyLnaGain, 14u);
         EXPECT_EQ(c.airspyMixerGain, 12u);
         EXPECT_EQ(c.airspyLinearity, 255);
       }},
      {{"--airspy-workers", "2", "--airspy-decimation", "3", "--airspy-fecbits", "2", "--airspy-packing",
        "--airspy-crc-valid", "--airspy-sr", "10", "--airspy-rfbias"},
       goOn, "", [](const Config& c) {
         EXPECT_EQ(c.airspyWorkers, 2);
         EXPECT_EQ(c.airspyDecimation, 3);
         EXPECT_EQ(c.airspyFecBits, 2);
         EXPECT_TRUE(c.airspyPacking);
         EXPECT_TRUE(c.airspyCrcValidOnly);
         EXPECT_EQ(c.airspySampleRate, 10u);
         EXPECT_TRUE(c.airspyRfBias);
         EXPECT_FALSE(c.useAirspy);
       }},
      // Mode A/C only with RTL input
      {{"--rbs", "--airspy"}, goOn, "ERROR    --rbs command line option used only with RTL2832 dongles - ignored",
       [](const Config& c) { EXPECT_FALSE(c.rbsDecoding); }},
      {{"--rbs"}, goOn, "", [](const Config& c) { EXPECT_TRUE(c.rbsDecoding); }},
      // RTL settings, ports, directories, abbreviations
      {{"--device-index", "2", "--device-serial", "0001", "--gain", "49.6", "--freq-correction", "-3", "--agc"},
       goOn, "", [](const Config& c) {
         EXPECT_EQ(c.deviceIndex, 2u);
         EXPECT_EQ(c.deviceSerial, "0001");
         EXPECT_FLOAT_EQ(c.gain, 49.6f);
         EXPECT_FALSE(c.autoGain);
         EXPECT_EQ(c.freqCorrection, -3);
         EXPECT_TRUE(c.agc);
       }},
      {{"--beast", "30005", "--avr", "30002", "--avrmlat", "30003", "--avrmlatas", "30004", "--sbs10001", "10001",
        "--msg", "30006", "--web=8080"},
       goOn, "", [](const Config& c) {
         EXPECT_EQ(c.beastPort, 30005u);
         EXPECT_EQ(c.avrPort, 30002u);
         EXPECT_EQ(c.avrMlatPort, 30003u);
         EXPECT_EQ(c.avrMlatAirspyPort, 30004u);
         EXPECT_EQ(c.sbsPort, 10001u);
         EXPECT_EQ(c.msgPort, 30006u);
         EXPECT_EQ(c.webPort, 8080u);
       }},
      {{"--flight-expire", "60"}, goOn, "", [](const Config& c) { EXPECT_EQ(c.flightExpireTime, 60u); }},
      {{"--silhouettes", "/srv/sil/", "--pictures", "/", "--web", "8080"}, goOn, "", [](const Config& c) {
         EXPECT_EQ(c.silhouettesDir, "/srv/sil");
         EXPECT_EQ(c.picturesDir, "/");
       }},
      {{"--silhouettes", "a//", "--db", "base.sqb", "--frdb", "routes.sqb", "--google-key", "K",
        "--disable-web-log", "--metric", "--web", "8080"},
       goOn, "", [](const Config& c) {
         EXPECT_EQ(c.silhouettesDir, "a/");
         EXPECT_EQ(c.baseStationDbPath, "base.sqb");
         EXPECT_EQ(c.flightRouteDbPath, "routes.sqb");
         EXPECT_EQ(c.googleKey, "K");
         EXPECT_TRUE(c.disableWebLog);
         EXPECT_TRUE(c.metric);
       }},
      // points and location
      {{"--add-reference-point", "38.5:-12.6:home"}, goOn, "", [](const Config& c) {
         EXPECT_TRUE(c.referencePointGiven);
         EXPECT_EQ(c.referencePoint.label, "home");
         EXPECT_FLOAT_EQ(c.referencePoint.latitude, 38.5f);
         EXPECT_FLOAT_EQ(c.referencePoint.longitude, -12.6f);
       }},
      {{"--add-reference-point", "38.5"}, error, "ERROR    Can't parse --add-reference-point parameters", {}},
      {{"--location", "36.27:-15.89"}, goOn, "INFO     Magnetic declination value was calculated",
       [](const Config& c) {
         EXPECT_TRUE(c.locationGiven);
         EXPECT_FLOAT_EQ(c.locationLat, 36.27f);
         EXPECT_FLOAT_EQ(c.locationLon, -15.89f);
       }},
      {{"--location", "abc:def"}, goOn, "INFO     Magnetic declination value was calculated",
       [](const Config& c) {
         EXPECT_TRUE(c.locationGiven);
         EXPECT_EQ(c.locationLat, 0.0f);
         EXPECT_EQ(c.locationLon, 0.0f);
       }},
      {{"--location", "36.27"}, error, "ERROR    Can't parse --location parameters", {}},
      {{"--location", "36.27:-15.89:home"}, error, "ERROR    Can't parse --location parameters", {}},
      {{"--add-points", "1:2:A", "bad", "3:4"}, error, "ERROR    Unable to parse additional point location: bad",
       [](const Config& c) {
         ASSERT_EQ(c.additionalPoints.size(), 1u);
         EXPECT_EQ(c.additionalPoints[0].label, "A");
       }},
      {{"--add-points", "1:2", "3:4:B", "--add-points", "5:6:"}, goOn, "", [](const Config& c) {
         ASSERT_EQ(c.additionalPoints.size(), 3u);
         EXPECT_EQ(c.additionalPoints[0].label, "");
         EXPECT_FLOAT_EQ(c.additionalPoints[1].latitude, 3.0f);
         EXPECT_EQ(c.additionalPoints[1].label, "B");
         EXPECT_FLOAT_EQ(c.additionalPoints[2].longitude, 6.0f);
       }},
      // filters
      {{"--filter-expire", "5", "--filter-time", "7", "--filter-count", "9", "--filter-ic", "--filter-nodup",
        "--filter-nocountry", "--verbose", "--localtime"},
       goOn, "", [](const Config& c) {
         EXPECT_EQ(c.filterExpire, 5u);
         EXPECT_EQ(c.filterTime, 7u);
         EXPECT_EQ(c.filterCount, 9u);
         EXPECT_TRUE(c.icFilter);
         EXPECT_FALSE(c.duplicateFilter);
         EXPECT_FALSE(c.countryCheck);
         EXPECT_TRUE(c.verbose);
         EXPECT_TRUE(c.msgLocalTime);
       }},
      // GPS emulation
      {{"--nmea", "4CA2D1:/dev/ttyS0:4800", "--nmea-logfile", "/tmp/n.log"}, goOn, "", [](const Config& c) {
         EXPECT_EQ(c.nmeaIcao, 0x4CA2D1u);
         EXPECT_EQ(c.nmeaPort, "/dev/ttyS0");
         EXPECT_EQ(c.nmeaBaudRate, 4800);
         EXPECT_EQ(c.nmeaLogPath, "/tmp/n.log");
       }},
      {{"--nmea", " 0x4ca2d1zz:/dev/ttyS0:4800baud"}, goOn, "", [](const Config& c) {
         EXPECT_EQ(c.nmeaIcao, 0x4CA2D1u);
         EXPECT_EQ(c.nmeaBaudRate, 4800);
       }},
      {{"--nmea-logfile", "/tmp/n.log"}, goOn, "ERROR    --nmea-logfile command line option used only with --nmea - ignored",
       [](const Config& c) { EXPECT_EQ(c.nmeaLogPath, ""); }},
      {{"--nmea", "0:/dev/ttyS0:4800"}, error, "ERROR    Incorrect ICAO address 0", {}},
      {{"--nmea", "4CA2D1:/dev/ttyS0:fast"}, error, "ERROR    Incorrect BaudRate value fast", {}},
      {{"--nmea", "4CA2D1:/dev/ttyS0"}, error, "ERROR    Invalid --nmea option format", {}},
      // web authentication
      {{"--web-auth", "user:secret", "--web", "8080"}, goOn, "", [](const Config& c) {
         EXPECT_EQ(c.webUser, "user");
         EXPECT_EQ(c.webPassword, "secret");
       }},
      {{"--web-auth", ":secret"}, error, "ERROR    Invalid --web-auth option format", {}},
      {{"--web-auth", "user:"}, error, "ERROR    Invalid --web-auth option format", {}},
      {{"--web-auth", "user"}, error, "ERROR    Invalid --web-auth option format", {}},
      {{"--web-auth", "user:pa:ss"}, error, "ERROR    Invalid --web-auth option format", {}},
      // input files
      {{"--input-file", "airspy6:/tmp/a.iq"}, goOn, "", [](const Config& c) {
         EXPECT_EQ(c.inputFile, "/tmp/a.iq");
         EXPECT_EQ(c.inputRateFactor, 3u);
         EXPECT_EQ(c.inputSampleSize, 2u);
       }},
      {{"--input-file", "airspy10:x"}, goOn, "", [](const Config& c) {
         EXPECT_EQ(c.inputRateFactor, 5u);
         EXPECT_EQ(c.inputSampleSize, 2u);
       }},
      {{"--input-file", "rtl:x", "--airspy"}, goOn, "", [](const Config& c) {
         EXPECT_EQ(c.inputRateFactor, 1u);
         EXPECT_EQ(c.inputSampleSize, 1u);
         EXPECT_TRUE(c.useAirspy);
       }},
      {{"--input-file", "wav:/tmp/a.iq"}, error, "ERROR    Can't parse --input-file parameters", {}},
      {{"--input-file", "rtl"}, error, "ERROR    Can't parse --input-file parameters", {}},
      {{"--input-file", "rtl:c:/a.iq"}, error, "ERROR    Can't parse --input-file parameters", {}},
      {{"--device-list", "--beast", "1"}, goOn, "", [](const Config& c) {
         EXPECT_TRUE(c.deviceList);
         EXPECT_EQ(c.beastPort, 1u);
       }},
      // numbers are checked, not wrapped
      {{"--beast", "-1"}, error,
       "ERROR    Parse command line the argument ('-1') for option '--beast' must not be negative", {}},
      {{"--avr", "70000"}, error,
       "ERROR    Parse command line the argument ('70000') for option '--avr' is not a port number (1 to 65535, "
       "or 0 for off)",
       {}},
      {{"--web", "65536"}, error,
       "ERROR    Parse command line the argument ('65536') for option '--web' is not a port number (1 to 65535, or 0 for off)", {}},
      {{"--msg", "65535", "--sbs10001", "0"}, goOn, "", [](const Config& c) {
         EXPECT_EQ(c.msgPort, 65535u);
         EXPECT_EQ(c.sbsPort, 0u);  // off
       }},
      {{"--filter-count", "-1"}, error,
       "ERROR    Parse command line the argument ('-1') for option '--filter-count' must not be negative", {}},
      {{"--flight-expire-time", "-5"}, error,
       "ERROR    Parse command line the argument ('-5') for option '--flight-expire-time' must not be negative", {}},
      {{"--filter-expire", "4294967296"}, error,
       "ERROR    Parse command line the argument ('4294967296') for option '--filter-expire' is invalid", {}},
      {{"--airspy-workers", "-1"}, error,
       "ERROR    Parse command line the argument ('-1') for option '--airspy-workers' must not be negative", {}},
      {{"--device-index", " -2"}, error,
       "ERROR    Parse command line the argument (' -2') for option '--device-index' must not be negative", {}},
      {{"--gain", "nan"}, error, "ERROR    Parse command line the argument ('nan') for option '--gain' is invalid", {}},
      {{"--freq-correction", "-40"}, goOn, "", [](const Config& c) { EXPECT_EQ(c.freqCorrection, -40); }},
      {{"--nmea", "4CA2D1:/dev/ttyS0:-4800"}, error, "ERROR    Incorrect BaudRate value -4800", {}},
      {{"--nmea", "4CA2D1:/dev/ttyS0:99999999999"}, error, "ERROR    Incorrect BaudRate value 99999999999", {}},
      {{"--nmea", "1000000:/dev/ttyS0:4800"}, error, "ERROR    Incorrect ICAO address 1000000", {}},
      // coordinates must lie on the earth
      {{"--location", "nan:nan"}, error,
       "ERROR    Invalid --location coordinates nan:nan (latitude -90 to 90, longitude -180 to 180)",
       [](const Config& c) { EXPECT_FALSE(c.locationGiven); }},
      {{"--location", "91:0"}, error,
       "ERROR    Invalid --location coordinates 91:0 (latitude -90 to 90, longitude -180 to 180)", {}},
      {{"--location", "0:-180.5"}, error,
       "ERROR    Invalid --location coordinates 0:-180.5 (latitude -90 to 90, longitude -180 to 180)", {}},
      {{"--location", "1e99:0"}, error,
       "ERROR    Invalid --location coordinates 1e99:0 (latitude -90 to 90, longitude -180 to 180)", {}},
      {{"--location", "-90:180"}, goOn, "INFO     Magnetic declination value was calculated", {}},
      {{"--add-reference-point", "inf:0:x"}, error, "ERROR    Can't parse --add-reference-point parameters", {}},
      {{"--add-points", "1:2", "0:200"}, error, "ERROR    Unable to parse additional point location: 0:200", {}},
  };

  expectCases(cases);
}

TEST(CommandLine, HelpPrintsBannerAndOptionsAndCopiesNothing) {
  for (const auto& args : std::vector<std::vector<std::string>>{{}, {"--help"}, {"-h", "--beast", "5"}}) {
    const ParseResult r = parse(args);
    EXPECT_EQ(r.status, stop);
    EXPECT_TRUE(r.logged.empty());
    EXPECT_EQ(r.config.beastPort, 0u);
    EXPECT_EQ(r.printed.rfind("Velkaro v.20170127\nProgram options:\n", 0), 0u);
    EXPECT_EQ(r.printed.substr(r.printed.size() - 2), "\n\n");
  }
  // The help states the defaults the receiver is really set to (read with its line wraps undone).
  std::string words;
  std::istringstream in(parse({"--help"}).printed);
  for (std::string word; in >> word;) words += word + " ";
  EXPECT_EQ(words.find("(default: 15)"), std::string::npos);
  for (const char* gain : {"Set LNA gain in AirSpy Receiver chip (default: 14)",
                           "Set Mixer gain in AirSpy Receiver chip (default: 12)",
                           "Set IF gain in AirSpy Receiver chip (default: 13)"}) {
    EXPECT_NE(words.find(gain), std::string::npos) << gain;
  }
  const std::string help = parse({"--help"}).printed;
  // Every option is listed, in the declared order.
  const char* order[] = {"--help", "--device-list", "--device-index", "--gain", "--airspy-sn", "--airspy-if",
                         "--input-file", "--rbs", "--beast", "--msg", "--web ", "--google-key", "--db",
                         "--add-points", "--filter-nodup", "--nmea ", "--metric", "--airspy-packing"};
  size_t at = 0;
  for (const char* name : order) {
    const size_t found = help.find(name, at);
    ASSERT_NE(found, std::string::npos) << name;
    at = found;
  }
  EXPECT_NE(help.find("Set AirSpy sample rate (default: max available)"), std::string::npos);
}

TEST(CommandLine, DefaultsWhenNothingIsGiven) {
  const ParseResult r = parse({"--verbose"});
  const Config& c = r.config;
  EXPECT_EQ(c.airspyLnaGain, 14u);
  EXPECT_EQ(c.airspyMixerGain, 12u);
  EXPECT_EQ(c.airspyIfGain, 13u);
  EXPECT_EQ(c.airspyLinearity, 255);
  EXPECT_EQ(c.airspyDecimation, 1);
  EXPECT_EQ(c.airspyFecBits, 1);
  EXPECT_EQ(c.airspyWorkers, 1);
  EXPECT_TRUE(c.autoGain);
  EXPECT_TRUE(c.countryCheck);
  EXPECT_TRUE(c.duplicateFilter);
  EXPECT_EQ(c.filterExpire, 20u);
  EXPECT_EQ(c.filterCount, 6u);
  EXPECT_EQ(c.filterTime, 60u);
  EXPECT_EQ(c.flightExpireTime, 3600u);
  EXPECT_EQ(c.inputRateFactor, 1u);
  EXPECT_EQ(c.inputSampleSize, 1u);
  EXPECT_FALSE(c.referencePointGiven);
}

TEST(CommandLine, SplitOptionValueKeepsEmptyPieces) {
  using V = std::vector<std::string>;
  EXPECT_EQ(splitOptionValue(""), V{""});
  EXPECT_EQ(splitOptionValue("a"), V{"a"});
  EXPECT_EQ(splitOptionValue("a::b"), (V{"a", "", "b"}));
  EXPECT_EQ(splitOptionValue("a:"), (V{"a", ""}));
  EXPECT_EQ(splitOptionValue(":"), (V{"", ""}));
}

TEST(CommandLine, LatLonOptionLeavesLabelForTwoPieces) {
  std::string label = "kept";
  float lat = 9, lon = 9;
  EXPECT_TRUE(parseLatLonOption("1.5:2.5", label, lat, lon));
  EXPECT_EQ(label, "kept");
  EXPECT_FLOAT_EQ(lat, 1.5f);
  EXPECT_FLOAT_EQ(lon, 2.5f);
  EXPECT_TRUE(parseLatLonOption("3:4:", label, lat, lon));
  EXPECT_EQ(label, "");
  EXPECT_FALSE(parseLatLonOption("1:2:3:4", label, lat, lon));
  EXPECT_FLOAT_EQ(lat, 3.0f);
}

// The option library's messages are filled in by replacing "%name%" markers until none is
// left: an argument holding its own marker made that loop endless (and ever growing).
TEST(CommandLine, ArgumentHoldingAMessageMarkerIsRefusedAndEnds) {
  const Case cases[] = {
      {{"--%canonical_option%"}, error,
       "ERROR    Parse command line option '--%canonical_option%' or its value is not valid", {}},
      {{"--beast", "%value%"}, error, "ERROR    Parse command line option '--beast' or its value is not valid", {}},
      // A "%" where nothing is refused changes nothing.
      {{"--db", "/data/100%value%.db", "--web", "8080"}, goOn, "",
       [](const Config& c) { EXPECT_EQ(c.baseStationDbPath, "/data/100%value%.db"); }},
  };
  expectCases(cases);
}

// A 16-bit option's text was read by a digit loop that overflowed int on "3-65535" (seen under
// the undefined-behaviour sanitizer); the whole 16-bit range still reads.
TEST(CommandLine, SixteenBitOptionsReadTheirRangeOnly) {
  const Case cases[] = {
      {{"--airspy-workers", "3-65535"}, error,
       "ERROR    Parse command line the argument ('3-65535') for option '--airspy-workers' is invalid", {}},
      {{"--airspy-fecbits", "65536"}, error,
       "ERROR    Parse command line the argument ('65536') for option '--airspy-fecbits' is invalid", {}},
      {{"--airspy-decimation", "255"}, goOn, "", [](const Config& c) { EXPECT_EQ(c.airspyDecimation, 255); }},
  };
  expectCases(cases);
}

// The Airspy counts live in 8 bits: 257 workers ran as 1 and 256 as none. Above 255 the value is
// refused, naming the option.
TEST(CommandLine, AirspyCountsAbove255AreRefused) {
  struct Count {
    const char* option;
    uint8_t Config::*field;
  };
  const Count counts[] = {{"--airspy-workers", &Config::airspyWorkers},
                          {"--airspy-decimation", &Config::airspyDecimation},
                          {"--airspy-fecbits", &Config::airspyFecBits},
                          {"--airspy-linearity", &Config::airspyLinearity}};
  for (const Count& count : counts) {
    for (const char* value : {"0", "255"}) {
      SCOPED_TRACE(std::string(count.option) + " " + value);
      const ParseResult r = parse({count.option, value});
      EXPECT_EQ(r.status, goOn);
      EXPECT_EQ(r.config.*count.field, std::stoi(value));
    }
    for (const char* value : {"256", "257", "65535"}) {
      SCOPED_TRACE(std::string(count.option) + " " + value);
      const ParseResult r = parse({count.option, value});
      EXPECT_EQ(r.status, error);
      ASSERT_EQ(r.logged.size(), 1u);
      EXPECT_EQ(r.logged[0], std::string("ERROR    Parse command line the argument ('") + value + "') for option '" +
                                 count.option + "' is not a count (0 to 255)");
    }
  }
}

// Options whose component exists only with another option were taken and then did nothing.
TEST(CommandLine, OptionsWithoutTheOptionTheyNeedAreReported) {
  const std::vector<std::string> webOnly = {"--google-key", "K", "--web-auth", "u:p", "--disable-web-log",
                                            "--silhouettes", "/s", "--pictures", "/p", "--db", "b.sqb",
                                            "--frdb", "r.sqb", "--metric"};
  std::vector<std::string> webOnlyLines;
  for (const char* option :
       {"google-key", "web-auth", "disable-web-log", "silhouettes", "pictures", "db", "frdb", "metric"}) {
    webOnlyLines.push_back(std::string("ERROR    --") + option + " command line option used only with --web - ignored");
  }
  const auto plus = [](std::vector<std::string> args, const std::vector<std::string>& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
  };
  const std::string nmea = "4CA2D1:/dev/ttyS0:4800";
  const std::string nmeaLogLine = "ERROR    --nmea-logfile command line option used only with --nmea - ignored";
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> errors;
  };
  const Case cases[] = {
      {webOnly, webOnlyLines},
      {plus(webOnly, {"--web", "0"}), webOnlyLines},  // port 0 is the web interface off
      {plus(webOnly, {"--web", "8080"}), {}},
      {{"--nmea-logfile", "/tmp/n.log"}, {nmeaLogLine}},
      {{"--nmea-logfile", "/tmp/n.log", "--nmea", nmea}, {}},
      {{"--metric", "--nmea-logfile", "/tmp/n.log", "--web", "1"}, {nmeaLogLine}},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    SCOPED_TRACE(joined);
    const ParseResult r = parse(c.args);
    EXPECT_EQ(r.status, goOn);
    std::vector<std::string> errors;
    for (const auto& line : r.logged) {
      if (line.rfind("ERROR", 0) == 0) errors.push_back(line);
    }
    EXPECT_EQ(errors, c.errors);
  }
}

}  // namespace
