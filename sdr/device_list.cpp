#include "sdr/device_list.h"

#include "app/logger.h"
#include "sdr/sdr_device.h"

#include <libairspy/airspy.h>
#include <rtl-sdr.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <vector>

namespace {

// Emits the board lines one by one; stops after the first failed read, which is logged.
void airspyBoardInfo(airspy_device* device, const std::function<void(const std::string&)>& emit) {
  char text[160];
  uint8_t boardId = 0;
  int result = airspy_board_id_read(device, &boardId);
  if (result != AIRSPY_SUCCESS) {
    logError(std::string("airspy_board_id_read() fail ") +
             airspy_error_name(static_cast<airspy_error>(result)));
    return;
  }
  emit("Board ID Number: " + std::to_string(boardId) + " (" +
       airspy_board_id_name(static_cast<airspy_board_id>(boardId)) + ")");

  char version[128] = {};
  result = airspy_version_string_read(device, version, 127);
  if (result != AIRSPY_SUCCESS) {
    logError(std::string("airspy_version_string_read() fail ") +
             airspy_error_name(static_cast<airspy_error>(result)));
    return;
  }
  emit(std::string("Firmware Version: ") + version);

  airspy_read_partid_serialno_t partSerial{};
  result = airspy_board_partid_serialno_read(device, &partSerial);
  if (result != AIRSPY_SUCCESS) {
    logError(std::string("airspy_board_partid_serialno_read() fail ") +
             airspy_error_name(static_cast<airspy_error>(result)));
    return;
  }
  std::snprintf(text, sizeof text, "Part ID Number: 0x%08X 0x%08X", partSerial.part_id[0],
                partSerial.part_id[1]);
  emit(text);
  std::snprintf(text, sizeof text, "Serial Number: 0x%08X%08X", partSerial.serial_no[2],
                partSerial.serial_no[3]);
  emit(text);

  uint32_t count = 0;
  result = airspy_get_samplerates(device, &count, 0);
  std::vector<uint32_t> rates(count);
  if (result == AIRSPY_SUCCESS && count > 0) result = airspy_get_samplerates(device, rates.data(), count);
  if (result != AIRSPY_SUCCESS) {
    logError(std::string("airspy_get_samplerates() fail ") +
             airspy_error_name(static_cast<airspy_error>(result)));
    return;
  }
  std::string line = "Supported sample rates:";
  for (uint32_t rate : rates) {
    std::snprintf(text, sizeof text, " %.1f", rate / 1e6);
    line += text;
  }
  emit(line);
}

}  // namespace

void logAirspyBoardInfo(airspy_device* device) {
  airspyBoardInfo(device, [](const std::string& line) { logInfo(line); });
}

void printAirspyInfo(airspy_device* device, std::ostream& out) {
  airspyBoardInfo(device, [&out](const std::string& line) { out << line << '\n'; });
}

void printDeviceList(std::ostream& out) {
  out << std::endl;
  const uint32_t rtlCount = rtlsdr_get_device_count();
  if (rtlCount < 1) {
    out << "No Available RTL devices." << std::endl;
  } else {
    out << "Available RTL Devices:" << std::endl;
    for (uint32_t i = 0; i < rtlCount; ++i) out << rtlDeviceDescription(i) << std::endl;
  }
  out << std::endl;

  // airspy_open takes the first receiver still free, so open until it fails.
  std::vector<airspy_device*> opened;
  for (;;) {
    airspy_device* device = nullptr;
    if (airspy_open(&device) != AIRSPY_SUCCESS || device == nullptr) break;
    opened.push_back(device);
  }
  if (opened.empty()) {
    out << "No Available AirSpy devices." << std::endl;
    return;
  }
  out << "Available AirSpy Devices:" << std::endl;
  for (airspy_device* device : opened) {
    printAirspyInfo(device, out);
    out << std::endl;
    const int result = airspy_close(device);
    if (result != AIRSPY_SUCCESS) {
      logError(std::string("airspy_close() fail ") + airspy_error_name(static_cast<airspy_error>(result)));
    }
  }
}
