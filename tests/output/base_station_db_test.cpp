#include "output/base_station_db.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "app/config.h"
#include "app/host_clock.h"
#include "tests/output/database_fixture.h"
#include "tests/support/file_time.h"
#include "tests/support/time_zone.h"

using namespace dbtest;

namespace {

constexpr uint32_t kDutch = 0x4840D6;  // Netherlands
constexpr uint32_t kNoCountry = 0x000001;

class BaseStationDbTest : public DatabaseFixture {
 protected:
  BaseStationDbTest() : pictures(config), db(config, &pictures) {}

  void openWithSession() {
    makeDatabases();
    db.open(baseStation);
    db.openSession();
  }

  // Flight ids 1..count, each of its own aircraft.
  std::vector<int64_t> openFlights(int count) {
    std::vector<int64_t> ids;
    for (int i = 0; i < count; ++i) {
      int64_t aircraftId = 0;
      db.lookupAircraft(0x100 + i, aircraftId);
      ids.push_back(db.openFlight(aircraftId));
    }
    return ids;
  }

  static FlightRecord endedFlight(int64_t flightId) {
    FlightRecord r;
    r.flightId = flightId;
    r.endTime = 1500000000;
    r.counters[kFlightPositions] = 7;
    return r;
  }

  Config config;
  PictureLookup pictures;
  BaseStationDb db;
};

TEST_F(BaseStationDbTest, SessionGetsStartAndEndAndAHomeLocation) {
  openWithSession();
  EXPECT_TRUE(db.isSessionOpen());
  EXPECT_EQ(query(baseStation, "SELECT EndTime IS NULL FROM Sessions;"), "1");
  db.closeSession();
  db.close();
  EXPECT_FALSE(db.isOpen());

  EXPECT_EQ(query(baseStation, "SELECT LocationID,LocationName,Latitude,Longitude,Altitude FROM Locations;"),
            "1|Home|0.0|0.0|0.0");
  // Local times of the host clock, a moment apart.
  EXPECT_EQ(query(baseStation,
                  "SELECT SessionID, LocationID, abs(strftime('%s',StartTime) - strftime('%s',DATETIME('now','localtime'))) < 60,"
                  " EndTime >= StartTime FROM Sessions;"),
            "1|1|1|1");
  const auto lines = logSinceStart();
  EXPECT_TRUE(anyLineHas(lines, "DEBUG", "openSession locationId 1"));
  EXPECT_TRUE(anyLineHas(lines, "INFO", "Open DB session"));
  EXPECT_TRUE(anyLineHas(lines, "INFO", "Close DB session"));
}

// Every time written is the host clock's, also past 2038, where the board's SQLite could not
// read its own clock (a 32-bit time_t).
TEST_F(BaseStationDbTest, TimesComeFromTheHostClockPast2038) {
  ScopedTimeZone zone(kCentralEurope);
  setHostSecondsForTest(2218104000);  // 2040-04-15 12:00:00 UTC
  openWithSession();
  int64_t dutch = 0, unknown = 0;
  db.lookupAircraft(kDutch, dutch);
  db.lookupAircraft(kNoCountry, unknown);
  db.openFlight(dutch);
  db.closeSession();
  setHostSecondsForTest(0);
  EXPECT_EQ(query(baseStation, "SELECT StartTime, EndTime FROM Sessions;"), "2040-04-15 14:00:00|2040-04-15 14:00:00");
  EXPECT_EQ(query(baseStation, "SELECT FirstCreated, LastModified FROM Aircraft ORDER BY AircraftID;"),
            "2040-04-15 12:00:00|2040-04-15 12:00:00\n2040-04-15 12:00:00|2040-04-15 12:00:00");
  EXPECT_EQ(query(baseStation, "SELECT StartTime FROM Flights;"), "2040-04-15 14:00:00");
}

TEST_F(BaseStationDbTest, NewestLocationIsUsedAndASecondSessionEndsTheFirst) {
  makeDatabases();
  query(baseStation, "INSERT INTO Locations VALUES (3,'Roof',52.1,4.2,10.0);"
                     "INSERT INTO Locations VALUES (7,'Field',52.3,4.9,2.0);");
  db.open(baseStation);
  db.openSession();
  db.openSession();
  EXPECT_EQ(db.locationId(), 7);
  EXPECT_EQ(db.sessionId(), 2);
  EXPECT_EQ(query(baseStation, "SELECT count(*) FROM Locations;"), "2");
  EXPECT_EQ(query(baseStation, "SELECT SessionID, LocationID, EndTime IS NOT NULL FROM Sessions ORDER BY SessionID;"),
            "1|7|1\n2|7|0");
}

TEST_F(BaseStationDbTest, FirstSightingInsertsTheAircraftOnce) {
  openWithSession();
  struct Case {
    uint32_t address;
    AircraftDbInfo expected;
    std::string row;
  };
  const std::vector<Case> cases = {
      {kDutch, {{0, "Netherlands"}, {1, "Netherlands"}, {19, "1"}}, "4840D6|Netherlands|Netherlands|1"},
      {kNoCountry, {}, "000001|||1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(BaseStationDb::formatModeS(c.address));
    int64_t id = 0;
    EXPECT_EQ(db.lookupAircraft(c.address, id), c.expected);
    EXPECT_EQ(query(baseStation, "SELECT ModeS, ModeSCountry, Country, FirstCreated IS NOT NULL AND LastModified IS NOT NULL"
                                 " FROM Aircraft WHERE AircraftID=" + std::to_string(id) + ";"),
              c.row);
    // Known now: the same row, read back; no flights yet.
    int64_t again = 0;
    AircraftDbInfo second = db.lookupAircraft(c.address, again);
    EXPECT_EQ(again, id);
    EXPECT_EQ(second[19], "1");
  }
  EXPECT_EQ(query(baseStation, "SELECT count(*) FROM Aircraft;"), "2");
}

TEST_F(BaseStationDbTest, KnownAircraftReadsItsColumnsPicturesAndSeenCount) {
  openWithSession();
  query(baseStation,
        "INSERT INTO Aircraft (AircraftID,FirstCreated,LastModified,ModeS,ModeSCountry,Country,Registration,"
        "Manufacturer,ICAOTypeCode,Type,SerialNo,PopularName,GenericName,AircraftClass,Engines,OwnershipStatus,"
        "RegisteredOwners,MTOW,YearBuilt,UserNotes,UserTag,InfoUrl,OperatorFlagCode) VALUES (42,'x','x','4840D6',"
        "'c0','c1','PH-BXA','c3','B738','c5','c6','c7','c8','c9','c10','c11','c12','c13','c14','c15','c16','c17','c18');"
        "INSERT INTO Flights (SessionID,AircraftID,StartTime) VALUES (1,42,'a'),(1,42,'b'),(1,42,'c');");
  const std::string picturesDir = dir + "/pictures";
  const std::string silhouettesDir = dir + "/silhouettes";
  std::filesystem::create_directories(picturesDir);
  std::filesystem::create_directories(silhouettesDir);
  writeFile(silhouettesDir + "/B738.bmp", "BM");

  struct Case {
    const char* name;
    std::vector<std::string> files;  // in the pictures directory
    bool picturesOption;
    std::string picture;  // key 20, empty: absent
  };
  const std::vector<Case> cases = {
      {"by registration", {"PH-BXA.jpg", "4840D6.jpg"}, true, "/img/aircrafts/PH-BXA.jpg"},
      {"by address", {"4840D6.jpg"}, true, "/img/aircrafts/4840D6.jpg"},
      {"neither file", {"4840d6.jpg", "PH-BXA.png"}, true, ""},
      {"a directory is no picture", {"PH-BXA.jpg/"}, true, ""},
      {"no pictures option", {"PH-BXA.jpg"}, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(picturesDir);
    std::filesystem::create_directories(picturesDir);
    for (const std::string& f : c.files) {
      if (f.back() == '/')
        std::filesystem::create_directories(picturesDir + "/" + f);
      else
        writeFile(picturesDir + "/" + f, "jpeg");
    }
    config.picturesDir = c.picturesOption ? picturesDir : "";
    config.silhouettesDir = silhouettesDir;

    int64_t id = 0;
    AircraftDbInfo info = db.lookupAircraft(kDutch, id);
    EXPECT_EQ(id, 42);
    EXPECT_EQ(info[19], "4");
    EXPECT_EQ(info.count(20) ? info[20] : "", c.picture);
    EXPECT_EQ(info[21], "/img/silhouettes/B738.bmp");
    EXPECT_EQ(info[2], "PH-BXA");
    EXPECT_EQ(info[4], "B738");
    for (int key : {0, 1, 3, 5, 18}) EXPECT_EQ(info[key], "c" + std::to_string(key));
  }

  // Files dated after 2038, beyond the board's 32-bit time_t, are found all the same.
  config.picturesDir = picturesDir;
  ASSERT_TRUE(setFileTime(picturesDir + "/PH-BXA.jpg", 2218104000));
  ASSERT_TRUE(setFileTime(silhouettesDir + "/B738.bmp", 2218104000));
  int64_t lateId = 0;
  AircraftDbInfo late = db.lookupAircraft(kDutch, lateId);
  EXPECT_EQ(late[20], "/img/aircrafts/PH-BXA.jpg");
  EXPECT_EQ(late[21], "/img/silhouettes/B738.bmp");

  // Without a picture look-up, or without the silhouette file, neither URL.
  std::filesystem::remove(silhouettesDir + "/B738.bmp");
  BaseStationDb bare(config, nullptr);
  bare.open(baseStation);
  int64_t id = 0;
  AircraftDbInfo info = bare.lookupAircraft(kDutch, id);
  EXPECT_EQ(info.count(20) + info.count(21), 0u);
  EXPECT_EQ(info.size(), 20u);
  info = db.lookupAircraft(kDutch, id);
  EXPECT_EQ(info.count(21), 0u);
}

TEST_F(BaseStationDbTest, OddAircraftRowsGiveTextsAndNoCrash) {
  openWithSession();
  const std::string picturesDir = dir + "/pictures";
  std::filesystem::create_directories(picturesDir);
  writeFile(dir + "/escape.jpg", "jpeg");
  config.picturesDir = picturesDir;
  config.silhouettesDir = picturesDir;
  // A blob registration with a NUL, an integer type, a huge note, empty and NULL texts, names that
  // would leave the pictures directory.
  query(baseStation,
        "INSERT INTO Aircraft (AircraftID,FirstCreated,LastModified,ModeS,Registration,Type,UserNotes,Country,"
        "ICAOTypeCode) VALUES (5,'x','x','000100',X'41420043',737,printf('%.*c',1000000,'n'),'',NULL);"
        "INSERT INTO Aircraft (AircraftID,FirstCreated,LastModified,ModeS,Registration,ICAOTypeCode) VALUES "
        "(6,'x','x','000101','../escape','../escape');");
  int64_t id = 0;
  AircraftDbInfo info = db.lookupAircraft(0x100, id);
  EXPECT_EQ(id, 5);
  EXPECT_EQ(info[2], "AB");
  EXPECT_EQ(info[5], "737");
  EXPECT_EQ(info[15].size(), 1000000u);
  EXPECT_EQ(info.count(1) + info.count(4) + info.count(20) + info.count(21), 0u);

  info = db.lookupAircraft(0x101, id);
  EXPECT_EQ(id, 6);
  EXPECT_EQ(info[2], "../escape");
  EXPECT_EQ(info.count(20) + info.count(21), 0u);
}

TEST_F(BaseStationDbTest, FlightsNeedAnOpenSession) {
  int64_t id = 0;
  EXPECT_THROW(db.lookupAircraft(kDutch, id), BaseStationDbException);
  makeDatabases();
  db.open(baseStation);
  try {
    db.openFlight(1);
    FAIL();
  } catch (const BaseStationDbException& e) {
    EXPECT_STREQ(e.what(), "Session not open");
  }
  db.openSession();
  db.lookupAircraft(kDutch, id);
  EXPECT_EQ(db.openFlight(id), 1);
  EXPECT_EQ(db.openFlight(id), 2);
  EXPECT_EQ(query(baseStation, "SELECT FlightID, SessionID, AircraftID, StartTime IS NOT NULL, EndTime IS NULL FROM Flights;"),
            "1|1|1|1|1\n2|1|1|1|1");
  EXPECT_TRUE(anyLineHas(logSinceStart(), "DEBUG", "openFlight aircraftId 1"));
  db.closeSession();
  EXPECT_THROW(db.openFlight(id), BaseStationDbException);
  db.close();
  try {
    db.openFlight(id);
    FAIL();
  } catch (const BaseStationDbException& e) {
    EXPECT_STREQ(e.what(), "Database not open");
  }
}

TEST_F(BaseStationDbTest, ClosedFlightsWriteEveryColumnAndNullWhenNeverSeen) {
  openWithSession();
  const std::vector<int64_t> ids = openFlights(2);

  FlightRecord full;
  full.flightId = ids[0];
  full.endTime = 1500000000;
  for (int i = 0; i < kFlightCounterCount; ++i) full.counters[i] = 100 + i;
  full.counters[kFlightAllCallReplies] = 4000000000u;  // beyond int32
  full.firstOnGround.set(true);
  full.lastOnGround.set(false);
  full.firstLatitude.set(52.25f);
  full.firstLongitude.set(-4.5f);
  full.lastLatitude.set(51.75f);
  full.lastLongitude.set(5.125f);
  full.firstGroundSpeed.set(120.5f);
  full.lastGroundSpeed.set(450.25f);
  full.firstAltitude.set(-200);
  full.lastAltitude.set(37000);
  full.firstVerticalRate.set(1600);
  full.lastVerticalRate.set(-64);
  full.firstTrack.set(90.5f);
  full.lastTrack.set(359.75f);
  full.firstSquawk.set(0x7700);
  full.lastSquawk.set(0x0017);
  full.hadAlert.set(true);
  full.hadEmergency.set(true);
  full.hadSpi.set(false);
  full.callsign.set("KLM1023");

  FlightRecord empty;
  empty.flightId = ids[1];
  empty.endTime = 1500000060;

  db.closeFlights({full, empty});
  const std::string columns =
      "NumPosMsgRec,NumADSBMsgRec,NumModeSMsgRec,NumIDMsgRec,NumSurPosMsgRec,NumAirPosMsgRec,NumAirVelMsgRec,"
      "NumSurAltMsgRec,NumSurIDMsgRec,NumAirToAirMsgRec,NumAirCallRepMsgRec,FirstIsOnGround,LastIsOnGround,"
      "FirstLat,FirstLon,LastLat,LastLon,FirstGroundSpeed,LastGroundSpeed,FirstAltitude,LastAltitude,"
      "FirstVerticalRate,LastVerticalRate,FirstTrack,LastTrack,FirstSquawk,LastSquawk,HadAlert,HadEmergency,"
      "HadSpi,quote(Callsign)";
  EXPECT_EQ(query(baseStation, "SELECT " + columns + " FROM Flights WHERE FlightID=1;"),
            "100|101|102|103|104|105|106|107|108|109|4000000000|1|0|52.25|-4.5|51.75|5.125|120.5|450.25|"
            "-200|37000|1600|-64|90.5|359.75|7700|17|1|1|0|'KLM1023'");
  EXPECT_EQ(query(baseStation, "SELECT " + columns + " FROM Flights WHERE FlightID=2;"),
            "0|0|0|0|0|0|0|0|0|0|0|0|0|||||||||||||||0|0|0|NULL");
  // The end time is the host second in local time.
  EXPECT_EQ(query(baseStation, "SELECT EndTime = DATETIME(DATETIME(1500000000,'unixepoch'),'localtime') FROM Flights ORDER BY FlightID;"),
            "1\n0");
  const auto lines = logSinceStart();
  EXPECT_TRUE(anyLineHas(lines, "DEBUG", "closeFlight flightId 1"));
  EXPECT_TRUE(anyLineHas(lines, "DEBUG", "closeFlight flightId 2"));
}

TEST_F(BaseStationDbTest, AFailingRecordRollsTheWholeBatchBack) {
  openWithSession();
  const std::vector<int64_t> ids = openFlights(3);
  query(baseStation,
        "CREATE TRIGGER refuse BEFORE UPDATE ON Flights WHEN old.FlightID = 2 BEGIN SELECT RAISE(ABORT,'refused'); END;");

  EXPECT_THROW(db.closeFlights({endedFlight(1), endedFlight(2), endedFlight(3)}), BaseStationDbException);
  const auto lines = logSinceStart();
  EXPECT_TRUE(anyLineHas(lines, "ERROR", "sqlite3_step() refused 19"));
  EXPECT_TRUE(anyLineHas(lines, "ERROR", "Error save - rollback"));
  EXPECT_FALSE(anyLineHas(lines, "DEBUG", "closeFlight flightId 3"));
  EXPECT_EQ(query(baseStation, "SELECT count(*) FROM Flights WHERE EndTime IS NOT NULL OR NumPosMsgRec IS NOT NULL;"), "0");

  // No transaction is left behind: the next batch and the other statements work.
  db.closeFlights({endedFlight(1), endedFlight(3)});
  EXPECT_EQ(query(baseStation, "SELECT FlightID FROM Flights WHERE NumPosMsgRec = 7;"), "1\n3");
  int64_t id = 0;
  db.lookupAircraft(kDutch, id);
  EXPECT_GT(db.openFlight(id), 3);
}

TEST_F(BaseStationDbTest, MissingOrOddFilesFailToOpen) {
  const std::string missing = dir + "/missing.sqb";
  try {
    db.open(missing);
    FAIL();
  } catch (const BaseStationDbException& e) {
    EXPECT_EQ(std::string(e.what()), "sqlite3_open " + missing + " unable to open database file 14");
  }
  EXPECT_FALSE(db.isOpen());
  EXPECT_FALSE(std::filesystem::exists(missing));
  EXPECT_TRUE(anyLineHas(logSinceStart(), "ERROR", "sqlite3_open " + missing + " unable to open database file 14"));

  // A file without the tables opens; its first statement fails.
  const std::string bare = dir + "/bare.sqb";
  query(bare, "PRAGMA user_version = 1;");
  db.open(bare);
  EXPECT_THROW(db.openSession(), BaseStationDbException);
  EXPECT_TRUE(anyLineHas(logSinceStart(), "ERROR",
                         "sqlite3_prepare_v2() SELECT LocationID FROM Locations ORDER BY LocationID DESC LIMIT 1; "
                         "no such table: Locations"));
  db.close();

  const std::string text = dir + "/text.sqb";
  writeFile(text, std::string(4096, 'x'));
  db.open(text);
  EXPECT_THROW(db.openSession(), BaseStationDbException);
  EXPECT_FALSE(db.isSessionOpen());
}

TEST_F(BaseStationDbTest, ALockHeldForAWhileIsWaitedFor) {
  openWithSession();
  const std::vector<int64_t> ids = openFlights(2);
  LockHolder other(baseStation);
  ASSERT_TRUE(other.hold());
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    other.release();
  });
  const auto begin = std::chrono::steady_clock::now();
  db.closeFlights({endedFlight(ids[0]), endedFlight(ids[1])});
  int64_t id = 0;
  db.lookupAircraft(kDutch, id);
  const int64_t flight = db.openFlight(id);
  const auto waited = std::chrono::steady_clock::now() - begin;
  releaser.join();

  EXPECT_GE(waited, std::chrono::milliseconds(900));
  EXPECT_EQ(query(baseStation, "SELECT count(*) FROM Flights WHERE NumPosMsgRec = 7;"), "2");
  EXPECT_EQ(query(baseStation, "SELECT AircraftID FROM Flights WHERE FlightID=" + std::to_string(flight) + ";"),
            std::to_string(id));
  EXPECT_FALSE(anyLineHas(logSinceStart(), "ERROR", ""));
}

TEST_F(BaseStationDbTest, ALockHeldTooLongFailsTheBatchWithoutLeavingATransaction) {
  openWithSession();
  const std::vector<int64_t> ids = openFlights(2);
  LockHolder other(baseStation);
  ASSERT_TRUE(other.hold());
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_THROW(db.closeFlights({endedFlight(ids[0]), endedFlight(ids[1])}), BaseStationDbException);
  const auto waited = std::chrono::steady_clock::now() - begin;
  other.release();

  EXPECT_GE(waited, std::chrono::milliseconds(4900));
  EXPECT_LT(waited, std::chrono::milliseconds(8000));
  const auto lines = logSinceStart();
  EXPECT_TRUE(anyLineHas(lines, "ERROR", "sqlite3_step() database is locked 5"));
  EXPECT_TRUE(anyLineHas(lines, "ERROR", "Error save - rollback"));

  db.closeFlights({endedFlight(ids[0]), endedFlight(ids[1])});
  EXPECT_EQ(query(baseStation, "SELECT count(*) FROM Flights WHERE NumPosMsgRec = 7;"), "2");
}

TEST(BaseStationDbFormat, ModeSIsSixUpperCaseDigits) {
  EXPECT_EQ(BaseStationDb::formatModeS(0), "000000");
  EXPECT_EQ(BaseStationDb::formatModeS(0x4840d6), "4840D6");
  EXPECT_EQ(BaseStationDb::formatModeS(0xFFFFFF), "FFFFFF");
}

}  // namespace
