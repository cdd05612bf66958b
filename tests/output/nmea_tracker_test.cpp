// The followed aircraft: its values are gathered from message to message, and a set of
// sentences is due for each of its messages once all four kinds are known.

#include "output/nmea_output.h"

#include "decode/message.h"

#include <gtest/gtest.h>

namespace {

constexpr uint32_t followed = 0x4CA2D1;

Message from(uint32_t icao) {
  Message m;
  m.icao = icao;
  return m;
}
Message position(uint32_t icao, double lat, double lon) {
  Message m = from(icao);
  m.lat = lat;
  m.lon = lon;
  m.set(MessageField::LAT);
  m.set(MessageField::LON);
  return m;
}
Message velocity(uint32_t icao, double gs, double track) {
  Message m = from(icao);
  m.gs = gs;
  m.tt = track;
  m.set(MessageField::GS);
  m.set(MessageField::TT);
  return m;
}
Message altitude(uint32_t icao, int32_t feet) {
  Message m = from(icao);
  m.altitude = feet;
  m.set(MessageField::ALTITUDE);
  return m;
}

struct Values {
  double lat = -1, lon = -1, speed = -1, track = -1, altitude = -1;
  bool operator==(const Values& o) const {
    return lat == o.lat && lon == o.lon && speed == o.speed && track == o.track && altitude == o.altitude;
  }
};

bool update(NmeaTargetTracker& tracker, const Message& m, Values& v) {
  return tracker.update(m, v.lat, v.lon, v.speed, v.track, v.altitude);
}

TEST(NmeaTargetTracker, ValuesFromSeveralMessagesStartTheSentencesAtTheLastOne) {
  NmeaTargetTracker tracker;
  tracker.setIcao(followed);
  Values v;
  EXPECT_FALSE(update(tracker, position(followed, 51.5, -0.1275), v));
  EXPECT_FALSE(update(tracker, velocity(followed, 450, 90), v));
  EXPECT_EQ(v, Values()) << "written before all four were known";
  EXPECT_TRUE(update(tracker, altitude(followed, 35000), v));
  EXPECT_EQ(v, (Values{51.5, -0.1275, 450, 90, 35000}));

  // Every later message of the aircraft gives a set, with the newest of each kind.
  Values later;
  EXPECT_TRUE(update(tracker, from(followed), later));
  EXPECT_EQ(later, v);
  EXPECT_TRUE(update(tracker, velocity(followed, 460, 95), later));
  EXPECT_EQ(later, (Values{51.5, -0.1275, 460, 95, 35000}));
}

TEST(NmeaTargetTracker, OtherAircraftAndHalfPositionsChangeNothing) {
  NmeaTargetTracker tracker;
  tracker.setIcao(followed);
  Values v;
  update(tracker, position(followed, 51.5, -0.1275), v);
  update(tracker, velocity(followed, 450, 90), v);
  ASSERT_TRUE(update(tracker, altitude(followed, 35000), v));

  // Another aircraft, complete on its own, never gives sentences nor moves the followed one.
  Values other;
  for (const Message& m : {position(0x4CA2D2, 10, 10), velocity(0x4CA2D2, 1, 1), altitude(0x4CA2D2, 100)}) {
    EXPECT_FALSE(update(tracker, m, other));
  }
  EXPECT_EQ(other, Values());

  // A latitude without its longitude in the same message is not a position.
  Message half = from(followed);
  half.lat = 10;
  half.set(MessageField::LAT);
  Message otherHalf = from(followed);
  otherHalf.lon = 10;
  otherHalf.set(MessageField::LON);
  update(tracker, half, v);
  ASSERT_TRUE(update(tracker, otherHalf, v));
  EXPECT_EQ(v, (Values{51.5, -0.1275, 450, 90, 35000}));
}

TEST(NmeaTargetTracker, NothingWithoutEveryKind) {
  NmeaTargetTracker tracker;
  tracker.setIcao(followed);
  Values v;
  for (int i = 0; i < 5; ++i) {
    EXPECT_FALSE(update(tracker, position(followed, 51.5, -0.1275), v));
    EXPECT_FALSE(update(tracker, altitude(followed, 35000), v));
  }
  Message speedOnly = from(followed);
  speedOnly.gs = 450;
  speedOnly.set(MessageField::GS);
  EXPECT_FALSE(update(tracker, speedOnly, v)) << "a track is still missing";
  EXPECT_EQ(v, Values());
}

}  // namespace
