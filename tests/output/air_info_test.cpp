#include "output/air_info.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/config.h"
#include "app/host_clock.h"
#include "decode/aircraft_table.h"
#include "output/base_station_db.h"
#include "tests/decode/aircraft_test_support.h"
#include "tests/output/database_fixture.h"

using namespace dbtest;

namespace {

constexpr uint32_t kDutch = 0x4840D6;  // Netherlands
constexpr uint32_t kOther = 0x3C6544;
constexpr uint32_t kNow = tracking_test::kStart;

class AirInfoTest : public DatabaseFixture {
 protected:
  AirInfoTest() : table(config, nullptr, nullptr) { setHostSecondsForTest(kNow); }
  ~AirInfoTest() override { setHostSecondsForTest(0); }

  void openDb() {
    makeDatabases(true);
    db = std::make_unique<BaseStationDb>(config, nullptr);
    db->open(baseStation);
    db->openSession();
  }
  void addAircraft(uint32_t address) {
    table.applyMessage(tracking_test::frameWithSignal(100, kNow), tracking_test::message(11, address, kNow));
  }
  // Serves everything queued so far on a fresh run of the worker.
  void serve(AirInfo& airInfo) {
    airInfo.start();
    airInfo.stop();
  }
  template <typename F>
  void withAircraft(uint32_t address, F f) {
    std::lock_guard<std::mutex> lock(table.mutex());
    Aircraft* a = table.find(address);
    ASSERT_NE(a, nullptr);
    f(*a);
  }
  uint32_t serial() {
    std::lock_guard<std::mutex> lock(table.mutex());
    return table.updateSerial();
  }
  void addRoutes(const std::string& values) {
    EXPECT_EQ(query(flightRoute, "INSERT INTO FlightRoute (flight, route, updatetime) VALUES " + values + ";"), "");
  }

  Config config;
  AircraftTable table;
  std::unique_ptr<BaseStationDb> db;
};

TEST_F(AirInfoTest, StopServesAllQueuedRequestsInOrderThenCloses) {
  openDb();
  AirInfo airInfo(config, db.get());
  airInfo.setAircraftTable(&table);
  for (uint32_t i = 0; i < 50; ++i) airInfo.requestAircraft(0x200000 + 50 - i);  // descending addresses
  FlightRecord ended;
  ended.flightId = 1;
  ended.counters[kFlightModeS] = 3;
  airInfo.requestCloseFlights({ended});  // needs the first look-up's flight
  serve(airInfo);

  EXPECT_EQ(airInfo.queued(), 0u);
  std::string expected;
  for (uint32_t i = 0; i < 50; ++i)
    expected += (i ? "\n" : "") + std::to_string(i + 1) + "|" + BaseStationDb::formatModeS(0x200000 + 50 - i);
  EXPECT_EQ(query(baseStation, "SELECT AircraftID, ModeS FROM Aircraft ORDER BY AircraftID;"), expected);
  EXPECT_EQ(query(baseStation, "SELECT count(*), min(AircraftID), max(AircraftID) FROM Flights;"), "50|1|50");
  EXPECT_EQ(query(baseStation, "SELECT NumModeSMsgRec FROM Flights WHERE FlightID=1;"), "3");

  const auto lines = logSinceStart();
  size_t lastFlight = 0, closeLine = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].find("closeFlight flightId 1") != std::string::npos) lastFlight = i;
    if (lines[i].find("AirInfo::close()") != std::string::npos && closeLine == 0) closeLine = i;
  }
  EXPECT_GT(closeLine, lastFlight);
  EXPECT_NE(lines[closeLine].find("DEBUG"), std::string::npos);
}

TEST_F(AirInfoTest, WithoutDatabasesRequestsAreDropped) {
  addAircraft(kDutch);
  AirInfo airInfo(config, nullptr);
  airInfo.setAircraftTable(&table);
  airInfo.start();
  airInfo.requestAircraft(kDutch);
  airInfo.requestRoute("KLM1", kDutch);
  FlightRecord ended;
  ended.flightId = 1;
  airInfo.requestCloseFlights({ended});
  airInfo.stop();
  EXPECT_EQ(airInfo.queued(), 0u);
  withAircraft(kDutch, [](Aircraft& a) {
    EXPECT_TRUE(a.databaseInfo.empty());
    EXPECT_FALSE(a.route.isSet());
    EXPECT_FALSE(a.flight.flightOpen);
  });
  EXPECT_FALSE(anyLineHas(logSinceStart(), "ERROR", ""));
}

TEST_F(AirInfoTest, AircraftLookUpWritesBackUnlessTheFlightEnded) {
  openDb();
  addAircraft(kDutch);
  addAircraft(kOther);
  withAircraft(kOther, [](Aircraft& a) { a.flightEnded.value = true; });
  AirInfo airInfo(config, db.get());
  airInfo.setAircraftTable(&table);
  const uint32_t before = serial();
  airInfo.requestAircraft(kDutch);
  airInfo.requestAircraft(kOther);
  serve(airInfo);

  EXPECT_EQ(serial(), before + 2);
  withAircraft(kDutch, [&](Aircraft& a) {
    ASSERT_EQ(a.databaseInfo.size(), 3u);
    EXPECT_EQ(a.databaseInfo[0].value, "Netherlands");
    EXPECT_EQ(a.databaseInfo[1].value, "Netherlands");
    EXPECT_EQ(a.databaseInfo[19].value, "1");
    EXPECT_EQ(a.databaseInfo[19].changedSerial, before + 1);
    EXPECT_EQ(a.databaseInfo[19].lastUpdate, 0u);
    EXPECT_EQ(a.flight.flightId, 1);
    EXPECT_TRUE(a.flight.flightOpen);
  });
  // The row of a flight that ended before its look-up was served is opened and closed at once:
  // the emptied record would otherwise close it with no end time and no counts.
  withAircraft(kOther, [](Aircraft& a) {
    EXPECT_TRUE(a.databaseInfo.empty());
    EXPECT_FALSE(a.flight.flightOpen);
  });
  EXPECT_EQ(query(baseStation, "SELECT FlightID, EndTime IS NULL, EndTime > '2000' FROM Flights ORDER BY FlightID;"),
            "1|1|\n2|0|1");
}

TEST_F(AirInfoTest, ASecondLookUpOfAnOpenFlightLeavesNoRowOpen) {
  openDb();
  addAircraft(kDutch);
  AirInfo airInfo(config, db.get());
  airInfo.setAircraftTable(&table);
  airInfo.requestAircraft(kDutch);
  airInfo.requestAircraft(kDutch);
  serve(airInfo);
  withAircraft(kDutch, [](Aircraft& a) {
    EXPECT_EQ(a.flight.flightId, 1);
    EXPECT_TRUE(a.flight.flightOpen);
  });
  EXPECT_EQ(query(baseStation, "SELECT FlightID, EndTime IS NULL FROM Flights ORDER BY FlightID;"), "1|1\n2|0");
}

// Its flight row is closed at once: nothing else would ever close it.
TEST_F(AirInfoTest, AircraftGoneBeforeItsLookUpStillGetsItsRows) {
  openDb();
  AirInfo airInfo(config, db.get());
  airInfo.setAircraftTable(&table);
  addAircraft(kOther);
  airInfo.requestAircraft(kDutch);
  serve(airInfo);
  EXPECT_EQ(table.size(), 1u);
  withAircraft(kOther, [](Aircraft& a) {
    EXPECT_TRUE(a.databaseInfo.empty());
    EXPECT_FALSE(a.flight.flightOpen);
  });
  EXPECT_EQ(query(baseStation, "SELECT ModeS, Country FROM Aircraft;"), "4840D6|Netherlands");
  EXPECT_EQ(query(baseStation, "SELECT FlightID, AircraftID, EndTime IS NOT NULL FROM Flights;"), "1|1|1");
}

TEST_F(AirInfoTest, RouteIsTheNewestRowAndAnUnchangedRouteKeepsItsSerial) {
  openDb();
  config.flightRouteDbPath = flightRoute;
  addRoutes("('KLM1','AMS-JFK',100),('KLM1','AMS-LHR',300),('KLM1','AMS-CDG',200),('DLH2','FRA-MUC',1)");
  addAircraft(kDutch);
  addAircraft(kOther);
  AirInfo airInfo(config, nullptr);
  airInfo.setAircraftTable(&table);
  airInfo.requestRoute("KLM1", kDutch);
  airInfo.requestRoute("NONE9", kOther);
  serve(airInfo);

  uint32_t firstSerial = 0;
  withAircraft(kDutch, [&](Aircraft& a) {
    EXPECT_EQ(a.route.value, "AMS-LHR");
    firstSerial = a.route.changedSerial;
    EXPECT_NE(firstSerial, 0u);
  });
  withAircraft(kOther, [](Aircraft& a) { EXPECT_FALSE(a.route.isSet()); });

  airInfo.requestRoute("KLM1", kDutch);
  serve(airInfo);
  EXPECT_GT(serial(), firstSerial);
  withAircraft(kDutch, [&](Aircraft& a) { EXPECT_EQ(a.route.changedSerial, firstSerial); });

  // A stale route counts as new again.
  withAircraft(kDutch, [](Aircraft& a) { a.route.staleSerial = 1; });
  airInfo.requestRoute("KLM1", kDutch);
  serve(airInfo);
  withAircraft(kDutch, [&](Aircraft& a) {
    EXPECT_GT(a.route.changedSerial, firstSerial);
    EXPECT_EQ(a.route.staleSerial, 0u);
  });
  EXPECT_FALSE(anyLineHas(logSinceStart(), "ERROR", ""));
}

TEST_F(AirInfoTest, OddFlightRouteDatabasesGiveNoRouteAndNoCrash) {
  struct Case {
    const char* name;
    std::string setup;  // SQL for a fresh file, or "text:" for a file that is no database
    std::string callsign;
    std::string route;  // expected; empty: none
    std::string errorLine;
  };
  const std::vector<Case> cases = {
      {"no table", "PRAGMA user_version = 1;", "KLM1", "", "no such table: FlightRoute"},
      {"no database", "text:", "KLM1", "", "file is not a database"},
      {"newest route is NULL", "CREATE TABLE FlightRoute (flight, route, updatetime);"
                               "INSERT INTO FlightRoute VALUES ('KLM1','AMS-LHR',1),('KLM1',NULL,2);",
       "KLM1", "", ""},
      {"integer route and text times", "CREATE TABLE FlightRoute (flight, route, updatetime);"
                                       "INSERT INTO FlightRoute VALUES ('KLM1',1234,'x'),('KLM1','old',5);",
       "KLM1", "1234", ""},
      {"blob route", "CREATE TABLE FlightRoute (flight, route, updatetime);"
                     "INSERT INTO FlightRoute VALUES ('KLM1',X'414D5300ff',1);",
       "KLM1", "AMS", ""},
      {"huge route", "CREATE TABLE FlightRoute (flight, route, updatetime);"
                     "INSERT INTO FlightRoute VALUES ('KLM1',printf('%.*c',500000,'r'),1);",
       "KLM1", std::string(500000, 'r'), ""},
      {"no route column", "CREATE TABLE FlightRoute (flight, updatetime);", "KLM1", "", "no such column: route"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = dir + "/route" + std::to_string(n++) + ".sqb";
    if (c.setup == "text:")
      writeFile(file, std::string(2048, 'z'));
    else
      query(file, c.setup);
    config.flightRouteDbPath = file;
    const uint32_t address = 0x500000 + n;
    addAircraft(address);
    const uint32_t mark = lastLogNumber();
    AirInfo airInfo(config, nullptr);
    airInfo.setAircraftTable(&table);
    airInfo.requestRoute(c.callsign, address);
    airInfo.requestRoute(c.callsign, address);  // the statement is reused, or its failure repeats
    serve(airInfo);
    withAircraft(address, [&](Aircraft& a) {
      EXPECT_EQ(a.route.value, c.route);
      EXPECT_EQ(a.route.isSet(), !c.route.empty());
    });
    const auto lines = logLinesAfter(mark);
    if (c.errorLine.empty())
      EXPECT_FALSE(anyLineHas(lines, "ERROR", ""));
    else
      EXPECT_TRUE(anyLineHas(lines, "ERROR", c.errorLine));
  }
}

TEST_F(AirInfoTest, MissingFlightRouteFileIsLoggedAndTheWorkerGoesOn) {
  openDb();
  const std::string missing = dir + "/nothere.sqb";
  config.flightRouteDbPath = missing;
  addAircraft(kDutch);
  AirInfo airInfo(config, db.get());
  airInfo.setAircraftTable(&table);
  airInfo.requestRoute("KLM1", kDutch);
  airInfo.requestAircraft(kDutch);
  serve(airInfo);
  const auto lines = logSinceStart();
  EXPECT_TRUE(anyLineHas(lines, "DEBUG", "sqlite3_open " + missing));
  EXPECT_TRUE(anyLineHas(lines, "ERROR", "FlightRoutesDb " + missing + " unable to open database file"));
  EXPECT_FALSE(std::filesystem::exists(missing));
  withAircraft(kDutch, [](Aircraft& a) {
    EXPECT_FALSE(a.route.isSet());
    EXPECT_TRUE(a.flight.flightOpen);
  });
}

}  // namespace
