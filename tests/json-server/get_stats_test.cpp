#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "app/logger.h"
#include "tests/json-server/get_stats_test_support.h"

namespace {

using namespace get_stats_test;

constexpr uint32_t kAdsbIcao = 0x4CA1FA;
constexpr uint32_t kModeSIcao = 0x3C6544;

// Keys of an object in their order.
std::vector<std::string> keys(const ptree& node) {
  std::vector<std::string> k;
  for (const auto& child : node) k.push_back(child.first);
  return k;
}

std::vector<std::string> numberKeys(int count) {
  std::vector<std::string> k;
  for (int i = 0; i < count; ++i) k.push_back(std::to_string(i));
  return k;
}

TEST(GetStatsTest, ErrorReplies) {
  StatsFixture f;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "{\"status\":\"ERROR\",\"message\":\"Incorrect stats type\"}\n"},
      {"\"statsType\":\"DF\"", "{\"status\":\"ERROR\",\"message\":\"Invalid stats type\"}\n"},
      {"\"statsType\":\"log\"", "{\"status\":\"ERROR\",\"message\":\"Invalid index\"}\n"},
      {"\"statsType\":\"log\",\"index\":\"abc\"", "{\"status\":\"ERROR\",\"message\":\"Invalid index\"}\n"},
      {"\"statsType\":\"log\",\"index\":\"4294967296\"", "{\"status\":\"ERROR\",\"message\":\"Invalid index\"}\n"},
      {"\"statsType\":\"flights\"", "{\"status\":\"ERROR\",\"message\":\"Invalid index\"}\n"},
      {"\"statsType\":\"flights\",\"id\":\"7x\"", "{\"status\":\"ERROR\",\"message\":\"Invalid index\"}\n"},
      {"\"statsType\":\"track\"", "{\"status\":\"ERROR\",\"message\":\"Icao not found\"}\n"},
      {"\"statsType\":\"track\",\"icao\":\"zz\"", "{\"status\":\"ERROR\",\"message\":\"Ivalid icao\"}\n"},
      {"\"statsType\":\"track\",\"icao\":\"4CA1FA\"", "{\"status\":\"OK\",\"stats\":{\"M\":false}}\n"},
      {"\"statsType\":\"ver\"", "{\"status\":\"OK\",\"stats\":{\"version\":\"v.20170127\"}}\n"},
  };
  for (const auto& [data, reply] : cases) EXPECT_EQ(f.ask(data), reply) << data;

  // Without statistics every statistics answer fails as a whole; the version still answers.
  f.app.statistics.reset();
  for (const char* type : {"df", "counters", "chart", "polarDistances", "tracks"}) {
    EXPECT_EQ(f.ask(std::string("\"statsType\":\"") + type + "\""),
              "{\"status\":\"ERROR\",\"message\":\"Can't get stats\"}\n")
        << type;
  }
  EXPECT_EQ(f.ask("\"statsType\":\"flights\",\"id\":0"), "{\"status\":\"ERROR\",\"message\":\"Can't get stats\"}\n");
  EXPECT_EQ(f.ask("\"statsType\":\"ver\""), "{\"status\":\"OK\",\"stats\":{\"version\":\"v.20170127\"}}\n");
}

TEST(GetStatsTest, DfCountsEveryFormatAndTypeCode) {
  StatsFixture f;
  std::string zeros;
  for (int i = 0; i < 32; ++i) zeros += (i ? ",\"" : "\"") + std::to_string(i) + "\":0";
  EXPECT_EQ(f.ask("\"statsType\":\"df\""),
            "{\"status\":\"OK\",\"stats\":{\"df\":{" + zeros + "},\"adsb\":{" + zeros + "}}}\n");

  ASSERT_TRUE(f.feed(velocityFrame(kAdsbIcao, 300, 200, -640, kStart)));
  ASSERT_TRUE(f.feed(velocityFrame(kAdsbIcao, 300, 200, -640, kStart)));
  ASSERT_TRUE(f.feed(squawkFrame(kModeSIcao, 7000, kStart)));
  const ptree stats = f.askTree("\"statsType\":\"df\"").get_child("stats");
  EXPECT_EQ(keys(stats.get_child("df")), numberKeys(32));
  for (int i = 0; i < 32; ++i) {
    const std::string k = std::to_string(i);
    EXPECT_EQ(stats.get<int>("df." + k), i == 17 ? 2 : i == 5 ? 1 : 0) << i;
    EXPECT_EQ(stats.get<int>("adsb." + k), i == 19 ? 2 : 0) << i;
  }
}

TEST(GetStatsTest, CountersWithAircraftInViewAndPositions) {
  StatsFixture empty;
  EXPECT_EQ(empty.ask("\"statsType\":\"counters\""),
            "{\"status\":\"OK\",\"stats\":{\"counters\":{\"FLIGHTS_MODES\":0,\"FLIGHTS_ADSB\":0,\"STARTUP_TIME\":" +
                std::to_string(empty.statistics().startTime()) + "},\"additionalPoints\":\"\"}}\n");

  StatsFixture f([](Config& c) {
    c.referencePointGiven = true;
    c.referencePoint = {"Home \"base\"", 51.47f, -0.45f};
    c.additionalPoints = {{"A", 52.5f, 13.25f}, {"", -33.9f, 151.2f}};
  });
  f.app.receiverPosition->fix(51.47, -0.4614);
  ASSERT_TRUE(f.feed(velocityFrame(kAdsbIcao, 300, 200, 0, kStart)));
  ASSERT_TRUE(f.feed(squawkFrame(kModeSIcao, 1234, kStart + 1)));
  f.statistics().addCounter(OUTPUT_BYTES, 99);

  // 24 s after the last message both are in view; a second later the ADS-B one is not.
  for (const auto& [now, modes, adsb] : {std::tuple{kStart + 24, 1, 1}, {kStart + 25, 1, 0}, {kStart + 26, 0, 0}}) {
    setHostSecondsForTest(now);
    const ptree stats = f.askTree("\"statsType\":\"counters\"").get_child("stats");
    const ptree& counters = stats.get_child("counters");
    EXPECT_EQ(keys(counters),
              (std::vector<std::string>{"TOTAL_MSG", "MODES_MSG", "MODES_SHORT", "ADSB_MSG", "OUTPUT_BYTES",
                                        "ADSB_SPEED", "FLIGHTS_MODES", "FLIGHTS_ADSB", "STARTUP_TIME", "RECEIVER_LAT",
                                        "RECEIVER_LON", "REFPOINT_LAT", "REFPOINT_LON", "REFPOINT_LABEL"}));
    EXPECT_EQ(counters.get<int>("TOTAL_MSG"), 2);
    EXPECT_EQ(counters.get<int>("OUTPUT_BYTES"), 99);
    EXPECT_EQ(counters.get<int>("FLIGHTS_MODES"), modes) << now - kStart;
    EXPECT_EQ(counters.get<int>("FLIGHTS_ADSB"), adsb) << now - kStart;
  }
  // A feed's byte total passes 2^32 within days: every digit reaches the page, on any target.
  f.statistics().addCounter(OUTPUT_BYTES, uint64_t{5000000000} - 99);
  const std::string text = f.ask("\"statsType\":\"counters\"");
  EXPECT_NE(text.find("\"OUTPUT_BYTES\":5000000000,"), std::string::npos) << text;
  // Doubles with 17 digits, floats with 8.
  EXPECT_NE(text.find("\"RECEIVER_LAT\":51.469999999999999,\"RECEIVER_LON\":-0.46139999999999998,"), std::string::npos)
      << text;
  EXPECT_NE(text.find("\"REFPOINT_LAT\":51.470001,\"REFPOINT_LON\":-0.44999999,"
                      "\"REFPOINT_LABEL\":\"Home \\\"base\\\"\"}"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\"additionalPoints\":[{\"label\":\"A\",\"lattitude\":52.5,\"longtitude\":13.25},"
                      "{\"label\":\"\",\"lattitude\":-33.900002,\"longtitude\":151.2}]"),
            std::string::npos)
      << text;
}

TEST(GetStatsTest, ChartAndPolarDistances) {
  StatsFixture f;
  const ptree before = f.askTree("\"statsType\":\"chart\"").get_child("stats");
  EXPECT_EQ(keys(before), (std::vector<std::string>{"M", "distances", "hours", "polar"}));
  EXPECT_EQ(before.get<std::string>("M"), "false");
  EXPECT_EQ(before.get<std::string>("distances"), "");
  EXPECT_EQ(keys(before.get_child("hours.msgs")), numberKeys(24));
  EXPECT_EQ(keys(before.get_child("hours.positions")), numberKeys(24));
  EXPECT_EQ(keys(before.get_child("polar.msgs")), numberKeys(6));
  for (int ring = 0; ring < 6; ++ring) EXPECT_EQ(keys(before.get_child("polar.msgs." + std::to_string(ring))), numberKeys(36));
  EXPECT_EQ(keys(before.get_child("polar.distance")), numberKeys(36));

  std::string empty = "[\"\"";
  for (int i = 1; i < 360; ++i) empty += ",\"\"";
  EXPECT_EQ(f.ask("\"statsType\":\"polarDistances\""),
            "{\"status\":\"OK\",\"stats\":{\"polarDistances\":" + empty + "]}}\n");

  // Half a degree due north of the receiver: about 30 NM, bearing 0.
  f.app.receiverPosition->fix(51.0, 0.0);
  f.fly(kAdsbIcao, 51.5, 0.0, 35000, kStart);
  const ptree chart = f.askTree("\"statsType\":\"chart\"").get_child("stats");
  ASSERT_EQ(chart.get_child("distances").size(), 1u);
  EXPECT_EQ(chart.get_child("distances").begin()->first, "30");
  EXPECT_EQ(chart.get<int>("distances.30"), 1);
  EXPECT_EQ(chart.get<int>("polar.msgs.0.0"), 1);
  EXPECT_NEAR(chart.get<double>("polar.distance.0"), 30.0, 0.1);
  int hourMessages = 0;
  int hourPositions = 0;
  for (int h = 0; h < 24; ++h) {
    hourMessages += chart.get<int>("hours.msgs." + std::to_string(h));
    hourPositions += chart.get<int>("hours.positions." + std::to_string(h));
  }
  EXPECT_EQ(hourMessages, 3);
  EXPECT_EQ(hourPositions, 1);

  const ptree polar = f.askTree("\"statsType\":\"polarDistances\"").get_child("stats.polarDistances");
  ASSERT_EQ(polar.size(), 360u);
  const ptree& north = polar.begin()->second;
  ASSERT_EQ(north.size(), 2u);
  // Five decimals of the decoded position (CPR moves it by a few metres).
  EXPECT_EQ(north.front().second.data().substr(0, 6), "51.500");
  EXPECT_EQ(north.front().second.data().size(), 8u);
  EXPECT_EQ(north.back().second.data().size(), 7u);
  EXPECT_NEAR(north.back().second.get_value<double>(), 0.0, 1e-4);
  EXPECT_EQ(std::next(polar.begin())->second.data(), "");
}

TEST(GetStatsTest, MetricChartSendsOnlyTheFirst500Cells) {
  StatsFixture f([](Config& c) { c.metric = true; });
  f.app.receiverPosition->fix(51.0, 0.0);
  f.fly(kAdsbIcao, 55.7, 0.0, 35000, kStart);  // about 523 km north
  uint32_t farCells = 0;
  for (uint32_t cell = 500; cell < 550; ++cell) farCells += f.statistics().histogramCell(cell);
  ASSERT_EQ(farCells, 1u);
  const ptree chart = f.askTree("\"statsType\":\"chart\"").get_child("stats");
  EXPECT_EQ(chart.get<std::string>("M"), "true");
  EXPECT_EQ(chart.get<std::string>("distances"), "");
  EXPECT_EQ(chart.get<int>("polar.msgs.5.0"), 1);
}

TEST(GetStatsTest, LogSinceAnIndex) {
  StatsFixture f;
  const uint32_t first = Logger::instance().nextSequenceNumber();
  logInfo("get stats alpha");
  logError("get stats \"beta\"\n");
  const std::string since = std::to_string(first - 1);
  const ptree lines = f.askTree("\"statsType\":\"log\",\"index\":" + since).get_child("stats");
  ASSERT_EQ(lines.size(), 2u);
  const ptree& alpha = lines.front().second;
  const ptree& beta = lines.back().second;
  EXPECT_EQ(alpha.front().second.data(), std::to_string(first));
  EXPECT_EQ(std::next(alpha.begin())->second.data(), "4");
  EXPECT_NE(alpha.back().second.data().find("  INFO     get stats alpha"), std::string::npos);
  EXPECT_EQ(beta.front().second.data(), std::to_string(first + 1));
  EXPECT_EQ(std::next(beta.begin())->second.data(), "1");
  // The line feed reaches the page as a backslash and "n".
  EXPECT_NE(beta.back().second.data().find("get stats \"beta\"\\n"), std::string::npos);

  const std::string newest = std::to_string(first + 1);
  EXPECT_EQ(f.askTree("\"statsType\":\"log\",\"index\":" + std::to_string(first)).get_child("stats").size(), 1u);
  EXPECT_EQ(f.ask("\"statsType\":\"log\",\"index\":" + newest), "{\"status\":\"OK\",\"stats\":\"\"}\n");

  StatsFixture disabled([](Config& c) { c.disableWebLog = true; });
  EXPECT_EQ(disabled.ask("\"statsType\":\"log\",\"index\":0"),
            "{\"status\":\"OK\",\"stats\":[[1,4,\"Web Log Disabled.\"]]}\n");
  EXPECT_EQ(disabled.ask("\"statsType\":\"log\",\"index\":1"), "{\"status\":\"OK\",\"stats\":\"\"}\n");
}

// The frame thread keeps writing while the web thread asks everything; run under the thread
// sanitizer this shows every read takes the table's mutex or the statistics' reader side.
TEST(GetStatsTest, AnswersWhileFramesArrive) {
  StatsFixture f;
  f.app.receiverPosition->fix(51.0, 0.0);
  std::atomic<bool> stop{false};
  std::thread frames([&] {
    // 20 aircraft flying north at about 110 m/s, one position, velocity and squawk a second each.
    for (uint32_t t = kStart; !stop.load(); ++t) {
      for (uint32_t i = 0; i < 20; ++i) {
        const uint32_t address = 0x4CA000 + i;
        f.feed(positionFrame(address, 51.2 + 0.01 * i + 0.001 * (t - kStart), 0.1 * i, 30000, t % 2 == 1, t));
        f.feed(velocityFrame(address, 100 + (t % 50), 200, 64, t));
        f.feed(squawkFrame(address, 1000 + i, t));
      }
    }
  });
  std::string last;
  uint32_t epoch = 0;
  for (int round = 0; round < 40; ++round) {
    for (const char* type : {"df", "counters", "chart", "polarDistances", "tracks"}) {
      last = f.ask(std::string("\"statsType\":\"") + type + "\"");
      ASSERT_EQ(last.rfind("{\"status\":\"OK\"", 0), 0u) << last;
    }
    const ptree flights = f.askTree("\"statsType\":\"flights\",\"id\":" + std::to_string(epoch) +
                                    ",\"icao\":\"4CA001\"");
    epoch = flights.get<uint32_t>("stats.epoch");
    ASSERT_EQ(f.ask("\"statsType\":\"track\",\"icao\":\"4CA002\"").rfind("{\"status\":\"OK\"", 0), 0u);
  }
  stop = true;
  frames.join();
  EXPECT_GT(epoch, 0u);
}

}  // namespace
