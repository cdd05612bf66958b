#include "sdr/input_devices.h"

#include "app/application.h"
#include "app/logger.h"
#include "sdr/device_list.h"
#include "sdr/file_reader.h"
#include "sdr/rtl_device.h"
#include "sdr/rtl_driver.h"
#include "sdr/sdr_device.h"

#include <libairspy/airspy.h>

#include <cstdio>

namespace {

std::string withAirspyError(const char* call, int result) {
  return std::string(call) + ": " + airspy_error_name(static_cast<airspy_error>(result));
}

}  // namespace

std::unique_ptr<SdrDevice> openRtlDevice(Application& application) {
  return openRtlDevice(application, systemRtlDriver());
}

std::unique_ptr<SdrDevice> openAirspyDevice(Application& application) {
  const Config& config = *application.config;
  airspy_device* receiver = nullptr;
  int result;
  if (config.airspySerialGiven) {
    char serial[32];
    std::snprintf(serial, sizeof serial, "%016llX", static_cast<unsigned long long>(config.airspySerial));
    logInfo(std::string("Select AirSpy device by serial no: 0x") + serial);
    result = airspy_open_sn(&receiver, config.airspySerial);
  } else {
    result = airspy_open(&receiver);
  }
  if (result == AIRSPY_ERROR_NOT_FOUND) throw SdrAirspyException("Device Not Found");
  if (result != AIRSPY_SUCCESS) {
    throw SdrAirspyException(
        withAirspyError(config.airspySerialGiven ? "airspy_open_sn() failed" : "airspy_open() failed", result));
  }
  airspy_close(receiver);
  throw SdrAirspyException("Airspy streaming is not available in this build");
}

// The file is only named here; the reader opens it when the input starts.
std::unique_ptr<SdrDevice> openInputFile(Application& application) {
  const Config& config = *application.config;
  return std::make_unique<FileReader>(application, config.inputFile, config.inputRateFactor,
                                      config.inputSampleSize);
}
