// Field encodings checked against the receiver-side decoding rules, written out here.

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "sdr/crc.h"
#include "tools/synth/altitude_codes.h"
#include "tools/synth/comm_b_encoder.h"
#include "tools/synth/frame_builder.h"

namespace {

uint32_t field(const SynthFrame& f, int firstBit, int width) {
  uint32_t v = 0;
  for (int i = 0; i < width; ++i) {
    const int bit = firstBit + i;
    v = (v << 1) | ((f.bytes[bit >> 3] >> (7 - (bit & 7))) & 1);
  }
  return v;
}
uint32_t me(const SynthFrame& f, int first, int width) { return field(f, 32 + first - 1, width); }

uint32_t mbBits(uint64_t mb, int first, int width = 1) {
  return static_cast<uint32_t>((mb >> (56 - (first - 1) - width)) & ((uint64_t{1} << width) - 1));
}

// Mode C decoding from the 13-bit field order C1 A1 C2 A2 C4 A4 M B1 Q B2 D2 B4 D4.
int gillhamAltitude(uint32_t ac13) {
  auto bit = [&](int k) { return (ac13 >> (12 - k)) & 1; };  // k = 0 for C1
  const uint32_t c1 = bit(0), a1 = bit(1), c2 = bit(2), a2 = bit(3), c4 = bit(4), a4 = bit(5), b1 = bit(7),
                 b2 = bit(9), d2 = bit(10), b4 = bit(11), d4 = bit(12);
  uint32_t five = (d2 << 7) | (d4 << 6) | (a1 << 5) | (a2 << 4) | (a4 << 3) | (b1 << 2) | (b2 << 1) | b4;
  five ^= five >> 4;
  five ^= five >> 2;
  five ^= five >> 1;
  uint32_t g = (c1 << 2) | (c2 << 1) | c4;
  uint32_t hundreds = g ^ (g >> 1) ^ (g >> 2);
  if (hundreds == 0 || hundreds == 5 || hundreds == 6) return -99999;
  if (hundreds == 7) hundreds = 5;
  if (five & 1) hundreds = 6 - hundreds;
  return static_cast<int>(500 * five + 100 * hundreds) - 1300;
}

int ac13Altitude(uint32_t ac13) {
  if (!((ac13 >> 4) & 1)) return gillhamAltitude(ac13);
  const uint32_t n = ((ac13 >> 7) << 5) | (((ac13 >> 5) & 1) << 4) | (ac13 & 15);
  return static_cast<int>(25 * n) - 1000;
}

TEST(FrameEncoding, IdentificationSquitterMatchesAKnownFrame) {
  const SynthFrame f = synthIdentificationSquitter(0x4840D6, 5, 4, 0, "KLM1023");
  EXPECT_EQ(synthHex(f.bytes, f.length), "8D4840D6202CC371C32CE0576098");
}

TEST(FrameEncoding, AltitudeCodesDecodeBackToTheirAltitude) {
  for (int alt = -1200; alt <= 126700; alt += 100) {
    // Gillham through the Mode C pulses with M = Q = 0.
    EXPECT_EQ(gillhamAltitude(synthIdentityField(synthGillhamPulses(alt))), alt);
  }
  for (int alt = -1000; alt <= 50175; alt += 25) {
    ASSERT_EQ(ac13Altitude(synthAc13Field(alt)), alt);
    const uint32_t ac12 = synthAc12Field(alt);  // the AC13 code without its M bit
    ASSERT_EQ(ac13Altitude(((ac12 >> 6) << 7) | (ac12 & 0x3F)), alt);
  }
  EXPECT_EQ(synthAc13Field(35000), (1440u >> 5) << 7 | ((1440u >> 4) & 1) << 5 | 0x10 | (1440u & 15));
  EXPECT_EQ(ac13Altitude(synthAc13Field(60000)), 60000);  // above the 25 ft range: Gillham
}

TEST(FrameEncoding, IdentityPulsesAndField) {
  EXPECT_EQ(synthSquawkPulses(07700), 0x7700u);
  EXPECT_EQ(synthSquawkPulses(01200), 0x1200u);
  EXPECT_EQ(synthSquawkPulses(04321), 0x4321u);
  // C1 A1 C2 A2 C4 A4 X B1 D1 B2 D2 B4 D4 for 7700: A = 7 (A1 A2 A4), B = 7, C = 0, D = 0.
  EXPECT_EQ(synthIdentityField(synthSquawkPulses(07700)), 0b0101010101010u);
  EXPECT_EQ(synthIdentityField(synthSquawkPulses(00001)), 0b0000000010000u);  // D1
}

TEST(FrameEncoding, VelocityFieldsDecodeToTheGivenMotion) {
  const struct {
    double gs, track, vrate, gnss;
  } cases[] = {{159, 182.9, -832, 0}, {450, 45, 1600, 550}, {12, 300, 0, -25}, {300, 90, -64, -1500}, {1500, 10, 0, 0}};
  for (const auto& c : cases) {
    const SynthFrame f = synthVelocitySquitter(0xABCDEF, 5, c.gs, c.track, c.vrate, c.gnss);
    ASSERT_EQ(me(f, 1, 5), 19u);
    const uint32_t st = me(f, 6, 3);
    const double unit = st == 2 ? 4 : 1;
    const double e = (static_cast<double>(me(f, 15, 10)) - 1) * unit * (me(f, 14, 1) ? -1 : 1);
    const double n = (static_cast<double>(me(f, 26, 10)) - 1) * unit * (me(f, 25, 1) ? -1 : 1);
    EXPECT_EQ(st, c.gs > 1000 ? 2u : 1u);
    EXPECT_NEAR(std::hypot(e, n), c.gs, unit);
    double track = std::atan2(e, n) * 180 / M_PI;
    if (track < 0) track += 360;
    EXPECT_NEAR(track, c.track, c.gs < 20 ? 5 : 0.5);
    const double vr = (static_cast<double>(me(f, 38, 9)) - 1) * 64 * (me(f, 37, 1) ? -1 : 1);
    EXPECT_NEAR(vr, c.vrate, 32);
    const double gnss = (static_cast<double>(me(f, 50, 7)) - 1) * 25 * (me(f, 49, 1) ? -1 : 1);
    EXPECT_NEAR(gnss, c.gnss, 12.5);
  }
}

TEST(FrameEncoding, SurfaceMovementIsTheNearestSpeedStep) {
  const struct {
    double knots;
    uint32_t movement;
  } cases[] = {{0, 1}, {0.1, 2}, {1, 9}, {1.6, 11}, {2, 13}, {14.6, 38}, {15, 39}, {69, 93}, {70, 94},
               {98, 108}, {100, 109}, {172, 123}, {175, 124}, {400, 124}};
  for (const auto& c : cases) EXPECT_EQ(synthSurfaceMovement(c.knots), c.movement) << c.knots;
  const SynthFrame moving = synthSurfacePositionSquitter(0x123456, 4, 6, 20, 270, true, {1, 2});
  EXPECT_EQ(me(moving, 13, 1), 1u);
  EXPECT_EQ(me(moving, 14, 7), 96u);  // 270 degrees in 360/128 steps
  EXPECT_EQ(me(moving, 22, 1), 1u);
  const SynthFrame standing = synthSurfacePositionSquitter(0x123456, 4, 6, 0, 270, false, {1, 2});
  EXPECT_EQ(me(standing, 6, 7), 1u);
  EXPECT_EQ(me(standing, 13, 8), 0u);  // no track status, no track
}

TEST(FrameEncoding, ParityOfEveryFormat) {
  const uint32_t address = 0x3C6586;
  const SynthFrame squitters[] = {
      synthIdentificationSquitter(address, 5, 4, 3, "DLH4AB"),
      synthAirbornePositionSquitter(address, 5, 11, 0, 36000, true, {12345, 67890}),
      synthSurfacePositionSquitter(address, 4, 6, 10, 30, false, {1, 1}),
      synthVelocitySquitter(address, 5, 420, 80, -1000, 100),
  };
  for (const auto& f : squitters) EXPECT_EQ(modeSCrcSyndrome(f.bytes, f.length), 0u);
  EXPECT_EQ(modeSCrcSyndrome(synthAllCallReply(address, 5, 0).bytes, 7), 0u);
  EXPECT_EQ(modeSCrcSyndrome(synthAllCallReply(address, 5, 0x12).bytes, 7), 0x12u);
  const SynthFrame replies[] = {
      synthSurveillanceReply(4, address, 0, synthAc13Field(36000)),
      synthSurveillanceReply(5, address, 1, synthIdentityField(synthSquawkPulses(07421))),
      synthCommBReply(20, address, 0, synthAc13Field(36000), synthBds40(36000, 36000, 1013)),
      synthCommBReply(21, address, 5, 0x1FFF, synthBds20("DLH4AB")),
  };
  for (const auto& f : replies) {
    EXPECT_EQ(modeSCrcSyndrome(f.bytes, f.length), address);
    EXPECT_EQ(f.length, (f.bytes[0] >> 3) >= 16 ? 14u : 7u);
  }
}

// The order in which a receiver tries the Comm-B registers, by their fit rules: 4,4 then
// 4,0, 5,0, 6,0 and 2,0. An encoded register must be read as itself.
int firstFit(uint64_t mb) {
  auto b = [&](int first, int width = 1) { return mbBits(mb, first, width); };
  auto statusFits = [&](std::initializer_list<std::pair<int, int>> groups) {  // status bit, field width
    bool any = false;
    for (auto [status, width] : groups) {
      if (b(status)) any = true;
      else if (b(status + 1, width)) return false;
    }
    return any;
  };
  const uint32_t fom = b(1, 4);
  if (fom >= 1 && fom <= 4 && (b(5) || b(23) || b(35) || b(47) || b(50)) && (b(5) || !b(6, 17)) &&
      (b(23) || !b(24, 11)) && (b(35) || !b(36, 11)) && (b(47) || !b(48, 2)) && (b(50) || !b(51, 6)))
    return 0x44;
  if (!b(40) && !b(41, 7) && !b(52, 2) && statusFits({{1, 12}, {14, 12}, {27, 12}, {48, 3}, {54, 2}})) return 0x40;
  if (statusFits({{1, 10}, {12, 11}, {24, 10}, {35, 10}, {46, 10}})) return 0x50;
  if (statusFits({{1, 11}, {13, 10}, {24, 10}, {35, 10}, {46, 10}})) return 0x60;
  if (b(1, 8) == 0x20) return 0x20;
  return 0;
}

TEST(FrameEncoding, CommBRegistersAreReadAsThemselves) {
  for (double angle = 0; angle < 360; angle += 0.7) {
    const double speed = 120 + angle;
    EXPECT_EQ(firstFit(synthBds50(std::fmod(angle, 60) - 30, angle, speed, std::fmod(angle, 6) - 3, speed)), 0x50);
    EXPECT_EQ(firstFit(synthBds60(angle, speed * 0.7, speed / 700, angle * 10 - 1800, 1800 - angle * 10)), 0x60);
    EXPECT_EQ(firstFit(synthBds40(angle * 100, angle * 120, 990 + angle / 4)), 0x40);
  }
  for (const char* callsign : {"KLM1023", "A", "ZZZZZZZZ", "N12345"}) EXPECT_EQ(firstFit(synthBds20(callsign)), 0x20);

  const uint64_t bds60 = synthBds60(271.4, 250, 0.78, -1024, -992);
  double heading = (static_cast<double>(mbBits(bds60, 3, 10)) - (mbBits(bds60, 2) ? 1024 : 0)) * 90 / 512;
  if (heading < 0) heading += 360;
  EXPECT_NEAR(heading, 271.4, 0.36);  // kept to an even step
  EXPECT_EQ(mbBits(bds60, 14, 10), 250u);
  EXPECT_EQ(mbBits(bds60, 25, 10) * 4, 780u);
  EXPECT_EQ(static_cast<int>(mbBits(bds60, 37, 9)) - (mbBits(bds60, 36) ? 512 : 0), -32);

  const uint64_t bds40 = synthBds40(35008, 24000, 1013.2);
  EXPECT_EQ(mbBits(bds40, 2, 12) * 16, 35008u);
  EXPECT_EQ(mbBits(bds40, 15, 12) * 16, 24000u);
  EXPECT_EQ(mbBits(bds40, 28, 12), 2132u);  // (1013.2 - 800) / 0.1
}

}  // namespace
