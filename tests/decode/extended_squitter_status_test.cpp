// Extended squitters about the aircraft's state: test, aircraft status, target state and
// operational status messages.

#include <gtest/gtest.h>

#include <string>

#include "decode/message_decoder.h"
#include "tests/decode/frame_builder.h"

namespace {

using frame_builder::extendedSquitter;
using frame_builder::Field56;
using frame_builder::fromHex;
using frame_builder::identityCode;
using frame_builder::squitter;

Message decodeOk(const ModesData& frame) {
  MessageDecoder decoder;
  Message message;
  EXPECT_TRUE(decoder.decode(frame, message));
  return message;
}

TEST(ExtendedSquitterStatus, TestAndEmergencySquawks) {
  for (int squawk : {1234, 7700, 1235, 7777}) {
    SCOPED_TRACE(squawk);
    Field56 test;
    test.set(1, 5, 23).set(6, 8, 7).set(9, 21, identityCode(squawk));
    Message t = decodeOk(extendedSquitter(1, test));
    ASSERT_TRUE(t.has(MessageField::SQUAWK));
    EXPECT_EQ(t.squawk, std::stoi(std::to_string(squawk), nullptr, 16));

    Field56 status;
    status.set(1, 5, 28).set(6, 8, 1).set(9, 11, 5).set(12, 24, identityCode(squawk));
    Message s = decodeOk(extendedSquitter(1, status));
    EXPECT_EQ(s.squawk, t.squawk);
    EXPECT_EQ(s.ps, 5);
    EXPECT_EQ(s.pa, squawk == 7700);
    EXPECT_TRUE(s.has(MessageField::BDS61));
  }
  // Other test subtypes and an empty code carry no squawk.
  Field56 test;
  test.set(1, 5, 23).set(6, 8, 6).set(9, 21, identityCode(1234));
  EXPECT_FALSE(decodeOk(extendedSquitter(1, test)).has(MessageField::SQUAWK));
  Field56 status;
  status.set(1, 5, 28).set(6, 8, 2).set(9, 11, 5).set(12, 24, identityCode(1234));
  Message other = decodeOk(extendedSquitter(1, status));
  EXPECT_TRUE(other.has(MessageField::BDS61));
  EXPECT_FALSE(other.has(MessageField::PS) || other.has(MessageField::SQUAWK));
  Field56 quiet;
  quiet.set(1, 5, 28).set(6, 8, 1);
  Message q = decodeOk(extendedSquitter(1, quiet));
  EXPECT_TRUE(q.has(MessageField::PS));
  EXPECT_FALSE(q.has(MessageField::SQUAWK));
}

TEST(ExtendedSquitterTargetState, PublicSubtypeOneFrame) {
  // MCP altitude 16992 ft, QNH 1012.8 hPa, heading 66.8, autopilot and VNAV on.
  Message m = decodeOk(fromHex("8DA05629EA21485CBF3F8CADAEEB"));
  EXPECT_EQ(m.typeCode, 29);
  ASSERT_TRUE(m.has(MessageField::MCP));
  EXPECT_EQ(m.mcp, 169);
  EXPECT_FALSE(m.has(MessageField::FMS));
  EXPECT_EQ(m.qnh, 1013);
  EXPECT_EQ(m.thdg, 67);
  EXPECT_TRUE(m.has(MessageField::AP) && m.ap);
  EXPECT_TRUE(m.vnav);
  EXPECT_TRUE(m.has(MessageField::AHOLD) && !m.ahold);
  EXPECT_TRUE(m.has(MessageField::APPR) && !m.appr);
  EXPECT_EQ(m.tcas, 1);
  EXPECT_FALSE(m.has(MessageField::TTRK));
  EXPECT_FALSE(m.has(MessageField::MCPS));
}

TEST(ExtendedSquitterTargetState, SubtypeOneLimits) {
  Field56 me;
  me.set(1, 5, 29).set(6, 7, 1).set(9, true).set(10, 20, 1001).set(30, true).set(31, 39, 511);
  Message m = decodeOk(extendedSquitter(1, me));
  EXPECT_EQ(m.fms, 320);  // (1000 * 32) / 100
  EXPECT_FALSE(m.has(MessageField::MCP));
  EXPECT_FALSE(m.has(MessageField::QNH));
  EXPECT_EQ(m.thdg, 359);
  EXPECT_FALSE(m.has(MessageField::AP));
  EXPECT_TRUE(m.has(MessageField::TCAS));
  EXPECT_EQ(m.tcas, 0);
  me.set(30, false).set(10, 20, 0);
  Message n = decodeOk(extendedSquitter(1, me));
  EXPECT_FALSE(n.has(MessageField::THDG));
  EXPECT_FALSE(n.has(MessageField::FMS) || n.has(MessageField::MCP));
}

TEST(ExtendedSquitterTargetState, SubtypeZero) {
  Field56 me;
  me.set(1, 5, 29).set(6, 7, 0).set(8, 9, 1).set(10, true).set(14, 15, 2).set(16, 25, 360)
      .set(26, 27, 1).set(28, 36, 270).set(37, true).set(38, 39, 3).set(52, false).set(53, true);
  Message m = decodeOk(extendedSquitter(1, me));
  EXPECT_EQ(m.mcps, 1);
  EXPECT_EQ(m.tat, 1);
  EXPECT_EQ(m.vmi, 2);
  EXPECT_EQ(m.mcp, 350);
  EXPECT_FALSE(m.has(MessageField::FMS));
  EXPECT_EQ(m.hda, 1);
  EXPECT_EQ(m.ttrk, 270);
  EXPECT_FALSE(m.has(MessageField::THDG));
  EXPECT_EQ(m.hmi, 3);
  EXPECT_EQ(m.tcas, 1);
  EXPECT_TRUE(m.has(MessageField::TCASRUN) && m.tcasrun);

  // FMS source, heading instead of track, values out of range dropped.
  me.set(8, 9, 3).set(16, 25, 1011).set(37, false).set(28, 36, 360).set(52, true);
  Message n = decodeOk(extendedSquitter(1, me));
  EXPECT_FALSE(n.has(MessageField::FMS) || n.has(MessageField::MCP));
  EXPECT_FALSE(n.has(MessageField::THDG) || n.has(MessageField::TTRK));
  EXPECT_EQ(n.tcas, 0);
  me.set(16, 25, 1010).set(28, 36, 359);
  Message o = decodeOk(extendedSquitter(1, me));
  EXPECT_EQ(o.fms, 1000);
  EXPECT_EQ(o.thdg, 359);
  // Source 2 names neither MCP nor FMS.
  me.set(8, 9, 2);
  EXPECT_FALSE(decodeOk(extendedSquitter(1, me)).has(MessageField::MCP));

  // Subtypes 2 and 3 decode with nothing but the format.
  Field56 reserved;
  reserved.set(1, 5, 29).set(6, 7, 2).set(8, 56, 0x1FFFFFFFFFFFFull);
  Message r = decodeOk(extendedSquitter(1, reserved));
  EXPECT_EQ(r.presence[1] | r.presence[2], 0u);
  EXPECT_EQ(r.presence[0], 1u << 4 | 1u << 28);  // CA and GR from the capability
}

TEST(ExtendedSquitterStatus, OperationalStatusAndFormat30) {
  for (int subtype = 0; subtype < 8; ++subtype) {
    SCOPED_TRACE(subtype);
    Field56 me;
    me.set(1, 5, 31).set(6, 8, subtype).set(54, subtype % 2 == 0);
    Message m = decodeOk(squitter(0x88, 1, me));  // CA 0 leaves GR to the message
    EXPECT_TRUE(m.has(MessageField::BDS65));
    EXPECT_EQ(m.has(MessageField::GR), subtype <= 1);
    if (subtype <= 1) {
      EXPECT_EQ(m.gr, subtype == 1);
    }
    EXPECT_TRUE(m.has(MessageField::HRD));
    EXPECT_EQ(m.hrd, subtype % 2 == 0);
  }
  Field56 me;
  me.set(1, 5, 30);
  Message f = decodeOk(extendedSquitter(1, me));
  EXPECT_TRUE(f.has(MessageField::FMT30));
  EXPECT_FALSE(f.has(MessageField::BDS65));
}

}  // namespace
