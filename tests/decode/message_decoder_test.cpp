// Surveillance replies, all-call replies, altitude and identity codes, and the
// decoder's behaviour on arbitrary input.

#include "decode/message_decoder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "decode/mode_ac_codes.h"
#include "tests/decode/frame_builder.h"

namespace {

using frame_builder::addressParity;
using frame_builder::Field56;
using frame_builder::fromHex;
using frame_builder::identityCode;

Message decodeOk(const ModesData& frame) {
  MessageDecoder decoder;
  Message message;
  EXPECT_TRUE(decoder.decode(frame, message));
  return message;
}

// Bytes 2-3 of a short reply carrying the 13-bit code (byte 2 bits 4-0, byte 3).
uint8_t codeHigh(uint32_t code13) { return static_cast<uint8_t>((code13 >> 8) & 0x1F); }
uint8_t codeLow(uint32_t code13) { return static_cast<uint8_t>(code13); }

// 13-bit altitude code with Q = 1 for the eleven-bit count n and the given M bit.
uint32_t qCode(uint32_t n, bool m) {
  return ((n & 0x7E0) << 2) | (m ? 0x40 : 0) | ((n & 0x10) << 1) | 0x10 | (n & 0x0F);
}

TEST(MessageDecoderPublicFrames, SurveillanceRepliesWithKnownValues) {
  // DF 20 altitude reply: 25-ft coding, 32300 ft; its MB field is empty, so no register.
  Message altitude = decodeOk(fromHex("A02014B400000000000000F9D514"));
  EXPECT_EQ(altitude.df, 20);
  ASSERT_TRUE(altitude.has(MessageField::ALTITUDE));
  EXPECT_EQ(altitude.altitude, 32300);
  EXPECT_EQ(altitude.qbit, 1);
  EXPECT_EQ(altitude.mbit, 0);
  for (MessageField marker : {MessageField::BDS20, MessageField::BDS40, MessageField::BDS44,
                              MessageField::BDS50, MessageField::BDS60})
    EXPECT_FALSE(altitude.has(marker));

  // DF 21 identity reply: squawk 1346.
  Message identity = decodeOk(fromHex("A800292DFFBBA9383FFCEB903D01"));
  EXPECT_EQ(identity.df, 21);
  ASSERT_TRUE(identity.has(MessageField::SQUAWK));
  EXPECT_EQ(identity.squawk, 0x1346);
  EXPECT_FALSE(identity.pa);
  EXPECT_FALSE(identity.has(MessageField::ALTITUDE));
}

TEST(MessageDecoderSurveillance, AirToAirReplyFields) {
  // DF 0: VS 1, CC 1, SL 5, RI 3, Q-coded 35000 ft.
  const uint32_t code = qCode(1440, false);
  const uint8_t b1 = (5 << 5) | (3 >> 1);
  const uint8_t b2 = static_cast<uint8_t>(((3 & 1) << 7) | codeHigh(code));
  Message m = decodeOk(addressParity(7, 0x06, b1, b2, codeLow(code), 0xABCDEF));
  EXPECT_EQ(m.df, 0);
  EXPECT_EQ(m.icao, 0xABCDEFu);
  EXPECT_EQ(m.typeCode, 0);
  EXPECT_TRUE(m.has(MessageField::GR) && m.gr);
  EXPECT_TRUE(m.has(MessageField::CC) && m.cc);
  EXPECT_TRUE(m.has(MessageField::SL));
  EXPECT_EQ(m.sl, 5);
  EXPECT_TRUE(m.has(MessageField::RI));
  EXPECT_EQ(m.ri, 3);
  EXPECT_EQ(m.altitude, 35000);
  EXPECT_FALSE(m.has(MessageField::FS));

  // DF 16: long air-to-air reply, VS 0, no cross-link bit.
  Message l = decodeOk(addressParity(14, 0x80, (7 << 5) | 4, codeHigh(code), codeLow(code), 0x3C6DD4));
  EXPECT_EQ(l.df, 16);
  EXPECT_EQ(l.icao, 0x3C6DD4u);
  EXPECT_TRUE(l.has(MessageField::GR));
  EXPECT_FALSE(l.gr);
  EXPECT_FALSE(l.has(MessageField::CC));
  EXPECT_EQ(l.sl, 7);
  EXPECT_EQ(l.ri, 8);
  EXPECT_EQ(l.altitude, 35000);
}

TEST(MessageDecoderSurveillance, FlightStatusSetsGroundAlertAndSpi) {
  struct Case {
    int fs;
    int gr, acas, spi;  // -1 absent
  };
  const Case cases[] = {{0, 0, 0, 0},   {1, 1, 0, 0},   {2, 0, 1, 0},   {3, 1, 1, 0},
                        {4, -1, 1, 1},  {5, -1, 0, 1},  {6, -1, -1, -1}, {7, -1, -1, -1}};
  auto expectFlag = [](const Message& m, MessageField field, bool value, int expected) {
    if (expected < 0) {
      EXPECT_FALSE(m.has(field));
    } else {
      EXPECT_TRUE(m.has(field));
      EXPECT_EQ(value, expected == 1);
    }
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fs);
    Message m = decodeOk(addressParity(7, static_cast<uint8_t>((4 << 3) | c.fs), 0, 0, 0, 0x400000));
    EXPECT_TRUE(m.has(MessageField::FS));
    EXPECT_EQ(m.fs, c.fs);
    expectFlag(m, MessageField::GR, m.gr, c.gr);
    expectFlag(m, MessageField::ACAS, m.acas, c.acas);
    expectFlag(m, MessageField::SPI, m.spi, c.spi);
  }
}

TEST(MessageDecoderSurveillance, DownlinkRequestAndUtilityMessage) {
  // DR 0b10110, UM 0b101011 spread over bytes 1 and 2.
  const uint8_t b1 = (0x16 << 3) | (0x2B >> 3);
  const uint8_t b2 = (0x2B & 7) << 5;
  Message m = decodeOk(addressParity(7, 5 << 3, b1, b2, 0, 0x123456));
  EXPECT_EQ(m.dr, 0x16);
  EXPECT_EQ(m.um, 0x2B);
  EXPECT_TRUE(m.has(MessageField::DR) && m.has(MessageField::UM));
}

TEST(MessageDecoderSurveillance, IdentityRepliesSetSquawkAndEmergency) {
  const std::map<int, bool> squawks = {{7700, true}, {7600, true}, {7500, true}, {1200, false},
                                       {7777, false}, {40, false}, {1235, false}};
  for (const auto& [squawk, emergency] : squawks) {
    SCOPED_TRACE(squawk);
    const uint32_t code = identityCode(squawk);
    for (uint32_t length : {7u, 14u}) {
      const uint8_t df = length == 7 ? 5 : 21;
      Message m = decodeOk(addressParity(length, df << 3, 0, codeHigh(code), codeLow(code), 0x4840D6));
      ASSERT_TRUE(m.has(MessageField::SQUAWK));
      EXPECT_EQ(m.squawk, (squawk / 1000) << 12 | (squawk / 100 % 10) << 8 |
                              (squawk / 10 % 10) << 4 | (squawk % 10));
      EXPECT_TRUE(m.has(MessageField::PA));
      EXPECT_EQ(m.pa, emergency);
      EXPECT_EQ(m.icao, 0x4840D6u);
    }
  }
  // The X bit between A4 and B1 does not change the squawk.
  EXPECT_EQ(squawkFromIdentity(identityCode(7700) | 0x40), 0x7700);
  EXPECT_EQ(squawkFromIdentity(identityCode(7700)), 30464);
}

TEST(MessageDecoderAltitude, ThirteenBitCodes) {
  struct Case {
    uint32_t code;
    int altitude, mbit, qbit;
  };
  const Case cases[] = {
      {0, 0, 0, 0},                         // Gillham code 0 is invalid, still present
      {qCode(1440, false), 35000, 0, 1},    // 25-ft steps
      {qCode(1440, true), 46262, 1, 1},     // with the M bit: 14100 m
      {qCode(0, false), -1000, 0, 1},
      {qCode(2047, false), 50175, 0, 1},
      {0x1000 | 0x40, -800, 1, 0},          // M without Q still goes through Gillham
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    Message m = decodeOk(addressParity(7, 4 << 3, 0, codeHigh(c.code), codeLow(c.code), 0x400000));
    EXPECT_TRUE(m.has(MessageField::ALTITUDE));
    EXPECT_TRUE(m.has(MessageField::MBIT));
    EXPECT_TRUE(m.has(MessageField::QBIT));
    EXPECT_EQ(m.altitude, c.altitude);
    EXPECT_EQ(m.mbit, c.mbit);
    EXPECT_EQ(m.qbit, c.qbit);
  }
}

// The Mode C code is a unit-distance code: every 100 ft step flips exactly one bit, the
// valid codes cover -1200 ft upwards without gaps or duplicates, and codes whose hundreds
// bits are 0 0 0 (or another invalid pattern) decode to 0.
TEST(MessageDecoderAltitude, GillhamCodeIsContiguousUnitDistance) {
  // The eleven Mode C bits within the 13-bit code (D1 and X/M excluded).
  const int positions[] = {12, 11, 10, 9, 8, 7, 5, 3, 2, 1, 0};
  std::map<int, uint32_t> codeByAltitude;
  for (uint32_t combination = 0; combination < (1u << 11); ++combination) {
    uint32_t code = 0;
    for (int i = 0; i < 11; ++i)
      if (combination & (1u << i)) code |= 1u << positions[i];
    const uint32_t hundreds = ((code >> 12) & 1) << 2 | ((code >> 10) & 1) << 1 | ((code >> 8) & 1);
    const int altitude = gillhamAltitude(code);
    if (hundreds == 0 || hundreds == 5 || hundreds == 7) {  // Gray 000, 101, 111 are invalid
      EXPECT_EQ(altitude, 0) << code;
      continue;
    }
    EXPECT_EQ(altitude % 100, 0);
    EXPECT_TRUE(codeByAltitude.emplace(altitude, code).second) << "duplicate " << altitude;
  }
  ASSERT_FALSE(codeByAltitude.empty());
  EXPECT_EQ(codeByAltitude.begin()->first, -1200);
  EXPECT_EQ(codeByAltitude.size(), 256u * 5u);
  int previous = codeByAltitude.begin()->first - 100;
  uint32_t previousCode = 0;
  for (const auto& [altitude, code] : codeByAltitude) {
    EXPECT_EQ(altitude, previous + 100);
    if (altitude > -1200) {
      EXPECT_EQ(__builtin_popcount(code ^ previousCode), 1) << altitude;
    }
    previous = altitude;
    previousCode = code;
  }
  // The lowest altitude has only C4 set.
  EXPECT_EQ(codeByAltitude.at(-1200), 1u << 8);
}

TEST(MessageDecoderAllCall, InterrogatorCodeFromParity) {
  struct Case {
    uint32_t remainder;
    int iis;  // -1 absent
  };
  const Case cases[] = {{0x00, -1}, {0x05, 5},  {0x0F, 15}, {0x12, 18}, {0x10, -1},
                        {0x20, 32}, {0x4F, 79}, {0x50, -1}, {0x7F, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.remainder);
    Message m = decodeOk(addressParity(7, (11 << 3) | 5, 0x48, 0x40, 0xD6, c.remainder));
    EXPECT_EQ(m.df, 11);
    EXPECT_EQ(m.icao, 0x4840D6u);
    EXPECT_EQ(m.ca, 5);
    EXPECT_TRUE(m.has(MessageField::GR));
    EXPECT_FALSE(m.gr);
    EXPECT_EQ(m.has(MessageField::IIS), c.iis >= 0);
    if (c.iis >= 0) {
      EXPECT_EQ(m.iis, c.iis);
    }
  }
  // CA 4 is on the ground, other capabilities say nothing about it.
  EXPECT_TRUE(decodeOk(addressParity(7, (11 << 3) | 4, 1, 2, 3, 0)).gr);
  EXPECT_FALSE(decodeOk(addressParity(7, (11 << 3) | 6, 1, 2, 3, 0)).has(MessageField::GR));
}

TEST(MessageDecoderFormats, LengthAndFormatDecideWhetherAFrameDecodes) {
  MessageDecoder decoder;
  Message m;
  // Formats the decoder does not know.
  for (int df : {1, 2, 3, 6, 7, 8, 9, 10, 12, 13, 14, 15, 22, 23, 24, 25, 31}) {
    for (uint32_t length : {7u, 14u}) {
      ModesData frame = addressParity(length, static_cast<uint8_t>(df << 3), 0, 0, 0, 0x111111);
      EXPECT_FALSE(decoder.decode(frame, m)) << df;
      EXPECT_EQ(m.df, df);
    }
  }
  // Known formats with the other length.
  for (int df : {0, 4, 5, 11}) {
    EXPECT_FALSE(decoder.decode(addressParity(14, static_cast<uint8_t>(df << 3), 0, 0, 0, 1), m)) << df;
  }
  for (int df : {16, 20, 21, 17, 18, 19}) {
    EXPECT_FALSE(decoder.decode(addressParity(7, static_cast<uint8_t>(df << 3), 0, 0, 0, 1), m)) << df;
  }
}

TEST(MessageDecoderFormats, EveryDecodeStartsFromAnEmptyMessage) {
  MessageDecoder decoder;
  Message m;
  ASSERT_TRUE(decoder.decode(fromHex("8D4840D6202CC371C32CE0576098"), m));
  ASSERT_TRUE(m.has(MessageField::CALLSIGN));
  ModesData reply = addressParity(7, 0x00, 0, 0, 0, 0x4840D6);
  reply.time = 77;
  ASSERT_TRUE(decoder.decode(reply, m));
  EXPECT_EQ(m.time, 77u);
  EXPECT_EQ(m.df, 0);
  EXPECT_EQ(m.typeCode, 0);
  EXPECT_FALSE(m.has(MessageField::CALLSIGN));
  EXPECT_TRUE(m.callsign.empty());
  EXPECT_FALSE(m.has(MessageField::CA));
  // A rejected frame also starts from scratch.
  ASSERT_TRUE(decoder.decode(fromHex("8D4840D6202CC371C32CE0576098"), m));
  EXPECT_FALSE(decoder.decode(fromHex("8D4840D6C82CC371C32CE0576098"), m));  // type code 25
  EXPECT_FALSE(m.has(MessageField::CALLSIGN));
  EXPECT_EQ(m.typeCode, 25);
}

// Any bytes with any length value give a defined answer; under the sanitizers this also
// shows that nothing outside the 14 bytes is read.
TEST(MessageDecoderFormats, ArbitraryInputIsHandled) {
  MessageDecoder decoder;
  Message m;
  std::mt19937 random(12345);
  const uint32_t lengths[] = {0, 1, 2, 3, 6, 7, 8, 13, 14, 15, 112, 0xFFFFFFFFu};
  for (int round = 0; round < 20000; ++round) {
    ModesData frame;
    for (uint8_t& byte : frame.bytes) byte = static_cast<uint8_t>(random());
    frame.length = lengths[round % (sizeof lengths / sizeof lengths[0])];
    frame.time = static_cast<uint32_t>(random() % 100);
    const bool decoded = decoder.decode(frame, m);
    if (frame.length != 7 && frame.length != 14) {
      EXPECT_FALSE(decoded);
    }
    // Bits above the last field are never set.
    EXPECT_EQ(m.presence[2] >> 11, 0u);
    if (decoded && m.has(MessageField::CALLSIGN)) {
      EXPECT_LE(m.callsign.size(), 8u);
    }
  }
}

}  // namespace
