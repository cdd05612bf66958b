#pragma once
// Mode A/C pulse codes and the 12- and 13-bit fields built from them.
//
// A pulse set is held in the reply layout of a Mode A/C decoder: A4 A2 A1 in bits 14-12,
// B4 B2 B1 in bits 10-8, C4 C2 C1 in bits 6-4, D4 D2 D1 in bits 2-0 (SPI, bit 7, is not part
// of a code). Identity codes set the pulses from the octal digits, altitudes from the Gillham
// (Mode C) code in 100 ft steps.

#include <cstdint>

// Squawk given as its four octal digits (0 .. 07777).
uint32_t synthSquawkPulses(uint32_t squawk);

// Nearest 100 ft Gillham code, altitudes -1200 .. 126700 ft (clamped).
uint32_t synthGillhamPulses(double altitudeFeet);

// C1 A1 C2 A2 C4 A4 X B1 D1 B2 D2 B4 D4, most significant first (X = 0).
uint32_t synthIdentityField(uint32_t pulses);

// DF 0/4/16/20 altitude: 25 ft steps with Q = 1 from -1000 to 50175 ft, Gillham above (M = 0).
uint32_t synthAc13Field(double altitudeFeet);

// Extended-squitter altitude (ME 9-20): the same choice, without the M bit.
uint32_t synthAc12Field(double altitudeFeet);
