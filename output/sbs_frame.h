#pragma once
// SBS-3 frame layer: DLE STX, payload with every 0x10 doubled, DLE ETX, CRC-16 (high, low; 0x10 doubled).
// Shared by the session replies and the data-frame encoder.

#include <cstddef>
#include <cstdint>
#include <string>

constexpr uint8_t sbsDle = 0x10;
constexpr uint8_t sbsStx = 0x02;
constexpr uint8_t sbsEtx = 0x03;

// CRC-16 with polynomial 0x1021, initial value 0, MSB first, no final XOR (XMODEM).
uint16_t sbsCrc16(const uint8_t* bytes, size_t n);

// Appends the framed payload to out.
void appendSbsFrame(std::string& out, const uint8_t* payload, size_t n);
std::string wrapSbsFrame(const uint8_t* payload, size_t n);
std::string wrapSbsFrame(const std::string& payload);

// Worst case of the framed size: every payload and CRC byte doubled.
constexpr size_t sbsFramedSizeLimit(size_t payloadLength) { return 2 + 2 * payloadLength + 2 + 4; }
