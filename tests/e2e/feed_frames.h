#pragma once
// What the feeds carry and what the synthesiser sent: AVR-MLAT lines parsed back into frames, and
// the frames the pipeline must let through.

#include "decode/feed_encoding.h"
#include "sdr/crc.h"
#include "tools/synth/sent_list.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

// Three aircraft 20 dB above the noise, airborne and on the ground, for a scene's traffic.
inline const char* const threeAircraft =
    "aircraft 4840D6 callsign=KLM1023 squawk=1000 lat=52.3 lon=4.8 track=90 gs=240 alt=8000 level=20 replies=4\n"
    "aircraft 3C6586 callsign=DLH4AB squawk=2213 lat=52.31 lon=4.76 track=0 gs=12 ground=yes level=20 replies=2\n"
    "aircraft 400A1E callsign=BAW12 squawk=4521 lat=52.0 lon=4.5 track=200 gs=420 alt=36000 vrate=-1000 level=20 "
    "replies=3\n";

struct FeedFrame {
  uint64_t timestamp = 0;
  std::vector<uint8_t> bytes;
};

inline std::string hex(const std::vector<uint8_t>& bytes) {
  std::string text;
  appendHex(text, bytes.data(), static_cast<uint32_t>(bytes.size()));
  return text;
}

inline std::vector<std::string> splitLines(const std::string& text, const std::string& end) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t at; (at = text.find(end, start)) != std::string::npos; start = at + end.size()) {
    lines.push_back(text.substr(start, at - start));
  }
  EXPECT_EQ(start, text.size()) << "a line without its end";
  return lines;
}

// "@" + 12 hex digits of timestamp + frame + ";" per line.
inline std::vector<FeedFrame> parseAvrMlat(const std::string& text) {
  std::vector<FeedFrame> frames;
  for (const auto& line : splitLines(text, "\r\n")) {
    EXPECT_TRUE(line.size() > 14 && line[0] == '@' && line.back() == ';' && line.size() % 2 == 0) << line;
    if (line.size() < 14 || line[0] != '@') continue;
    FeedFrame frame;
    frame.timestamp = std::stoull(line.substr(1, 12), nullptr, 16);
    for (size_t i = 13; i + 1 < line.size(); i += 2) {
      frame.bytes.push_back(static_cast<uint8_t>(std::stoul(line.substr(i, 2), nullptr, 16)));
    }
    frames.push_back(frame);
  }
  return frames;
}

inline uint32_t addressOf(const std::vector<uint8_t>& bytes) {
  const uint32_t df = bytes[0] >> 3;
  if (df == 11 || (df >= 17 && df <= 19)) return uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
  return modeSCrcSyndrome(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

// The frames the pipeline lets through: an address is trusted from its third clean DF 11 or
// extended squitter on; before that nothing of it is passed on.
inline std::vector<SynthSentFrame> expectedFrames(const SynthSentList& list) {
  std::map<uint32_t, int> confirmations;
  std::vector<SynthSentFrame> expected;
  for (const auto& frame : list.frames) {
    EXPECT_FALSE(frame.overlap);
    const uint32_t df = frame.bytes[0] >> 3;
    const uint32_t address = addressOf(frame.bytes);
    const bool clean = (df >= 17 && df <= 19) ||
                       (df == 11 && modeSCrcSyndrome(frame.bytes.data(), frame.length) == 0);
    if (clean) ++confirmations[address];
    if (confirmations[address] > 2) expected.push_back(frame);
  }
  return expected;
}

