#include "sdr/airspy_driver.h"

namespace {

class LibAirspyReceiver : public AirspyReceiver {
 public:
  explicit LibAirspyReceiver(airspy_device* device) : device(device) {}
  ~LibAirspyReceiver() override {
    if (device != nullptr) airspy_close(device);
  }

  airspy_device* handle() override { return device; }
  int close() override {
    const int result = airspy_close(device);
    device = nullptr;
    return result;
  }
  int boardIdRead(uint8_t* id) override { return airspy_board_id_read(device, id); }
  int versionStringRead(char* text, uint8_t length) override {
    return airspy_version_string_read(device, text, length);
  }
  int partIdSerialNoRead(airspy_read_partid_serialno_t* read) override {
    return airspy_board_partid_serialno_read(device, read);
  }
  int getSampleRates(uint32_t* buffer, uint32_t length) override {
    return airspy_get_samplerates(device, buffer, length);
  }
  int setSampleType(airspy_sample_type type) override { return airspy_set_sample_type(device, type); }
  int setSampleRate(uint32_t index) override { return airspy_set_samplerate(device, index); }
  int setFreq(uint32_t hz) override { return airspy_set_freq(device, hz); }
  int setLnaAgc(uint8_t on) override { return airspy_set_lna_agc(device, on); }
  int setMixerAgc(uint8_t on) override { return airspy_set_mixer_agc(device, on); }
  int setPacking(uint8_t on) override { return airspy_set_packing(device, on); }
  int setRfBias(uint8_t on) override { return airspy_set_rf_bias(device, on); }
  int setLinearityGain(uint8_t value) override { return airspy_set_linearity_gain(device, value); }
  int setLnaGain(uint8_t value) override { return airspy_set_lna_gain(device, value); }
  int setMixerGain(uint8_t value) override { return airspy_set_mixer_gain(device, value); }
  int setVgaGain(uint8_t value) override { return airspy_set_vga_gain(device, value); }
  int startRx(airspy_sample_block_cb_fn callback, void* context) override {
    return airspy_start_rx(device, callback, context);
  }
  int stopRx() override { return airspy_stop_rx(device); }
  int isStreaming() override { return airspy_is_streaming(device) == AIRSPY_TRUE; }

 private:
  airspy_device* device;
};

class LibAirspyDriver : public AirspyDriver {
 public:
  int open(std::unique_ptr<AirspyReceiver>& receiver) override {
    airspy_device* device = nullptr;
    const int result = airspy_open(&device);
    return adopt(result, device, receiver);
  }
  int openBySerial(uint64_t serial, std::unique_ptr<AirspyReceiver>& receiver) override {
    airspy_device* device = nullptr;
    const int result = airspy_open_sn(&device, serial);
    return adopt(result, device, receiver);
  }

 private:
  static int adopt(int result, airspy_device* device, std::unique_ptr<AirspyReceiver>& receiver) {
    if (result != AIRSPY_SUCCESS) return result;
    if (device == nullptr) return AIRSPY_ERROR_OTHER;
    receiver = std::make_unique<LibAirspyReceiver>(device);
    return AIRSPY_SUCCESS;
  }
};

}  // namespace

AirspyDriver& systemAirspyDriver() {
  static LibAirspyDriver driver;
  return driver;
}

std::string airspyErrorName(int result) { return airspy_error_name(static_cast<airspy_error>(result)); }
