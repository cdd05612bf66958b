#pragma once
// The receivers attached to this machine, for the option "device-list".

#include "sdr/rtl_device_list.h"

#include <cstdint>
#include <iosfwd>
#include <string>

class AirspyDriver;
class AirspyReceiver;

// A receiver that claims more rates than this is faulty; its list is not read.
constexpr uint32_t maxAirspySampleRates = 1000;

// The board information lines of an open Airspy receiver, to the log or to a stream.
void logAirspyBoardInfo(AirspyReceiver& receiver);
void printAirspyInfo(AirspyReceiver& receiver, std::ostream& out);

// Writes both lists as the option "device-list" shows them.
void printDeviceList(std::ostream& out, AirspyDriver& airspy);
