// Comm-B registers carried in the MB field of DF 20 and 21. The field does not
// say which register it holds, so each candidate is tested for a consistent
// layout (status bits, zero fields, value ranges) and the first fit wins.

#include "decode/frame_bits.h"
#include "decode/message_decoder.h"

namespace {

// MB bits share the ME numbering: MB 1 is the top bit of byte 4.
template <unsigned First, unsigned Last>
inline uint32_t mb(const uint8_t* bytes) {
  return meBits<First, Last>(bytes);
}

template <unsigned Bit>
inline bool mbBit(const uint8_t* bytes) {
  return meBit<Bit>(bytes);
}

// A signed field: `magnitude` minus 2^bits when the sign bit is set.
inline int32_t signedField(bool sign, uint32_t magnitude, int bits) {
  return static_cast<int32_t>(magnitude) - (sign ? (1 << bits) : 0);
}

// Whole degrees in [0, 360) from a signed count of 90/512 degree steps.
inline int32_t angleDegrees(int32_t steps) {
  int32_t degrees = (steps * 90) / 512;  // truncates toward zero
  if (degrees < 0) degrees += 360;
  return degrees;
}

}  // namespace

void MessageDecoder::decodeCommB() {
  if (tryMeteorologicalReport()) return;
  if (trySelectedVerticalIntention()) return;
  if (tryTrackAndTurn()) return;
  if (tryHeadingAndSpeed()) return;
  tryIdentification();
}

// Register 4,4.
bool MessageDecoder::tryMeteorologicalReport() {
  const uint8_t* b = currentFrame->bytes;
  const uint32_t source = mb<1, 4>(b);
  if (source < 1 || source > 4) return false;
  const bool wind = mbBit<5>(b);
  const bool temperature = mbBit<23>(b);
  const bool pressure = mbBit<35>(b);
  const bool turbulence = mbBit<47>(b);
  const bool humidity = mbBit<50>(b);
  if (!wind && !temperature && !pressure && !turbulence && !humidity) return false;
  if (!wind && mb<6, 22>(b) != 0) return false;
  if (!temperature && mb<24, 34>(b) != 0) return false;
  if (!pressure && mb<36, 46>(b) != 0) return false;
  if (!turbulence && mb<48, 49>(b) != 0) return false;
  if (!humidity && mb<51, 56>(b) != 0) return false;
  const int32_t quarters = signedField(mbBit<24>(b), mb<25, 34>(b), 10);
  if (temperature && (quarters < -320 || quarters > 240)) return false;

  Message& m = *currentMessage;
  if (temperature) {
    m.temp = quarters * 0.25;
    m.set(MessageField::TEMP);
  }
  if (wind) {
    m.wspd = static_cast<int32_t>(mb<6, 14>(b));
    m.set(MessageField::WSPD);
    m.wdir = static_cast<int32_t>((mb<15, 22>(b) * 180) / 256);
    m.set(MessageField::WDIR);
  }
  m.set(MessageField::BDS44);
  return true;
}

// Register 4,0.
bool MessageDecoder::trySelectedVerticalIntention() {
  const uint8_t* b = currentFrame->bytes;
  const bool mcpStatus = mbBit<1>(b);
  const bool fmsStatus = mbBit<14>(b);
  const bool pressureStatus = mbBit<27>(b);
  const bool modeStatus = mbBit<48>(b);
  const bool sourceStatus = mbBit<54>(b);
  if (!mcpStatus && !fmsStatus && !pressureStatus && !modeStatus && !sourceStatus) return false;
  if (mb<40, 47>(b) != 0 || mb<52, 53>(b) != 0) return false;
  if (!mcpStatus && mb<2, 13>(b) != 0) return false;
  if (!fmsStatus && mb<15, 26>(b) != 0) return false;
  if (!pressureStatus && mb<28, 39>(b) != 0) return false;
  if (!modeStatus && mb<49, 51>(b) != 0) return false;
  if (!sourceStatus && mb<55, 56>(b) != 0) return false;

  Message& m = *currentMessage;
  if (mcpStatus) {
    const int32_t feet = static_cast<int32_t>(mb<2, 13>(b) * 16);
    if (feet >= 101 && feet <= 49998) {
      m.mcp = feet / 100;
      m.set(MessageField::MCP);
    }
  }
  if (fmsStatus) {
    const int32_t feet = static_cast<int32_t>(mb<15, 26>(b) * 16);
    if (feet >= 101 && feet <= 49998) {
      m.fms = feet / 100;
      m.set(MessageField::FMS);
    }
  }
  if (pressureStatus) {
    const double hectopascal = mb<28, 39>(b) * 0.1 + 800.0;
    if (hectopascal > 950.0 && hectopascal < 1100.0) {
      m.qnh = static_cast<int32_t>(hectopascal);
      m.set(MessageField::QNH);
    }
  }
  if (modeStatus) {
    m.fcu = static_cast<int32_t>(mb<49, 51>(b));
    m.set(MessageField::FCU);
  }
  if (sourceStatus) {
    m.mcps = static_cast<int32_t>(mb<55, 56>(b));
    m.set(MessageField::MCPS);
  }
  m.set(MessageField::BDS40);
  return true;
}

// Register 5,0.
bool MessageDecoder::tryTrackAndTurn() {
  const uint8_t* b = currentFrame->bytes;
  const bool rollStatus = mbBit<1>(b);
  const bool trackStatus = mbBit<12>(b);
  const bool groundSpeedStatus = mbBit<24>(b);
  const bool rateStatus = mbBit<35>(b);
  const bool airspeedStatus = mbBit<46>(b);
  if (!rollStatus && !trackStatus && !groundSpeedStatus && !rateStatus && !airspeedStatus)
    return false;
  if (!rollStatus && mb<2, 11>(b) != 0) return false;
  if (!trackStatus && mb<13, 23>(b) != 0) return false;
  if (!groundSpeedStatus && mb<25, 34>(b) != 0) return false;
  if (!rateStatus && mb<36, 45>(b) != 0) return false;
  if (!airspeedStatus && mb<47, 56>(b) != 0) return false;

  Message& m = *currentMessage;
  if (rollStatus) {
    const double roll = signedField(mbBit<2>(b), mb<3, 11>(b), 9) * 0.17578125;
    if (roll > -30.0 && roll < 30.0) {
      m.ra = roll;
      m.set(MessageField::RA);
    }
  }
  if (rateStatus) {
    m.tr = signedField(mbBit<36>(b), mb<37, 45>(b), 9) / 32.0;
    m.set(MessageField::TR);
  }
  if (airspeedStatus) {
    const int32_t knots = static_cast<int32_t>(mb<47, 56>(b) * 2);
    if (knots >= 41 && knots <= 599) {
      m.tas = knots;
      m.set(MessageField::TAS);
    }
  }
  if (trackStatus) {
    m.tt = angleDegrees(signedField(mbBit<13>(b), mb<14, 23>(b), 10));
    m.set(MessageField::TT);
  }
  m.set(MessageField::BDS50);
  return true;
}

// Register 6,0.
bool MessageDecoder::tryHeadingAndSpeed() {
  const uint8_t* b = currentFrame->bytes;
  const bool headingStatus = mbBit<1>(b);
  const bool airspeedStatus = mbBit<13>(b);
  const bool machStatus = mbBit<24>(b);
  const bool baroRateStatus = mbBit<35>(b);
  const bool inertialRateStatus = mbBit<46>(b);
  if (!headingStatus && !airspeedStatus && !machStatus && !baroRateStatus && !inertialRateStatus)
    return false;
  if (!headingStatus && mb<2, 12>(b) != 0) return false;
  if (!airspeedStatus && mb<14, 23>(b) != 0) return false;
  if (!machStatus && mb<25, 34>(b) != 0) return false;
  if (!baroRateStatus && mb<36, 45>(b) != 0) return false;
  if (!inertialRateStatus && mb<47, 56>(b) != 0) return false;

  Message& m = *currentMessage;
  if (machStatus) {
    const int32_t mach = static_cast<int32_t>(mb<25, 34>(b) * 4);
    if (mach < 1000) {
      m.mach = mach;
      m.set(MessageField::MACH);
    }
  }
  if (airspeedStatus) {
    const int32_t knots = static_cast<int32_t>(mb<14, 23>(b));
    if (knots >= 41 && knots <= 599) {
      m.ias = knots;
      m.set(MessageField::IAS);
    }
  }
  if (headingStatus) {
    m.hdg = angleDegrees(signedField(mbBit<2>(b), mb<3, 12>(b), 10));
    m.set(MessageField::HDG);
    m.hab = false;
    m.set(MessageField::HAB);
  }
  m.set(MessageField::BDS60);
  return true;
}

// Register 2,0.
bool MessageDecoder::tryIdentification() {
  const uint8_t* b = currentFrame->bytes;
  if (mb<1, 8>(b) != 0x20) return false;
  decodeCallsign();
  currentMessage->set(MessageField::BDS20);
  return true;
}
