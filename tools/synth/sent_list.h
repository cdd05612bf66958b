#pragma once
// The list of what the synthesiser sent, one line per frame, and a parser for it.
// Header-only, so that any test can read a list without linking the synthesiser.
//
//   # velkaro-synth type=rtl factor=1
//   # sample offset ts12 hex length level flips overlap kind
//   1200345 0.372 7202070 8D4840D6202CC371C32CE0576098 14 15.0 - 0 ident
//
// sample: file sample index of the first preamble pulse (Mode A/C: of F1), offset: where the
// leading edge lies within that sample (0 .. 1), ts12: sample x 6 / factor, hex: the frame as
// encoded with correct parity (Mode A/C: the two reply bytes), flips: the frame bits sent
// inverted ("-" for none, else "17" or "17,52"), overlap: 1 when another transmission
// shares its air time.
//
// Lists of the real types name their rate and packing and add a column, demod: the count of
// stream samples up to and including the last one of the frame's 240-bin window of 0.5 us
// (sample + 240 x factor), where a window demodulator stamps it (give or take a sample):
//
//   # velkaro-synth type=raw20 factor=10 rate=20000000 packing=packed
//   # sample offset ts12 hex length level flips overlap kind demod
//   6000690 0.372 3600414 8D4840D6202CC371C32CE0576098 14 15.0 - 0 ident 6003090

#include "tools/synth/synth_frame.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <istream>
#include <sstream>
#include <string>
#include <vector>

struct SynthSentFrame {
  uint64_t sample = 0;
  double offset = 0;
  uint64_t timestamp = 0;
  std::vector<uint8_t> bytes;
  uint32_t length = 0;
  double levelDb = 0;
  std::vector<int> flips;
  bool overlap = false;
  std::string kind;
  uint64_t demod = 0;  // 0: the list has no demod column
};

struct SynthSentList {
  std::string type = "rtl";
  uint32_t factor = 1;
  uint64_t rate = 0;     // samples per second; 0: not in the header (2 MS/s x factor)
  bool packed = false;
  std::vector<SynthSentFrame> frames;
};

inline std::string formatSynthSentHeader(const std::string& type, uint32_t factor) {
  return "# velkaro-synth type=" + type + " factor=" + std::to_string(factor) +
         "\n# sample offset ts12 hex length level flips overlap kind\n";
}

// The header of a real type's list.
inline std::string formatSynthSentHeader(const std::string& type, uint32_t factor, uint64_t rate, bool packed) {
  return "# velkaro-synth type=" + type + " factor=" + std::to_string(factor) + " rate=" + std::to_string(rate) +
         " packing=" + (packed ? "packed" : "unpacked") +
         "\n# sample offset ts12 hex length level flips overlap kind demod\n";
}

inline std::string formatSynthSentFrame(const SynthSentFrame& f) {
  const std::string hex = synthHex(f.bytes.data(), static_cast<uint32_t>(f.bytes.size()));
  std::string flips;
  for (size_t i = 0; i < f.flips.size(); ++i) flips += (i ? "," : "") + std::to_string(f.flips[i]);
  if (flips.empty()) flips = "-";
  char numbers[64];
  std::snprintf(numbers, sizeof numbers, "%.3f", f.offset);
  char level[32];
  std::snprintf(level, sizeof level, "%.1f", f.levelDb);
  return std::to_string(f.sample) + " " + numbers + " " + std::to_string(f.timestamp) + " " + hex + " " +
         std::to_string(f.length) + " " + level + " " + flips + " " + (f.overlap ? "1" : "0") + " " + f.kind +
         (f.demod ? " " + std::to_string(f.demod) : std::string()) + "\n";
}

// One data line; false when it is not one.
inline bool parseSynthSentFrame(const std::string& line, SynthSentFrame& f) {
  std::istringstream in(line);
  std::string hex, flips, overlap;
  f = SynthSentFrame();
  if (!(in >> f.sample >> f.offset >> f.timestamp >> hex >> f.length >> f.levelDb >> flips >> overlap >> f.kind))
    return false;
  if (hex.size() % 2 != 0 || hex.size() / 2 != f.length) return false;
  for (size_t i = 0; i < hex.size(); i += 2) {
    unsigned value = 0;
    for (size_t k = i; k < i + 2; ++k) {
      const char c = hex[k];
      const int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
      if (d < 0) return false;
      value = value * 16 + static_cast<unsigned>(d);
    }
    f.bytes.push_back(static_cast<uint8_t>(value));
  }
  if (flips != "-") {
    std::istringstream list(flips);
    for (std::string item; std::getline(list, item, ',');) {
      if (item.empty() || item.find_first_not_of("0123456789") != std::string::npos || item.size() > 3) return false;
      f.flips.push_back(std::stoi(item));
    }
  }
  if (overlap != "0" && overlap != "1") return false;
  f.overlap = overlap == "1";
  std::string demod, extra;
  if (in >> demod) {
    if (demod.size() > 19 || demod.find_first_not_of("0123456789") != std::string::npos || in >> extra) return false;
    f.demod = std::stoull(demod);
  }
  return true;
}

inline bool readSynthSentList(std::istream& in, SynthSentList& list, std::string* error = nullptr) {
  list = SynthSentList();
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (line.empty()) continue;
    if (line[0] == '#') {
      std::istringstream words(line.substr(1));
      for (std::string w; words >> w;) {
        if (w.rfind("type=", 0) == 0) list.type = w.substr(5);
        else if (w.rfind("factor=", 0) == 0) {
          const std::string digits = w.substr(7);
          if (digits.empty() || digits.size() > 2 || digits.find_first_not_of("0123456789") != std::string::npos) {
            if (error) *error = "line " + std::to_string(number) + ": bad factor";
            return false;
          }
          list.factor = static_cast<uint32_t>(std::stoul(digits));
        } else if (w.rfind("rate=", 0) == 0) {
          const std::string digits = w.substr(5);
          if (digits.empty() || digits.size() > 12 || digits.find_first_not_of("0123456789") != std::string::npos) {
            if (error) *error = "line " + std::to_string(number) + ": bad rate";
            return false;
          }
          list.rate = std::stoull(digits);
        } else if (w.rfind("packing=", 0) == 0) {
          list.packed = w == "packing=packed";
          if (!list.packed && w != "packing=unpacked") {
            if (error) *error = "line " + std::to_string(number) + ": bad packing";
            return false;
          }
        }
      }
      continue;
    }
    SynthSentFrame frame;
    if (!parseSynthSentFrame(line, frame)) {
      if (error) *error = "line " + std::to_string(number) + ": not a frame line";
      return false;
    }
    list.frames.push_back(std::move(frame));
  }
  return true;
}

inline bool loadSynthSentList(const std::string& path, SynthSentList& list, std::string* error = nullptr) {
  std::ifstream in(path);
  if (!in) {
    if (error) *error = "cannot open " + path;
    return false;
  }
  return readSynthSentList(in, list, error);
}
