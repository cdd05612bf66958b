#include "decode/message.h"
#include "decode/msg_line.h"
#include "tests/support/time_zone.h"

#include <gtest/gtest.h>

namespace {

const MsgTime when{2017, 1, 27, 9, 5, 3, 70};
const std::string stamp = "2017/01/27,09:05:03.070,2017/01/27,09:05:03.070";

Message make(int df, int typeCode = 0) {
  Message m;
  m.df = df;
  m.typeCode = typeCode;
  m.icao = 0x4840D6;
  m.time = 1485507903;
  return m;
}

Message identification() {
  Message m = make(17, 4);
  m.callsign = "KLM1023";
  m.set(MessageField::CALLSIGN);
  m.cat = 4;
  m.set(MessageField::CAT);
  m.cat2 = 0;
  m.set(MessageField::CAT2);
  m.ca = 5;
  m.set(MessageField::CA);
  m.gr = false;
  m.set(MessageField::GR);
  return m;
}

std::string line(const Message& m) {
  std::string out;
  EXPECT_TRUE(formatMsgLine(m, when, out));
  return out;
}

TEST(MsgLine, SurveillanceAndIdentificationLines) {
  Message df4 = make(4);
  df4.fs = 0;
  df4.set(MessageField::FS);
  df4.altitude = 37000;
  df4.set(MessageField::ALTITUDE);
  df4.spi = false;
  df4.set(MessageField::SPI);
  df4.gr = false;
  df4.set(MessageField::GR);
  EXPECT_EQ(line(df4), "MSG,5,0,0,4840D6,0," + stamp + ",,37000,,,,,,,,,0,0\r\n");
  EXPECT_EQ(line(identification()), "MSG,1,0,0,4840D6,0," + stamp + ",KLM1023,,,,,,,,,,,0\r\n");
}

// The time columns from a clock reading, in UTC or local time, also past what a 32-bit time_t holds.
TEST(MsgLine, TimeColumnsOfAClockReading) {
  ScopedTimeZone zone(kCentralEurope);
  struct Case {
    int64_t millis;
    bool local;
    const char* stamp;
  };
  const Case cases[] = {
      {1485507903070, false, "2017/01/27,09:05:03.070"},
      {1485507903070, true, "2017/01/27,10:05:03.070"},
      {2147483648000, false, "2038/01/19,03:14:08.000"},
      {2218104000123, false, "2040/04/15,12:00:00.123"},
      {2218104000123, true, "2040/04/15,14:00:00.123"},
      {4294967296999, false, "2106/02/07,06:28:16.999"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stamp);
    std::string out;
    ASSERT_TRUE(formatMsgLine(identification(), msgTimeAt(c.millis, c.local), out));
    EXPECT_EQ(out, "MSG,1,0,0,4840D6,0," + std::string(c.stamp) + "," + c.stamp + ",KLM1023,,,,,,,,,,,0\r\n");
  }
}

TEST(MsgLine, AltitudeTrackSpeedPositionSquawkColumns) {
  Message surface = make(17, 7);
  surface.lat = 52.25720214843750;
  surface.set(MessageField::LAT);
  surface.lon = 3.91937255859375;
  surface.set(MessageField::LON);
  surface.tt = 45.0;
  surface.set(MessageField::TT);
  surface.callsign = "IGNORED";
  surface.set(MessageField::CALLSIGN);
  EXPECT_EQ(line(surface), "MSG,2,0,0,4840D6,0," + stamp + ",,0,,45.0,52.257202,3.919373,,,,,,\r\n");

  Message airborne = make(17, 11);
  EXPECT_EQ(line(airborne), "MSG,3,0,0,4840D6,0," + stamp + ",,,,,,,,,,,,\r\n");

  Message velocity = make(19, 19);
  velocity.gs = 159.2;
  velocity.set(MessageField::GS);
  velocity.tt = 182.88;
  velocity.set(MessageField::TT);
  velocity.vr = -832;
  velocity.set(MessageField::VR);
  EXPECT_EQ(line(velocity), "MSG,4,0,0,4840D6,0," + stamp + ",,,159.2,182.9,,,-832,,,,,\r\n");

  Message commB = make(20);
  commB.tt = 10.0;
  commB.set(MessageField::TT);
  commB.squawk = 0x0040;
  commB.set(MessageField::SQUAWK);
  commB.alrt = true;
  commB.set(MessageField::ALRT);
  commB.pa = true;
  commB.set(MessageField::PA);
  EXPECT_EQ(line(commB), "MSG,5,0,0,4840D6,0," + stamp + ",,,,,,,,0040,-1,-1,,\r\n");

  Message identity = make(21);
  identity.squawk = 0x1200;
  identity.set(MessageField::SQUAWK);
  EXPECT_EQ(line(identity), "MSG,6,0,0,4840D6,0," + stamp + ",,,,,,,,1200,,,,\r\n");
}

TEST(MsgLine, TypesByKindAndKindsWithoutALine) {
  struct Case {
    int df, tc, type;
  };
  const Case cases[] = {{17, 1, 1},  {18, 4, 1},  {17, 5, 2},  {17, 8, 2},  {17, 0, 3},  {17, 9, 3},
                        {19, 18, 3}, {17, 20, 3}, {17, 22, 3}, {17, 19, 4}, {4, 0, 5},   {20, 0, 5},
                        {5, 0, 6},   {21, 0, 6},  {17, 28, 6}, {0, 0, 7},   {16, 0, 7},  {11, 0, 8},
                        {17, 23, 0}, {17, 29, 0}, {17, 30, 0}, {17, 31, 0}, {24, 0, 0},  {18, 25, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.df) + "/" + std::to_string(c.tc));
    const Message m = make(c.df, c.tc);
    EXPECT_EQ(msgType(m), c.type);
    std::string out = "untouched";
    EXPECT_EQ(writeMsgLine(false, m, out), c.type != 0);
    if (c.type == 0) {
      EXPECT_EQ(out, "untouched");
    }
  }
}

TEST(MessageDump, LabelsOrderAndValueFormats) {
  EXPECT_EQ(dumpMessage(identification()),
            "DF17 Type 4 ICAO: 4840D6 CALLSIGN KLM1023 CAT 4 CAT2 0 CA 5 GR 0 TIMESTAMP 1485507903");

  Message m = make(20);
  m.icao = 0xAB;
  m.altitude = 37000;
  m.set(MessageField::ALTITUDE);
  m.squawk = 0x0040;
  m.set(MessageField::SQUAWK);
  m.lat = 52.2572021484375;
  m.set(MessageField::LAT);
  m.temp = -0.000012;
  m.set(MessageField::TEMP);
  m.iis = 3;
  m.set(MessageField::IIS);
  m.set(MessageField::BDS20);
  m.set(MessageField::BDS50);
  m.tcasrun = true;
  m.set(MessageField::TCASRUN);
  EXPECT_EQ(dumpMessage(m),
            "DF20 ICAO: 0000AB SQUAWK 0040 LAT 52.2572 ALTITUDE 37000 II 3 TEMP -1.2E-05 TCASRUN 1 BDS20 BDS50 "
            "TIMESTAMP 1485507903");
  m.iis = 21;
  EXPECT_NE(dumpMessage(m).find(" SI 5 "), std::string::npos);
}

}  // namespace
