#include "sdr/airspy_device.h"

#include "app/application.h"
#include "app/logger.h"
#include "sdr/airspy_decoder.h"
#include "sdr/airspy_demodulator.h"
#include "sdr/device_list.h"

#include <cstdio>
#include <exception>
#include <new>
#include <vector>

namespace {

// A failed library call: its name and the library's name of the error.
[[noreturn]] void fail(const char* call, int result) {
  throw SdrAirspyException(std::string(call) + ": " + airspyErrorName(result));
}

void check(const char* call, int result) {
  if (result != AIRSPY_SUCCESS) fail(call, result);
}

const char* onOff(bool on) { return on ? "On" : "Off"; }

}  // namespace

SdrAirspyDevice::SdrAirspyDevice(Application& owner, std::unique_ptr<AirspyReceiver> receiver,
                                 uint64_t requestedRate)
    : owner(owner), receiver(std::move(receiver)), sampleRate(requestedRate) {}

uint32_t SdrAirspyDevice::chooseRateIndex(const uint32_t* rates, uint32_t count) const {
  if (sampleRate == 0) {
    uint32_t best = count;
    for (uint32_t i = 0; i < count; ++i) {
      if (rates[i] != 0 && rates[i] % rateStep == 0 && (best == count || rates[i] > rates[best])) best = i;
    }
    if (best == count) throw SdrAirspyException("Can't select sample rate");
    return best;
  }
  if (sampleRate % rateStep != 0) throw SdrAirspyException("Illegal sample rate");
  for (uint32_t i = 0; i < count; ++i) {
    if (rates[i] == sampleRate) return i;
  }
  throw SdrAirspyException("Can't select sample rate");
}

void SdrAirspyDevice::deviceInit() {
  check("airspy_set_sample_type() failed", receiver->setSampleType(AIRSPY_SAMPLE_RAW));

  uint32_t count = 0;
  check("airspy_get_samplerates() failed", receiver->getSampleRates(&count, 0));
  if (count < 1 || count > maxAirspySampleRates) {
    throw SdrAirspyException("airspy_get_samplerates() return invalid sample rates count");
  }
  std::vector<uint32_t> rates;
  try {
    rates.resize(count);
  } catch (const std::bad_alloc&) {
    throw SdrAirspyException("Can't allocate memory");
  }
  check("airspy_get_samplerates() failed", receiver->getSampleRates(rates.data(), count));

  const uint32_t index = chooseRateIndex(rates.data(), count);
  check("airspy_set_samplerate() failed", receiver->setSampleRate(index));
  sampleRate = rates[index];
  factor = sampleRate / rateStep;
  logInfo("Oversampling Factor: " + std::to_string(factor));

  check("airspy_set_freq() failed", receiver->setFreq(centerFrequency));
  check("airspy_set_lna_agc() failed", receiver->setLnaAgc(0));
  check("airspy_set_mixer_agc() failed", receiver->setMixerAgc(0));
  check("airspy_set_packing() failed", receiver->setPacking(0));
  check("airspy_set_rf_bias() failed", receiver->setRfBias(0));
}

std::unique_ptr<SdrAirspyDevice> openAirspyDevice(Application& application, AirspyDriver& driver) {
  const Config& config = *application.config;
  std::unique_ptr<AirspyReceiver> receiver;
  int result;
  if (config.airspySerialGiven) {
    char serial[32];
    std::snprintf(serial, sizeof serial, "%016llX", static_cast<unsigned long long>(config.airspySerial));
    logInfo(std::string("Select AirSpy device by serial no: 0x") + serial);
    result = driver.openBySerial(config.airspySerial, receiver);
  } else {
    result = driver.open(receiver);
  }
  if (result == AIRSPY_ERROR_NOT_FOUND) throw SdrAirspyException("Device Not Found");
  if (result != AIRSPY_SUCCESS || !receiver) {
    fail(config.airspySerialGiven ? "airspy_open_sn() failed" : "airspy_open() failed",
         result != AIRSPY_SUCCESS ? result : AIRSPY_ERROR_OTHER);
  }

  logAirspyBoardInfo(*receiver);

  const uint64_t requested = uint64_t{config.airspySampleRate} * 1000000u;
  auto device = std::make_unique<SdrAirspyDevice>(application, std::move(receiver), requested);
  try {
    device->deviceInit();
  } catch (const SdrAirspyException&) {
    device->airspyReceiver().close();
    throw;
  }
  AirspyReceiver& open = device->airspyReceiver();

  logInfo(std::string("RF Bias: ") + onOff(config.airspyRfBias));
  check("airspy_set_rf_bias() failed", open.setRfBias(config.airspyRfBias ? 1 : 0));

  const int8_t linearity = static_cast<int8_t>(config.airspyLinearity);
  if (linearity > 0) {
    check("airspy_set_linearity_gain() failed", open.setLinearityGain(static_cast<uint8_t>(linearity)));
  } else {
    logInfo("LNA Gain: " + std::to_string(config.airspyLnaGain));
    check("airspy_set_lna_gain() failed", open.setLnaGain(static_cast<uint8_t>(config.airspyLnaGain)));
    logInfo("Mixer Gain: " + std::to_string(config.airspyMixerGain));
    check("airspy_set_mixer_gain() failed", open.setMixerGain(static_cast<uint8_t>(config.airspyMixerGain)));
    logInfo("IF Gain: " + std::to_string(config.airspyIfGain));
    check("airspy_set_vga_gain() failed", open.setVgaGain(static_cast<uint8_t>(config.airspyIfGain)));
  }

  logInfo(std::string("Airspy Packing: ") + onOff(config.airspyPacking));
  check("airspy_set_packing() failed", open.setPacking(config.airspyPacking ? 1 : 0));

  logInfo("Decimation factor: " + std::to_string(config.airspyDecimation));
  logInfo("Decoding on " + std::to_string(device->chosenSampleRate() / 1000000) + " MSPS");
  logInfo("Used the original AirSpy decoding algorithm from Kelvane");
  return device;
}

SdrAirspyDevice::~SdrAirspyDevice() { endWatch(); }

void SdrAirspyDevice::start() {
  check("airspy_start_rx() failed", receiver->startRx(&SdrAirspyDevice::handlerRx, this));
  watchdog = std::thread([this] { watchStreaming(); });
}

void SdrAirspyDevice::watchStreaming() {
  std::unique_lock<std::mutex> lock(watchMutex);
  while (!watchWake.wait_for(lock, watchInterval, [this] { return watchEnd; })) {
    if (receiver->isStreaming()) continue;
    lock.unlock();
    endRun("AirSpy receiver stopped streaming");
    return;
  }
}

void SdrAirspyDevice::endRun(const char* why, const char* detail) {
  // A failed callback also stops the streaming that the watchdog then sees: one cause, one line.
  if (runEnded.exchange(true)) return;
  owner.setExitStatus(1);
  try {
    logError(std::string(why) + detail);
  } catch (...) {
    // Out of memory for the line: the exit status still tells.
  }
  owner.stop();
}

void SdrAirspyDevice::endWatch() {
  {
    std::lock_guard<std::mutex> lock(watchMutex);
    watchEnd = true;
  }
  watchWake.notify_all();
  if (watchdog.joinable() && watchdog.get_id() != std::this_thread::get_id()) watchdog.join();
}

void SdrAirspyDevice::stop() {
  endWatch();
  const int result = receiver->stopRx();
  if (result != AIRSPY_SUCCESS) logError("airspy_stop_rx() fail " + airspyErrorName(result));
  try {
    deviceInit();
  } catch (const SdrAirspyException&) {
    logError("error in deviceInit() while stop()");
  }
  receiver->close();
}

std::unique_ptr<SdrDecoder> SdrAirspyDevice::createDecoder(Application& application) {
  const Config& config = *application.config;
  return std::make_unique<SdrAirspyDecoder>(application, config.airspyDecimation, config.airspyFecBits,
                                            config.airspyWorkers, config.airspyPacking);
}

int SdrAirspyDevice::handlerRx(airspy_transfer* transfer) {
  if (transfer == nullptr) {
    logError("handlerRx(NULL)");
    return -1;
  }
  auto* device = static_cast<SdrAirspyDevice*>(transfer->ctx);
  if (device == nullptr) {
    logError("handlerRx ctx == NULL");
    return -1;
  }
  if (transfer->device != device->receiver->handle()) {
    logError("handlerRx device mismatch!");
    return -1;
  }
  auto* decoder = dynamic_cast<SdrAirspyDecoder*>(device->owner.decoder.get());
  AirspyDemodulator* demodulator = decoder ? decoder->demodulator() : nullptr;
  if (demodulator == nullptr) {
    logError("handlerRx: the Airspy demodulator is not running");
    return -1;
  }
  if (transfer->dropped_samples != 0) demodulator->addDroppedSamples(transfer->dropped_samples);
  if (transfer->samples == nullptr || transfer->sample_count <= 0) return 0;
  try {
    demodulator->processBlock(transfer->samples, static_cast<uint32_t>(transfer->sample_count));
  } catch (const std::exception& e) {
    device->endRun("AirSpy sample callback failed: ", e.what());
    return -1;
  } catch (...) {
    device->endRun("AirSpy sample callback failed");
    return -1;
  }
  return 0;
}
