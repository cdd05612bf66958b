// An outside BaseStation client reads the MSG port: every line the pipeline sends for a varied
// stream of frames must parse with the sbs1 npm package (tests/node/check_msg_lines.js).

#include "app/application.h"
#include "decode/frame_sink.h"
#include "decode/modes_data.h"
#include "decode/receiver_position.h"
#include "output/network_server.h"
#include "tests/decode/cpr_encoder.h"
#include "tests/decode/frame_builder.h"

#include "feed_test_support.h"

#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace feedtest;
using frame_builder::addressParity;
using frame_builder::extendedSquitter;
using frame_builder::Field56;
using frame_builder::identityCode;

// Altitude in 25 ft steps: 11 bits of (feet + 1000) / 25 around the Q bit.
uint32_t altitude12(int feet) {
  const uint32_t n = static_cast<uint32_t>((feet + 1000) / 25);
  return ((n >> 4) << 5) | 0x10 | (n & 0x0F);
}
// The 13-bit form also has the M bit (0: feet) after the sixth bit.
uint32_t altitude13(int feet) {
  const uint32_t n = static_cast<uint32_t>((feet + 1000) / 25);
  return ((n >> 5) << 7) | (((n >> 4) & 1) << 5) | 0x10 | (n & 0x0F);
}

// Identification characters from bit `first` on, as in the squitter and in Comm-B register 2,0.
void putCallsign(Field56& field, int first, const std::string& text) {
  static const std::string alphabet = "@ABCDEFGHIJKLMNOPQRSTUVWXYZ                     0123456789      ";
  for (int i = 0; i < 8; ++i) {
    const char c = i < static_cast<int>(text.size()) ? text[static_cast<size_t>(i)] : ' ';
    const size_t code = c == ' ' ? 32 : alphabet.find(c);
    field.set(first + 6 * i, first + 5 + 6 * i, code);
  }
}

ModesData identification(uint32_t address, const std::string& callsign) {
  Field56 me;
  me.set(1, 5, 4).set(6, 8, 3);
  putCallsign(me, 9, callsign);
  return extendedSquitter(address, me);
}

ModesData airbornePosition(uint32_t address, double lat, double lon, int feet, bool odd) {
  const CprFrame cpr = encodeCpr(lat, lon, odd, false);
  Field56 me;
  me.set(1, 5, 11).set(9, 20, altitude12(feet)).set(22, odd).set(23, 39, cpr.lat).set(40, 56, cpr.lon);
  return extendedSquitter(address, me);
}

ModesData surfacePosition(uint32_t address, double lat, double lon, int movement, int track, bool odd) {
  const CprFrame cpr = encodeCpr(lat, lon, odd, true);
  Field56 me;
  me.set(1, 5, 7).set(6, 12, movement).set(13, true).set(14, 20, track).set(22, odd);
  me.set(23, 39, cpr.lat).set(40, 56, cpr.lon);
  return extendedSquitter(address, me);
}

// Ground speed subtype; negative speeds are west or south, negative rates descending.
ModesData velocity(uint32_t address, int east, int north, int feetPerMinute) {
  Field56 me;
  me.set(1, 5, 19).set(6, 8, 1).set(14, east < 0).set(15, 24, std::abs(east) + 1);
  me.set(25, north < 0).set(26, 35, std::abs(north) + 1);
  me.set(37, feetPerMinute < 0).set(38, 46, std::abs(feetPerMinute) / 64 + 1);
  return extendedSquitter(address, me);
}

// Emergency and priority status with the squawk.
ModesData emergency(uint32_t address, int squawk) {
  Field56 me;
  me.set(1, 5, 28).set(6, 8, 1).set(9, 11, 1).set(12, 24, identityCode(squawk));
  return extendedSquitter(address, me);
}

ModesData allCall(uint32_t address) {
  ModesData frame;
  frame.length = 7;
  frame.bytes[0] = (11 << 3) | 5;
  frame.bytes[1] = static_cast<uint8_t>(address >> 16);
  frame.bytes[2] = static_cast<uint8_t>(address >> 8);
  frame.bytes[3] = static_cast<uint8_t>(address);
  frame_builder::putParity(frame, 0);
  return frame;
}

// DF 0, 4, 5, 16, 20, 21: `status` in the low three bits of the first byte, the 13-bit
// altitude or identity code in bits 20-32, the address in the parity.
ModesData surveillance(int df, int status, uint32_t address, uint32_t code, const Field56& mb = Field56()) {
  const uint32_t length = df >= 16 ? 14 : 7;
  return addressParity(length, static_cast<uint8_t>(df << 3 | status), 0, static_cast<uint8_t>((code >> 8) & 0x1F),
                       static_cast<uint8_t>(code), address, mb);
}

struct Flight {
  uint32_t address;
  const char* callsign;
  double lat, lon;
  int feet;
  int squawk;
  int east, north, rate;
};

// The frames one receiver hears; positions decode only within its range.
struct Site {
  double lat, lon;
  std::vector<ModesData> frames;
};

// Every kind of message with an MSG line, from aircraft in both hemispheres on both sides of
// Greenwich, and a vehicle on the ground beside the receiver.
std::vector<Site> varietyOfFrames() {
  const Flight flights[] = {
      {0x4840D6, "KLM1023", 52.3731, 4.8922, 37000, 1200, 250, -300, -832},
      {0xA4B2C1, "N123AB", 40.6413, -73.7781, 9975, 7700, -120, 160, 2048},
      {0x7C1A2B, "QFA12", -33.9399, 151.1753, 125, 40, 0, -5, -64},
  };
  std::vector<Site> sites;
  for (const Flight& f : flights) {
    Site site{f.lat - 0.2, f.lon + 0.3, {}};
    std::vector<ModesData>& frames = site.frames;
    // A new address earns trust with its third clean frame; the first two go nowhere.
    for (int i = 0; i < 3; ++i) frames.push_back(identification(f.address, f.callsign));
    for (int i = 0; i < 4; ++i) {
      frames.push_back(airbornePosition(f.address, f.lat + 0.001 * i, f.lon, f.feet, i % 2 == 1));
    }
    frames.push_back(velocity(f.address, f.east, f.north, f.rate));
    frames.push_back(allCall(f.address));
    frames.push_back(emergency(f.address, f.squawk));
    // Flight status: 0 airborne, 1 on the ground, 2 alert, 5 alert and SPI.
    frames.push_back(surveillance(4, 0, f.address, altitude13(f.feet)));
    frames.push_back(surveillance(4, 2, f.address, altitude13(f.feet + 25)));
    frames.push_back(surveillance(5, 0, f.address, identityCode(f.squawk)));
    frames.push_back(surveillance(5, 5, f.address, identityCode(f.squawk)));
    frames.push_back(surveillance(0, 0, f.address, altitude13(f.feet)));
    Field56 air;
    air.set(1, 8, 0x30);
    frames.push_back(surveillance(16, 0, f.address, altitude13(f.feet), air));
    Field56 register20;
    register20.set(1, 8, 0x20);
    putCallsign(register20, 9, f.callsign);
    frames.push_back(surveillance(20, 0, f.address, altitude13(f.feet), register20));
    frames.push_back(surveillance(21, 1, f.address, identityCode(f.squawk)));
    sites.push_back(std::move(site));
  }
  // A tug on the apron: surface positions decode against the receiver position.
  Site apron{52.3086, 4.7639, {}};
  const uint32_t tug = 0x3C6DD4;
  for (int i = 0; i < 3; ++i) apron.frames.push_back(identification(tug, "TUG7"));
  for (int i = 0; i < 4; ++i) {
    apron.frames.push_back(surfacePosition(tug, 52.3086, 4.7639 + 0.0001 * i, 13, 64, i % 2 == 1));
  }
  apron.frames.push_back(surveillance(4, 1, tug, altitude13(-1000)));
  sites.push_back(std::move(apron));
  return sites;
}

std::vector<std::string> splitColumns(const std::string& line) {
  std::vector<std::string> columns(1);
  for (char c : line) {
    if (c == ',') {
      columns.emplace_back();
    } else {
      columns.back() += c;
    }
  }
  return columns;
}

// The output of a command and its exit status (-1 when it did not run or exit).
int runCommand(const std::string& command, std::string& output) {
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return -1;
  std::array<char, 4096> buffer{};
  size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) output.append(buffer.data(), n);
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class MsgFeedClient : public ::testing::Test {
 protected:
  void SetUp() override {
    app.msgServer = NetworkServer::create(app.ioService, 0, "MSG", false, boost::asio::ip::address_v4::loopback());
    app.msgServer->start();
    ioThread = std::thread([this] { app.ioService->run(); });
  }

  void TearDown() override {
    boost::asio::post(*app.ioService, [this] { app.msgServer->stop(); });
    work.reset();
    ioThread.join();
  }

  Application app;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{app.ioService->get_executor()};
  std::thread ioThread;
};

TEST_F(MsgFeedClient, EveryLineParsesWithTheSbs1Package) {
  const std::string nodeDir = std::string(VELKARO_SOURCE_DIR) + "/tests/node";
  ASSERT_EQ(std::system("command -v node >/dev/null 2>&1"), 0)
      << "node is not installed: run scripts/install-deps.sh";
  ASSERT_TRUE(std::filesystem::exists(nodeDir + "/node_modules/sbs1/package.json"))
      << "tests/node/node_modules is missing: run scripts/install-node-deps.sh";

  FeedClient client(app.msgServer->boundPort());
  ASSERT_TRUE(waitFor([this] { return app.msgServer->sessionCount() == 1; }));
  const std::vector<Site> sites = varietyOfFrames();
  std::thread frameThread([&] {
    uint64_t timestamp = 0x123456789A;
    for (const Site& site : sites) {
      // The receiver moves from site to site, as with the GPS emulation.
      app.receiverPosition->fix(site.lat, site.lon);
      for (const ModesData& frame : site.frames) {
        app.frameSink->onFrame(frame.bytes, frame.length, timestamp, 0x80);
        timestamp += 12000000 / 20;
      }
    }
  });
  frameThread.join();
  // Stopping sends what is queued and closes: then the client has every line.
  boost::asio::post(*app.ioService, [this] { app.msgServer->stop(); });
  std::string text;
  ASSERT_TRUE(client.readUntilClosed([&](const char* data, size_t n) { text.append(data, n); }));

  // Every MSG type came out, so the variety reached the client.
  size_t lines = 0;
  size_t positions = 0;
  std::array<int, 9> perType{};
  for (size_t start = 0; start < text.size();) {
    const size_t end = text.find("\r\n", start);
    ASSERT_NE(end, std::string::npos) << "unterminated: " << text.substr(start);
    const std::string line = text.substr(start, end - start);
    if (line.size() > 6 && line.compare(0, 4, "MSG,") == 0 && line[4] >= '1' && line[4] <= '8') ++perType[line[4] - '0'];
    const std::vector<std::string> columns = splitColumns(line);
    if (columns.size() > 14 && !columns[14].empty()) ++positions;  // the latitude
    ++lines;
    start = end + 2;
  }
  for (int type = 1; type <= 8; ++type) EXPECT_GT(perType[type], 0) << "no MSG," << type << " line in\n" << text;
  EXPECT_GE(lines, 40u) << text;
  EXPECT_EQ(positions, 8u) << text;  // two of each aircraft and of the tug

  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("velkaro_msg_lines_" + std::to_string(::getpid()) + ".txt");
  {
    std::ofstream out(file, std::ios::binary);
    out << text;
  }
  std::string output;
  const int status = runCommand("node '" + nodeDir + "/check_msg_lines.js' '" + file.string() + "'", output);
  std::filesystem::remove(file);
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("\"lines\": " + std::to_string(lines) + ","), std::string::npos) << output;
  EXPECT_NE(output.find("\"parsed\": " + std::to_string(lines) + ","), std::string::npos) << output;
  EXPECT_NE(output.find("\"failures\": []"), std::string::npos) << output;
}

}  // namespace
