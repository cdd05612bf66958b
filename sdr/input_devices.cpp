#include "sdr/input_devices.h"

#include "app/application.h"
#include "app/logger.h"
#include "sdr/airspy_device.h"
#include "sdr/airspy_driver.h"
#include "sdr/file_reader.h"
#include "sdr/rtl_device.h"
#include "sdr/rtl_driver.h"
#include "sdr/sdr_device.h"

std::unique_ptr<SdrDevice> openRtlDevice(Application& application) {
  return openRtlDevice(application, systemRtlDriver());
}

std::unique_ptr<SdrDevice> openAirspyDevice(Application& application) {
  return openAirspyDevice(application, systemAirspyDriver());
}

// The file is only named here; the reader opens it when the input starts.
std::unique_ptr<SdrDevice> openInputFile(Application& application) {
  const Config& config = *application.config;
  return std::make_unique<FileReader>(application, config.inputFile, config.inputRateFactor,
                                      config.inputSampleSize);
}
