#include "tools/bench_recall/recall_run.h"

#include <chrono>
#include <memory>

#include "app/application.h"
#include "sdr/airspy_decoder.h"
#include "sdr/airspy_demodulator.h"
#include "sdr/file_reader.h"
#include "sdr/rtl_decoder.h"
#include "sdr/fixed_factor_device.h"
#include "sdr/sdr_device.h"
#include "tools/synth/synth_session.h"

namespace {

// Real samples go through the Airspy demodulator in the receiver's block size, with the
// program's defaults (one-bit repair, every row); its end-of-window sample count becomes the
// 12 MHz stamp of the window's newest sample, as the other demodulator gives it.
RecallRun runRawRecall(const SynthScenario& scenario, SynthIqType type) {
  RecallRun run;
  run.factor = synthOversamplingFactor(type);
  std::vector<uint16_t> samples;
  SynthFileResult file = synthesiseRawToMemory(scenario, type, samples);
  run.samples = file.samples;
  run.sent = std::move(file.frames);

  AirspyDemodSettings settings;
  settings.phaseCount = run.factor;
  settings.workerCount = 1;
  const auto collect = [](const uint8_t* bytes, uint32_t length, uint16_t level, uint64_t time, bool, void* user) {
    RecallRun& into = *static_cast<RecallRun*>(user);
    into.frames.push_back({std::vector<uint8_t>(bytes, bytes + length), (time - 1) * 6 / into.factor,
                           airspySignalByte(level)});
  };
  AirspyDemodulator demodulator(settings, collect, &run);
  constexpr size_t block = 131072;
  std::chrono::steady_clock::duration spent{};
  for (size_t at = 0; at < samples.size(); at += block) {
    const auto count = static_cast<uint32_t>(std::min(block, samples.size() - at));
    const auto begin = std::chrono::steady_clock::now();
    demodulator.processBlock(samples.data() + at, count);
    spent += std::chrono::steady_clock::now() - begin;
  }
  demodulator.flush();
  run.processSeconds = std::chrono::duration<double>(spent).count();
  return run;
}

}  // namespace

RecallRun runRecall(const SynthScenario& scenario, SynthIqType type, bool rbs) {
  if (synthIsRaw(type)) return runRawRecall(scenario, type);
  RecallRun run;
  run.factor = synthOversamplingFactor(type);
  std::vector<uint8_t> bytes;
  SynthFileResult file = synthesiseToMemory(scenario, type, SynthAirspyCoding::Absolute, bytes);
  run.samples = file.samples;
  run.sent = std::move(file.frames);

  Application app;
  app.config->rbsDecoding = rbs;
  app.device = std::make_unique<FixedFactorDevice>(run.factor);
  SdrRtlDecoder decoder(app);
  decoder.setFrameOutput([&run](const uint8_t* frame, uint32_t length, uint64_t timestamp, uint8_t signal) {
    run.frames.push_back({std::vector<uint8_t>(frame, frame + length), timestamp, signal});
  });
  decoder.start();

  // The same blocks and ring the file reader hands over; only process() is timed.
  const uint32_t sampleSize = synthBytesPerPair(type) / 2;
  std::vector<uint32_t> magnitudes(FileReader::magnitudeRingSize);
  std::chrono::steady_clock::duration spent{};
  for (size_t at = 0; at < bytes.size(); at += FileReader::readBufferSize) {
    const auto length = static_cast<uint32_t>(std::min<size_t>(FileReader::readBufferSize, bytes.size() - at));
    if (length < 2 * sampleSize) break;
    const uint32_t pairs = FileReader::convertBlock(bytes.data() + at, length, sampleSize, magnitudes.data());
    const auto begin = std::chrono::steady_clock::now();
    decoder.process(magnitudes.data(), 0, pairs, FileReader::magnitudeRingSize);
    spent += std::chrono::steady_clock::now() - begin;
  }
  decoder.stop();
  run.processSeconds = std::chrono::duration<double>(spent).count();
  return run;
}
