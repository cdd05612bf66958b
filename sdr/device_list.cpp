#include "sdr/device_list.h"

#include "app/logger.h"
#include "sdr/airspy_driver.h"
#include "sdr/sdr_device.h"

#include <rtl-sdr.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <vector>

namespace {

// Emits the board lines one by one; stops after the first failed read, which is logged.
void airspyBoardInfo(AirspyReceiver& receiver, const std::function<void(const std::string&)>& emit) {
  char text[160];
  uint8_t boardId = 0;
  int result = receiver.boardIdRead(&boardId);
  if (result != AIRSPY_SUCCESS) {
    logError(std::string("airspy_board_id_read() fail ") +
             airspyErrorName(result));
    return;
  }
  emit("Board ID Number: " + std::to_string(boardId) + " (" +
       airspy_board_id_name(static_cast<airspy_board_id>(boardId)) + ")");

  char version[128] = {};
  result = receiver.versionStringRead(version, 127);
  if (result != AIRSPY_SUCCESS) {
    logError(std::string("airspy_version_string_read() fail ") +
             airspyErrorName(result));
    return;
  }
  emit(std::string("Firmware Version: ") + version);

  airspy_read_partid_serialno_t partSerial{};
  result = receiver.partIdSerialNoRead(&partSerial);
  if (result != AIRSPY_SUCCESS) {
    logError(std::string("airspy_board_partid_serialno_read() fail ") +
             airspyErrorName(result));
    return;
  }
  std::snprintf(text, sizeof text, "Part ID Number: 0x%08X 0x%08X", partSerial.part_id[0],
                partSerial.part_id[1]);
  emit(text);
  std::snprintf(text, sizeof text, "Serial Number: 0x%08X%08X", partSerial.serial_no[2],
                partSerial.serial_no[3]);
  emit(text);

  uint32_t count = 0;
  result = receiver.getSampleRates(&count, 0);
  if (result == AIRSPY_SUCCESS && count > maxAirspySampleRates) {
    logError("airspy_get_samplerates() return invalid sample rates count");
    return;
  }
  std::vector<uint32_t> rates(result == AIRSPY_SUCCESS ? count : 0);
  if (result == AIRSPY_SUCCESS && count > 0) result = receiver.getSampleRates(rates.data(), count);
  if (result != AIRSPY_SUCCESS) {
    logError("airspy_get_samplerates() fail " + airspyErrorName(result));
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

void logAirspyBoardInfo(AirspyReceiver& receiver) {
  airspyBoardInfo(receiver, [](const std::string& line) { logInfo(line); });
}

void printAirspyInfo(AirspyReceiver& receiver, std::ostream& out) {
  airspyBoardInfo(receiver, [&out](const std::string& line) { out << line << '\n'; });
}

void printDeviceList(std::ostream& out, AirspyDriver& airspy) {
  out << std::endl;
  const uint32_t rtlCount = rtlsdr_get_device_count();
  if (rtlCount < 1) {
    out << "No Available RTL devices." << std::endl;
  } else {
    out << "Available RTL Devices:" << std::endl;
    for (uint32_t i = 0; i < rtlCount; ++i) out << rtlDeviceDescription(i) << std::endl;
  }
  out << std::endl;

  // open takes the first receiver still free, so open until it fails.
  std::vector<std::unique_ptr<AirspyReceiver>> opened;
  for (;;) {
    std::unique_ptr<AirspyReceiver> receiver;
    if (airspy.open(receiver) != AIRSPY_SUCCESS || !receiver) break;
    opened.push_back(std::move(receiver));
  }
  if (opened.empty()) {
    out << "No Available AirSpy devices." << std::endl;
    return;
  }
  out << "Available AirSpy Devices:" << std::endl;
  for (auto& receiver : opened) {
    printAirspyInfo(*receiver, out);
    out << std::endl;
    const int result = receiver->close();
    if (result != AIRSPY_SUCCESS) logError("airspy_close() fail " + airspyErrorName(result));
  }
}
