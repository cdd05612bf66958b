#include "sdr/rtl_device_list.h"

#include "sdr/rtl_driver.h"
#include "sdr/sdr_device.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

RtlUsbStrings rtlGetDeviceUsbStrings(RtlDriver& driver, uint32_t index) {
  char manufacturer[256] = {};
  char product[256] = {};
  char serial[256] = {};
  if (driver.deviceUsbStrings(index, manufacturer, product, serial) != 0) {
    throw SdrRtlException(std::string("sdr_get_device_usb_strings()") + ": " + std::strerror(errno));
  }
  // A driver that fills a buffer to the brim must not run us past it.
  manufacturer[255] = product[255] = serial[255] = '\0';
  return {manufacturer, product, serial};
}

RtlUsbStrings rtlGetDeviceUsbStrings(uint32_t index) { return rtlGetDeviceUsbStrings(systemRtlDriver(), index); }

std::string rtlDeviceDescription(RtlDriver& driver, uint32_t index) {
  char number[16];
  std::snprintf(number, sizeof number, "%2u", index);
  try {
    const RtlUsbStrings strings = rtlGetDeviceUsbStrings(driver, index);
    return std::string(number) + " mnf: " + strings.manufacturer + " prod: " + strings.product +
           " serial: " + strings.serial;
  } catch (const SdrRtlException&) {
    return std::string(number) + " already in use)";
  }
}

std::string rtlDeviceDescription(uint32_t index) { return rtlDeviceDescription(systemRtlDriver(), index); }
