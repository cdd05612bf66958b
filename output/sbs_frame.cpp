#include "output/sbs_frame.h"

#include <array>

namespace {

std::array<uint16_t, 256> makeCrcTable() {
  std::array<uint16_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint16_t crc = static_cast<uint16_t>(i << 8);
    for (int bit = 0; bit < 8; ++bit) crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    table[i] = crc;
  }
  return table;
}

const std::array<uint16_t, 256> crcTable = makeCrcTable();

void appendStuffed(std::string& out, uint8_t byte) {
  out += static_cast<char>(byte);
  if (byte == sbsDle) out += static_cast<char>(byte);
}

}  // namespace

uint16_t sbsCrc16(const uint8_t* bytes, size_t n) {
  uint16_t crc = 0;
  for (size_t i = 0; i < n; ++i) crc = static_cast<uint16_t>((crc << 8) ^ crcTable[((crc >> 8) ^ bytes[i]) & 0xFF]);
  return crc;
}

void appendSbsFrame(std::string& out, const uint8_t* payload, size_t n) {
  out += static_cast<char>(sbsDle);
  out += static_cast<char>(sbsStx);
  for (size_t i = 0; i < n; ++i) appendStuffed(out, payload[i]);
  out += static_cast<char>(sbsDle);
  out += static_cast<char>(sbsEtx);
  const uint16_t crc = sbsCrc16(payload, n);
  appendStuffed(out, static_cast<uint8_t>(crc >> 8));
  appendStuffed(out, static_cast<uint8_t>(crc));
}

std::string wrapSbsFrame(const uint8_t* payload, size_t n) {
  std::string out;
  out.reserve(sbsFramedSizeLimit(n));
  appendSbsFrame(out, payload, n);
  return out;
}

std::string wrapSbsFrame(const std::string& payload) {
  return wrapSbsFrame(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
}
