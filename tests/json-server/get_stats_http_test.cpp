#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "json-server/jsonserver/src/google_key_command.h"
#include "json-server/jsonserver/src/gzip_string.h"
#include "json-server/jsonserver/src/http_server.h"
#include "tests/json-server/get_stats_test_support.h"
#include "tests/json-server/http_test_client.h"

namespace {

using namespace get_stats_test;

std::string flightsBody(uint32_t id) {
  return "{\"req\":\"getStats\",\"data\":{\"statsType\":\"flights\",\"id\":" + std::to_string(id) + "}}";
}

class GetStatsHttpTest : public ::testing::Test {
 protected:
  void start() {
    server.addCommand(std::make_shared<CommandGetStats>(f.app));
    server.addCommand(std::make_shared<GoogleKeyCommand>(f.app));
    server.start(0);
    port = server.listeningPort();
    ASSERT_NE(port, 0);
  }
  void TearDown() override { server.stop(); }

  StatsFixture f;
  HttpServer server;
  uint16_t port = 0;
};

TEST_F(GetStatsHttpTest, FlightsOverHttpFirstFullThenIncremental) {
  f.app.receiverPosition->fix(51.0, 0.0);
  f.feed(identificationFrame(0x4CA1FA, "EIN123", kStart));
  f.fly(0x4CA1FA, 51.5, 0.0, 35000, kStart);
  setHostSecondsForTest(kStart + 2);
  start();

  http_test::Connection connection(port);
  ASSERT_TRUE(connection.isOpen());
  ASSERT_TRUE(connection.send(http_test::post("/json", flightsBody(0), "Accept-Encoding: gzip, deflate\r\n")));
  const http_test::Reply first = connection.readReply();
  ASSERT_TRUE(first.complete);
  EXPECT_EQ(first.statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(first.header("Content-Encoding"), "gzip");
  const ptree full = parseJson(gunzipString(first.body));
  EXPECT_EQ(full.get<std::string>("status"), "OK");
  const ptree& irish = full.get_child("stats.flights").front().second;
  EXPECT_EQ(irish.get<std::string>("I"), "4CA1FA");
  EXPECT_EQ(irish.get<std::string>("CS"), "EIN123");
  EXPECT_EQ(irish.get<std::string>("A"), "35000");

  // Same connection, the page's serial: only what the page ignores.
  const uint32_t epoch = full.get<uint32_t>("stats.epoch");
  ASSERT_TRUE(connection.send(http_test::post("/json", flightsBody(epoch))));
  const http_test::Reply next = connection.readReply();
  ASSERT_TRUE(next.complete);
  EXPECT_EQ(next.header("Content-Encoding"), "");
  EXPECT_EQ(next.body, "{\"status\":\"OK\",\"stats\":{\"M\":false,\"epoch\":" + std::to_string(epoch) +
                           ",\"flights\":[{\"TAM\":-0.5,\"CFL\":\"\\/img\\/flags\\/Ireland.bmp\",\"MC\":\"Ireland\"}],"
                           "\"s\":" + std::to_string(f.statistics().startTime()) + "}}\n");

  ASSERT_TRUE(connection.send(http_test::post("/json", "{\"req\":\"googleKey\"}")));
  EXPECT_EQ(connection.readReply().body, "{\"status\":\"ERROR\",\"message\":\"No Google Maps API key provided\"}\n");
}

// 20 pages polling a table of 500 aircraft over keep-alive connections, gzip on, as browsers do.
TEST_F(GetStatsHttpTest, TwentyPagesWithFiveHundredAircraft) {
  f.app.receiverPosition->fix(51.0, 0.0);
  for (uint32_t i = 0; i < 500; ++i) {
    const uint32_t address = 0x400000 + i * 7;
    f.feed(identificationFrame(address, "LOAD" + std::to_string(i), kStart));
    f.fly(address, 50.0 + i * 0.004, -1.0 + i * 0.004, 10000 + 50 * i, kStart);
  }
  setHostSecondsForTest(kStart + 3);
  start();

  constexpr int kPages = 20;
  constexpr int kRequestsPerPage = 20;
  std::atomic<int> good{0};
  const auto begin = std::chrono::steady_clock::now();
  std::vector<std::thread> pages;
  for (int p = 0; p < kPages; ++p) {
    pages.emplace_back([&] {
      http_test::Connection connection(port);
      uint32_t epoch = 0;
      for (int i = 0; i < kRequestsPerPage; ++i) {
        if (!connection.send(http_test::post("/json", flightsBody(epoch), "Accept-Encoding: gzip\r\n"))) return;
        const http_test::Reply reply = connection.readReply(std::chrono::milliseconds(10000));
        if (!reply.complete) return;
        const ptree tree = parseJson(gunzipString(reply.body));
        if (tree.get_child("stats.flights").size() != 500) return;
        epoch = tree.get<uint32_t>("stats.epoch");
        ++good;
      }
    });
  }
  for (std::thread& page : pages) page.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  EXPECT_EQ(good.load(), kPages * kRequestsPerPage);
  std::printf("flights over HTTP, 500 aircraft, %d pages: %.0f replies per second\n", kPages, good.load() / seconds);
}

}  // namespace
