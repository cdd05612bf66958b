#pragma once
// The receivers attached to this machine, for the option "device-list".

#include "sdr/rtl_device_list.h"

#include <cstdint>
#include <iosfwd>
#include <string>

struct airspy_device;

// The board information lines of an open Airspy receiver, to the log or to a stream.
void logAirspyBoardInfo(airspy_device* device);
void printAirspyInfo(airspy_device* device, std::ostream& out);

// Writes both lists as the option "device-list" shows them.
void printDeviceList(std::ostream& out);
