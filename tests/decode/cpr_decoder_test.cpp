#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "decode/cpr.h"
#include "decode/cpr_encoder.h"
#include "decode/geo.h"
#include "decode/message_decoder.h"

namespace {

double metres(double lat1, double lon1, double lat2, double lon2) {
  return greatCircleDistance(lat1, lon1, lat2, lon2);
}

// Feeds one aircraft's frames to a decoder.
struct Feed {
  MessageDecoder decoder;
  uint32_t address = 0x40621D;
  double refLat = 52.0, refLon = 4.0;
  bool refValid = false;
  double lat = 0, lon = 0;

  bool send(double trueLat, double trueLon, bool odd, uint32_t time, bool surface = false) {
    CprFrame f = encodeCpr(trueLat, trueLon, odd, surface);
    return sendRaw(odd, f.lat, f.lon, time, surface);
  }
  bool sendRaw(bool odd, uint32_t cprLat, uint32_t cprLon, uint32_t time, bool surface = false) {
    return decoder.decodeCprPosition(address, odd, cprLat, cprLon, refLat, refLon, time, surface,
                                     refValid, lat, lon);
  }
  CprState* state() {
    auto it = decoder.cprStates.states.find(address);
    return it == decoder.cprStates.states.end() ? nullptr : &it->second;
  }
};

// An aircraft flying east at about 220 m/s, one frame a second.
double trackLon(uint32_t second) { return 3.9 + 0.0032 * (second - 1000); }
constexpr double kTrackLat = 52.2572;

TEST(CprDecoderTest, PairThenConfirmingFrameThenLocalDecoding) {
  Feed feed;
  EXPECT_FALSE(feed.send(kTrackLat, trackLon(1000), false, 1000));
  EXPECT_EQ(feed.state()->status, 0);
  EXPECT_FALSE(feed.send(kTrackLat, trackLon(1001), true, 1001));
  EXPECT_EQ(feed.state()->status, 1);
  for (uint32_t t = 1002; t < 1010; ++t) {
    ASSERT_TRUE(feed.send(kTrackLat, trackLon(t), t % 2, t)) << t;
    EXPECT_LT(metres(feed.lat, feed.lon, kTrackLat, trackLon(t)), 5.0) << t;
    EXPECT_EQ(feed.state()->status, 2);
    EXPECT_EQ(feed.state()->lastFixTime, t);
  }
}

TEST(CprDecoderTest, RestartsTwoMinutesAfterTheLastFix) {
  for (uint32_t late : {1122u, 1123u}) {
    Feed feed;
    feed.send(kTrackLat, trackLon(1000), false, 1000);
    feed.send(kTrackLat, trackLon(1001), true, 1001);
    ASSERT_TRUE(feed.send(kTrackLat, trackLon(1002), false, 1002));
    // Rejected frames a degree off keep the aircraft heard but bring no fix.
    for (uint32_t t = 1007; t < late; t += 5)
      ASSERT_FALSE(feed.send(kTrackLat + 1.0, trackLon(t), t % 2, t)) << t;
    bool decoded = feed.send(kTrackLat, trackLon(late), true, late);
    if (late - 1002 <= 120) {
      EXPECT_TRUE(decoded);
      EXPECT_EQ(feed.state()->status, 2);
    } else {
      EXPECT_FALSE(decoded);
      EXPECT_EQ(feed.state()->status, 0);
      EXPECT_EQ(feed.state()->lastFixTime, 0u);
      EXPECT_EQ(feed.state()->evenTime, 0u);
      EXPECT_EQ(feed.state()->oddTime, late);
    }
  }
}

TEST(CprDecoderTest, FramesElevenSecondsApartNeverDecodeGlobally) {
  Feed feed;
  EXPECT_FALSE(feed.send(kTrackLat, trackLon(1000), false, 1000));
  feed.state()->lastSeen = 1010;  // past the purge, so the stored even frame is 11 s old
  EXPECT_FALSE(feed.send(kTrackLat, trackLon(1011), true, 1011));
  EXPECT_EQ(feed.state()->status, 0);
  EXPECT_FALSE(feed.send(kTrackLat, trackLon(1012), false, 1012));  // a fresh pair
  EXPECT_EQ(feed.state()->status, 1);
}

TEST(CprDecoderTest, ConfirmingFrameWithoutAFreshPairIsReturnedButNotConfirmed) {
  Feed feed;
  feed.send(kTrackLat, trackLon(1000), false, 1000);
  feed.send(kTrackLat, trackLon(1001), true, 1001);
  feed.state()->lastSeen = 1011;  // past the purge, so the stored even frame is 12 s old
  // Odd again 11 s later: the stored even frame is too old to pair with.
  ASSERT_TRUE(feed.send(kTrackLat, trackLon(1012), true, 1012));
  EXPECT_LT(metres(feed.lat, feed.lon, kTrackLat, trackLon(1012)), 5.0);
  EXPECT_EQ(feed.state()->status, 1);
  EXPECT_EQ(feed.state()->lastFixTime, 1001u);
}

TEST(CprDecoderTest, ConfirmingFrameThatDisagreesWithTheGlobalDecodeResets) {
  Feed feed;
  CprFrame evenElsewhere = encodeCpr(52.32, 3.9, false, false);
  CprFrame odd = encodeCpr(kTrackLat, 3.9, true, false);
  CprState* state = &feed.decoder.cprStates.states[feed.address];
  state->address = feed.address;
  state->store(false, evenElsewhere.lat, evenElsewhere.lon, 1000, false);
  state->lastSeen = 1000;
  state->status = 1;
  state->lastLatitude = kTrackLat;
  state->lastLongitude = 3.9;
  state->lastFixTime = 1000;
  // Precondition of the fixture: that even frame pairs into a position far off.
  CprState probe = *state;
  probe.store(true, odd.lat, odd.lon, 1001, false);
  double lat = 0, lon = 0;
  ASSERT_TRUE(probe.decodeGlobal(true, 0, 0, false, lat, lon));
  ASSERT_GT(metres(lat, lon, kTrackLat, 3.9), 1000.0);

  EXPECT_FALSE(feed.sendRaw(true, odd.lat, odd.lon, 1001));
  EXPECT_EQ(feed.state()->status, 0);
  EXPECT_EQ(feed.state()->lastFixTime, 0u);
}

TEST(CprDecoderTest, ImplausibleJumpsAreRejected) {
  // While confirming, a jump resets the aircraft.
  Feed feed;
  feed.send(kTrackLat, trackLon(1000), false, 1000);
  feed.send(kTrackLat, trackLon(1001), true, 1001);
  EXPECT_FALSE(feed.send(kTrackLat + 0.05, trackLon(1002), false, 1002));
  EXPECT_EQ(feed.state()->status, 0);

  // Once confirmed, a jump is dropped and the track goes on.
  Feed confirmed;
  confirmed.send(kTrackLat, trackLon(1000), false, 1000);
  confirmed.send(kTrackLat, trackLon(1001), true, 1001);
  ASSERT_TRUE(confirmed.send(kTrackLat, trackLon(1002), false, 1002));
  EXPECT_FALSE(confirmed.send(kTrackLat + 0.05, trackLon(1003), true, 1003));
  EXPECT_EQ(confirmed.state()->status, 2);
  EXPECT_EQ(confirmed.state()->lastFixTime, 1002u);
  // The same position again a second later is a stuck report.
  EXPECT_FALSE(confirmed.send(kTrackLat, trackLon(1002), false, 1003));
  EXPECT_TRUE(confirmed.send(kTrackLat, trackLon(1004), true, 1004));
}

TEST(CprDecoderTest, RangeCheckAgainstAValidReference) {
  // Reference about 600 km away: the pair never makes a fix.
  Feed far;
  far.refValid = true;
  far.refLat = 47.0;
  far.refLon = 3.9;
  far.send(kTrackLat, trackLon(1000), false, 1000);
  EXPECT_FALSE(far.send(kTrackLat, trackLon(1001), true, 1001));
  EXPECT_EQ(far.state()->status, 0);
  EXPECT_FALSE(far.send(kTrackLat, trackLon(1002), false, 1002));

  // No reference yet: no range check.
  Feed unknown;
  unknown.refLat = 47.0;
  unknown.send(kTrackLat, trackLon(1000), false, 1000);
  unknown.send(kTrackLat, trackLon(1001), true, 1001);
  EXPECT_TRUE(unknown.send(kTrackLat, trackLon(1002), false, 1002));

  // A confirmed aircraft that the reference moves away from keeps its state.
  unknown.refValid = true;
  EXPECT_FALSE(unknown.send(kTrackLat, trackLon(1003), true, 1003));
  EXPECT_EQ(unknown.state()->status, 2);
  unknown.refLat = 52.0;
  EXPECT_TRUE(unknown.send(kTrackLat, trackLon(1004), false, 1004));

  // A NaN reference is no reference.
  Feed nan;
  nan.refValid = true;
  nan.refLat = NAN;
  nan.send(kTrackLat, trackLon(1000), false, 1000);
  nan.send(kTrackLat, trackLon(1001), true, 1001);
  EXPECT_TRUE(nan.send(kTrackLat, trackLon(1002), false, 1002));
  EXPECT_FALSE(std::isnan(nan.lat));
}

TEST(CprDecoderTest, SurfaceNeedsAReferenceOrAnOwnFix) {
  double lat = 52.3086, lon = 4.7639;  // taxiing at about 5 m/s
  Feed withoutReference;
  for (uint32_t t = 1000; t < 1006; ++t)
    EXPECT_FALSE(withoutReference.send(lat, lon + 0.00007 * (t - 1000), t % 2, t, true));

  Feed withReference;
  withReference.refValid = true;
  withReference.send(lat, lon, false, 1000, true);
  EXPECT_FALSE(withReference.send(lat, lon + 0.00007, true, 1001, true));
  for (uint32_t t = 1002; t < 1006; ++t) {
    ASSERT_TRUE(withReference.send(lat, lon + 0.00007 * (t - 1000), t % 2, t, true)) << t;
    EXPECT_LT(metres(withReference.lat, withReference.lon, lat, lon + 0.00007 * (t - 1000)), 2.0);
  }
  EXPECT_EQ(withReference.state()->status, 2);
  // Standing still on the ground is fine.
  EXPECT_TRUE(withReference.send(lat, lon + 0.00035, true, 1006, true));

  // An aircraft that landed goes on with surface frames against its own airborne fix.
  Feed landing;
  landing.send(lat, lon - 0.02, false, 1000);
  landing.send(lat, lon - 0.019, true, 1001);
  ASSERT_TRUE(landing.send(lat, lon - 0.018, false, 1002));
  EXPECT_TRUE(landing.send(lat, lon - 0.0175, true, 1003, true));
  EXPECT_LT(metres(landing.lat, landing.lon, lat, lon - 0.0175), 2.0);
}

TEST(CprDecoderTest, PurgesSilentAircraftAndIgnoresWideValues) {
  Feed feed;
  feed.send(kTrackLat, trackLon(1000), false, 1000);
  ASSERT_NE(feed.state(), nullptr);
  auto send = [&](uint32_t address, uint32_t time) {
    double lat, lon;
    CprFrame f = encodeCpr(kTrackLat, 3.9, false, false);
    feed.decoder.decodeCprPosition(address, false, f.lat, f.lon, 0, 0, time, false, false, lat, lon);
  };
  send(0x123456, 1010);
  EXPECT_NE(feed.state(), nullptr);  // 10 s of silence is kept
  send(0x123456, 1011);
  EXPECT_EQ(feed.state(), nullptr);
  EXPECT_EQ(feed.decoder.cprStates.states.size(), 1u);

  // Values that no 17-bit field can hold create nothing.
  EXPECT_FALSE(feed.sendRaw(false, 131072, 0, 1011));
  EXPECT_FALSE(feed.sendRaw(true, 0, 0xFFFFFFFF, 1011));
  EXPECT_EQ(feed.state(), nullptr);
}

TEST(CprDecoderTest, EdgeValuesNeverLeakOutOfRangeResults) {
  // Every combination of edge values, in several orders, through the whole state machine.
  const uint32_t values[] = {0, 1, 65535, 65536, 87381, 131071};
  Feed feed;
  feed.refValid = false;
  uint32_t t = 1000;
  for (uint32_t a : values)
    for (uint32_t b : values)
      for (int parity = 0; parity < 4; ++parity) {
        bool odd = parity & 1, surface = parity & 2;
        feed.address = (a * 7 + b) & 0xFFFFFF;
        for (int repeat = 0; repeat < 3; ++repeat) {
          if (feed.sendRaw(odd, a, b, t, surface) || feed.sendRaw(!odd, b, a, t, surface)) {
            EXPECT_LE(std::fabs(feed.lat), 90.0);
            EXPECT_GE(feed.lon, -180.0);
            EXPECT_LT(feed.lon, 180.0);
          }
        }
        ++t;
      }
}

}  // namespace
