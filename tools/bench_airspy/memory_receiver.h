#pragma once
// A receiver that streams samples held in memory through the library's callback on a thread of its
// own, in blocks of a fixed size, as libairspy's consumer thread delivers them. It lists one
// sample rate, so the device chooses exactly that.

#include "sdr/airspy_driver.h"

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

class MemoryAirspyReceiver : public AirspyReceiver {
 public:
  // samples: the raw stream as libairspy hands it over (16-bit words, or packed 32-bit words);
  // blockSamples: samples per callback (a multiple of 8 when packed).
  MemoryAirspyReceiver(std::vector<uint8_t> stream, uint32_t rate, bool packed, uint32_t blockSamples,
                       uint32_t passes);
  ~MemoryAirspyReceiver() override;

  airspy_device* handle() override { return reinterpret_cast<airspy_device*>(this); }
  int close() override { return AIRSPY_SUCCESS; }
  int boardIdRead(uint8_t* id) override;
  int versionStringRead(char* text, uint8_t length) override;
  int partIdSerialNoRead(airspy_read_partid_serialno_t* read) override;
  int getSampleRates(uint32_t* buffer, uint32_t length) override;
  int setSampleType(airspy_sample_type) override { return AIRSPY_SUCCESS; }
  int setSampleRate(uint32_t) override { return AIRSPY_SUCCESS; }
  int setFreq(uint32_t) override { return AIRSPY_SUCCESS; }
  int setLnaAgc(uint8_t) override { return AIRSPY_SUCCESS; }
  int setMixerAgc(uint8_t) override { return AIRSPY_SUCCESS; }
  int setPacking(uint8_t) override { return AIRSPY_SUCCESS; }
  int setRfBias(uint8_t) override { return AIRSPY_SUCCESS; }
  int setLinearityGain(uint8_t) override { return AIRSPY_SUCCESS; }
  int setLnaGain(uint8_t) override { return AIRSPY_SUCCESS; }
  int setMixerGain(uint8_t) override { return AIRSPY_SUCCESS; }
  int setVgaGain(uint8_t) override { return AIRSPY_SUCCESS; }
  int startRx(airspy_sample_block_cb_fn callback, void* context) override;
  int stopRx() override;
  int isStreaming() override { return !ended; }

  // Waits until every pass has been delivered.
  void waitEnd();
  uint64_t samplesDelivered() const { return delivered; }

 private:
  void stream(airspy_sample_block_cb_fn callback, void* context);

  std::vector<uint8_t> data;
  uint32_t rate;
  bool packed;
  uint32_t blockSamples;
  uint32_t passes;
  std::atomic<bool> stopping{false};
  std::atomic<bool> ended{false};
  std::atomic<uint64_t> delivered{0};
  std::thread consumer;
};

class MemoryAirspyDriver : public AirspyDriver {
 public:
  explicit MemoryAirspyDriver(std::unique_ptr<MemoryAirspyReceiver> receiver) : receiver(std::move(receiver)) {}
  int open(std::unique_ptr<AirspyReceiver>& out) override;
  int openBySerial(uint64_t, std::unique_ptr<AirspyReceiver>& out) override { return open(out); }

 private:
  std::unique_ptr<MemoryAirspyReceiver> receiver;
};
