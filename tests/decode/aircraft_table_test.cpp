#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/config.h"
#include "decode/aircraft_table.h"
#include "decode/receiver_position.h"
#include "tests/decode/aircraft_test_support.h"

using namespace tracking_test;

namespace {

constexpr uint32_t kA = 0x3C6544;
constexpr uint32_t kB = 0x400123;
constexpr uint32_t kC = 0xA12345;
constexpr uint32_t kD = 0x4CA1FA;

class AircraftTableTest : public ::testing::Test {
 protected:
  AircraftTableTest() : table(config, &receiver, nullptr), airInfo(&table.mutex()) {
    receiver.fix(52.0, 4.0);
    table.setAirInfo(&airInfo);
  }
  ~AircraftTableTest() override { EXPECT_EQ(airInfo.pushesWithoutTableLock, 0); }

  void apply(const Message& m, uint8_t signal = 100) {
    table.applyMessage(frameWithSignal(signal, m.time), m);
  }
  void sweepAt(uint32_t now) {
    std::lock_guard<std::mutex> lock(table.mutex());
    table.sweep(now);
  }
  // What the FlightRoute worker does once it has opened a Flights row.
  void openFlight(uint32_t address, int64_t id) {
    std::lock_guard<std::mutex> lock(table.mutex());
    Aircraft* a = table.find(address);
    ASSERT_NE(a, nullptr);
    a->flight.flightId = id;
    a->flight.flightOpen = true;
    a->databaseInfo[2].set("PH-BXA", table.advanceSerial(), 0);
  }
  std::vector<AirInfoCommand> commandsOf(AirInfoCommand::Kind kind) {
    std::vector<AirInfoCommand> found;
    for (const auto& c : airInfo.commands) {
      if (c.kind() == kind) found.push_back(c);
    }
    return found;
  }

  Config config;
  ReceiverPosition receiver;
  AircraftTable table;
  RecordingAirInfo airInfo;
};

TEST_F(AircraftTableTest, FirstMessageCreatesTheRecordAndQueuesOneLookUp) {
  apply(identification(kA, kStart, "DLH4AB"));
  apply(surveillance(11, kA, kStart));
  ASSERT_EQ(table.size(), 1u);
  const auto lookups = commandsOf(AirInfoCommand::Kind::AircraftLookup);
  ASSERT_EQ(lookups.size(), 1u);
  EXPECT_EQ(lookups[0].address, kA);
  ASSERT_EQ(commandsOf(AirInfoCommand::Kind::RouteLookup).size(), 1u);
  // A serial per message and one for the sweep of the first second.
  EXPECT_EQ(table.updateSerial(), 3u);
  const Aircraft* a = table.find(kA);
  EXPECT_EQ(a->firstSeen.changedSerial, 1u);
  EXPECT_EQ(a->messageCount.value, 2u);
}

// Silence of 25 s keeps an aircraft shown, 26 s hides it; 3600 s keep its flight, 3601 s end it
// (one record, once); 3900 s keep the record, 3901 s remove it.
TEST_F(AircraftTableTest, SweepHidesEndsAndRemovesOnTime) {
  apply(airbornePosition(kA, kStart, 52.1, 4.1, 20000));
  openFlight(kA, 41);
  struct Step {
    uint32_t silence;
    bool present, hidden, ended;
    size_t closed;
  };
  const std::vector<Step> steps = {
      {25, true, false, false, 0},   {26, true, true, false, 0},   {3600, true, true, false, 0},
      {3601, true, true, true, 1},   {3602, true, true, true, 1},  {3900, true, true, true, 1},
      {3901, false, false, false, 1},
  };
  for (const Step& step : steps) {
    const uint32_t before = table.updateSerial();
    sweepAt(kStart + step.silence);
    EXPECT_EQ(table.updateSerial(), before + 1) << step.silence;
    sweepAt(kStart + step.silence);  // a second sweep in the same second does nothing
    EXPECT_EQ(table.updateSerial(), before + 1) << step.silence;

    const Aircraft* a = table.find(kA);
    ASSERT_EQ(a != nullptr, step.present) << step.silence;
    if (a != nullptr) {
      EXPECT_EQ(a->hidden.value, step.hidden) << step.silence;
      EXPECT_EQ(a->flightEnded.value, step.ended) << step.silence;
    }
    EXPECT_EQ(commandsOf(AirInfoCommand::Kind::CloseFlights).size(), step.closed) << step.silence;
  }
}

TEST_F(AircraftTableTest, EndedFlightHandsOverItsRecordAndTheNextMessageStartsANewOne) {
  apply(identification(kA, kStart, "KLM1023"));
  apply(airbornePosition(kA, kStart + 1, 52.2, 4.1, 12000));
  Message alert = surveillance(4, kA, kStart + 2);
  alert.alrt = true;
  alert.squawk = 0x7500;
  alert.set(MessageField::ALRT);
  alert.set(MessageField::SQUAWK);
  apply(alert);
  apply(velocity(kA, kStart + 3, 310, 45, 1200));
  apply(airbornePosition(kA, kStart + 9, 52.25, 4.15, 13000));
  openFlight(kA, 7);
  airInfo.take();

  sweepAt(kStart + 9 + 3601);
  const auto closed = commandsOf(AirInfoCommand::Kind::CloseFlights);
  ASSERT_EQ(closed.size(), 1u);
  ASSERT_EQ(closed[0].flights.size(), 1u);
  const FlightRecord& r = closed[0].flights[0];
  EXPECT_EQ(r.flightId, 7);
  EXPECT_EQ(r.endTime, kStart + 9);
  EXPECT_EQ(r.callsign.value, "KLM1023");
  EXPECT_TRUE(r.callsign.seen);
  const uint32_t counters[kFlightCounterCount] = {2, 4, 1, 1, 0, 2, 1, 1, 0, 0, 0};
  for (int i = 0; i < kFlightCounterCount; ++i) EXPECT_EQ(r.counters[i], counters[i]) << i;
  EXPECT_FLOAT_EQ(r.firstLatitude.value, 52.2f);
  EXPECT_FLOAT_EQ(r.lastLatitude.value, 52.25f);
  EXPECT_FLOAT_EQ(r.lastLongitude.value, 4.15f);
  EXPECT_EQ(r.firstAltitude.value, 12000);
  EXPECT_EQ(r.lastAltitude.value, 13000);
  EXPECT_EQ(r.firstVerticalRate.value, 1200);
  EXPECT_FLOAT_EQ(r.firstGroundSpeed.value, 310.0f);
  EXPECT_EQ(r.firstSquawk.value, 0x7500);
  EXPECT_TRUE(r.hadAlert.seen && r.hadAlert.value);
  EXPECT_FALSE(r.hadSpi.seen);
  EXPECT_FALSE(r.firstOnGround.seen);

  // The record of the ended flight is reset; field table and callsign statistics stay.
  {
    std::lock_guard<std::mutex> lock(table.mutex());
    const Aircraft& a = *table.find(kA);
    EXPECT_TRUE(a.flightEnded.value);
    EXPECT_EQ(a.callsign.value, "");
    EXPECT_NE(a.callsign.changedSerial, 0u);
    EXPECT_FALSE(a.altitude.isSet());
    EXPECT_FALSE(a.latitude.isSet());
    EXPECT_EQ(a.messageCount.value, 0u);
    EXPECT_EQ(a.lastSeen.value, 0u);
    EXPECT_EQ(a.firstSeen.changedSerial, 0u);
    EXPECT_TRUE(a.trail.empty());
    EXPECT_TRUE(a.databaseInfo.empty());
    EXPECT_FALSE(a.flight.flightOpen);
    EXPECT_EQ(a.flight.flightId, 0);
    EXPECT_EQ(a.flight.counters[kFlightAdsb], 0u);
    EXPECT_FALSE(a.flight.lastAltitude.seen);
    EXPECT_EQ(a.flight.endTime, 0u);
    EXPECT_EQ(a.flight.callsign.value, "KLM1023");
  }

  // Another second of silence: no second record.
  sweepAt(kStart + 9 + 3602);
  EXPECT_EQ(commandsOf(AirInfoCommand::Kind::CloseFlights).size(), 1u);

  const uint32_t back = kStart + 9 + 3700;
  apply(surveillance(11, kA, back));
  std::lock_guard<std::mutex> lock(table.mutex());
  const Aircraft& a = *table.find(kA);
  EXPECT_FALSE(a.hidden.value);
  EXPECT_FALSE(a.flightEnded.value);
  EXPECT_EQ(a.messageCount.value, 1u);
  EXPECT_EQ(a.firstSeen.value, back);
  EXPECT_EQ(a.firstSeen.changedSerial, table.updateSerial() - 1);  // the message's serial
  const auto lookups = commandsOf(AirInfoCommand::Kind::AircraftLookup);
  ASSERT_EQ(lookups.size(), 1u);
  EXPECT_EQ(lookups[0].address, kA);
}

TEST_F(AircraftTableTest, FlightNeverOpenedProducesNoRecord) {
  apply(airbornePosition(kA, kStart, 52.1, 4.1, 20000));
  apply(airbornePosition(kB, kStart, 52.2, 4.1, 21000));
  sweepAt(kStart + 3601);
  sweepAt(kStart + 3901);
  apply(surveillance(11, kC, kStart + 3902));
  table.flush();
  EXPECT_TRUE(commandsOf(AirInfoCommand::Kind::CloseFlights).empty());
  EXPECT_EQ(table.size(), 0u);
}

TEST_F(AircraftTableTest, FlushHandsOverAllOpenFlightsInOneList) {
  for (uint32_t address : {kA, kB, kC, kD}) apply(surveillance(11, address, kStart));
  openFlight(kA, 1);
  openFlight(kB, 2);
  openFlight(kC, 3);
  airInfo.take();
  table.flush();
  ASSERT_EQ(airInfo.commands.size(), 1u);
  std::vector<int64_t> ids;
  for (const auto& r : airInfo.commands[0].flights) ids.push_back(r.flightId);
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<int64_t>{1, 2, 3}));
  EXPECT_EQ(table.size(), 0u);
  table.flush();  // nothing left: nothing queued
  EXPECT_EQ(airInfo.commands.size(), 1u);
}

// Nothing used the table between the flight's expiry and the removal time: the removal ends the
// flight itself, or its Flights row would never get an end.
TEST_F(AircraftTableTest, RemovalWithoutAnEarlierSweepStillClosesTheFlight) {
  apply(airbornePosition(kA, kStart, 52.1, 4.1, 20000));
  openFlight(kA, 9);
  airInfo.take();
  sweepAt(kStart + 4000);
  EXPECT_EQ(table.size(), 0u);
  ASSERT_EQ(airInfo.commands.size(), 1u);
  ASSERT_EQ(airInfo.commands[0].flights.size(), 1u);
  EXPECT_EQ(airInfo.commands[0].flights[0].flightId, 9);
  EXPECT_EQ(airInfo.commands[0].flights[0].endTime, kStart);
}

TEST_F(AircraftTableTest, ClockSetBackIsNoSilence) {
  apply(airbornePosition(kA, kStart + 100, 52.1, 4.1, 20000));
  sweepAt(kStart + 50);
  ASSERT_NE(table.find(kA), nullptr);
  EXPECT_FALSE(table.find(kA)->hidden.value);
}

TEST_F(AircraftTableTest, ShorterExpiryOption) {
  config.flightExpireTime = 60;
  apply(airbornePosition(kA, kStart, 52.1, 4.1, 20000));
  openFlight(kA, 5);
  sweepAt(kStart + 61);
  EXPECT_EQ(commandsOf(AirInfoCommand::Kind::CloseFlights).size(), 1u);
  sweepAt(kStart + 360);
  EXPECT_NE(table.find(kA), nullptr);
  sweepAt(kStart + 361);
  EXPECT_EQ(table.find(kA), nullptr);
}

TEST(AircraftTableWithoutWorkerTest, EndsFlightsWithoutHandingOver) {
  Config config;
  AircraftTable table(config, nullptr, nullptr);
  table.applyMessage(frameWithSignal(1, kStart), airbornePosition(kA, kStart, 52.1, 4.1, 20000));
  {
    std::lock_guard<std::mutex> lock(table.mutex());
    table.find(kA)->flight.flightOpen = true;
    table.sweep(kStart + 3601);
    EXPECT_TRUE(table.find(kA)->flightEnded.value);
  }
  table.flush();
  EXPECT_EQ(table.size(), 0u);
}

}  // namespace
