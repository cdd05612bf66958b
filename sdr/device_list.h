#pragma once
// The receivers attached to this machine, for the option "device-list".

#include <cstdint>
#include <iosfwd>
#include <string>

struct airspy_device;

struct RtlUsbStrings {
  std::string manufacturer;
  std::string product;
  std::string serial;
};

// Throws SdrRtlException "sdr_get_device_usb_strings()" when the strings cannot be read.
RtlUsbStrings rtlGetDeviceUsbStrings(uint32_t index);
// " 3 mnf: ... prod: ... serial: ..." or " 3 already in use)".
std::string rtlDeviceDescription(uint32_t index);

// The board information lines of an open Airspy receiver, to the log or to a stream.
void logAirspyBoardInfo(airspy_device* device);
void printAirspyInfo(airspy_device* device, std::ostream& out);

// Writes both lists as the option "device-list" shows them.
void printDeviceList(std::ostream& out);
