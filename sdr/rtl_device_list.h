#pragma once
// The device-list line of one RTL2832 dongle and the USB strings behind it.

#include <cstdint>
#include <string>

class RtlDriver;

struct RtlUsbStrings {
  std::string manufacturer;
  std::string product;
  std::string serial;
};

// Throws SdrRtlException "sdr_get_device_usb_strings()" when the strings cannot be read.
RtlUsbStrings rtlGetDeviceUsbStrings(RtlDriver& driver, uint32_t index);
RtlUsbStrings rtlGetDeviceUsbStrings(uint32_t index);

// " 3 mnf: ... prod: ... serial: ..." or, for a dongle held by another program, " 3 already in use)".
std::string rtlDeviceDescription(RtlDriver& driver, uint32_t index);
std::string rtlDeviceDescription(uint32_t index);
