// Comm-B registers in DF 20 / DF 21 replies.

#include <gtest/gtest.h>

#include <initializer_list>

#include "decode/message_decoder.h"
#include "tests/decode/frame_builder.h"

namespace {

using frame_builder::addressParity;
using frame_builder::Field56;
using frame_builder::fromHex;

const MessageField kMarkers[] = {MessageField::BDS20, MessageField::BDS40, MessageField::BDS44,
                                 MessageField::BDS50, MessageField::BDS60};

Message decodeOk(const ModesData& frame) {
  MessageDecoder decoder;
  Message message;
  EXPECT_TRUE(decoder.decode(frame, message));
  return message;
}

// DF 20 (FS 0, altitude code 0) from 0x4840D6 with the given MB field.
Message commB(const Field56& mb, int df = 20) {
  return decodeOk(addressParity(14, static_cast<uint8_t>(df << 3), 0, 0, 0, 0x4840D6, mb));
}

// The one register marker that is set, or none.
void expectOnlyMarker(const Message& m, std::initializer_list<MessageField> expected) {
  for (MessageField marker : kMarkers) {
    bool wanted = false;
    for (MessageField e : expected) wanted = wanted || e == marker;
    EXPECT_EQ(m.has(marker), wanted) << static_cast<int>(marker);
  }
}

TEST(CommBPublicFrames, RegistersWithKnownValues) {
  // 2,0: KLM1017. Its character bytes fit none of the other registers.
  Message id = decodeOk(fromHex("A000083E202CC371C31DE0AA1CCF"));
  expectOnlyMarker(id, {MessageField::BDS20});
  EXPECT_EQ(id.callsign, "KLM1017");
  EXPECT_EQ(id.altitude, 12550);

  // 4,0: MCP and FMS 3008 ft, 1020.0 hPa.
  Message intention = decodeOk(fromHex("A000029C85E42F313000007047D3"));
  expectOnlyMarker(intention, {MessageField::BDS40});
  EXPECT_EQ(intention.mcp, 30);
  EXPECT_EQ(intention.fms, 30);
  EXPECT_EQ(intention.qnh, 1020);
  EXPECT_FALSE(intention.has(MessageField::FCU) || intention.has(MessageField::MCPS));

  // 5,0: roll 2.1, track 114.26, rate 0.125 deg/s, true airspeed 424 kt.
  Message track = decodeOk(fromHex("A000139381951536E024D4CCF6B5"));
  expectOnlyMarker(track, {MessageField::BDS50});
  EXPECT_NEAR(track.ra, 2.109375, 1e-9);
  EXPECT_EQ(track.tt, 114.0);
  EXPECT_NEAR(track.tr, 0.125, 1e-9);
  EXPECT_EQ(track.tas, 424);
  EXPECT_FALSE(track.has(MessageField::GS));
}

TEST(CommBRegisters, MeteorologicalReport) {
  Field56 mb;
  mb.set(1, 4, 2).set(5, true).set(6, 14, 35).set(15, 22, 128).set(23, true).set(24, true)
      .set(25, 34, 1024 - 80);
  Message m = commB(mb);
  expectOnlyMarker(m, {MessageField::BDS44});
  EXPECT_EQ(m.wspd, 35);
  EXPECT_EQ(m.wdir, 90);
  EXPECT_EQ(m.temp, -20.0);

  // Temperature outside -80 .. +60 degrees, or source 0, is not this register.
  Field56 hot;
  hot.set(1, 4, 1).set(23, true).set(25, 34, 241);
  expectOnlyMarker(commB(hot), {});
  Field56 warm = hot;
  warm.set(25, 34, 240);
  EXPECT_EQ(commB(warm).temp, 60.0);
  Field56 source = warm;
  source.set(1, 4, 0);
  EXPECT_FALSE(commB(source).has(MessageField::BDS44));
  // A field with its status bit clear must be empty.
  Field56 stray = warm;
  stray.set(51, 56, 1);
  EXPECT_FALSE(commB(stray).has(MessageField::BDS44));
  stray.set(50, true);
  EXPECT_TRUE(commB(stray).has(MessageField::BDS44));
}

TEST(CommBRegisters, SelectedVerticalIntention) {
  Field56 mb;
  mb.set(1, true).set(2, 13, 2300).set(48, true).set(49, 51, 5).set(54, true).set(55, 56, 3);
  Message m = commB(mb, 21);
  expectOnlyMarker(m, {MessageField::BDS40});
  EXPECT_EQ(m.mcp, 368);  // 36800 ft
  EXPECT_FALSE(m.has(MessageField::FMS));
  EXPECT_FALSE(m.has(MessageField::QNH));
  EXPECT_EQ(m.fcu, 5);
  EXPECT_EQ(m.mcps, 3);

  // Values outside the plausible ranges are dropped, the register still fits.
  Field56 limits;
  limits.set(1, true).set(2, 13, 6).set(14, true).set(15, 26, 3125).set(27, true)
      .set(28, 39, 1500);
  Message l = commB(limits);
  EXPECT_TRUE(l.has(MessageField::BDS40));
  EXPECT_FALSE(l.has(MessageField::MCP));  // 96 ft
  EXPECT_FALSE(l.has(MessageField::FMS));  // 50000 ft
  EXPECT_FALSE(l.has(MessageField::QNH));  // exactly 950 hPa
  limits.set(2, 13, 7).set(15, 26, 3124).set(28, 39, 1501);
  Message k = commB(limits);
  EXPECT_EQ(k.mcp, 1);
  EXPECT_EQ(k.fms, 499);
  EXPECT_EQ(k.qnh, 950);

  // Reserved bits set: not this register.
  Field56 reserved = mb;
  reserved.set(52, true);
  EXPECT_FALSE(commB(reserved).has(MessageField::BDS40));
}

TEST(CommBRegisters, TrackAndTurn) {
  Field56 mb;
  mb.set(1, true).set(2, true).set(3, 11, 512 - 57).set(12, true).set(13, true).set(14, 23, 512)
      .set(35, true).set(36, true).set(37, 45, 512 - 16);
  Message m = commB(mb);
  expectOnlyMarker(m, {MessageField::BDS50});
  EXPECT_NEAR(m.ra, -10.01953125, 1e-9);
  EXPECT_EQ(m.tt, 270.0);  // -512 steps = -90 degrees
  EXPECT_EQ(m.tr, -0.5);
  EXPECT_FALSE(m.has(MessageField::TAS));

  // A steep roll is not stored; true airspeed bounds.
  Field56 steep;
  steep.set(1, true).set(3, 11, 171).set(46, true).set(47, 56, 20);
  Message s = commB(steep);
  EXPECT_TRUE(s.has(MessageField::BDS50));
  EXPECT_FALSE(s.has(MessageField::RA));  // 30.06 degrees
  EXPECT_FALSE(s.has(MessageField::TAS)); // 40 kt
  steep.set(3, 11, 170).set(47, 56, 21);
  Message t = commB(steep);
  EXPECT_NEAR(t.ra, 29.8828125, 1e-9);
  EXPECT_EQ(t.tas, 42);

  // Negative track angles truncate toward zero before wrapping.
  Field56 small;
  small.set(12, true).set(13, true).set(14, 23, 1023);
  EXPECT_EQ(commB(small).tt, 0.0);
  small.set(14, 23, 1018);
  EXPECT_EQ(commB(small).tt, 359.0);
}

TEST(CommBRegisters, HeadingAndSpeed) {
  // Status MB 13 with IAS, plus a heading; MB 13-23 being set rules out 5,0.
  Field56 mb;
  mb.set(1, true).set(2, true).set(3, 12, 1024 - 256).set(13, true).set(14, 23, 250)
      .set(24, true).set(25, 34, 200);
  Message m = commB(mb);
  expectOnlyMarker(m, {MessageField::BDS60});
  EXPECT_EQ(m.hdg, 315.0);
  EXPECT_TRUE(m.has(MessageField::HAB));
  EXPECT_FALSE(m.hab);
  EXPECT_EQ(m.ias, 250);
  EXPECT_EQ(m.mach, 800);

  Field56 limits;
  limits.set(13, true).set(14, 23, 600).set(24, true).set(25, 34, 250);
  Message l = commB(limits);
  EXPECT_TRUE(l.has(MessageField::BDS60));
  EXPECT_FALSE(l.has(MessageField::IAS));
  EXPECT_FALSE(l.has(MessageField::MACH));
  EXPECT_FALSE(l.has(MessageField::HDG));
}

TEST(CommBRegisters, IdentificationOnlyWhenNothingElseFits) {
  // 0x20 also reads as source 2 of a 4,4 report, but the blanks fill the wind field while
  // its status bit is clear, so only the identification fits.
  Field56 blanks;
  blanks.set(1, 8, 0x20);
  for (int i = 0; i < 8; ++i) blanks.set(9 + 6 * i, 14 + 6 * i, 32);
  Message m = commB(blanks);
  expectOnlyMarker(m, {MessageField::BDS20});
  EXPECT_TRUE(m.has(MessageField::CALLSIGN));
  EXPECT_EQ(m.callsign, "");

  // 0x20 and nothing else: a marker, no callsign.
  Field56 bare;
  bare.set(1, 8, 0x20);
  Message b = commB(bare);
  expectOnlyMarker(b, {MessageField::BDS20});
  EXPECT_FALSE(b.has(MessageField::CALLSIGN));

  // 0x20 whose remaining bits form a valid temperature report becomes 4,4 instead.
  Field56 weather;
  weather.set(1, 8, 0x20).set(23, true).set(25, 34, 40);
  Message w = commB(weather);
  expectOnlyMarker(w, {MessageField::BDS44});
  EXPECT_EQ(w.temp, 10.0);
  EXPECT_FALSE(w.has(MessageField::CALLSIGN));
}

TEST(CommBRegisters, SurveillanceFieldsStayWhenNoRegisterFits) {
  Field56 noise;
  noise.set(1, 56, 0xFFFFFFFFFFFFFFull).set(1, 8, 0x21);
  ModesData frame = addressParity(14, (21 << 3) | 2, 0, 0, 0, 0x4840D6, noise);
  Message m = decodeOk(frame);
  expectOnlyMarker(m, {});
  EXPECT_EQ(m.icao, 0x4840D6u);
  EXPECT_EQ(m.fs, 2);
  EXPECT_TRUE(m.acas);
  EXPECT_TRUE(m.has(MessageField::SQUAWK));
}

}  // namespace
