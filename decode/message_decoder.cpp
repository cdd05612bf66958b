#include "decode/message_decoder.h"

#include <cmath>

#include "decode/mode_ac_codes.h"
#include "decode/frame_bits.h"
#include "sdr/crc.h"

namespace {

// Clears the decode-in-progress pointers however decode() returns.
class CurrentDecode {
 public:
  CurrentDecode(const ModesData*& frame, Message*& message, const ModesData& f, Message& m)
      : frame_(frame), message_(message) {
    frame_ = &f;
    message_ = &m;
  }
  ~CurrentDecode() {
    frame_ = nullptr;
    message_ = nullptr;
  }
  CurrentDecode(const CurrentDecode&) = delete;
  CurrentDecode& operator=(const CurrentDecode&) = delete;

 private:
  const ModesData*& frame_;
  Message*& message_;
};

const char kCallsignAlphabet[65] =
    "@ABCDEFGHIJKLMNOPQRSTUVWXYZ                     0123456789      ";

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

uint32_t addressParity(const ModesData& frame) {
  return modeSCrcSyndrome(frame.bytes, frame.length);
}

uint32_t announcedAddress(const uint8_t* bytes) {
  return (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) | bytes[3];
}

}  // namespace

bool MessageDecoder::decode(const ModesData& frame, Message& message) {
  message.reset();
  message.time = frame.time;
  const uint8_t* b = frame.bytes;
  message.df = b[0] >> 3;

  // Only 7 and 14 bytes are Mode S frames; every format below needs one of them,
  // and nothing past bytes[13] exists.
  const uint32_t length = frame.length;
  if (length != 7 && length != 14) return false;

  CurrentDecode scope(currentFrame, currentMessage, frame, message);
  Message& m = message;

  switch (m.df) {
    case 0:
      if (length != 7) return false;
      m.icao = addressParity(frame);
      m.gr = (b[0] & 0x04) != 0;
      m.set(MessageField::GR);
      m.cc = (b[0] & 0x02) != 0;
      m.set(MessageField::CC);
      decodeReplyInformation();
      decodeAc13Altitude();
      return true;
    case 4:
    case 5:
      if (length != 7) return false;
      m.icao = addressParity(frame);
      decodeFlightStatus();
      decodeDownlinkRequest();
      if (m.df == 4)
        decodeAc13Altitude();
      else
        decodeIdentity(frameBits<20, 32>(b));
      return true;
    case 11:
      if (length != 7) return false;
      m.icao = announcedAddress(b);
      decodeInterrogatorCode();
      decodeCapability();
      return true;
    case 16:
      if (length != 14) return false;
      m.icao = addressParity(frame);
      m.gr = (b[0] & 0x04) != 0;
      m.set(MessageField::GR);
      decodeReplyInformation();
      decodeAc13Altitude();
      return true;
    case 17:
      m.icao = announcedAddress(b);
      decodeCapability();
      return decodeExtendedSquitter();
    case 18:
      m.icao = announcedAddress(b);
      m.cf = b[0] & 0x07;
      m.set(MessageField::CF);
      if (m.cf != 0 && m.cf != 1 && m.cf != 6) return false;
      return decodeExtendedSquitter();
    case 19:
      // The application field sits where DF 17 has its capability.
      m.icao = announcedAddress(b);
      m.ca = b[0] & 0x07;
      m.set(MessageField::CA);
      if (m.ca != 0) return false;
      return decodeExtendedSquitter();
    case 20:
    case 21:
      if (length != 14) return false;
      m.icao = addressParity(frame);
      decodeFlightStatus();
      decodeDownlinkRequest();
      if (m.df == 20)
        decodeAc13Altitude();
      else
        decodeIdentity(frameBits<20, 32>(b));
      decodeCommB();
      return true;
    default:
      return false;
  }
}

void MessageDecoder::decodeReplyInformation() {
  const uint8_t* b = currentFrame->bytes;
  Message& m = *currentMessage;
  m.sl = b[1] >> 5;
  m.set(MessageField::SL);
  m.ri = ((b[1] & 0x07) << 1) | (b[2] >> 7);
  m.set(MessageField::RI);
}

void MessageDecoder::decodeDownlinkRequest() {
  const uint8_t* b = currentFrame->bytes;
  Message& m = *currentMessage;
  m.dr = b[1] >> 3;
  m.set(MessageField::DR);
  m.um = ((b[1] & 0x07) << 3) | (b[2] >> 5);
  m.set(MessageField::UM);
}

void MessageDecoder::decodeInterrogatorCode() {
  const uint32_t remainder = modeSCrcSyndrome(currentFrame->bytes, 7);
  const int ic = remainder & 0x0F;
  const int cl = (remainder >> 4) & 0x07;
  Message& m = *currentMessage;
  if (cl == 0) {
    if (ic != 0) {
      m.iis = ic;
      m.set(MessageField::IIS);
    }
  } else if (cl <= 4) {
    const int si = ic + 16 * (cl - 1);
    if (si != 0) {
      m.iis = si + 16;
      m.set(MessageField::IIS);
    }
  }
}

void MessageDecoder::decodeCapability() {
  Message& m = *currentMessage;
  m.ca = currentFrame->bytes[0] & 0x07;
  m.set(MessageField::CA);
  if (m.ca == 4 || m.ca == 5) {
    m.gr = m.ca == 4;
    m.set(MessageField::GR);
  }
}

void MessageDecoder::decodeFlightStatus() {
  Message& m = *currentMessage;
  m.fs = currentFrame->bytes[0] & 0x07;
  m.set(MessageField::FS);
  if (m.fs <= 3) {
    m.gr = (m.fs & 1) != 0;
    m.set(MessageField::GR);
    m.acas = m.fs >= 2;
    m.set(MessageField::ACAS);
    m.spi = false;
    m.set(MessageField::SPI);
  } else if (m.fs <= 5) {
    m.acas = m.fs == 4;
    m.set(MessageField::ACAS);
    m.spi = true;
    m.set(MessageField::SPI);
  }
}

void MessageDecoder::decodeIdentity(uint32_t code13) {
  Message& m = *currentMessage;
  m.squawk = squawkFromIdentity(code13);
  m.set(MessageField::SQUAWK);
  m.pa = m.squawk == 0x7500 || m.squawk == 0x7600 || m.squawk == 0x7700;
  m.set(MessageField::PA);
}

void MessageDecoder::decodeAc13Altitude() {
  Message& m = *currentMessage;
  const uint32_t code = frameBits<20, 32>(currentFrame->bytes);
  const int mBit = (code >> 6) & 1;
  const int qBit = (code >> 4) & 1;
  m.mbit = mBit;
  m.set(MessageField::MBIT);
  m.qbit = qBit;
  m.set(MessageField::QBIT);
  if (qBit) {
    const int n = static_cast<int>(((code & 0x1F80) >> 2) | ((code & 0x20) >> 1) | (code & 0x0F));
    m.altitude = 25 * n - 1000;
    if (mBit) {
      const long metres = std::lround((m.altitude + 1000) * 0.04) * 10 - 300;
      m.altitude = static_cast<int32_t>(std::lround(metres * 3.281));
    }
  } else {
    m.altitude = gillhamAltitude(code);
  }
  m.set(MessageField::ALTITUDE);
}

void MessageDecoder::decodeAc12Altitude() {
  Message& m = *currentMessage;
  const uint32_t code = meBits<9, 20>(currentFrame->bytes);
  const int qBit = (code >> 4) & 1;
  m.qbit = qBit;
  m.set(MessageField::QBIT);
  if (qBit) {
    const int n = static_cast<int>(((code & 0xFE0) >> 1) | (code & 0x0F));
    m.altitude = 25 * n - 1000;
  } else {
    // Same layout as the 13-bit code without the M bit.
    m.altitude = gillhamAltitude(((code & 0xFC0) << 1) | (code & 0x3F));
  }
  m.set(MessageField::ALTITUDE);
}

void MessageDecoder::decodeCallsign() {
  const uint8_t* b = currentFrame->bytes;
  if ((b[5] | b[6] | b[7] | b[8] | b[9] | b[10]) == 0) return;
  const uint64_t packed = (uint64_t(b[5]) << 40) | (uint64_t(b[6]) << 32) | (uint64_t(b[7]) << 24) |
                          (uint64_t(b[8]) << 16) | (uint64_t(b[9]) << 8) | uint64_t(b[10]);
  char text[8];
  for (int i = 0; i < 8; ++i) text[i] = kCallsignAlphabet[(packed >> (42 - 6 * i)) & 0x3F];
  int first = 0;
  int last = 8;
  while (first < last && isBlank(text[first])) ++first;
  while (last > first && isBlank(text[last - 1])) --last;
  Message& m = *currentMessage;
  m.callsign.assign(text + first, text + last);
  m.set(MessageField::CALLSIGN);
}
