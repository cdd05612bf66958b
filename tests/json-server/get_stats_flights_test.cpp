#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "decode/aircraft_trail.h"
#include "json-server/jsonserver/src/aircraft_json.h"
#include "tests/decode/aircraft_test_support.h"
#include "tests/json-server/get_stats_test_support.h"

namespace {

using namespace get_stats_test;

constexpr uint32_t kIreland = 0x4CA1FA;
constexpr uint32_t kUnitedKingdom = 0x400123;

std::vector<std::string> keys(const ptree& node) {
  std::vector<std::string> k;
  for (const auto& child : node) k.push_back(child.first);
  return k;
}

bool has(const ptree& node, const std::string& key) { return node.find(key) != node.not_found(); }

// The aircraft object with that "I", or the objects without "I" when `icao` is empty.
std::vector<ptree> objects(const ptree& reply, const std::string& icao) {
  std::vector<ptree> found;
  const ptree& flights = reply.get_child("stats.flights");
  for (const auto& entry : flights) {
    if (entry.second.get<std::string>("I", "") == icao) found.push_back(entry.second);
  }
  return found;
}

ptree aircraftObject(const ptree& reply, const std::string& icao) {
  const std::vector<ptree> found = objects(reply, icao);
  EXPECT_EQ(found.size(), 1u) << icao;
  return found.empty() ? ptree() : found.front();
}

std::string flightsRequest(uint32_t id, const std::string& more = "") {
  return "\"statsType\":\"flights\",\"id\":" + std::to_string(id) + more;
}

// An Irish aircraft with callsign, squawk 0456, position and velocity, and a British one that
// only answered a squawk of 7000, near a receiver fixed at 51 N 0 E.
class FlightsTest : public ::testing::Test {
 protected:
  FlightsTest() {
    f.app.receiverPosition->fix(51.0, 0.0);
    f.feed(identificationFrame(kIreland, "EIN123", kStart));
    f.feed(squawkFrame(kIreland, 456, kStart));
    f.fly(kIreland, 51.5, 0.0, 35000, kStart);
    f.feed(velocityFrame(kIreland, 300, 400, -640, kStart + 2));
    f.feed(squawkFrame(kUnitedKingdom, 7000, kStart + 2));
    setHostSecondsForTest(kStart + 2);
  }

  uint32_t epoch(const ptree& reply) { return reply.get<uint32_t>("stats.epoch"); }

  StatsFixture f;
};

TEST_F(FlightsTest, FirstAnswerHoldsEverySetValue) {
  const std::string text = f.ask(flightsRequest(0));
  const ptree reply = parseJson(text);
  EXPECT_EQ(keys(reply.get_child("stats")), (std::vector<std::string>{"M", "epoch", "flights", "s"}));
  EXPECT_EQ(reply.get<std::string>("stats.M"), "false");
  EXPECT_EQ(epoch(reply), f.table().updateSerial());
  EXPECT_EQ(reply.get<uint32_t>("stats.s"), f.statistics().startTime());
  EXPECT_EQ(reply.get_child("stats.flights").size(), 2u);

  const ptree irish = aircraftObject(reply, "4CA1FA");
  const std::vector<std::string> k = keys(irish);
  const std::vector<std::string> head = {"SQ", "A", "S", "V", "T", "AZ", "D", "G", "LA", "LO",
                                         "C", "AB", "L", "F", "Z", "CS"};
  ASSERT_GE(k.size(), head.size() + 6);
  EXPECT_EQ(std::vector<std::string>(k.begin(), k.begin() + head.size()), head);
  EXPECT_EQ(std::vector<std::string>(k.end() - 6, k.end()),
            (std::vector<std::string>{"R", "Y", "I", "TAM", "CFL", "MC"}));
  EXPECT_FALSE(has(irish, "FSYNC"));  // never to a page that starts over
  EXPECT_FALSE(has(irish, "TRACK"));
  EXPECT_EQ(irish.get<std::string>("A"), "35000");
  EXPECT_EQ(irish.get<std::string>("S"), "500");
  EXPECT_EQ(irish.get<std::string>("V"), "-640");
  EXPECT_NEAR(irish.get<double>("T"), 36.87, 0.01);
  EXPECT_NEAR(irish.get<double>("D"), 30.0, 0.1);
  EXPECT_EQ(irish.get<std::string>("G"), "false");
  EXPECT_EQ(irish.get<std::string>("AB"), "true");
  EXPECT_EQ(irish.get<int>("C"), 6);
  EXPECT_EQ(irish.get<uint32_t>("F"), kStart);
  EXPECT_EQ(irish.get<uint32_t>("Z"), kStart + 2);
  EXPECT_EQ(irish.get<std::string>("CS"), "EIN123");
  EXPECT_EQ(irish.get<std::string>("R"), "false");
  EXPECT_EQ(irish.get<std::string>("CFL"), "/img/flags/Ireland.bmp");
  EXPECT_EQ(irish.get<std::string>("MC"), "Ireland");
  EXPECT_TRUE(has(irish, "NUCR"));  // data items by their short names

  // Texts of digits only go out as numbers, others as strings: the page copes with both.
  EXPECT_NE(text.find("\"SQ\":\"0456\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"SQ\":7000"), std::string::npos) << text;
  EXPECT_NE(text.find("\"I\":400123"), std::string::npos) << text;
  EXPECT_NE(text.find("\"I\":\"4CA1FA\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"TAM\":"), std::string::npos);

  const ptree british = aircraftObject(reply, "400123");
  EXPECT_EQ(british.get<std::string>("MC"), "United Kingdom");
  EXPECT_FALSE(has(british, "A"));  // never set
  EXPECT_FALSE(has(british, "AB"));
}

TEST_F(FlightsTest, LaterAnswersCarryOnlyChanges) {
  const uint32_t first = epoch(f.askTree(flightsRequest(0)));

  // Nothing new: objects without "I", which the page ignores.
  const ptree same = f.askTree(flightsRequest(first));
  EXPECT_EQ(epoch(same), first);
  ASSERT_EQ(same.get_child("stats.flights").size(), 2u);
  for (const auto& entry : same.get_child("stats.flights")) {
    EXPECT_EQ(keys(entry.second), (std::vector<std::string>{"TAM", "CFL", "MC"}));
  }

  // A faster speed a second later.
  ASSERT_TRUE(f.feed(velocityFrame(kIreland, 300, 500, -640, kStart + 3)));
  setHostSecondsForTest(kStart + 3);
  const ptree changed = f.askTree(flightsRequest(first));
  EXPECT_GT(epoch(changed), first);
  const ptree irish = aircraftObject(changed, "4CA1FA");
  EXPECT_NEAR(irish.get<double>("S"), 583.1, 0.1);
  EXPECT_NE(irish.get<std::string>("T"), "");
  for (const char* k : {"C", "Z", "I"}) EXPECT_TRUE(has(irish, k)) << k;
  for (const char* k : {"SQ", "A", "V", "LA", "LO", "CS", "F", "AB", "R", "NUCR"}) EXPECT_FALSE(has(irish, k)) << k;
  EXPECT_EQ(objects(changed, "").size(), 1u);  // the British one, unchanged

  // A page whose serial is from before a restart starts over.
  const std::string fresh = f.ask(flightsRequest(0));
  EXPECT_EQ(f.ask(flightsRequest(epoch(changed) + 1000)), fresh);
}

TEST_F(FlightsTest, StaleValuesGoOutAsEmptyTextsUntilThePageIsPastThem) {
  ASSERT_TRUE(f.feed(velocityFrame(kIreland, 300, 400, -640, kStart + 3)));
  setHostSecondsForTest(kStart + 3);
  const uint32_t seen = epoch(f.askTree(flightsRequest(0)));

  // The position is 31 s old, the speed 30 s: only the position's values are gone.
  setHostSecondsForTest(kStart + 33);
  const ptree stale = f.askTree(flightsRequest(seen));
  const ptree irish = aircraftObject(stale, "4CA1FA");
  for (const char* k : {"A", "LA", "LO", "AZ", "D"}) EXPECT_EQ(irish.get<std::string>(k, "missing"), "") << k;
  for (const char* k : {"S", "T", "V"}) EXPECT_FALSE(has(irish, k)) << k;
  EXPECT_EQ(irish.get<std::string>("Y"), "true");  // hidden after 25 s of silence

  // A page that starts over learns it too, and so does one at the very serial it went stale.
  EXPECT_EQ(aircraftObject(f.askTree(flightsRequest(0)), "4CA1FA").get<std::string>("A", "missing"), "");
  const uint32_t wentStale = epoch(stale);
  setHostSecondsForTest(kStart + 34);
  const ptree again = f.askTree(flightsRequest(wentStale));
  EXPECT_EQ(aircraftObject(again, "4CA1FA").get<std::string>("A", "missing"), "");
  // One past it, the page already knows.
  setHostSecondsForTest(kStart + 35);
  const ptree past = f.askTree(flightsRequest(epoch(again)));
  for (const auto& entry : past.get_child("stats.flights")) EXPECT_FALSE(has(entry.second, "A"));

  // The next position brings the value back.
  f.fly(kIreland, 51.53, 0.0, 36000, kStart + 35);
  setHostSecondsForTest(kStart + 37);
  const ptree back = f.askTree(flightsRequest(epoch(past)));
  EXPECT_EQ(aircraftObject(back, "4CA1FA").get<std::string>("A"), "36000");
}

TEST_F(FlightsTest, SelectedAircraftGetsItsTrailFromTheTrailSerial) {
  const std::string select = ",\"icao\":\"4ca1fa\"";
  size_t points = 0;
  {
    std::lock_guard<std::mutex> lock(f.table().mutex());
    points = f.table().find(kIreland)->trail.size();
  }
  ASSERT_GT(points, 0u);
  const ptree first = f.askTree(flightsRequest(0, select + ",\"tid\":0"));
  const ptree irish = aircraftObject(first, "4CA1FA");
  ASSERT_EQ(irish.get_child("TRACK").size(), points);
  EXPECT_FALSE(has(aircraftObject(first, "400123"), "TRACK"));

  // A position after 23 s without one: a point after a gap.
  f.fly(kIreland, 51.53, 0.0, 35000, kStart + 25);
  setHostSecondsForTest(kStart + 27);
  uint32_t pointSerial = 0;
  {
    std::lock_guard<std::mutex> lock(f.table().mutex());
    ASSERT_EQ(f.table().find(kIreland)->trail.size(), points + 1);
    pointSerial = f.table().find(kIreland)->trail.back().serial;
  }
  const uint32_t seen = epoch(first);
  const std::string since = ",\"tid\":" + std::to_string(seen);
  const ptree next = f.askTree(flightsRequest(seen, " ,\"icao\":\"0x4CA1FA\"" + since));
  const ptree selected = aircraftObject(next, "4CA1FA");
  const ptree& track = selected.get_child("TRACK");
  ASSERT_EQ(track.size(), 1u);
  const ptree& point = track.front().second;
  ASSERT_EQ(point.size(), 4u);
  EXPECT_EQ(point.front().second.data().substr(0, 5), "51.53");
  EXPECT_EQ(std::next(point.begin(), 2)->second.data(), "35000");
  EXPECT_EQ(point.back().second.data(), "U");

  // A point added at the trail serial itself is sent again; one past it, the list is "".
  const std::string atPoint = ",\"tid\":" + std::to_string(pointSerial);
  EXPECT_EQ(aircraftObject(f.askTree(flightsRequest(0, select + atPoint)), "4CA1FA").get_child("TRACK").size(), 1u);
  const std::string pastPoint = ",\"tid\":" + std::to_string(pointSerial + 1);
  EXPECT_EQ(aircraftObject(f.askTree(flightsRequest(0, select + pastPoint)), "4CA1FA").get<std::string>("TRACK"), "");
  EXPECT_EQ(aircraftObject(f.askTree(flightsRequest(0, select)), "4CA1FA").get_child("TRACK").size(), points + 1);
}

TEST_F(FlightsTest, TrailResetSendsFsyncToPagesThatHadTheOldTrail) {
  const uint32_t seen = epoch(f.askTree(flightsRequest(0)));
  // 600 km in 10 s cannot be flown: the trail starts again.
  Message jump = tracking_test::airbornePosition(kIreland, kStart + 12, 56.9, 0.0, 35000);
  f.statistics().onMessage(tracking_test::frameWithSignal(50, kStart + 12), jump);
  setHostSecondsForTest(kStart + 12);
  EXPECT_EQ(aircraftObject(f.askTree(flightsRequest(seen)), "4CA1FA").get<std::string>("FSYNC", ""), "true");
  EXPECT_FALSE(has(aircraftObject(f.askTree(flightsRequest(0)), "4CA1FA"), "FSYNC"));
}

TEST_F(FlightsTest, DatabaseInformationReplacesTheCountryName) {
  {
    std::lock_guard<std::mutex> lock(f.table().mutex());
    Aircraft& irish = *f.table().find(kIreland);
    const uint32_t s = f.table().advanceSerial();
    irish.databaseInfo[0].set("Eire", s, kStart + 2);
    irish.databaseInfo[2].set("EI-DCL", s, kStart + 2);
    irish.databaseInfo[20].set("/img/aircrafts/4CA1FA.jpg", s, kStart + 2);
    irish.databaseInfo[99].set("no key", s, kStart + 2);
  }
  const ptree reply = f.askTree(flightsRequest(0));
  const ptree irish = aircraftObject(reply, "4CA1FA");
  EXPECT_EQ(irish.count("MC"), 1u);
  EXPECT_EQ(irish.get<std::string>("MC"), "Eire");
  EXPECT_EQ(irish.get<std::string>("RG"), "EI-DCL");
  EXPECT_EQ(irish.get<std::string>("AURL"), "/img/aircrafts/4CA1FA.jpg");
  EXPECT_EQ(irish.count(""), 0u);
  const std::vector<std::string> k = keys(irish);
  EXPECT_LT(std::find(k.begin(), k.end(), "AURL"), std::find(k.begin(), k.end(), "R"));
}

// The reply text is written from spellings kept between answers (numbers, and "TAM", "CFL", "MC"
// per aircraft): after a move, a new "MC" and fresh values it must still be what the tree of
// the same answer writes.
TEST_F(FlightsTest, AnswersWrittenAsTextMatchTheTreeAsTheTableChanges) {
  const auto expectSameBothWays = [&](const std::string& data, const char* step) {
    const std::string text = f.ask(data);
    ptree request = parseJson("{\"req\":\"getStats\",\"data\":{" + data + "}}");
    ptree reply;
    reply.put("status", "OK");
    f.command->execute(request, reply);
    EXPECT_EQ(text, writeJsonTinyText(reply)) << step;
    return epoch(parseJson(text));
  };
  uint32_t seen = expectSameBothWays(flightsRequest(0), "first");
  expectSameBothWays(flightsRequest(seen), "unchanged");

  f.fly(kIreland, 51.51, 0.0, 34000, kStart + 3);
  setHostSecondsForTest(kStart + 5);
  expectSameBothWays(flightsRequest(seen), "moved, incremental");
  seen = expectSameBothWays(flightsRequest(0), "moved, full");

  {
    std::lock_guard<std::mutex> lock(f.table().mutex());
    f.table().find(kIreland)->databaseInfo[0].set("Eire", f.table().advanceSerial(), kStart + 5);
  }
  expectSameBothWays(flightsRequest(seen), "country from the database");
  setHostSecondsForTest(kStart + 40);
  expectSameBothWays(flightsRequest(seen), "stale");
}

TEST_F(FlightsTest, TracksAndTrack) {
  size_t points = 0;
  {
    std::lock_guard<std::mutex> lock(f.table().mutex());
    points = f.table().find(kIreland)->trail.size();
  }
  const ptree tracks = f.askTree("\"statsType\":\"tracks\"");
  EXPECT_EQ(keys(tracks.get_child("stats")), (std::vector<std::string>{"M", "epoch", "flights"}));
  EXPECT_EQ(aircraftObject(tracks, "4CA1FA").get_child("TRACK").size(), points);
  EXPECT_EQ(aircraftObject(tracks, "400123").get<std::string>("TRACK"), "");

  const ptree track = f.askTree("\"statsType\":\"track\",\"icao\":\" 4CA1FA\"");
  EXPECT_EQ(keys(track.get_child("stats")), (std::vector<std::string>{"M", "track"}));
  EXPECT_EQ(track.get<std::string>("stats.track.I"), "4CA1FA");
  EXPECT_EQ(track.get<std::string>("stats.track.CS"), "EIN123");
  EXPECT_EQ(track.get_child("stats.track.TRACK").size(), points);

  // An empty table: the sweep of the first answer is its only change.
  StatsFixture empty;
  EXPECT_EQ(empty.ask("\"statsType\":\"tracks\""), "{\"status\":\"OK\",\"stats\":{\"M\":false,\"epoch\":1,\"flights\":\"\"}}\n");
  EXPECT_EQ(empty.ask(flightsRequest(0)),
            "{\"status\":\"OK\",\"stats\":{\"M\":false,\"epoch\":1,\"flights\":\"\",\"s\":" +
                std::to_string(empty.statistics().startTime()) + "}}\n");
}

TEST(TrailJsonTest, PointsWithGapGroundAndNonFiniteAltitudes) {
  Trail trail;
  trail.push({51.5f, -0.12f, 35000.0f, true, 5});
  trail.push({51.50001f, -0.12f, kTrailGroundAltitude, false, 6});
  trail.push({-33.94612f, 151.17722f, std::numeric_limits<float>::quiet_NaN(), false, 7});
  trail.push({0.0f, 0.0f, -std::numeric_limits<float>::infinity(), false, 8});
  trail.push({0.0f, 0.0f, 123.456789f, false, 9});
  ptree object;
  buildTrailJson(trail, object, 0);
  EXPECT_EQ(writeJsonTinyText(object),
            "{\"TRACK\":[[51.50000,-0.12000,35000,\"U\"],[51.50001,-0.12000,-10000],"
            "[-33.94612,151.17722,\"nan\"],[0.00000,0.00000,\"-inf\"],[0.00000,0.00000,123.456787]]}\n");
  ptree later;
  buildTrailJson(trail, later, 8);
  EXPECT_EQ(writeJsonTinyText(later), "{\"TRACK\":[[0.00000,0.00000,\"-inf\"],[0.00000,0.00000,123.456787]]}\n");
}

// 500 aircraft: a new page gets every one, a page that is up to date gets much less, and
// the same answer comes back however often it is asked. (Speed is measured by the web bench.)
TEST(FlightsLoadTest, FiveHundredAircraft) {
  StatsFixture f;
  f.app.receiverPosition->fix(51.0, 0.0);
  for (uint32_t i = 0; i < 500; ++i) {
    const uint32_t address = 0x400000 + i * 7;
    f.feed(identificationFrame(address, "LOAD" + std::to_string(i), kStart));
    f.fly(address, 50.0 + i * 0.004, -1.0 + i * 0.004, 10000 + 50 * i, kStart);
    f.feed(velocityFrame(address, 200, 300, 64, kStart + 2));
  }
  setHostSecondsForTest(kStart + 3);
  const ptree full = f.askTree(flightsRequest(0));
  ASSERT_EQ(objects(full, "").size(), 0u);
  ASSERT_EQ(full.get_child("stats.flights").size(), 500u);
  const uint32_t seen = full.get<uint32_t>("stats.epoch");

  const std::string firstFull = f.ask(flightsRequest(0));
  const std::string firstCurrent = f.ask(flightsRequest(seen));
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(f.ask(flightsRequest(0)), firstFull);
    EXPECT_EQ(f.ask(flightsRequest(seen)), firstCurrent);
  }
  EXPECT_LT(firstCurrent.size() * 2, firstFull.size());
}

}  // namespace
