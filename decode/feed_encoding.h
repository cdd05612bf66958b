#pragma once
// The raw frame feeds: each accepted frame written once per configured feed.

#include <cstdint>
#include <string>

// 0x1A, type '1'/'2'/'3', 48-bit timestamp, signal, frame; every 0x1A after the type doubled.
std::string encodeBeast(const uint8_t* bytes, uint32_t n, uint64_t timestamp, uint8_t signal);
// The SBS-3 data payload before framing: type, 0, 24-bit timestamp (LSB first), frame, parity residue.
std::string encodeSbsData(const uint8_t* bytes, uint32_t n, uint64_t timestamp);
// "*<hex>;\r\n"
std::string encodeAvr(const uint8_t* bytes, uint32_t n);
// "@<12 hex timestamp><hex>;\r\n"
std::string encodeAvrMlat(const uint8_t* bytes, uint32_t n, uint64_t timestamp);
// "*<hex>;<8 hex>;<2 hex>;\r\n" with the timestamp rescaled by the oversampling factor.
std::string encodeAvrMlatAirspy(const uint8_t* bytes, uint32_t n, uint64_t timestamp, uint32_t factor);

// Upper-case hexadecimal, two digits per byte, appended to out.
void appendHex(std::string& out, const uint8_t* bytes, uint32_t n);
