#pragma once
// The 13-bit Mode A / Mode C code as it sits in surveillance replies:
// C1 A1 C2 A2 C4 A4 X/M B1 D1/Q B2 D2 B4 D4, most significant bit first.

#include <cstdint>

// Four octal digits ABCD, one per hexadecimal nibble (7700 becomes 0x7700).
int32_t squawkFromIdentity(uint32_t code13);

// Gillham (Mode C) altitude in feet; 0 for a code whose hundreds digit is invalid.
int32_t gillhamAltitude(uint32_t code13);
