#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "app/config.h"
#include "decode/aircraft.h"
#include "decode/aircraft_smoothing.h"
#include "decode/magnetic_declination.h"
#include "decode/receiver_position.h"
#include "tests/decode/aircraft_test_support.h"

using namespace tracking_test;

namespace {

constexpr uint32_t kIcao = 0x4CA1FA;

using AircraftTest = AircraftFixture;

TEST(TrackedValueTest, WriteRuleAndClearing) {
  TrackedValue<float> v;
  EXPECT_TRUE(v.set(0.0f, 5, 100));  // the first write counts, even of the zero value
  EXPECT_EQ(v.changedSerial, 5u);
  EXPECT_FALSE(v.set(0.0f, 6, 101));  // unchanged: serial stays, time moves
  EXPECT_EQ(v.changedSerial, 5u);
  EXPECT_EQ(v.lastUpdate, 101u);
  v.staleSerial = 7;  // the web reply found it old
  EXPECT_TRUE(v.set(0.0f, 8, 140));
  EXPECT_EQ(v.changedSerial, 8u);
  EXPECT_EQ(v.staleSerial, 0u);

  v.clear();  // a zero the page holds keeps its serial
  EXPECT_EQ(v.changedSerial, 8u);
  EXPECT_EQ(v.lastUpdate, 0u);
  v.set(3.5f, 9, 150);
  v.clear();
  EXPECT_EQ(v.value, 0.0f);
  EXPECT_EQ(v.changedSerial, 0u);
  v.set(0.0f, 10, 160);
  v.staleSerial = 11;
  v.clear();  // a stale zero is forgotten as well
  EXPECT_EQ(v.changedSerial, 0u);
  EXPECT_EQ(v.staleSerial, 0u);
}

TEST(AircraftTextTest, ShortNamesAndFormats) {
  const std::vector<std::pair<int, std::string>> names = {
      {0, "CAT"},   {15, "TAS"},  {29, "WD"},  {31, "TEMP"}, {32, "PRS"}, {43, "HDG"},
      {52, "TCASR"}, {56, "HMI"}, {57, ""},    {-1, ""},     {1000, ""}};
  for (const auto& [key, name] : names) EXPECT_EQ(fieldShortName(key), name) << key;
  EXPECT_EQ(fieldKind(31), FieldKind::Number);
  EXPECT_EQ(fieldKind(41), FieldKind::Flag);
  EXPECT_EQ(fieldKind(42), FieldKind::Integer);

  Config config;
  AircraftContext context{config, nullptr, nullptr};
  Aircraft a(0x000ABC, context, kStart, 1);
  EXPECT_EQ(formatIcao(a), "000ABC");
  EXPECT_EQ(formatIcao(0x4CA1FA), "4CA1FA");
  a.squawk.set(0x0456, 1, kStart);
  EXPECT_EQ(formatSquawk(a), "0456");
  a.squawk.set(0x7700, 2, kStart);
  EXPECT_EQ(formatSquawk(a), "7700");
}

TEST(AircraftFieldTableTest, NumbersCompareWithinOnePartInTwoToTheTwentyThree) {
  AircraftFieldTable table;
  EXPECT_FALSE(table.has(38));
  table.setNumber(38, 100.0f, 1, kStart);
  table.setNumber(38, std::nextafter(100.0f, 200.0f), 2, kStart + 1);
  EXPECT_EQ(table[38].changedSerial, 1u);  // within tolerance: not a change
  table.setNumber(38, 100.1f, 3, kStart + 2);
  EXPECT_EQ(table[38].changedSerial, 3u);
  table.setInteger(57, 1, 4, kStart);  // no such key: ignored
  EXPECT_FALSE(table.has(57));
}

// A short flight: identification, positions, velocity, surveillance replies. Each value carries
// the serial of its last change, and the flight statistics keep first and last values.
TEST_F(AircraftTest, ScriptedFlightStampsChangesAndKeepsFlightStatistics) {
  Aircraft& a = first(identification(kIcao, kStart, "KLM1023"), 1, 90);
  EXPECT_EQ(a.callsign.value, "KLM1023");
  EXPECT_EQ(a.callsign.changedSerial, 1u);
  EXPECT_EQ(a.firstSeen.value, kStart);
  EXPECT_EQ(a.firstSeen.changedSerial, 1u);
  EXPECT_TRUE(a.adsb.value);
  ASSERT_EQ(airInfo.commands.size(), 1u);
  EXPECT_EQ(airInfo.commands[0].kind(), AirInfoCommand::Kind::RouteLookup);
  EXPECT_EQ(airInfo.commands[0].flight, "KLM1023");
  EXPECT_EQ(airInfo.commands[0].address, kIcao);

  next(airbornePosition(kIcao, kStart + 1, 52.5, 4.0, 35000), 2, 110);
  next(velocity(kIcao, kStart + 2, 450, 90, -64), 3, 120);
  next(identification(kIcao, kStart + 3, "KLM1023"), 4);  // unchanged: no new look-up
  Message dfFour = surveillance(4, kIcao, kStart + 4);
  dfFour.altitude = 35000;
  dfFour.set(MessageField::ALTITUDE);
  next(dfFour, 5);
  Message dfFive = surveillance(5, kIcao, kStart + 5);
  dfFive.squawk = 0x7700;
  dfFive.pa = true;
  dfFive.set(MessageField::SQUAWK);
  dfFive.set(MessageField::PA);
  next(dfFive, 6);
  Message calm = dfFive;
  calm.time = kStart + 6;
  calm.squawk = 0x1000;
  calm.pa = false;
  next(calm, 7);
  next(airbornePosition(kIcao, kStart + 30, 52.6, 4.0, 34000), 8);

  EXPECT_EQ(routeLookups(), 1u);
  EXPECT_EQ(a.callsign.changedSerial, 1u);
  EXPECT_EQ(a.callsign.lastUpdate, kStart + 3);
  EXPECT_EQ(a.messageCount.value, 8u);
  EXPECT_EQ(a.messageCount.changedSerial, 8u);
  EXPECT_EQ(a.lastSeen.value, kStart + 30);
  EXPECT_EQ(a.altitude.value, 34000.0f);
  EXPECT_EQ(a.altitude.changedSerial, 8u);
  EXPECT_EQ(a.groundSpeed.value, 450.0f);
  EXPECT_EQ(a.groundSpeed.changedSerial, 3u);
  EXPECT_EQ(a.verticalRate.value, -64.0f);
  // The velocity said 90, but the last position lies 11 km due north of the first one.
  EXPECT_EQ(a.track.value, 0.0f);
  EXPECT_EQ(a.track.changedSerial, 8u);
  EXPECT_EQ(a.squawk.value, 0x1000);
  EXPECT_EQ(a.squawk.changedSerial, 7u);
  EXPECT_EQ(a.latitude.value, 52.6f);
  EXPECT_NEAR(a.distance.value, 0.6 * 60.06, 0.05);  // nautical miles north of the receiver
  EXPECT_NEAR(a.azimuth.value, 0.0, 1e-3);
  EXPECT_EQ(a.signalLevel.value, (90 + 110 + 120 + 5 * 100) / 8);

  // The first position; the same place once the track was known; and one after 29 s without
  // a position, 1000 ft lower (a gap).
  ASSERT_EQ(a.trail.size(), 3u);
  EXPECT_EQ(a.trail[0].serial, 2u);
  EXPECT_EQ(a.trail[0].altitude, 35000.0f);
  EXPECT_FALSE(a.trail[0].gap);
  EXPECT_EQ(a.trail[1].serial, 3u);
  EXPECT_FALSE(a.trail[1].gap);
  EXPECT_EQ(a.trail[2].serial, 8u);
  EXPECT_EQ(a.trail[2].altitude, 34000.0f);
  EXPECT_TRUE(a.trail[2].gap);

  const FlightStatistics& f = a.flight;
  EXPECT_EQ(f.endTime, kStart + 30);
  EXPECT_EQ(f.callsign.value, "KLM1023");
  EXPECT_EQ(f.firstAltitude.value, 35000);
  EXPECT_EQ(f.lastAltitude.value, 34000);
  EXPECT_EQ(f.firstLatitude.value, 52.5f);
  EXPECT_EQ(f.lastLatitude.value, 52.6f);
  EXPECT_EQ(f.firstSquawk.value, 0x7700);
  EXPECT_EQ(f.lastSquawk.value, 0x1000);
  EXPECT_TRUE(f.hadEmergency.seen);
  EXPECT_TRUE(f.hadEmergency.value);  // a true value stays
  EXPECT_FALSE(f.hadAlert.seen);
  EXPECT_EQ(f.firstTrack.value, 90.0f);
  EXPECT_EQ(f.lastTrack.value, 0.0f);
  EXPECT_FALSE(f.firstOnGround.seen);
  const uint32_t expected[kFlightCounterCount] = {2, 5, 3, 2, 0, 2, 1, 1, 2, 0, 0};
  for (int i = 0; i < kFlightCounterCount; ++i) EXPECT_EQ(f.counters[i], expected[i]) << i;
}

TEST_F(AircraftTest, FlightCountersByFormatAndTypeCode) {
  struct Case {
    int df, typeCode;
    std::vector<FlightCounter> counted;
  };
  const std::vector<Case> cases = {
      {17, 1, {kFlightAdsb, kFlightIdentification}},
      {18, 6, {kFlightAdsb, kFlightPositions, kFlightSurfacePositions}},
      {17, 22, {kFlightAdsb, kFlightPositions, kFlightAirbornePositions}},
      {17, 19, {kFlightAdsb, kFlightAirborneVelocities}},
      {19, 28, {kFlightAdsb}},
      {17, 0, {kFlightAdsb}},
      {0, 0, {kFlightModeS, kFlightAirToAir}},
      {16, 0, {kFlightModeS, kFlightAirToAir}},
      {4, 0, {kFlightModeS, kFlightSurveillanceAltitude}},
      {20, 0, {kFlightModeS, kFlightSurveillanceAltitude}},
      {5, 0, {kFlightModeS, kFlightSurveillanceIdentity}},
      {21, 0, {kFlightModeS, kFlightSurveillanceIdentity}},
      {11, 0, {kFlightModeS, kFlightAllCallReplies}},
  };
  for (const Case& c : cases) {
    Aircraft& a = first(message(c.df, kIcao, kStart, c.typeCode), 1);
    uint32_t expected[kFlightCounterCount] = {};
    for (FlightCounter counter : c.counted) expected[counter] = 1;
    for (int i = 0; i < kFlightCounterCount; ++i) {
      EXPECT_EQ(a.flight.counters[i], expected[i]) << "DF " << c.df << " TC " << c.typeCode << " #" << i;
    }
  }
}

TEST_F(AircraftTest, RouteLookUpOnlyForANewNonEmptyCallsign) {
  Aircraft& a = first(identification(kIcao, kStart, "SAS123"), 1);
  next(identification(kIcao, kStart + 1, "SAS123"), 2);
  EXPECT_EQ(routeLookups(), 1u);
  a.callsign.staleSerial = 3;  // the page was told the callsign is gone
  next(identification(kIcao, kStart + 40, "SAS123"), 4);
  EXPECT_EQ(routeLookups(), 2u);
  next(identification(kIcao, kStart + 41, ""), 5);  // eight blanks decode to the empty text
  EXPECT_EQ(a.callsign.value, "");
  EXPECT_EQ(a.callsign.changedSerial, 5u);
  EXPECT_EQ(routeLookups(), 2u);
  next(identification(kIcao, kStart + 42, "SAS124"), 6);
  ASSERT_EQ(routeLookups(), 3u);
  EXPECT_EQ(airInfo.commands.back().flight, "SAS124");

  context.airInfo = nullptr;  // no FlightRoute worker: nothing to push to
  next(identification(kIcao, kStart + 43, "SAS125"), 7);
  EXPECT_EQ(routeLookups(), 3u);
}

TEST_F(AircraftTest, GroundChangeZeroesVerticalRate) {
  Aircraft& a = first(velocity(kIcao, kStart, 140, 270, -700), 1);
  next(surfacePosition(kIcao, kStart + 1, 52.3, 4.7), 2);
  EXPECT_TRUE(a.onGround.value);
  EXPECT_EQ(a.verticalRate.value, 0.0f);
  EXPECT_EQ(a.verticalRate.changedSerial, 2u);
  next(velocity(kIcao, kStart + 2, 10, 270, 0), 3);
  next(surfacePosition(kIcao, kStart + 3, 52.3, 4.7), 4);  // still on the ground
  EXPECT_EQ(a.verticalRate.changedSerial, 2u);
}

TEST(AircraftDistanceTest, UnitsAndReferencePoint) {
  struct Case {
    bool metric;
    bool referencePoint;
    float expected;
  };
  const std::vector<Case> cases = {{true, true, 100.0f}, {false, true, 53.99568f},
                                   {true, false, 100.0f}, {false, false, 53.99568f}};
  for (const Case& c : cases) {
    Config config;
    config.metric = c.metric;
    ReceiverPosition receiver;
    if (c.referencePoint) {
      config.referencePointGiven = true;
      config.referencePoint.latitude = 50.0f;
      config.referencePoint.longitude = 10.0f;
      receiver.fix(10.0, 50.0);  // the reference point comes first
    } else {
      receiver.fix(50.0, 10.0);
    }
    AircraftContext context{config, &receiver, nullptr};
    Aircraft a(kIcao, context, kStart, 1);
    a.update(frameWithSignal(0, kStart), airbornePosition(kIcao, kStart, northOf(50.0, 100000), 10.0, 9000), 1);
    EXPECT_NEAR(a.distance.value, c.expected, 1e-3) << c.metric << c.referencePoint;
    EXPECT_NEAR(std::fmod(a.azimuth.value + 180.0, 360.0) - 180.0, 0.0, 1e-3);
  }
  Config config;
  AircraftContext context{config, nullptr, nullptr};
  Aircraft a(kIcao, context, kStart, 1);
  a.update(frameWithSignal(0, kStart), airbornePosition(kIcao, kStart, 51.0, 0.0, 9000), 1);
  EXPECT_EQ(a.latitude.value, 51.0f);
  EXPECT_FALSE(a.distance.isSet());  // no reference: no distance
}

TEST(SmootherTest, FirstTenPassThenOutliersAreHeld) {
  Smoother<int32_t> tas(10, 4.0f);
  uint32_t t = kStart;
  const int32_t first[] = {200, 250, 240, 260, 250, 250, 250, 250, 250, 250};
  for (int32_t x : first) EXPECT_EQ(tas.add(x, ++t), x);  // the first ten pass unchanged
  EXPECT_EQ(tas.add(300, ++t), 250);                      // too far from the trend: held
  EXPECT_EQ(tas.add(252, ++t), 252);
  // Only recent values count: after ten values of 300 the output has moved on.
  for (int i = 0; i < 10; ++i) tas.add(300, ++t);
  EXPECT_EQ(tas.value(), 300);
  EXPECT_EQ(tas.add(305, ++t), 305);

  Smoother<double, true> heading(10.0, 4.0f);
  for (int i = 0; i < 10; ++i) heading.add(100.0, ++t);
  EXPECT_DOUBLE_EQ(heading.add(109.5, ++t), 109.5);
  EXPECT_DOUBLE_EQ(heading.add(125.0, ++t), 109.5);
}

// A series of (value, second), each sample marked with what the output must do.
enum class Expect { Follow, MayLag, Hold };
struct SmoothingSample {
  double value;
  uint32_t time;
  Expect expect;
};

class Series {
 public:
  Series(double start, bool angle) : value(start), angle(angle) {}
  // n samples of the current value, dt seconds apart: levelling out is followed at once.
  Series& hold(int n, uint32_t dt) { return ramp(0, n, dt); }
  // n samples changing by rate per second; the first may lag where a change begins.
  Series& ramp(double rate, int n, uint32_t dt) {
    for (int i = 0; i < n; ++i) {
      value = normal(value + rate * dt);
      add(value, dt, i == 0 && rate != 0 && rate != lastRate ? Expect::MayLag : Expect::Follow);
    }
    lastRate = rate;
    return *this;
  }
  // One sample off by offset, dt after the last, in the current trend: it must be held.
  Series& outlier(double offset, uint32_t dt) {
    value = normal(value + lastRate * dt);
    return add(normal(value + offset), dt, Expect::Hold);
  }
  // One sample of v, dt after the last.
  Series& add(double v, uint32_t dt, Expect e) {
    time += dt;
    samples.push_back({v, time, e});
    return *this;
  }
  std::vector<SmoothingSample> samples;

 private:
  double normal(double v) const { return angle ? std::fmod(v + 720.0, 360.0) : v; }
  double value;
  bool angle;
  double lastRate = 0;
  uint32_t time = kStart;
};

struct SmoothingCase {
  std::string name;
  bool heading;  // else true airspeed
  std::vector<SmoothingSample> samples;
};

TEST(SmootherTest, FollowsTurnsAndSpeedChangesAndHoldsOutliers) {
  const Expect follow = Expect::Follow, held = Expect::Hold;
  std::vector<SmoothingCase> cases = {
      {"north crossed turning right", true, Series(340, true).hold(10, 2).ramp(2.5, 8, 2).samples},
      {"north crossed turning left", true, Series(20, true).hold(10, 2).ramp(-2.5, 8, 2).samples},
      {"jitter around north", true,
       Series(0, true).hold(10, 1).add(359.5, 1, follow).add(0.4, 1, follow).add(359.8, 1, follow)
           .add(1.0, 1, follow).samples},
      {"outlier 90 off, straight", true,
       Series(90, true).hold(12, 2).outlier(90, 2).hold(3, 2).samples},
      {"outlier 180 off, straight", true,
       Series(0, true).hold(12, 5).outlier(180, 5).hold(3, 5).samples},
      {"outlier 90 off, 3/s turn, every s", true,
       Series(300, true).hold(10, 1).ramp(3, 8, 1).outlier(90, 1).ramp(3, 5, 1).samples},
      {"outlier 180 off, 3/s turn, every 5 s", true,
       Series(300, true).hold(10, 5).ramp(3, 5, 5).outlier(180, 5).ramp(3, 5, 5).samples},
      {"outliers 90 off, left 3/s turn, every 2 s", true,
       Series(30, true).hold(10, 2).ramp(-3, 5, 2).outlier(-90, 2).ramp(-3, 3, 2).outlier(90, 2)
           .ramp(-3, 3, 2).samples},
      {"TAS outlier +40, steady", false,
       Series(250, false).hold(12, 1).outlier(40, 1).hold(3, 1).samples},
      {"TAS outlier +40, 2 kt/s ramp, every 5 s", false,
       Series(250, false).hold(10, 5).ramp(2, 5, 5).outlier(40, 5).ramp(2, 3, 5).samples},
      // The declination applied once a position is known: a step, followed one sample late.
      {"heading step", true,
       Series(90, true).hold(12, 1).add(102.7, 1, Expect::MayLag).add(102.7, 1, follow)
           .add(102.9, 1, follow).samples},
      // Two values a second apart make no trend of 12 degrees/s that would let an outlier in.
      {"steep pair then outlier", true,
       Series(90, true).hold(12, 5).add(120, 5, held).add(132, 1, follow).add(192, 5, held)
           .add(133, 0, follow).samples},
      // The old values say nothing after a minute of silence: the first new one is shown.
      {"after a long silence", true,
       Series(90, true).hold(12, 5).add(200, 90, follow).add(201, 5, follow).samples},
      {"TAS after a long silence", false,
       Series(250, false).hold(12, 5).add(180, 90, follow).samples},
      // Copies from one second: a repeated outlier is not a change.
      {"repeated outlier within one second", true,
       Series(90, true).hold(12, 1).add(90.2, 0, follow).add(180, 0, held).add(180, 0, held)
           .add(90.4, 1, follow).add(90.3, 0, follow).samples},
  };
  for (int rate : {1, 3, -1, -3}) {
    for (uint32_t dt : {1u, 2u, 5u}) {
      // Right turns start at 330, left ones at 30, and cross north; straight flight around.
      const int n = static_cast<int>(90 / (std::abs(rate) * dt)) + 1;
      cases.push_back({"turn " + std::to_string(rate) + "/s every " + std::to_string(dt) + " s",
                       true,
                       Series(rate > 0 ? 330 : 30, true).hold(10, dt).ramp(rate, n, dt).hold(4, dt)
                           .samples});
    }
  }
  for (int rate : {2, -2}) {
    for (uint32_t dt : {1u, 5u}) {
      cases.push_back({"TAS " + std::to_string(rate) + " kt/s every " + std::to_string(dt) + " s",
                       false,
                       Series(300, false).hold(10, dt).ramp(rate, 12, dt).hold(4, dt).samples});
    }
  }

  for (const SmoothingCase& c : cases) {
    SCOPED_TRACE(c.name);
    Smoother<double, true> heading(10.0, 4.0f);
    Smoother<int32_t> tas(10, 4.0f);
    double previous = 0;
    for (size_t i = 0; i < c.samples.size(); ++i) {
      const SmoothingSample& x = c.samples[i];
      const double out = c.heading ? heading.add(x.value, x.time)
                                   : tas.add(static_cast<int32_t>(x.value), x.time);
      SCOPED_TRACE("sample " + std::to_string(i) + " value " + std::to_string(x.value));
      if (c.heading) {
        EXPECT_GE(out, 0.0);
        EXPECT_LT(out, 360.0);
      }
      if (i < 10) {
        EXPECT_EQ(out, x.value);  // the first ten pass whatever they are
      } else if (x.expect == Expect::Hold) {
        EXPECT_EQ(out, previous);
      } else if (x.expect == Expect::Follow) {
        EXPECT_EQ(out, x.value);
      } else if (out != x.value) {
        EXPECT_EQ(out, previous);  // one sample late where a change begins; the next follows
      }
      previous = out;
    }
  }
}

TEST_F(AircraftTest, SmoothedHeadingAndAirspeedFollowATurn) {
  // Straight, then a right turn across north at 3 degrees/s while speeding up by 2 knots/s,
  // reported every 5 s: 15 degrees a report, which only a trend against time keeps up with.
  Message m = message(20, kIcao, kStart);
  m.set(MessageField::HDG);
  m.set(MessageField::TAS);
  for (int i = 0; i < 24; ++i) {
    const int turning = i < 10 ? 0 : i - 9;
    m.time = kStart + 5 * i;
    m.hdg = std::fmod(300.0 + 15.0 * turning, 360.0);
    m.tas = 250 + 10 * turning;
    if (i == 0) {
      first(m, 1);
    } else {
      next(m, i + 1);
    }
    if (i == 10) continue;  // the turn begins: one report late at most
    EXPECT_FLOAT_EQ(aircraft->fields[kFieldHeading].number, static_cast<float>(m.hdg)) << i;
    EXPECT_EQ(aircraft->fields[kFieldTas].integer, m.tas) << i;
  }
}

TEST_F(AircraftTest, HeadingIsCorrectedByTheDeclinationWhereThePositionIsFresh) {
  Message withHeading = message(17, kIcao, kStart + 1, 19);
  withHeading.hdg = 2.0;
  withHeading.set(MessageField::HDG);

  // No position: the heading as sent.
  Aircraft& a = first(withHeading, 1);
  EXPECT_FLOAT_EQ(a.fields[kFieldHeading].number, 2.0f);

  // A fresh position at 40.5 N 74.5 W (declination -12.7): 2 - 12.7 -> 349.3.
  first(airbornePosition(kIcao, kStart, 40.5, -74.5, 3000), 1);
  ASSERT_NEAR(magneticDeclination(40.5f, -74.5f), -12.7f, 1e-4);
  next(withHeading, 2);
  EXPECT_NEAR(aircraft->fields[kFieldHeading].number, 349.3f, 1e-3);

  // The position 31 s old: not corrected.
  withHeading.time = kStart + 31;
  first(airbornePosition(kIcao, kStart, 40.5, -74.5, 3000), 1);
  next(withHeading, 2);
  EXPECT_FLOAT_EQ(aircraft->fields[kFieldHeading].number, 2.0f);

  // A fresh heading reference of true north: not corrected either.
  Message status = message(17, kIcao, kStart, 31);
  status.hrd = false;
  status.set(MessageField::HRD);
  first(airbornePosition(kIcao, kStart, 40.5, -74.5, 3000), 1);
  next(status, 2);
  withHeading.time = kStart + 1;
  next(withHeading, 3);
  EXPECT_FLOAT_EQ(aircraft->fields[kFieldHeading].number, 2.0f);
}

TEST_F(AircraftTest, TemperatureAndWindAreDerived) {
  Message air = message(17, kIcao, kStart, 19);
  air.tas = 450;
  air.mach = 780;
  air.set(MessageField::TAS);
  air.set(MessageField::MACH);
  Aircraft& a = first(air, 1);
  ASSERT_TRUE(a.fields.has(kFieldTemperature));
  EXPECT_NEAR(a.fields[kFieldTemperature].number, -54.0393f, 1e-3);
  EXPECT_EQ(a.fields[kFieldTas].integer, 450);

  // A warm result lies outside -80..-10 and is not written.
  air.tas = 600;
  first(air, 1);
  EXPECT_FALSE(aircraft->fields.has(kFieldTemperature));

  // Heading 95, true airspeed 420, ground speed 380, track 88: wind 63 kt from 142.
  Message wind = velocity(kIcao, kStart, 380, 88, 0);
  wind.tas = 420;
  wind.hdg = 95;
  wind.set(MessageField::TAS);
  wind.set(MessageField::HDG);
  first(wind, 1);
  EXPECT_EQ(aircraft->fields[kFieldWindSpeed].integer, 63);
  EXPECT_EQ(aircraft->fields[kFieldWindDirection].integer, 142);

  // A message with its own wind keeps it.
  Message reported = wind;
  reported.wdir = 200;
  reported.wspd = 20;
  reported.set(MessageField::WDIR);
  reported.set(MessageField::WSPD);
  next(reported, 2);
  EXPECT_EQ(aircraft->fields[kFieldWindSpeed].integer, 20);
  EXPECT_EQ(aircraft->fields[kFieldWindDirection].integer, 200);
}

TEST_F(AircraftTest, FieldTableTakesEveryKeyedField) {
  Message m = message(20, kIcao, kStart);
  m.fs = 2;
  m.acas = true;
  m.ra = -12.5;
  m.mcp = 350;
  m.tcasrun = true;
  m.iis = 21;
  m.set(MessageField::FS);
  m.set(MessageField::ACAS);
  m.set(MessageField::RA);
  m.set(MessageField::MCP);
  m.set(MessageField::TCASRUN);
  m.set(MessageField::IIS);
  Aircraft& a = first(m, 1);
  EXPECT_EQ(a.fields[2].integer, 2);
  EXPECT_TRUE(a.fields[17].flag);
  EXPECT_FLOAT_EQ(a.fields[38].number, -12.5f);
  EXPECT_EQ(a.fields[33].integer, 350);
  EXPECT_TRUE(a.fields[52].flag);
  EXPECT_EQ(a.fields[27].integer, 21);
  int present = 0;
  for (int key = 0; key < kFieldKeyCount; ++key) present += a.fields.has(key);
  EXPECT_EQ(present, 6);
  EXPECT_EQ(a.fields[2].changedSerial, 1u);
  EXPECT_EQ(a.fields[2].lastUpdate, kStart);
}

}  // namespace
