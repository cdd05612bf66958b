#include "sdr/airspy_decoder.h"

#include "app/application.h"
#include "sdr/airspy_demodulator.h"
#include "sdr/airspy_device.h"

#include <algorithm>
#include <vector>

SdrAirspyDecoder::SdrAirspyDecoder(Application& owner, uint32_t decimation, uint32_t fecBits, uint32_t workers,
                                   bool packing)
    : SdrDecoder(owner),
      owner(owner),
      decimation(decimation),
      fecBits(std::min<uint32_t>(fecBits, 2)),
      workers(workers),
      packing(packing) {}

SdrAirspyDecoder::~SdrAirspyDecoder() = default;

void SdrAirspyDecoder::start() {
  auto* device = dynamic_cast<SdrAirspyDevice*>(owner.device.get());
  if (device == nullptr) throw AirspyDecoderError("start(): device attached is not an Airspy device");
  phases = device->chosenSampleRate() / SdrAirspyDevice::rateStep;

  AirspyDemodSettings settings;
  settings.phaseCount = phases;
  settings.workerCount = std::min(phases, workers);
  settings.decimation = decimation == 0 ? 1 : decimation;
  settings.packing = packing;
  settings.fecBits = fecBits;
  settings.addressLifetime = 60;
  core = std::make_unique<AirspyDemodulator>(settings, &SdrAirspyDecoder::frameCallback, this);
}

void SdrAirspyDecoder::stop() {
  if (core) core->flush();
  core.reset();
}

void SdrAirspyDecoder::process(const uint32_t* samples, uint32_t from, uint32_t to, uint32_t ringSize) {
  // An index outside the ring would never meet `to`, or read past the caller's buffer.
  if (!core || !samples || from >= ringSize || to >= ringSize || from == to) return;
  std::vector<uint16_t> block;
  block.reserve(from < to ? to - from : ringSize - from + to);
  for (uint32_t i = from; i != to; i = i + 1 == ringSize ? 0 : i + 1) block.push_back(static_cast<uint16_t>(samples[i]));
  core->processBlock(block.data(), static_cast<uint32_t>(block.size()));
}

void SdrAirspyDecoder::frameCallback(const uint8_t* bytes, uint32_t length, uint16_t level, uint64_t time,
                                     bool crcClean, void* context) {
  auto* decoder = static_cast<SdrAirspyDecoder*>(context);
  if (decoder->owner.config->airspyCrcValidOnly && !crcClean) return;
  decoder->handOn(bytes, length, time, airspySignalByte(level));
}

uint8_t airspySignalByte(uint16_t level) {
  // 12 + 243 * (level / 65,535)^2, rounded down.
  const uint64_t squared = uint64_t{level} * level;
  return static_cast<uint8_t>(12 + squared * 243 / (uint64_t{65535} * 65535));
}
