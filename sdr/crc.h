#pragma once
// Mode S CRC-24 (generator 0x1FFF409, MSB first, register starting at zero), the frame
// syndrome, and the map from syndrome to the one- or two-bit error that produces it.
//
// The byte table is compile-time constant data: it is complete before any thread runs, so
// no caller ever has to build it and no first use can race another.

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

constexpr uint32_t modeSCrcGenerator = 0xFFF409;

struct ModeSCrcTable {
  uint32_t entries[256];
};

// Entry i: the register after shifting the byte i into a zero register.
constexpr ModeSCrcTable makeModeSCrcTable() {
  ModeSCrcTable table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i << 16;
    for (int bit = 0; bit < 8; ++bit) c = (c & 0x800000) ? ((c << 1) ^ modeSCrcGenerator) : (c << 1);
    table.entries[i] = c & 0xFFFFFF;
  }
  return table;
}

inline constexpr ModeSCrcTable modeSCrcTable = makeModeSCrcTable();

// Fills `table` with the same 256 entries (for a private copy; rebuilding gives identical
// contents every time).
void buildModeSCrcTable(uint32_t table[256]);

// The table counts as built when entry 1 holds the generator; always true for modeSCrcTable.
inline bool modeSCrcTableBuilt() { return modeSCrcTable.entries[1] == modeSCrcGenerator; }

// Plain CRC of `length` bytes. Hot path: called for every frame, so it stays inline.
inline uint32_t modeSCrc(const uint8_t* bytes, uint32_t length) {
  const uint32_t* table = modeSCrcTable.entries;
  uint32_t crc = 0;
  uint32_t i = 0;
  // Eight bytes a pass; bits above 23 may linger, the index only takes bits 16-23.
  for (; i + 8 <= length; i += 8) {
    crc = table[(bytes[i] ^ (crc >> 16)) & 0xFF] ^ (crc << 8);
    crc = table[(bytes[i + 1] ^ (crc >> 16)) & 0xFF] ^ (crc << 8);
    crc = table[(bytes[i + 2] ^ (crc >> 16)) & 0xFF] ^ (crc << 8);
    crc = table[(bytes[i + 3] ^ (crc >> 16)) & 0xFF] ^ (crc << 8);
    crc = table[(bytes[i + 4] ^ (crc >> 16)) & 0xFF] ^ (crc << 8);
    crc = table[(bytes[i + 5] ^ (crc >> 16)) & 0xFF] ^ (crc << 8);
    crc = table[(bytes[i + 6] ^ (crc >> 16)) & 0xFF] ^ (crc << 8);
    crc = table[(bytes[i + 7] ^ (crc >> 16)) & 0xFF] ^ (crc << 8);
  }
  for (; i < length; ++i) crc = table[(bytes[i] ^ (crc >> 16)) & 0xFF] ^ (crc << 8);
  return crc & 0xFFFFFF;
}

// CRC of all but the last three bytes, XOR those three bytes read big-endian. 0 for an intact
// frame with plain parity; the address for address/parity frames; the interrogator code for
// DF11. Up to two bytes give 0; three bytes give their own value.
inline uint32_t modeSCrcSyndrome(const uint8_t* bytes, uint32_t length) {
  if (length <= 2) return 0;
  const uint8_t* parity = bytes + length - 3;
  const uint32_t received =
      (uint32_t{parity[0]} << 16) | (uint32_t{parity[1]} << 8) | uint32_t{parity[2]};
  return modeSCrc(bytes, length - 3) ^ received;
}

// One correctable error in a 112-bit frame. Bits are numbered from 0 (MSB of byte 0) to 111.
struct ErrorPattern {
  int32_t bitCount = 0;    // 1 or 2
  int32_t firstBit = -1;
  int32_t secondBit = -1;  // -1 for a one-bit error
};

// Syndrome -> error pattern for every one- and two-bit error in bits 5-111 of a long frame
// (the downlink format bits are never repaired). Filled once, then read-only, so one thread
// may look up while nothing writes.
class ErrorSyndromeTable {
 public:
  static constexpr int firstCorrectableBit = 5;
  static constexpr int frameBits = 112;

  // Fills an empty table (a filled one is left as it is). Where two patterns share a
  // syndrome the earlier one in build order is kept.
  void build();

  // The pattern whose syndrome is exactly `syndrome`, or nullptr.
  const ErrorPattern* find(uint32_t syndrome) const;

  size_t size() const { return entries.size(); }
  bool empty() const { return entries.empty(); }

  // Ascending by syndrome.
  const std::vector<std::pair<uint32_t, ErrorPattern>>& patterns() const { return entries; }

 private:
  // A sorted vector: the same ordered look-up as a tree, but one compact block to search.
  std::vector<std::pair<uint32_t, ErrorPattern>> entries;
};
