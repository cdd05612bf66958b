#pragma once
// ICAO 24-bit address blocks of the States of registry, with each country's flag picture.
// Constant data; any thread may look up.

#include <cstddef>
#include <cstdint>

struct IcaoCountryRow {
  uint32_t firstAddress;
  uint32_t lastAddress;  // inclusive
  const char* name;
  const char* flag;      // picture file name, without a directory
};

class IcaoCountryTable {
 public:
  // Ascending, disjoint country blocks. Narrower blocks inside them (military sub-blocks,
  // territories, single registrations) are not carried: the first block holding an address
  // always wins, so they could never be returned.
  static const IcaoCountryRow rows[];
  static const size_t rowCount;

  // The block that holds `address`, or nullptr.
  static const IcaoCountryRow* find(uint32_t address);
  static bool holds(uint32_t address) { return find(address) != nullptr; }
};

// Empty text when no block holds the address.
const char* icaoCountryName(uint32_t address);
const char* icaoCountryFlag(uint32_t address);
