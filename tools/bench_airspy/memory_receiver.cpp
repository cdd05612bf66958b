#include "tools/bench_airspy/memory_receiver.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

MemoryAirspyReceiver::MemoryAirspyReceiver(std::vector<uint8_t> stream, uint32_t rate, bool packed,
                                           uint32_t blockSamples, uint32_t passes)
    : data(std::move(stream)), rate(rate), packed(packed), blockSamples(blockSamples), passes(passes) {}

MemoryAirspyReceiver::~MemoryAirspyReceiver() { stopRx(); }

int MemoryAirspyReceiver::boardIdRead(uint8_t* id) {
  *id = 0;
  return AIRSPY_SUCCESS;
}

int MemoryAirspyReceiver::versionStringRead(char* text, uint8_t length) {
  std::snprintf(text, length, "recording");
  return AIRSPY_SUCCESS;
}

int MemoryAirspyReceiver::partIdSerialNoRead(airspy_read_partid_serialno_t* read) {
  *read = {};
  return AIRSPY_SUCCESS;
}

int MemoryAirspyReceiver::getSampleRates(uint32_t* buffer, uint32_t length) {
  buffer[0] = length == 0 ? 1 : rate;
  return AIRSPY_SUCCESS;
}

int MemoryAirspyReceiver::startRx(airspy_sample_block_cb_fn callback, void* context) {
  consumer = std::thread([this, callback, context] { stream(callback, context); });
  return AIRSPY_SUCCESS;
}

int MemoryAirspyReceiver::stopRx() {
  stopping = true;
  if (consumer.joinable()) consumer.join();
  return AIRSPY_SUCCESS;
}

void MemoryAirspyReceiver::waitEnd() {
  if (consumer.joinable()) consumer.join();
}

void MemoryAirspyReceiver::stream(airspy_sample_block_cb_fn callback, void* context) {
  const size_t blockBytes = packed ? size_t{blockSamples} * 3 / 2 : size_t{blockSamples} * 2;
  std::vector<uint32_t> buffer((blockBytes + 3) / 4);
  for (uint32_t pass = 0; pass < passes && !stopping; ++pass) {
    for (size_t offset = 0; offset < data.size() && !stopping;) {
      const size_t bytes = std::min(blockBytes, data.size() - offset);
      // The last block of a recording may be short; packed blocks stay whole groups of 8.
      const uint32_t count = static_cast<uint32_t>(packed ? bytes / 12 * 8 : bytes / 2);
      if (count == 0) break;
      // A single pass hands the recording's own memory over, as the library hands over its
      // buffers; repeated passes need the samples again, so they get a copy.
      void* samples = data.data() + offset;
      if (passes > 1) {
        std::memcpy(buffer.data(), samples, bytes);
        samples = buffer.data();
      }
      offset += bytes;
      airspy_transfer transfer{};
      transfer.device = handle();
      transfer.ctx = context;
      transfer.samples = samples;
      transfer.sample_count = static_cast<int>(count);
      transfer.sample_type = AIRSPY_SAMPLE_RAW;
      if (callback(&transfer) != 0) {
        ended = true;
        return;
      }
      delivered += count;
    }
  }
  // Still streaming as far as the device can tell: the recording's end is not a receiver failure.
}

int MemoryAirspyDriver::open(std::unique_ptr<AirspyReceiver>& out) {
  if (!receiver) return AIRSPY_ERROR_NOT_FOUND;
  out = std::move(receiver);
  return AIRSPY_SUCCESS;
}
