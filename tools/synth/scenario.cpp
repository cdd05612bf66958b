#include "tools/synth/scenario.h"

#include <cmath>
#include <fstream>
#include <sstream>

#include "tools/synth/frame_builder.h"

namespace {

class LineParser {
 public:
  explicit LineParser(int line) : line(line) {}

  [[noreturn]] void fail(const std::string& reason) const {
    throw SynthScenarioError("line " + std::to_string(line) + ": " + reason);
  }

  double number(const std::string& text, double low, double high) const {
    size_t used = 0;
    double value = 0;
    try {
      value = std::stod(text, &used);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used == 0 || used != text.size() || !std::isfinite(value)) fail("not a number: \"" + text + "\"");
    if (value < low || value > high)
      fail("\"" + text + "\" is outside " + format(low) + " .. " + format(high));
    return value;
  }

  uint64_t integer(const std::string& text, int base, uint64_t high) const {
    size_t used = 0;
    uint64_t value = 0;
    try {
      if (!text.empty() && text[0] != '-') value = std::stoull(text, &used, base);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used == 0 || used != text.size()) fail("not a valid number: \"" + text + "\"");
    if (value > high) fail("\"" + text + "\" is too large");
    return value;
  }

  bool flag(const std::string& text) const {
    if (text == "1" || text == "yes" || text == "on") return true;
    if (text == "0" || text == "no" || text == "off") return false;
    fail("expected yes or no: \"" + text + "\"");
  }

 private:
  static std::string format(double v) {
    std::ostringstream out;
    out << v;
    return out.str();
  }
  int line;
};

void setAircraftKey(SynthAircraftParams& a, const std::string& key, const std::string& value, const LineParser& p) {
  if (key == "callsign") {
    if (value.size() > 8) p.fail("callsign longer than 8 characters");
    std::string upper;
    for (char c : value) {
      const char u = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : (c == '_' ? ' ' : c);
      if (synthCallsignCode(u) < 0) p.fail(std::string("callsign character not in A-Z, 0-9: \"") + c + "\"");
      upper += u;
    }
    a.callsign = upper;
  } else if (key == "squawk") {
    if (value.size() != 4 || value.find_first_not_of("01234567") != std::string::npos)
      p.fail("squawk must be four octal digits: \"" + value + "\"");
    a.squawk = static_cast<uint32_t>(p.integer(value, 8, 07777));
  } else if (key == "lat") a.latitude = p.number(value, -90, 90);
  else if (key == "lon") a.longitude = p.number(value, -180, 180);
  else if (key == "track") a.track = p.number(value, 0, 360);
  else if (key == "gs") a.groundSpeed = p.number(value, 0, 4000);
  else if (key == "alt") a.altitude = p.number(value, -1200, 126000);
  else if (key == "vrate") a.verticalRate = p.number(value, -32000, 32000);
  else if (key == "target-alt") {
    a.hasTargetAltitude = true;
    a.targetAltitude = p.number(value, -1200, 126000);
  } else if (key == "turn") a.turnRate = p.number(value, -30, 30);
  else if (key == "ground") a.surface = p.flag(value);
  else if (key == "level") a.levelDb = p.number(value, -20, 60);
  else if (key == "level-jitter") a.levelJitterDb = p.number(value, 0, 20);
  else if (key == "freq") {
    a.hasFrequency = true;
    a.frequencyHz = p.number(value, -500000, 500000);
  } else if (key == "category") {
    // A0..A7, B0..B7, C0..C7, D0..D7: sets A-D are identification type codes 4 down to 1.
    if (value.size() != 2 || value[0] < 'A' || value[0] > 'D' || value[1] < '0' || value[1] > '7')
      p.fail("category must be A0..D7: \"" + value + "\"");
    a.categorySet = static_cast<uint32_t>(4 - (value[0] - 'A'));
    a.category = static_cast<uint32_t>(value[1] - '0');
  } else if (key == "gnss-diff") a.gnssMinusBaro = p.number(value, -3150, 3150);
  else if (key == "spi") a.spi = p.flag(value);
  else if (key == "selected-alt") a.selectedAltitude = p.number(value, 0, 65520);
  else if (key == "qnh") a.qnh = p.number(value, 950.1, 1099.9);
  else if (key == "adsb") a.adsb = p.flag(value);
  else if (key == "df11") a.allCall = p.flag(value);
  else if (key == "replies") a.replyRate = p.number(value, 0, 1000);
  else if (key == "modeac") a.modeAcRate = p.number(value, 0, 1000);
  else p.fail("unknown aircraft key \"" + key + "\"");
}

void parseLine(SynthScenario& s, std::vector<std::string>& words, const LineParser& p) {
  const std::string& keyword = words[0];
  auto need = [&](size_t low, size_t high) {
    if (words.size() - 1 < low || words.size() - 1 > high) p.fail("wrong number of values for \"" + keyword + "\"");
  };
  if (keyword == "aircraft") {
    if (words.size() < 2) p.fail("aircraft needs an address");
    SynthAircraftParams a;
    if (words[1].size() != 6) p.fail("address must be six hex digits: \"" + words[1] + "\"");
    a.address = static_cast<uint32_t>(p.integer(words[1], 16, 0xFFFFFF));
    for (size_t i = 2; i < words.size(); ++i) {
      const size_t eq = words[i].find('=');
      if (eq == std::string::npos || eq == 0) p.fail("expected key=value: \"" + words[i] + "\"");
      setAircraftKey(a, words[i].substr(0, eq), words[i].substr(eq + 1), p);
    }
    if (a.surface) a.verticalRate = 0;
    s.aircraft.push_back(a);
  } else if (keyword == "duration") {
    need(1, 1);
    s.duration = p.number(words[1], 0.001, 1e7);
  } else if (keyword == "seed") {
    need(1, 1);
    s.seed = p.integer(words[1], 10, UINT64_MAX);
  } else if (keyword == "noise") {
    need(1, 2);
    if (words[1] == "off") {
      s.noise = false;
      if (words.size() == 3) s.noiseFloorDbfs = p.number(words[2], -100, 0);
    } else {
      s.noise = true;
      s.noiseFloorDbfs = p.number(words[1], -100, 0);
    }
  } else if (keyword == "timing") {
    need(1, 1);
    if (words[1] == "aligned") s.alignedTiming = true;
    else if (words[1] == "random") s.alignedTiming = false;
    else p.fail("timing is aligned or random");
  } else if (keyword == "freq-offset") {
    need(1, 1);
    s.maxFrequencyOffsetHz = p.number(words[1], 0, 500000);
  } else if (keyword == "rise") {
    need(1, 1);
    s.riseTimeNs = p.number(words[1], 0, 200);
  } else if (keyword == "collisions") {
    need(1, 1);
    if (words[1] == "avoid") s.avoidCollisions = true;
    else if (words[1] == "allow") s.avoidCollisions = false;
    else p.fail("collisions is avoid or allow");
  } else if (keyword == "overlap") {
    need(1, 1);
    s.overlapFraction = p.number(words[1], 0, 1);
  } else if (keyword == "errors") {
    need(2, 3);
    s.oneBitErrorRate = p.number(words[1], 0, 1);
    s.twoBitErrorRate = p.number(words[2], 0, 1);
    if (s.oneBitErrorRate + s.twoBitErrorRate > 1) p.fail("error rates add up to more than 1");
    if (words.size() == 4) {
      if (words[3] == "all") s.errorsInAllFormats = true;
      else if (words[3] == "df17") s.errorsInAllFormats = false;
      else p.fail("errors apply to df17 or all");
    }
  } else if (keyword == "modeac") {
    need(1, 1);
    s.modeAcRate = p.number(words[1], 0, 1000);
  } else if (keyword == "interrogator") {
    need(1, 1);
    s.interrogatorCode = static_cast<uint32_t>(p.integer(words[1], 10, 79));
  } else if (keyword == "flip") {
    need(2, 3);
    SynthFlip flip;
    flip.frame = p.integer(words[1], 10, UINT64_MAX);
    for (size_t i = 2; i < words.size(); ++i) flip.bits.push_back(static_cast<int>(p.integer(words[i], 10, 111)));
    if (flip.bits.size() == 2 && flip.bits[0] == flip.bits[1]) p.fail("the two flipped bits must differ");
    s.flips.push_back(flip);
  } else {
    p.fail("unknown keyword \"" + keyword + "\"");
  }
}

}  // namespace

SynthScenario parseSynthScenario(std::istream& in) {
  SynthScenario scenario;
  std::string text;
  int lineNumber = 0;
  while (std::getline(in, text)) {
    ++lineNumber;
    const size_t hash = text.find('#');
    if (hash != std::string::npos) text.resize(hash);
    std::istringstream words(text);
    std::vector<std::string> list;
    for (std::string w; words >> w;) list.push_back(w);
    if (list.empty()) continue;
    parseLine(scenario, list, LineParser(lineNumber));
  }
  return scenario;
}

SynthScenario parseSynthScenarioText(const std::string& text) {
  std::istringstream in(text);
  return parseSynthScenario(in);
}

SynthScenario loadSynthScenario(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw SynthScenarioError("cannot open " + path);
  return parseSynthScenario(in);
}
