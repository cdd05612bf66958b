// Extended squitters (DF 17, 18, 19) by type code.

#include <cmath>

#include "decode/frame_bits.h"
#include "decode/message_decoder.h"
#include "decode/receiver_position.h"

namespace {

// NIC by type code 5-22; -1 where the type code carries none (19, velocity).
constexpr int kNicByTypeCode[18] = {11, 10, 8, 0, 11, 10, 8, 7, 6, 5, 4, 2, 1, 0, -1, 11, 10, 0};

constexpr double kRadiansToDegrees = 180.0 / 3.14159265358979323846;

// Surface movement code 1-124 in knots; negative when the code carries no speed.
double surfaceMovementKnots(uint32_t m) {
  if (m == 1) return 0.0;
  if (m == 2) return 0.125;
  if (m <= 8 && m >= 3) return 0.125 + 0.1458 * (m - 3);
  if (m >= 9 && m <= 12) return 1.0 + 0.25 * (m - 9);
  if (m >= 13 && m <= 38) return 2.0 + 0.5 * (m - 13);
  if (m >= 39 && m <= 93) return static_cast<double>(m) - 24.0;
  if (m >= 94 && m <= 108) return 2.0 * (m - 59.0);
  if (m >= 109 && m <= 123) return 100.0 + 5.0 * (m - 109.0);
  if (m == 124) return 175.0;
  return -1.0;
}

}  // namespace

bool MessageDecoder::decodeExtendedSquitter() {
  if (currentFrame->length != 14) return false;
  const uint8_t* b = currentFrame->bytes;
  Message& m = *currentMessage;
  m.icao = (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
  const int tc = static_cast<int>(meBits<1, 5>(b));
  m.typeCode = tc;

  if (tc >= 5 && tc <= 22 && kNicByTypeCode[tc - 5] >= 0) {
    m.nic = kNicByTypeCode[tc - 5];
    m.set(MessageField::NIC);
  }

  switch (tc) {
    case 0:
      m.gr = false;
      m.set(MessageField::GR);
      if (meBits<9, 20>(b) != 0) decodeAc12Altitude();
      return true;
    case 1:
    case 2:
    case 3:
    case 4:
      decodeCallsign();
      m.cat = tc;
      m.set(MessageField::CAT);
      m.cat2 = static_cast<int32_t>(meBits<6, 8>(b));
      m.set(MessageField::CAT2);
      return true;
    case 5:
    case 6:
    case 7:
    case 8:
      decodeSurfacePosition();
      return true;
    case 19:
      return decodeAirborneVelocity();
    case 23:
      decodeTestMessage();
      return true;
    case 24:
    case 25:
    case 26:
    case 27:
      return false;
    case 28:
      decodeAircraftStatus();
      return true;
    case 29:
      decodeTargetState();
      return true;
    case 30:
      m.set(MessageField::FMT30);
      return true;
    case 31:
      decodeOperationalStatus();
      return true;
    default:  // 9-18 and 20-22
      decodeAirbornePosition();
      return true;
  }
}

void MessageDecoder::decodePosition(bool surface) {
  const uint8_t* b = currentFrame->bytes;
  Message& m = *currentMessage;
  m.ts = meBit<21>(b);
  m.set(MessageField::TS);
  const bool odd = meBit<22>(b);
  m.cpr = odd;
  m.set(MessageField::CPR);
  const uint32_t cprLat = meBits<23, 39>(b);
  const uint32_t cprLon = meBits<40, 56>(b);

  ReceiverPosition* receiver = currentFrame->receiverPosition;
  double referenceLat = 0.0;
  double referenceLon = 0.0;
  const bool referenceValid = receiver != nullptr && receiver->get(referenceLat, referenceLon);

  double lat = 0.0;
  double lon = 0.0;
  if (decodeCprPosition(m.icao, odd, cprLat, cprLon, referenceLat, referenceLon, m.time, surface,
                        referenceValid, lat, lon)) {
    if (receiver != nullptr) receiver->addSample(lat, lon);
    m.lat = lat;
    m.set(MessageField::LAT);
    m.lon = lon;
    m.set(MessageField::LON);
  }
}

void MessageDecoder::decodeSurfacePosition() {
  const uint8_t* b = currentFrame->bytes;
  Message& m = *currentMessage;
  m.gr = true;
  m.set(MessageField::GR);
  decodePosition(true);

  const double knots = surfaceMovementKnots(meBits<6, 12>(b));
  if (knots >= 0.0) {
    m.gs = knots;
    m.set(MessageField::GS);
  }
  if (meBit<13>(b)) {
    m.tt = static_cast<double>((meBits<14, 20>(b) * 45) / 16);
    m.set(MessageField::TT);
  }
}

void MessageDecoder::decodeAirbornePosition() {
  const uint8_t* b = currentFrame->bytes;
  Message& m = *currentMessage;
  m.gr = false;
  m.set(MessageField::GR);
  if (m.typeCode <= 18) {
    decodeAc12Altitude();
  } else {
    // GNSS height: ME 16 is skipped, the value is kept unscaled.
    m.hae = static_cast<int32_t>((meBits<9, 15>(b) << 4) | meBits<17, 20>(b));
    m.set(MessageField::HAE);
  }
  decodePosition(false);

  switch (meBits<6, 7>(b)) {
    case 1:
      m.pa = true;
      m.set(MessageField::PA);
      break;
    case 2:
      m.alrt = true;
      m.set(MessageField::ALRT);
      break;
    case 3:
      m.spi = true;
      m.set(MessageField::SPI);
      break;
    default:
      break;
  }
}

bool MessageDecoder::decodeAirborneVelocity() {
  const uint8_t* b = currentFrame->bytes;
  Message& m = *currentMessage;
  const uint32_t subtype = meBits<6, 8>(b);
  if (subtype == 0 || subtype >= 5) return false;

  m.ssc = subtype == 2 || subtype == 4;
  m.set(MessageField::SSC);
  m.ic = meBit<9>(b);
  m.set(MessageField::IC);
  m.ifr = meBit<10>(b);
  m.set(MessageField::IFR);
  m.nucr = static_cast<int32_t>(meBits<11, 13>(b));
  m.set(MessageField::NUCR);
  m.vsrc = meBit<36>(b);
  m.set(MessageField::VSRC);

  const int32_t rate = static_cast<int32_t>(meBits<38, 46>(b));
  if (rate != 0) {
    m.vr = (rate - 1) * 64 * (meBit<37>(b) ? -1 : 1);
    m.set(MessageField::VR);
  }

  if (subtype <= 2) {
    const int32_t difference = static_cast<int32_t>(meBits<50, 56>(b));
    if (difference != 0) {
      m.gnss = (difference - 1) * 25 * (meBit<49>(b) ? -1 : 1);
      m.set(MessageField::GNSS);
    }
    const int32_t eastWest = static_cast<int32_t>(meBits<15, 24>(b));
    const int32_t northSouth = static_cast<int32_t>(meBits<26, 35>(b));
    if (eastWest == 0 || northSouth == 0) return true;
    const int scale = subtype == 2 ? 4 : 1;
    const double e = (eastWest - 1) * scale;
    const double n = (northSouth - 1) * scale;
    m.gs = std::sqrt(e * e + n * n);
    m.set(MessageField::GS);

    const bool west = meBit<14>(b);
    const bool south = meBit<25>(b);
    if (e == 0.0) {
      m.tt = south ? 180.0 : 0.0;
    } else {
      const double a = std::atan(n / e) * kRadiansToDegrees;
      if (!west)
        m.tt = south ? 90.0 + a : 90.0 - a;
      else
        m.tt = south ? 270.0 - a : 270.0 + a;
    }
    m.set(MessageField::TT);
    return true;
  }

  m.ast = meBit<25>(b);
  m.set(MessageField::AST);
  if (meBit<14>(b)) {
    m.hdg = meBits<15, 24>(b) * (360.0 / 1024.0);
    m.set(MessageField::HDG);
    m.hab = true;
    m.set(MessageField::HAB);
  }
  const int32_t airspeed = static_cast<int32_t>(meBits<26, 35>(b));
  if (airspeed == 0) return true;
  const int32_t speed = (airspeed - 1) * (subtype == 4 ? 4 : 1);
  m.gs = speed;
  m.set(MessageField::GS);
  if (m.ast == 0) {
    m.ias = speed;
    m.set(MessageField::IAS);
  } else {
    m.tas = speed;
    m.set(MessageField::TAS);
  }
  return true;
}

void MessageDecoder::decodeTestMessage() {
  const uint8_t* b = currentFrame->bytes;
  if (meBits<6, 8>(b) != 7) return;
  // The Mode A code fills ME 9-21, D4 being ME 21.
  const uint32_t code = meBits<9, 21>(b);
  if (code != 0) decodeIdentity(code);
}

void MessageDecoder::decodeAircraftStatus() {
  const uint8_t* b = currentFrame->bytes;
  Message& m = *currentMessage;
  if (meBits<6, 8>(b) == 1) {
    m.ps = static_cast<int32_t>(meBits<9, 11>(b));
    m.set(MessageField::PS);
    const uint32_t code = meBits<12, 24>(b);
    if (code != 0) decodeIdentity(code);
  }
  m.set(MessageField::BDS61);
}

void MessageDecoder::decodeTargetState() {
  const uint8_t* b = currentFrame->bytes;
  Message& m = *currentMessage;
  const uint32_t subtype = meBits<6, 7>(b);
  if (subtype == 0) {
    m.mcps = static_cast<int32_t>(meBits<8, 9>(b));
    m.set(MessageField::MCPS);
    m.tat = meBit<10>(b);
    m.set(MessageField::TAT);
    m.vmi = static_cast<int32_t>(meBits<14, 15>(b));
    m.set(MessageField::VMI);
    const int32_t target = static_cast<int32_t>(meBits<16, 25>(b));
    if (m.mcps != 0 && target <= 1010) {
      if (m.mcps == 1) {
        m.mcp = target - 10;
        m.set(MessageField::MCP);
      } else if (m.mcps == 3) {
        m.fms = target - 10;
        m.set(MessageField::FMS);
      }
    }
    m.hda = static_cast<int32_t>(meBits<26, 27>(b));
    m.set(MessageField::HDA);
    const int32_t heading = static_cast<int32_t>(meBits<28, 36>(b));
    if (m.hda != 0 && heading < 360) {
      if (meBit<37>(b)) {
        m.ttrk = heading;
        m.set(MessageField::TTRK);
      } else {
        m.thdg = heading;
        m.set(MessageField::THDG);
      }
    }
    m.hmi = static_cast<int32_t>(meBits<38, 39>(b));
    m.set(MessageField::HMI);
    m.tcas = meBit<52>(b) ? 0 : 1;
    m.set(MessageField::TCAS);
    m.tcasrun = meBit<53>(b);
    m.set(MessageField::TCASRUN);
  } else if (subtype == 1) {
    const int32_t selected = static_cast<int32_t>(meBits<10, 20>(b));
    if (selected != 0) {
      const int32_t hundreds = ((selected - 1) * 32) / 100;
      if (meBit<9>(b)) {
        m.fms = hundreds;
        m.set(MessageField::FMS);
      } else {
        m.mcp = hundreds;
        m.set(MessageField::MCP);
      }
    }
    const int32_t pressure = static_cast<int32_t>(meBits<21, 29>(b));
    if (pressure != 0) {
      m.qnh = static_cast<int32_t>(std::lround((pressure - 1) * 0.8 + 800.0));
      m.set(MessageField::QNH);
    }
    if (meBit<30>(b)) {
      // The sign bit ME 31 is read as the top bit of a 0-360 degree angle: the same
      // direction as a two's-complement angle, and never negative (at most 359).
      m.thdg = static_cast<int32_t>(std::lround(meBits<31, 39>(b) * (180.0 / 256.0)));
      m.set(MessageField::THDG);
    }
    if (meBit<47>(b)) {
      m.ap = meBit<48>(b);
      m.set(MessageField::AP);
      m.vnav = meBit<49>(b);
      m.set(MessageField::VNAV);
      m.ahold = meBit<50>(b);
      m.set(MessageField::AHOLD);
      m.appr = meBit<52>(b);
      m.set(MessageField::APPR);
    }
    m.tcas = meBit<53>(b) ? 1 : 0;
    m.set(MessageField::TCAS);
  }
}

void MessageDecoder::decodeOperationalStatus() {
  const uint8_t* b = currentFrame->bytes;
  Message& m = *currentMessage;
  m.set(MessageField::BDS65);
  const uint32_t subtype = meBits<6, 8>(b);
  if (subtype <= 1) {
    m.gr = subtype == 1;
    m.set(MessageField::GR);
  }
  m.hrd = meBit<54>(b);
  m.set(MessageField::HRD);
}
