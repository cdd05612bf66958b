#include "sdr/input_devices.h"

#include "app/application.h"
#include "app/logger.h"
#include "sdr/device_list.h"
#include "sdr/sdr_device.h"

#include <libairspy/airspy.h>
#include <rtl-sdr.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

std::string withErrno(const char* call) { return std::string(call) + ": " + std::strerror(errno); }

std::string withAirspyError(const char* call, int result) {
  return std::string(call) + ": " + airspy_error_name(static_cast<airspy_error>(result));
}

}  // namespace

// Choosing and opening the dongle; streaming from it comes with the RTL sample source.
std::unique_ptr<SdrDevice> openRtlDevice(Application& application) {
  const Config& config = *application.config;
  uint32_t index = config.deviceIndex;
  logInfo("Device:" + rtlDeviceDescription(index));
  rtlsdr_dev_t* dongle = nullptr;
  errno = 0;
  if (rtlsdr_open(&dongle, index) != 0 || dongle == nullptr) throw SdrRtlException(withErrno("sdr_open()"));
  rtlsdr_close(dongle);
  throw SdrRtlException("RTL2832 streaming is not available in this build");
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

std::unique_ptr<SdrDevice> openInputFile(Application&) {
  throw SdrFilereaderException("I/Q file input is not available in this build");
}
