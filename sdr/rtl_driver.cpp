#include "sdr/rtl_driver.h"

#include <rtl-sdr.h>

namespace {

class LibRtlDongle : public RtlDongle {
 public:
  explicit LibRtlDongle(rtlsdr_dev_t* handle) : handle(handle) {}
  ~LibRtlDongle() override {
    if (handle != nullptr) rtlsdr_close(handle);
  }

  int close() override {
    const int result = rtlsdr_close(handle);
    handle = nullptr;
    return result;
  }
  int setSampleRate(uint32_t rate) override { return rtlsdr_set_sample_rate(handle, rate); }
  int setCenterFreq(uint32_t frequency) override { return rtlsdr_set_center_freq(handle, frequency); }
  int getTunerGains(int* gains) override { return rtlsdr_get_tuner_gains(handle, gains); }
  int setFreqCorrection(int ppm) override { return rtlsdr_set_freq_correction(handle, ppm); }
  int setTunerGainMode(int manual) override { return rtlsdr_set_tuner_gain_mode(handle, manual); }
  int setTunerGain(int tenthsOfDb) override { return rtlsdr_set_tuner_gain(handle, tenthsOfDb); }
  int setAgcMode(int on) override { return rtlsdr_set_agc_mode(handle, on); }
  int resetBuffer() override { return rtlsdr_reset_buffer(handle); }
  int readAsync(RtlSamplesCallback callback, void* context, uint32_t bufferCount,
                uint32_t bufferLength) override {
    return rtlsdr_read_async(handle, callback, context, bufferCount, bufferLength);
  }
  int cancelAsync() override { return rtlsdr_cancel_async(handle); }

 private:
  rtlsdr_dev_t* handle;
};

class LibRtlDriver : public RtlDriver {
 public:
  uint32_t deviceCount() override { return rtlsdr_get_device_count(); }
  int deviceUsbStrings(uint32_t index, char* manufacturer, char* product, char* serial) override {
    return rtlsdr_get_device_usb_strings(index, manufacturer, product, serial);
  }
  int open(uint32_t index, std::unique_ptr<RtlDongle>& dongle) override {
    rtlsdr_dev_t* handle = nullptr;
    const int result = rtlsdr_open(&handle, index);
    if (result != 0 || handle == nullptr) return result != 0 ? result : -1;
    dongle = std::make_unique<LibRtlDongle>(handle);
    return 0;
  }
};

}  // namespace

RtlDriver& systemRtlDriver() {
  static LibRtlDriver driver;
  return driver;
}
