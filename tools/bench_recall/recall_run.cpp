#include "tools/bench_recall/recall_run.h"

#include <chrono>
#include <memory>

#include "app/application.h"
#include "sdr/file_reader.h"
#include "sdr/rtl_decoder.h"
#include "sdr/fixed_factor_device.h"
#include "sdr/sdr_device.h"
#include "tools/synth/synth_session.h"

RecallRun runRecall(const SynthScenario& scenario, SynthIqType type) {
  RecallRun run;
  run.factor = synthOversamplingFactor(type);
  std::vector<uint8_t> bytes;
  SynthFileResult file = synthesiseToMemory(scenario, type, SynthAirspyCoding::Absolute, bytes);
  run.samples = file.samples;
  run.sent = std::move(file.frames);

  Application app;
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
