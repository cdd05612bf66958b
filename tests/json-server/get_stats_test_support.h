#pragma once
// An application with statistics and the getStats command, fed with real frames (correct parity,
// CPR-encoded positions) through the decoder, with the host clock pinned.

#include <gtest/gtest.h>

#include "json-server/jsonserver/src/json_parser_read.h"
#include <boost/property_tree/ptree.hpp>

#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include "app/application.h"
#include "app/config.h"
#include "app/host_clock.h"
#include "decode/message_decoder.h"
#include "decode/receiver_position.h"
#include "decode/statistics.h"
#include "json-server/jsonserver/src/command_get_stats.h"
#include "json-server/jsonserver/src/json_parser_write.h"
#include "tests/decode/cpr_encoder.h"
#include "tests/decode/frame_builder.h"

namespace get_stats_test {

using boost::property_tree::ptree;
using frame_builder::Field56;

constexpr uint32_t kStart = 1500000000;

inline ptree parseJson(const std::string& text) {
  ptree tree;
  std::istringstream stream(text);
  boost::property_tree::read_json(stream, tree);
  return tree;
}

// 12-bit altitude code with the 25 ft bit set.
inline uint32_t altitudeCode(int feet) {
  const uint32_t n = static_cast<uint32_t>((feet + 1000) / 25);
  return ((n & 0x7F0) << 1) | 0x10 | (n & 0x0F);
}

inline ModesData identificationFrame(uint32_t address, const std::string& callsign, uint32_t time) {
  static const std::string charset = "#ABCDEFGHIJKLMNOPQRSTUVWXYZ##### ###############0123456789######";
  Field56 me;
  me.set(1, 5, 4).set(6, 8, 0);
  for (int i = 0; i < 8; ++i) {
    const char c = i < static_cast<int>(callsign.size()) ? callsign[i] : ' ';
    me.set(9 + 6 * i, 14 + 6 * i, charset.find(c));
  }
  return frame_builder::extendedSquitter(address, me, time);
}

inline ModesData positionFrame(uint32_t address, double lat, double lon, int feet, bool odd, uint32_t time) {
  const CprFrame cpr = encodeCpr(lat, lon, odd, false);
  Field56 me;
  me.set(1, 5, 11).set(9, 20, altitudeCode(feet)).set(22, odd).set(23, 39, cpr.lat).set(40, 56, cpr.lon);
  return frame_builder::extendedSquitter(address, me, time);
}

// Subtype 1 ground speed: `east` and `north` knots, `rate` feet per minute (multiple of 64).
inline ModesData velocityFrame(uint32_t address, int east, int north, int rate, uint32_t time) {
  Field56 me;
  me.set(1, 5, 19).set(6, 8, 1);
  me.set(14, east < 0).set(15, 24, std::abs(east) + 1);
  me.set(25, north < 0).set(26, 35, std::abs(north) + 1);
  me.set(37, rate < 0).set(38, 46, std::abs(rate) / 64 + 1);
  return frame_builder::extendedSquitter(address, me, time);
}

// DF 5 surveillance identity reply.
inline ModesData squawkFrame(uint32_t address, int squawk, uint32_t time) {
  const uint32_t id = frame_builder::identityCode(squawk);
  ModesData frame = frame_builder::addressParity(7, 5 << 3, 0, static_cast<uint8_t>(id >> 8) & 0x1F,
                                                 static_cast<uint8_t>(id), address);
  frame.time = time;
  return frame;
}

class StatsFixture {
 public:
  explicit StatsFixture(const std::function<void(Config&)>& configure = {}) {
    if (configure) configure(*app.config);
    setHostSecondsForTest(kStart);
    app.statistics = std::make_unique<Statistics>(*app.config, app.receiverPosition.get(), nullptr, 0);
    command = std::make_shared<CommandGetStats>(app);
  }
  ~StatsFixture() { setHostSecondsForTest(0); }

  // Decodes the frame and hands it to the statistics, as the pipeline does; false when not decoded.
  bool feed(const ModesData& frame) {
    Message message;
    if (!decoder.decode(frame, message)) return false;
    app.statistics->onMessage(frame, message);
    lastMessage = message;
    return true;
  }

  // Three position frames a second apart (even, odd, even), flying north at about 110 m/s, so
  // that the last one decodes, at `lat`, `lon`.
  void fly(uint32_t address, double lat, double lon, int feet, uint32_t time) {
    for (uint32_t i = 0; i < 3; ++i) {
      feed(positionFrame(address, lat - 0.001 * (2 - i), lon, feet, i % 2 == 1, time + i));
    }
    ASSERT_TRUE(lastMessage.has(MessageField::LAT)) << std::hex << address;
  }

  // One getStats request with the given "data" members, run as the router runs it; the reply text.
  std::string ask(const std::string& data) {
    ptree request = parseJson("{\"req\":\"getStats\",\"data\":{" + data + "}}");
    std::string text;
    const int result = command->run(request, nullptr, nullptr,
                                    [&](const ptree& reply) { text = writeJsonTinyText(reply); });
    EXPECT_EQ(result, 1);
    return text;
  }
  ptree askTree(const std::string& data) { return parseJson(ask(data)); }

  Statistics& statistics() { return *app.statistics; }
  AircraftTable& table() { return app.statistics->aircraftTable(); }

  Application app;
  MessageDecoder decoder;
  Message lastMessage;
  std::shared_ptr<CommandGetStats> command;
};

}  // namespace get_stats_test
