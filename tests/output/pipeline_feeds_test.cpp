// Frames handed to the pipeline come out, byte for byte, on every feed port.

#include "app/application.h"
#include "decode/frame_sink.h"
#include "output/network_server.h"
#include "output/sbs_frame.h"
#include "sdr/crc.h"

#include "feed_test_support.h"

#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>

#include <initializer_list>

namespace {

using namespace feedtest;

std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out += static_cast<char>(v);
  return out;
}

const uint8_t klm[14] = {0x8D, 0x48, 0x40, 0xD6, 0x20, 0x2C, 0xC3, 0x71, 0xC3, 0x2C, 0xE0, 0x57, 0x60, 0x98};

// The feeds of one application, served on loopback, with the I/O service on its own thread.
class PipelineFeeds : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto loopback = boost::asio::ip::address_v4::loopback();
    app.beastServer = NetworkServer::create(app.ioService, 0, "Beast", false, loopback);
    app.sbsServer = NetworkServer::create(app.ioService, 0, "SBS10001", true, loopback);
    app.avrMlatServer = NetworkServer::create(app.ioService, 0, "AVRMLAT", false, loopback);
    app.avrMlatAirspyServer = NetworkServer::create(app.ioService, 0, "AVRMLAT AirSpy", false, loopback);
    app.avrServer = NetworkServer::create(app.ioService, 0, "AVR", false, loopback);
    app.msgServer = NetworkServer::create(app.ioService, 0, "MSG", false, loopback);
    for (auto* server : servers()) server->start();
    ioThread = std::thread([this] { app.ioService->run(); });
  }

  void TearDown() override {
    boost::asio::post(*app.ioService, [this] {
      for (auto* server : servers()) server->stop();
    });
    work.reset();
    ioThread.join();
  }

  std::vector<NetworkServer*> servers() {
    return {app.avrServer.get(), app.avrMlatServer.get(), app.avrMlatAirspyServer.get(),
            app.sbsServer.get(), app.beastServer.get(),   app.msgServer.get()};
  }

  // Frames come from a thread of their own, as from a demodulator.
  void feed(const std::function<void(FrameSink&)>& frames) {
    std::thread frameThread([&] { frames(*app.frameSink); });
    frameThread.join();
  }

  Application app;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{app.ioService->get_executor()};
  std::thread ioThread;
};

TEST_F(PipelineFeeds, EveryFeedCarriesTheExactBytesOfAcceptedFrames) {
  FeedClient beast(app.beastServer->boundPort());
  FeedClient sbs(app.sbsServer->boundPort());
  FeedClient avrMlat(app.avrMlatServer->boundPort());
  FeedClient avrMlatAirspy(app.avrMlatAirspyServer->boundPort());
  FeedClient avr(app.avrServer->boundPort());
  FeedClient msg(app.msgServer->boundPort());
  const std::string login = bytes({0x10, 0x02, 0x17, 0x01, 0x10, 0x03, 0x00, 0x00});
  ASSERT_TRUE(sbs.sendAll(login));
  ASSERT_FALSE(sbs.read(4).empty());  // the login replies begin
  sbs.readAvailable();
  for (auto* server : servers()) ASSERT_TRUE(waitFor([server] { return server->sessionCount() == 1; }));

  // DF 17 with type code 25 from the same aircraft: passes the filter, does not decode.
  uint8_t undecoded[14] = {0x8D, 0x48, 0x40, 0xD6, 25 << 3, 1, 2, 3, 4, 5, 6};
  const uint32_t parity = modeSCrc(undecoded, 11);
  undecoded[11] = parity >> 16;
  undecoded[12] = parity >> 8;
  undecoded[13] = parity;

  feed([&](FrameSink& sink) {
    // A new address earns trust with its third clean frame: only that one goes out.
    for (int i = 0; i < 3; ++i) sink.onFrame(klm, 14, 0x10ABCDEF, 0x1A);
    sink.onFrame(reinterpret_cast<const uint8_t*>("\x12\x34"), 2, 0x10, 0x7F);
    sink.onFrame(undecoded, 14, 0x1A, 0x20);
  });

  const std::string expectedBeast =
      bytes({0x1A, 0x33, 0x00, 0x00, 0x10, 0xAB, 0xCD, 0xEF, 0x1A, 0x1A, 0x8D, 0x48, 0x40, 0xD6, 0x20, 0x2C, 0xC3,
             0x71, 0xC3, 0x2C, 0xE0, 0x57, 0x60, 0x98}) +
      bytes({0x1A, 0x31, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x7F, 0x12, 0x34}) +
      bytes({0x1A, 0x33, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1A, 0x1A, 0x20}) + std::string(reinterpret_cast<char*>(undecoded), 14);
  EXPECT_EQ(beast.read(expectedBeast.size()), expectedBeast);

  const std::string expectedSbs =
      bytes({0x10, 0x02, 0x01, 0x00, 0xEF, 0xCD, 0xAB, 0x8D, 0x48, 0x40, 0xD6, 0x20, 0x2C, 0xC3, 0x71, 0xC3, 0x2C,
             0xE0, 0x00, 0x00, 0x00, 0x10, 0x03, 0x53, 0x2E}) +
      bytes({0x10, 0x02, 0x09, 0x00, 0x10, 0x10, 0x00, 0x00, 0x12, 0x34, 0x10, 0x03, 0x3C, 0x50}) +
      bytes({0x10, 0x02, 0x01, 0x00, 0x1A, 0x00, 0x00, 0x8D, 0x48, 0x40, 0xD6, 0xC8, 0x01, 0x02, 0x03, 0x04, 0x05,
             0x06, 0x00, 0x00, 0x00, 0x10, 0x03, 0xDB, 0x6A});
  EXPECT_EQ(sbs.read(expectedSbs.size()).substr(0, expectedSbs.size()), expectedSbs);

  const std::string undecodedHex = "8D4840D6C80102030405" + [&] {
    char tail[16];
    std::snprintf(tail, sizeof tail, "06%06X", parity);
    return std::string(tail);
  }();
  const std::string expectedAvrMlat = "@000010ABCDEF8D4840D6202CC371C32CE0576098;\r\n@0000000000101234;\r\n@00000000001A" +
                                      undecodedHex + ";\r\n";
  EXPECT_EQ(avrMlat.read(expectedAvrMlat.size()), expectedAvrMlat);

  const std::string expectedAirspy = "*8D4840D6202CC371C32CE0576098;058E99FA;01;\r\n*1234;00000005;01;\r\n*" +
                                     undecodedHex + ";00000008;01;\r\n";
  EXPECT_EQ(avrMlatAirspy.read(expectedAirspy.size()), expectedAirspy);

  const std::string expectedAvr = "*8D4840D6202CC371C32CE0576098;\r\n*1234;\r\n*" + undecodedHex + ";\r\n";
  EXPECT_EQ(avr.read(expectedAvr.size()), expectedAvr);

  // One line: the identification. The Mode A/C reply and the undecoded frame have none.
  const std::string line = msg.read(200, 500ms);
  ASSERT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
  EXPECT_EQ(line.rfind("MSG,1,0,0,4840D6,0,", 0), 0u) << line;
  const std::string tail = ",KLM1023,,,,,,,,,,,0\r\n";
  ASSERT_GE(line.size(), tail.size());
  EXPECT_EQ(line.substr(line.size() - tail.size()), tail);

  // Nothing else came out on any feed.
  for (FeedClient* client : {&beast, &sbs, &avrMlat, &avrMlatAirspy, &avr}) EXPECT_EQ(client->readAvailable(100ms), "");
}

TEST_F(PipelineFeeds, StoppingSendsWhatTheLastFramesQueued) {
  FeedClient avr(app.avrServer->boundPort());
  ASSERT_TRUE(waitFor([this] { return app.avrServer->sessionCount() == 1; }));
  constexpr int frames = 50000;
  feed([&](FrameSink& sink) {
    for (int i = 0; i < frames; ++i) sink.onFrame(reinterpret_cast<const uint8_t*>("\x12\x34"), 2, i, 1);
  });
  // The input has ended: the stop step closes the feeds at once.
  boost::asio::post(*app.ioService, [this] { app.avrServer->stop(); });
  size_t received = 0;
  ASSERT_TRUE(avr.readUntilClosed([&](const char*, size_t n) { received += n; }));
  EXPECT_EQ(received, frames * std::string("*1234;\r\n").size());
}

}  // namespace
