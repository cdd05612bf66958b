// Extended squitters by type code, with public frames where their decoding is known.

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "decode/message_decoder.h"
#include "decode/receiver_position.h"
#include "tests/decode/frame_builder.h"

namespace {

using frame_builder::extendedSquitter;
using frame_builder::Field56;
using frame_builder::fromHex;
using frame_builder::squitter;

Message decodeOk(const ModesData& frame) {
  MessageDecoder decoder;
  Message message;
  EXPECT_TRUE(decoder.decode(frame, message));
  return message;
}

bool decodes(const ModesData& frame) {
  MessageDecoder decoder;
  Message message;
  return decoder.decode(frame, message);
}

// ME field of an identification squitter with the given characters (6-bit codes).
Field56 identification(int typeCode, int category, const std::string& text) {
  static const std::string alphabet =
      "@ABCDEFGHIJKLMNOPQRSTUVWXYZ                     0123456789      ";
  Field56 me;
  me.set(1, 5, typeCode).set(6, 8, category);
  for (size_t i = 0; i < 8; ++i) {
    const char c = i < text.size() ? text[i] : ' ';
    const size_t code = c == ' ' ? 32 : alphabet.find(c);
    me.set(9 + 6 * static_cast<int>(i), 14 + 6 * static_cast<int>(i), code);
  }
  return me;
}

TEST(ExtendedSquitterPublicFrames, Identification) {
  Message m = decodeOk(fromHex("8D4840D6202CC371C32CE0576098"));
  EXPECT_EQ(m.df, 17);
  EXPECT_EQ(m.typeCode, 4);
  EXPECT_EQ(m.icao, 0x4840D6u);
  ASSERT_TRUE(m.has(MessageField::CALLSIGN));
  EXPECT_EQ(m.callsign, "KLM1023");
  EXPECT_EQ(m.cat, 4);
  EXPECT_EQ(m.cat2, 0);
  EXPECT_EQ(m.ca, 5);
  EXPECT_TRUE(m.has(MessageField::GR));
  EXPECT_FALSE(m.gr);
  EXPECT_FALSE(m.has(MessageField::NIC));
  // Exactly CALLSIGN, CAT, CAT2, CA and GR.
  const uint32_t expected = (1u << 0) | (1u << 1) | (1u << 2) | (1u << 4) | (1u << 28);
  EXPECT_EQ(m.presence[0], expected);
  EXPECT_EQ(m.presence[1], 0u);
  EXPECT_EQ(m.presence[2], 0u);
}

TEST(ExtendedSquitterPublicFrames, AirbornePositionPair) {
  // Even and odd airborne positions of one aircraft; the fix is the even frame's position.
  MessageDecoder decoder;
  Message m;
  ASSERT_TRUE(decoder.decode(fromHex("8D40621D58C386435CC412692AD6", 5000), m));
  EXPECT_EQ(m.typeCode, 11);
  EXPECT_EQ(m.altitude, 38000);
  EXPECT_EQ(m.nic, 8);
  EXPECT_TRUE(m.has(MessageField::CPR) && m.cpr);
  EXPECT_FALSE(m.has(MessageField::LAT));

  // The first pair gives one global fix, which is only confirmed by the next frame.
  ASSERT_TRUE(decoder.decode(fromHex("8D40621D58C382D690C8AC2863A7", 5000), m));
  EXPECT_FALSE(m.cpr);
  EXPECT_FALSE(m.has(MessageField::LAT));
  ASSERT_TRUE(decoder.decode(fromHex("8D40621D58C382D690C8AC2863A7", 5000), m));
  ASSERT_TRUE(m.has(MessageField::LAT) && m.has(MessageField::LON));
  EXPECT_NEAR(m.lat, 52.2572, 0.0001);
  EXPECT_NEAR(m.lon, 3.9194, 0.0001);
  EXPECT_EQ(m.icao, 0x40621Du);
  EXPECT_EQ(m.altitude, 38000);
  EXPECT_TRUE(m.has(MessageField::GR));
  EXPECT_FALSE(m.gr);
  EXPECT_TRUE(m.has(MessageField::TS));
  EXPECT_FALSE(m.has(MessageField::PA) || m.has(MessageField::ALRT) || m.has(MessageField::SPI));
}

TEST(ExtendedSquitterPublicFrames, DecodedPositionsFeedTheReceiverPosition) {
  MessageDecoder decoder;
  ReceiverPosition receiver;
  Message m;
  ModesData odd = fromHex("8D40621D58C386435CC412692AD6", 5000);
  ModesData even = fromHex("8D40621D58C382D690C8AC2863A7", 5000);
  odd.receiverPosition = &receiver;
  even.receiverPosition = &receiver;
  decoder.decode(odd, m);
  decoder.decode(even, m);
  EXPECT_EQ(receiver.sampleCount(), 0u);
  decoder.decode(even, m);
  ASSERT_TRUE(m.has(MessageField::LAT));
  EXPECT_EQ(receiver.sampleCount(), 1u);
}

TEST(ExtendedSquitterPublicFrames, AirborneVelocity) {
  // Ground speed subtype: 8 kt west, 159 kt south, descending 832 ft/min.
  Message v = decodeOk(fromHex("8D485020994409940838175B284F"));
  EXPECT_EQ(v.typeCode, 19);
  EXPECT_EQ(v.icao, 0x485020u);
  EXPECT_NEAR(v.gs, 159.20, 0.01);
  EXPECT_NEAR(v.tt, 182.88, 0.01);
  EXPECT_EQ(v.vr, -832);
  EXPECT_EQ(v.gnss, 550);
  EXPECT_EQ(v.vsrc, 0);
  EXPECT_EQ(v.ifr, 1);
  EXPECT_EQ(v.ic, 0);
  EXPECT_EQ(v.nucr, 0);
  EXPECT_TRUE(v.has(MessageField::SSC));
  EXPECT_FALSE(v.ssc);
  EXPECT_FALSE(v.has(MessageField::NIC));
  EXPECT_FALSE(v.has(MessageField::HDG));

  // Airspeed subtype: heading 243.98, true airspeed 375 kt, descending 2304 ft/min.
  Message a = decodeOk(fromHex("8DA05F219B06B6AF189400CBC33F"));
  EXPECT_NEAR(a.hdg, 243.984375, 1e-9);
  EXPECT_TRUE(a.has(MessageField::HAB) && a.hab);
  EXPECT_EQ(a.ast, 1);
  ASSERT_TRUE(a.has(MessageField::TAS));
  EXPECT_EQ(a.tas, 375);
  EXPECT_FALSE(a.has(MessageField::IAS));
  EXPECT_EQ(a.gs, 375.0);
  EXPECT_EQ(a.vr, -2304);
  EXPECT_EQ(a.vsrc, 1);
  EXPECT_FALSE(a.has(MessageField::TT));
  EXPECT_FALSE(a.has(MessageField::GNSS));
}

TEST(ExtendedSquitterVelocity, TrackInEveryQuadrant) {
  struct Case {
    bool west, south;
    int subtype;
    double track;
  };
  const Case cases[] = {{false, false, 1, 45}, {false, true, 1, 135}, {true, true, 1, 225},
                        {true, false, 1, 315}, {false, false, 2, 45}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.track);
    Field56 me;
    me.set(1, 5, 19).set(6, 8, c.subtype).set(14, c.west).set(15, 24, 101).set(25, c.south).set(26, 35, 101);
    Message m = decodeOk(extendedSquitter(0x123456, me));
    EXPECT_NEAR(m.tt, c.track, 1e-9);
    EXPECT_NEAR(m.gs, 100 * std::sqrt(2.0) * (c.subtype == 2 ? 4 : 1), 1e-9);
    EXPECT_EQ(m.ssc, c.subtype == 2);
  }
  // Due north or south: no east-west component.
  Field56 north;
  north.set(1, 5, 19).set(6, 8, 1).set(14, true).set(15, 24, 1).set(26, 35, 201);
  EXPECT_EQ(decodeOk(extendedSquitter(1, north)).tt, 0.0);
  EXPECT_EQ(decodeOk(extendedSquitter(1, north.set(25, true))).tt, 180.0);
}

TEST(ExtendedSquitterVelocity, MissingFieldsAreAbsent) {
  Field56 me;
  me.set(1, 5, 19).set(6, 8, 1).set(15, 24, 0).set(26, 35, 50).set(38, 46, 0);
  Message m = decodeOk(extendedSquitter(1, me));
  EXPECT_FALSE(m.has(MessageField::GS));
  EXPECT_FALSE(m.has(MessageField::TT));
  EXPECT_FALSE(m.has(MessageField::VR));
  EXPECT_FALSE(m.has(MessageField::GNSS));
  EXPECT_TRUE(m.has(MessageField::NUCR));

  // Climbing, GNSS below baro, airspeed subtype 4 (supersonic, x4) as indicated airspeed.
  Field56 fast;
  fast.set(1, 5, 19).set(6, 8, 4).set(26, 35, 101).set(37, false).set(38, 46, 11).set(36, true);
  Message f = decodeOk(extendedSquitter(1, fast));
  EXPECT_EQ(f.vr, 640);
  EXPECT_EQ(f.ast, 0);
  EXPECT_EQ(f.ias, 400);
  EXPECT_EQ(f.gs, 400.0);
  EXPECT_FALSE(f.has(MessageField::HDG));
  EXPECT_TRUE(f.ssc);

  Field56 gnss;
  gnss.set(1, 5, 19).set(6, 8, 1).set(49, true).set(50, 56, 5);
  EXPECT_EQ(decodeOk(extendedSquitter(1, gnss)).gnss, -100);

  // Subtypes 0 and 5-7 carry nothing the decoder knows.
  for (int subtype : {0, 5, 6, 7}) {
    Field56 other;
    other.set(1, 5, 19).set(6, 8, subtype).set(15, 24, 10).set(26, 35, 10);
    EXPECT_FALSE(decodes(extendedSquitter(1, other))) << subtype;
  }
}

TEST(ExtendedSquitterIdentification, CallsignText) {
  Message blanks = decodeOk(extendedSquitter(1, identification(1, 3, "        ")));
  EXPECT_TRUE(blanks.has(MessageField::CALLSIGN));
  EXPECT_EQ(blanks.callsign, "");
  EXPECT_EQ(blanks.cat, 1);
  EXPECT_EQ(blanks.cat2, 3);

  EXPECT_EQ(decodeOk(extendedSquitter(1, identification(2, 0, " AB 12  "))).callsign, "AB 12");
  EXPECT_EQ(decodeOk(extendedSquitter(1, identification(3, 7, "N1234567"))).callsign, "N1234567");

  // All six character bytes zero: no callsign at all, though the category is there.
  Field56 empty;
  empty.set(1, 5, 4).set(6, 8, 2);
  Message none = decodeOk(extendedSquitter(1, empty));
  EXPECT_FALSE(none.has(MessageField::CALLSIGN));
  EXPECT_EQ(none.cat, 4);
  EXPECT_EQ(none.cat2, 2);
}

TEST(ExtendedSquitterPosition, SurfaceMovementAndTrack) {
  struct Case {
    int movement;
    double knots;  // negative: no speed
  };
  const Case cases[] = {{0, -1},    {1, 0},     {2, 0.125}, {3, 0.125}, {8, 0.854},
                        {9, 1},     {12, 1.75}, {13, 2},    {38, 14.5}, {39, 15},
                        {93, 69},   {94, 70},   {108, 98},  {109, 100}, {123, 170},
                        {124, 175}, {125, -1},  {127, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.movement);
    Field56 me;
    me.set(1, 5, 6).set(6, 12, c.movement).set(13, true).set(14, 20, 64);
    Message m = decodeOk(extendedSquitter(0x3C6DD4, me));
    EXPECT_EQ(m.has(MessageField::GS), c.knots >= 0);
    if (c.knots >= 0) {
      EXPECT_NEAR(m.gs, c.knots, 1e-9);
    }
    EXPECT_EQ(m.tt, 180.0);
    EXPECT_TRUE(m.has(MessageField::GR) && m.gr);
    EXPECT_EQ(m.nic, 10);
    EXPECT_FALSE(m.has(MessageField::ALTITUDE));
  }
  // Track truncated to whole degrees; no track without its status bit.
  Field56 me;
  me.set(1, 5, 5).set(13, true).set(14, 20, 3);
  EXPECT_EQ(decodeOk(extendedSquitter(1, me)).tt, 8.0);
  me.set(13, false);
  EXPECT_FALSE(decodeOk(extendedSquitter(1, me)).has(MessageField::TT));
}

TEST(ExtendedSquitterPosition, NicSurveillanceStatusAndHeights) {
  const int nic[] = {11, 10, 8, 0, 11, 10, 8, 7, 6, 5, 4, 2, 1, 0, -1, 11, 10, 0};
  for (int tc = 5; tc <= 22; ++tc) {
    if (tc == 19) continue;
    Field56 me;
    me.set(1, 5, tc).set(9, 20, 0xC38);
    Message m = decodeOk(extendedSquitter(1, me));
    EXPECT_EQ(m.nic, nic[tc - 5]) << tc;
    EXPECT_TRUE(m.has(MessageField::NIC));
  }
  struct Status {
    int code;
    MessageField field;
  };
  for (const Status& s : {Status{1, MessageField::PA}, Status{2, MessageField::ALRT},
                          Status{3, MessageField::SPI}}) {
    Field56 me;
    me.set(1, 5, 12).set(6, 7, s.code).set(9, 20, 0xC38);
    Message m = decodeOk(extendedSquitter(1, me));
    EXPECT_TRUE(m.has(s.field)) << s.code;
    EXPECT_EQ(int(m.has(MessageField::PA)) + int(m.has(MessageField::ALRT)) +
                  int(m.has(MessageField::SPI)),
              1);
  }
  // GNSS height type codes carry the raw height without ME 16 and no barometric altitude.
  Field56 gnss;
  gnss.set(1, 5, 20).set(9, 15, 0x55).set(16, true).set(17, 20, 0x9).set(21, true);
  Message g = decodeOk(extendedSquitter(1, gnss));
  EXPECT_EQ(g.hae, (0x55 << 4) | 0x9);
  EXPECT_FALSE(g.has(MessageField::ALTITUDE));
  EXPECT_TRUE(g.ts);

  // Type code 0 has an altitude only when the field is not empty.
  Field56 none;
  Message z = decodeOk(extendedSquitter(1, none));
  EXPECT_FALSE(z.has(MessageField::ALTITUDE));
  EXPECT_TRUE(z.has(MessageField::GR));
  Message alt = decodeOk(extendedSquitter(1, none.set(9, 20, 0xC38)));
  EXPECT_EQ(alt.altitude, 38000);
  EXPECT_FALSE(alt.has(MessageField::MBIT));
}

TEST(ExtendedSquitterPosition, TwelveAndThirteenBitGillhamAgree) {
  // A Mode C (Q = 0) code in the 12-bit layout equals the 13-bit one without the M bit.
  const uint32_t code12 = 0x4A3 & ~0x10u;
  Field56 me;
  me.set(1, 5, 11).set(9, 20, code12);
  Message es = decodeOk(extendedSquitter(1, me));
  const uint32_t code13 = ((code12 & 0xFC0) << 1) | (code12 & 0x3F);
  ModesData reply = frame_builder::addressParity(7, 4 << 3, 0, (code13 >> 8) & 0x1F, code13 & 0xFF, 1);
  Message df4 = decodeOk(reply);
  EXPECT_EQ(es.qbit, 0);
  EXPECT_EQ(es.altitude, df4.altitude);
  EXPECT_NE(es.altitude, 0);
}

TEST(ExtendedSquitterFormats, WhichSquittersDecode) {
  Field56 id = identification(4, 0, "TEST");
  EXPECT_TRUE(decodes(squitter(0x88 | 0, 1, id)));   // DF 17 CA 0
  EXPECT_TRUE(decodes(squitter(0x90 | 0, 1, id)));   // DF 18 CF 0
  EXPECT_TRUE(decodes(squitter(0x90 | 1, 1, id)));
  EXPECT_TRUE(decodes(squitter(0x90 | 6, 1, id)));
  for (int cf : {2, 3, 4, 5, 7}) EXPECT_FALSE(decodes(squitter(0x90 | cf, 1, id))) << cf;
  EXPECT_TRUE(decodes(squitter(0x98, 1, id)));        // DF 19 application field 0
  for (int af = 1; af < 8; ++af) EXPECT_FALSE(decodes(squitter(0x98 | af, 1, id))) << af;
  for (int tc : {24, 25, 26, 27}) {
    Field56 me;
    me.set(1, 5, tc);
    EXPECT_FALSE(decodes(extendedSquitter(1, me))) << tc;
  }

  Message cf = decodeOk(squitter(0x90 | 6, 0xABCDEF, id));
  EXPECT_EQ(cf.cf, 6);
  EXPECT_FALSE(cf.has(MessageField::CA));
  EXPECT_FALSE(cf.has(MessageField::GR));
  EXPECT_EQ(cf.icao, 0xABCDEFu);
  Message af = decodeOk(squitter(0x98, 0xABCDEF, id));
  EXPECT_TRUE(af.has(MessageField::CA));
  EXPECT_FALSE(af.has(MessageField::GR));
  EXPECT_TRUE(decodeOk(squitter(0x8C, 1, id)).gr);  // DF 17 CA 4: on the ground
}

}  // namespace
