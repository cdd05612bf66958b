// The BaseStation log of a whole run: the program decodes a synthesised recording with the web
// interface and the databases on, and the sqlite3 command reads back what it wrote.

#include "tools/synth/sent_list.h"

#include "e2e/feed_frames.h"
#include "e2e/process_harness.h"
#include "output/database_fixture.h"
#include "support/run_program.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

namespace {

// Clean signals: every frame the pipeline trusts is decoded and counted.
const std::string scene = std::string(R"(duration 4
seed 5
noise -32
timing aligned
collisions avoid
)") + threeAircraft;

class DatabaseEndToEnd : public dbtest::DatabaseFixture {
 protected:
  void SetUp() override {
    std::signal(SIGPIPE, SIG_IGN);
    makeDatabases(true);
    dbtest::query(flightRoute, "INSERT INTO FlightRoute (flight, route, updatetime) VALUES "
                               "('KLM1023', 'EHAM-LFPG', 1), ('KLM1023', 'EHAM-EGLL', 2);");
    const std::string scenario = dir + "/scene.txt";
    std::ofstream(scenario) << scene;
    recording = dir + "/scene.rtl";
    const std::string command = shellQuote(synthBinary()) + " " + shellQuote(scenario) + " --out " +
                                shellQuote(recording) + " --type rtl >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::string error;
    ASSERT_TRUE(loadSynthSentList(recording + ".list", sent, &error)) << error;
  }

  std::vector<std::string> arguments(const std::string& input) {
    return {VELKARO_BINARY, "--input-file", "rtl:" + input, "--web", std::to_string(freeTcpPort()), "--db",
            baseStation, "--frdb", flightRoute};
  }

  // What every aircraft's one flight must hold once the run is over: its end, its callsign, and
  // the identification, position and velocity messages counted as the pipeline lets them through
  // (all of them with `complete`, at least one each otherwise).
  void expectEveryFlightClosed(bool complete) {
    EXPECT_EQ(dbtest::query(baseStation, "SELECT COUNT(*), COUNT(StartTime), COUNT(EndTime) FROM Sessions;"), "1|1|1");
    EXPECT_EQ(dbtest::query(baseStation, "SELECT ModeS FROM Aircraft ORDER BY ModeS;"), "3C6586\n400A1E\n4840D6");
    std::map<std::string, std::map<std::string, int>> counts;
    for (const auto& frame : expectedFrames(sent)) {
      char address[8];
      std::snprintf(address, sizeof address, "%06X", addressOf(frame.bytes));
      const std::string kind = frame.kind.substr(0, frame.kind.find('-'));
      ++counts[address][kind == "airpos" || kind == "surfpos" ? kind : kind == "ident" || kind == "velocity" ? kind : "other"];
    }
    const std::string rows = dbtest::query(
        baseStation,
        "SELECT a.ModeS, COUNT(*), COUNT(f.EndTime), f.Callsign, f.NumIDMsgRec, f.NumAirPosMsgRec, "
        "f.NumSurPosMsgRec, f.NumAirVelMsgRec FROM Flights f JOIN Aircraft a ON a.AircraftID = f.AircraftID "
        "GROUP BY a.ModeS ORDER BY a.ModeS;");
    std::istringstream in(rows);
    std::map<std::string, std::string> callsigns = {{"3C6586", "DLH4AB"}, {"400A1E", "BAW12"}, {"4840D6", "KLM1023"}};
    int seen = 0;
    for (std::string line; std::getline(in, line); ++seen) {
      std::vector<std::string> c;
      std::istringstream fields(line);
      for (std::string f; std::getline(fields, f, '|');) c.push_back(f);
      ASSERT_EQ(c.size(), 8u) << line;
      SCOPED_TRACE(line);
      EXPECT_EQ(c[1], "1");  // one flight
      EXPECT_EQ(c[2], "1");  // closed
      // An identification is sent every 5 s: a run cut short may have had none yet.
      if (complete || !c[3].empty()) {
        EXPECT_EQ(c[3], callsigns[c[0]]);
      }
      auto& want = counts[c[0]];
      const int got[] = {std::stoi(c[4]), std::stoi(c[5]), std::stoi(c[6]), std::stoi(c[7])};
      const int expected[] = {want["ident"], want["airpos"], want["surfpos"], want["velocity"]};
      for (int i = 0; i < 4; ++i) {
        if (complete) {
          EXPECT_EQ(got[i], expected[i]) << "counter " << i;
        } else {
          EXPECT_LE(got[i], expected[i]) << "counter " << i;
        }
      }
      EXPECT_GT(got[0] + got[1] + got[2] + got[3], 0);
    }
    EXPECT_EQ(seen, 3) << rows;
  }

  std::string recording;
  SynthSentList sent;
};

TEST_F(DatabaseEndToEnd, ARunLeavesItsSessionAircraftAndClosedFlights) {
  ChildProcess velkaro(arguments(recording));
  EXPECT_EQ(velkaro.wait(60s), 0) << velkaro.text();
  for (const auto& line : logTexts(velkaro.text())) EXPECT_NE(line.rfind("ERROR", 0), 0u) << line;
  expectEveryFlightClosed(true);
  // The newest route of the flight was looked up; the program wrote nothing into that database.
  EXPECT_EQ(dbtest::query(flightRoute, "SELECT COUNT(*) FROM FlightRoute;"), "2");
}

TEST_F(DatabaseEndToEnd, SigtermInTheMiddleClosesEveryOpenFlight) {
  const std::string fifo = dir + "/input.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ChildProcess velkaro(arguments(fifo));
  const int input = openFifoForWriting(fifo, velkaro, 20s);
  ASSERT_GE(input, 0) << velkaro.text();
  std::ifstream file(recording, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::string half = bytes.substr(0, bytes.size() / 2);
  ASSERT_EQ(write(input, half.data(), half.size()), static_cast<ssize_t>(half.size()));
  // Every aircraft has its flight open by now.
  for (int i = 0; i < 200 && dbtest::query(baseStation, "SELECT COUNT(*) FROM Flights;") != "3"; ++i) {
    std::this_thread::sleep_for(50ms);
  }
  velkaro.signal(SIGTERM);
  EXPECT_EQ(velkaro.wait(20s), 0) << velkaro.text();
  close(input);
  expectEveryFlightClosed(false);
}

TEST_F(DatabaseEndToEnd, ADatabaseLockedByAnotherProgramIsWaitedFor) {
  dbtest::LockHolder lock(baseStation);
  ASSERT_TRUE(lock.hold());
  ChildProcess velkaro(arguments(recording));
  std::this_thread::sleep_for(2s);
  lock.release();
  EXPECT_EQ(velkaro.wait(60s), 0) << velkaro.text();
  expectEveryFlightClosed(true);
}

TEST_F(DatabaseEndToEnd, AMissingDatabaseStopsTheStart) {
  const std::string missing = dir + "/missing.sqb";
  const ProgramResult r = runVelkaro({"--input-file", "rtl:" + recording, "--web", std::to_string(freeTcpPort()),
                                      "--db", missing});
  EXPECT_EQ(r.status, 1);
  const auto log = logTexts(r.output);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back().rfind("ERROR    sqlite3_open " + missing + " unable to open database file 14", 0), 0u)
      << r.output;
  EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST_F(DatabaseEndToEnd, DatabasesWithoutTheWebPageAreRefusedAloud) {
  const ProgramResult r = runVelkaro({"--input-file", "rtl:" + recording, "--db", baseStation});
  EXPECT_EQ(r.status, 0);
  const auto log = logTexts(r.output);
  EXPECT_NE(std::find(log.begin(), log.end(),
                      "ERROR    --db command line option used only with --web - ignored"),
            log.end())
      << r.output;
  EXPECT_EQ(dbtest::query(baseStation, "SELECT COUNT(*) FROM Sessions;"), "0");
}

}  // namespace
