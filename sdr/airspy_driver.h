#pragma once
// The libairspy calls the Airspy source makes, behind an interface so that a simulated receiver can
// stand in for the USB library. Results are libairspy's: AIRSPY_SUCCESS (0) or an airspy_error.

#include <libairspy/airspy.h>

#include <cstdint>
#include <memory>
#include <string>

// One open receiver. Destroying it closes it when close() has not been called.
class AirspyReceiver {
 public:
  virtual ~AirspyReceiver() = default;
  // The library's handle, as carried in every transfer from this receiver.
  virtual airspy_device* handle() = 0;
  virtual int close() = 0;

  virtual int boardIdRead(uint8_t* id) = 0;
  virtual int versionStringRead(char* text, uint8_t length) = 0;
  virtual int partIdSerialNoRead(airspy_read_partid_serialno_t* read) = 0;
  // length 0: buffer[0] receives the number of rates; otherwise fills up to length rates.
  virtual int getSampleRates(uint32_t* buffer, uint32_t length) = 0;

  virtual int setSampleType(airspy_sample_type type) = 0;
  // index into the list of getSampleRates.
  virtual int setSampleRate(uint32_t index) = 0;
  virtual int setFreq(uint32_t hz) = 0;
  virtual int setLnaAgc(uint8_t on) = 0;
  virtual int setMixerAgc(uint8_t on) = 0;
  virtual int setPacking(uint8_t on) = 0;
  virtual int setRfBias(uint8_t on) = 0;
  virtual int setLinearityGain(uint8_t value) = 0;
  virtual int setLnaGain(uint8_t value) = 0;
  virtual int setMixerGain(uint8_t value) = 0;
  virtual int setVgaGain(uint8_t value) = 0;

  // The library calls callback on its own consumer thread for every block until stopRx.
  virtual int startRx(airspy_sample_block_cb_fn callback, void* context) = 0;
  // Ends streaming and joins the library's threads.
  virtual int stopRx() = 0;
  // Non-zero while the library streams; it stops by itself when the receiver fails or goes away,
  // or when the callback answers non-zero.
  virtual int isStreaming() = 0;
};

class AirspyDriver {
 public:
  virtual ~AirspyDriver() = default;
  // The first receiver that can be opened.
  virtual int open(std::unique_ptr<AirspyReceiver>& receiver) = 0;
  virtual int openBySerial(uint64_t serial, std::unique_ptr<AirspyReceiver>& receiver) = 0;
};

// The driver over libairspy and the USB devices of this machine.
AirspyDriver& systemAirspyDriver();

// libairspy's name of a result code, such as "AIRSPY_ERROR_LIBUSB".
std::string airspyErrorName(int result);
