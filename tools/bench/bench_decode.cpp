// Frames per second through the validity filter, the decoder and the duplicate filter, the
// part of the frame pipeline that runs for every frame whatever outputs are configured.

#include <benchmark/benchmark.h>

#include <vector>

#include "decode/message.h"
#include "decode/message_decoder.h"
#include "decode/message_filter.h"
#include "decode/modes_data.h"
#include "decode/receiver_position.h"
#include "tools/bench/frame_corpus.h"

namespace {

constexpr uint32_t corpusSeconds = 30;  // about 2,000 frames a second, as a busy receiver hears
constexpr uint32_t corpusFrames = 60000;
constexpr uint32_t startTime = 1500000000;

const std::vector<CorpusFrame>& corpus() {
  static const std::vector<CorpusFrame> frames = makeFrameCorpus(300, corpusFrames, corpusSeconds);
  return frames;
}

const std::vector<CorpusFrame>& noisyCorpus() {
  static const std::vector<CorpusFrame> frames = [] {
    auto noisy = corpus();
    addAddressParityNoise(noisy, 10);
    return noisy;
  }();
  return frames;
}

void filterAndDecode(benchmark::State& state, const std::vector<CorpusFrame>& frames, bool countryCheck) {
  MessageFilter filter;
  filter.setCountryCheck(countryCheck);
  MessageDecoder decoder;
  ReceiverPosition position;
  Message message;
  uint32_t round = 0;
  size_t next = 0;
  uint64_t accepted = 0, decoded = 0, duplicates = 0, positions = 0;
  for (auto _ : state) {
    const CorpusFrame& f = frames[next];
    // The clock runs on across rounds of the corpus, as it would on air.
    const ModesData frame(f.bytes, f.length, 120, startTime + round * corpusSeconds + f.timeOffset,
                          &position);
    if (filter.accept(frame)) {
      ++accepted;
      if (decoder.decode(frame, message)) {
        ++decoded;
        if (message.has(MessageField::LAT)) ++positions;
        if (filter.isDuplicate(message)) ++duplicates;
      }
    }
    benchmark::DoNotOptimize(message);
    if (++next == frames.size()) {
      next = 0;
      ++round;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  const double total = static_cast<double>(state.iterations());
  state.counters["accepted"] = static_cast<double>(accepted) / total;
  state.counters["decoded"] = static_cast<double>(decoded) / total;
  state.counters["duplicates"] = static_cast<double>(duplicates) / total;
  state.counters["positions"] = static_cast<double>(positions) / total;
}

void BM_FilterDecode(benchmark::State& state) { filterAndDecode(state, corpus(), true); }
void BM_FilterDecodeNoCountryCheck(benchmark::State& state) { filterAndDecode(state, corpus(), false); }
// With noise every rejection writes a DEBUG log line, so this shows the logger's share.
void BM_FilterDecodeTenPercentNoise(benchmark::State& state) { filterAndDecode(state, noisyCorpus(), true); }

}  // namespace

BENCHMARK(BM_FilterDecode)->MinTime(2.0);
BENCHMARK(BM_FilterDecodeNoCountryCheck)->MinTime(2.0);
BENCHMARK(BM_FilterDecodeTenPercentNoise)->MinTime(2.0);
