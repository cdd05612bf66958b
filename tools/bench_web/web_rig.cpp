#include "tools/bench_web/web_rig.h"

#include "app/host_clock.h"
#include "app/logger.h"
#include "decode/frame_sink.h"
#include "decode/receiver_position.h"
#include "decode/statistics.h"
#include "json-server/jsonserver/src/base_command.h"
#include "json-server/jsonserver/src/command_get_stats.h"
#include "json-server/jsonserver/src/json_parser_read.h"
#include "json-server/jsonserver/src/json_parser_write.h"

#include <boost/property_tree/ptree.hpp>

#include <algorithm>
#include <chrono>
#include <mutex>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint32_t kCorpusSeconds = 40;
constexpr uint32_t kFramesPerAircraftSecond = 6;  // a busy sky: 3,000 frames a second for 500
constexpr size_t kDurationCells = 1 << 15;        // of 64 ticks: about 0.8 ms at 2.5 GHz

#if defined(__x86_64__)
uint64_t ticks() { return __builtin_ia32_rdtsc(); }
#else
uint64_t ticks() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count());
}
#endif

double measureNanosecondsPerTick() {
  const auto wallStart = Clock::now();
  const uint64_t start = ticks();
  std::this_thread::sleep_for(50ms);
  const double wall = std::chrono::duration<double, std::nano>(Clock::now() - wallStart).count();
  return wall / static_cast<double>(std::max<uint64_t>(1, ticks() - start));
}

}  // namespace

WebRig::WebRig(const WebRigOptions& options)
    : options(options),
      corpus(makeFrameCorpus(options.aircraft, options.aircraft * kFramesPerAircraftSecond * kCorpusSeconds,
                             kCorpusSeconds)),
      durations(kDurationCells),
      durationsTaken(kDurationCells) {
  setConsoleOutput(false, LoggingLevel::INFO);
  if (options.pinnedClock != 0) setHostSecondsForTest(options.pinnedClock);
  app.receiverPosition->fix(52.0, 7.0);  // amid the corpus: distances, azimuths and coverage are counted
  app.statistics = std::make_unique<Statistics>(*app.config, app.receiverPosition.get(), nullptr, 0);
  nanosecondsPerTick = measureNanosecondsPerTick();

  // The first round earns the addresses their trust; the second is one clean corpus run.
  for (size_t i = 0; i < corpus.size(); ++i) feedOne();
  uint32_t before = 0;
  {
    std::lock_guard<std::mutex> lock(app.statistics->aircraftTable().mutex());
    before = app.statistics->aircraftTable().updateSerial();
  }
  for (size_t i = 0; i < corpus.size(); ++i) feedOne();
  {
    std::lock_guard<std::mutex> lock(app.statistics->aircraftTable().mutex());
    corpusMessagesPerSecond = (app.statistics->aircraftTable().updateSerial() - before) / kCorpusSeconds;
    sampledSerial = app.statistics->aircraftTable().updateSerial();
  }
  if (options.pinnedClock != 0) {
    setHostSecondsForTest(options.pinnedClock + 20);
    for (size_t i = 0; i < corpus.size(); ++i) {
      if (corpus[next].length == 7) {
        feedOne();
      } else if (++next == corpus.size()) {
        next = 0;
      }
    }
    setHostSecondsForTest(options.pinnedClock + 35);
    std::lock_guard<std::mutex> lock(app.statistics->aircraftTable().mutex());
    sampledSerial = app.statistics->aircraftTable().updateSerial();
  }
  if (aircraftCount() < options.aircraft * 9 / 10) {
    error = "only " + std::to_string(aircraftCount()) + " aircraft in the table";
    return;
  }

  command = std::make_shared<CommandGetStats>(app);
  server = std::make_unique<HttpServer>();
  server->addCommand(command);
  try {
    server->start(0);
  } catch (const std::exception& e) {
    error = e.what();
    return;
  }
  sampler = std::thread([this] { sampleLoop(); });
}

WebRig::~WebRig() {
  stopFrames();
  sampling = false;
  if (sampler.joinable()) sampler.join();
  if (server) server->stop();
  if (options.pinnedClock != 0) setHostSecondsForTest(0);
}

size_t WebRig::aircraftCount() {
  AircraftTable& table = app.statistics->aircraftTable();
  std::lock_guard<std::mutex> lock(table.mutex());
  return table.size();
}

void WebRig::feedOne() {
  const CorpusFrame& f = corpus[next];
  app.frameSink->onFrame(f.bytes, f.length, timestamp, static_cast<uint8_t>(0x30 + (next & 0x7F)));
  timestamp += 6000;  // 0.5 ms of a 12 MHz clock
  if (++next == corpus.size()) next = 0;
}

void WebRig::startFrames() {
  if (framesRunning.exchange(true)) return;
  frameThread = std::thread([this] { frameLoop(); });
}

void WebRig::stopFrames() {
  framesRunning = false;
  if (frameThread.joinable()) frameThread.join();
}

void WebRig::frameLoop() {
  const auto start = Clock::now();
  uint64_t handed = 0;
  while (framesRunning.load(std::memory_order_relaxed)) {
    for (int i = 0; i < 256; ++i) {
      const uint64_t before = ticks();
      feedOne();
      const uint64_t took = ticks() - before;
      std::atomic<uint64_t>& cell = durations[std::min<uint64_t>(took >> 6, kDurationCells - 1)];
      cell.store(cell.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
      if (took > worstTicks.load(std::memory_order_relaxed)) worstTicks.store(took, std::memory_order_relaxed);
    }
    handed += 256;
    frameCount.store(handed, std::memory_order_relaxed);
    if (options.frameRate != 0) {
      const auto due = start + std::chrono::duration<double>(static_cast<double>(handed) / options.frameRate);
      std::this_thread::sleep_until(std::chrono::time_point_cast<Clock::duration>(due));
    }
  }
}

FrameLatency WebRig::takeLatency() {
  std::vector<uint64_t> cells(kDurationCells);
  uint64_t total = 0;
  for (size_t i = 0; i < kDurationCells; ++i) {
    const uint64_t now = durations[i].load(std::memory_order_relaxed);
    cells[i] = now - durationsTaken[i];
    durationsTaken[i] = now;
    total += cells[i];
  }
  FrameLatency latency;
  latency.maxMicroseconds = static_cast<double>(worstTicks.exchange(0)) * nanosecondsPerTick / 1e3;
  uint64_t below = 0;
  size_t cell = 0;
  while (cell + 1 < kDurationCells && static_cast<double>(below + cells[cell]) < 0.999 * static_cast<double>(total)) {
    below += cells[cell++];
  }
  latency.p999Microseconds = static_cast<double>((cell + 1) * 64) * nanosecondsPerTick / 1e3;
  return latency;
}

void WebRig::sampleLoop() {
  AircraftTable& table = app.statistics->aircraftTable();
  while (sampling.load(std::memory_order_relaxed)) {
    {
      std::lock_guard<std::mutex> lock(table.mutex());
      sampledSerial.store(table.updateSerial(), std::memory_order_relaxed);
    }
    std::this_thread::sleep_for(5ms);
  }
}

std::string WebRig::askDirect(const std::string& body) {
  boost::property_tree::ptree request;
  readJsonText(body, request);
  std::string text;
  command->run(request, nullptr, nullptr,
               [&](const boost::property_tree::ptree& reply) { text = writeJsonTinyText(reply); });
  return text;
}
