#include "decode/feed_encoding.h"

#include "sdr/crc.h"

namespace {

const char hexDigits[] = "0123456789ABCDEF";

void appendHexValue(std::string& out, uint64_t value, int digits) {
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += hexDigits[(value >> shift) & 0xF];
}

void appendBeastByte(std::string& out, uint8_t byte) {
  out += static_cast<char>(byte);
  if (byte == 0x1A) out += static_cast<char>(byte);
}

}  // namespace

void appendHex(std::string& out, const uint8_t* bytes, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) {
    out += hexDigits[bytes[i] >> 4];
    out += hexDigits[bytes[i] & 0xF];
  }
}

std::string encodeBeast(const uint8_t* bytes, uint32_t n, uint64_t timestamp, uint8_t signal) {
  std::string out;
  out.reserve(2 + 2 * (7 + n));
  out += '\x1A';
  out += n == 2 ? '1' : n == 7 ? '2' : '3';
  for (int shift = 40; shift >= 0; shift -= 8) appendBeastByte(out, static_cast<uint8_t>(timestamp >> shift));
  appendBeastByte(out, signal);
  for (uint32_t i = 0; i < n; ++i) appendBeastByte(out, bytes[i]);
  return out;
}

std::string encodeSbsData(const uint8_t* bytes, uint32_t n, uint64_t timestamp) {
  std::string out;
  out.reserve(n + 5);
  char type;
  if (n == 2) {
    type = 9;
  } else if (n == 7) {
    type = 7;
  } else {
    const int df = bytes[0] >> 3;
    type = (df == 17 || df == 18 || df == 19) ? 1 : 5;
  }
  out += type;
  out += '\0';
  for (int shift = 0; shift <= 16; shift += 8) out += static_cast<char>(timestamp >> shift);
  if (n == 2) {
    out.append(reinterpret_cast<const char*>(bytes), 2);
    return out;
  }
  out.append(reinterpret_cast<const char*>(bytes), n - 3);
  const uint32_t residue = modeSCrcSyndrome(bytes, n);
  for (int shift = 16; shift >= 0; shift -= 8) out += static_cast<char>(residue >> shift);
  return out;
}

std::string encodeAvr(const uint8_t* bytes, uint32_t n) {
  std::string out;
  out.reserve(2 * n + 4);
  out += '*';
  appendHex(out, bytes, n);
  out += ";\r\n";
  return out;
}

std::string encodeAvrMlat(const uint8_t* bytes, uint32_t n, uint64_t timestamp) {
  std::string out;
  out.reserve(2 * n + 16);
  out += '@';
  appendHexValue(out, timestamp & 0xFFFFFFFFFFFFull, 12);
  appendHex(out, bytes, n);
  out += ";\r\n";
  return out;
}

std::string encodeAvrMlatAirspy(const uint8_t* bytes, uint32_t n, uint64_t timestamp, uint32_t factor) {
  std::string out;
  out.reserve(2 * n + 18);
  out += '*';
  appendHex(out, bytes, n);
  out += ';';
  appendHexValue(out, static_cast<uint32_t>((timestamp * factor) / 3), 8);
  out += ';';
  appendHexValue(out, factor == 1 ? 1 : 2 * factor, 2);
  out += ";\r\n";
  return out;
}
