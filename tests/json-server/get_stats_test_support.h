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
#include "tests/decode/squitter_frames.h"

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

using frame_builder::altitudeCode;
using frame_builder::identificationFrame;
using frame_builder::positionFrame;
using frame_builder::squawkFrame;
using frame_builder::velocityFrame;

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
