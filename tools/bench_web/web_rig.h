#pragma once
// The server side of the web load test: an application whose statistics hold the aircraft of a
// synthetic frame corpus, fed through the real frame pipeline by a frame thread that keeps going
// (flat out or at a fixed rate) while the web server answers on 127.0.0.1.

#include "app/application.h"
#include "json-server/jsonserver/src/http_server.h"
#include "tools/bench/frame_corpus.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

struct WebRigOptions {
  uint32_t aircraft = 500;
  uint32_t frameRate = 0;  // frames per second; 0 = flat out
  // Host clock pinned here (0: the real clock) while the table fills: the last round brings only
  // short frames 20 s later, and the clock then stands 35 s after the start, so that the replies
  // also hold stale values. For comparing the replies of two builds byte for byte.
  uint32_t pinnedClock = 0;
};

// How long single onFrame calls took, for the frame thread's worst waits on the table mutex.
struct FrameLatency {
  double p999Microseconds = 0;
  double maxMicroseconds = 0;
};

class WebRig {
 public:
  explicit WebRig(const WebRigOptions& options);
  ~WebRig();
  WebRig(const WebRig&) = delete;
  WebRig& operator=(const WebRig&) = delete;

  bool ready() const { return error.empty(); }
  const std::string& failure() const { return error; }

  uint16_t port() const { return server->listeningPort(); }
  size_t aircraftCount();
  // Decoded messages in one second of the corpus: what a page polling every second has missed.
  uint32_t messagesPerSecond() const { return corpusMessagesPerSecond; }
  // The table's serial, at most a few milliseconds old (read under the mutex by a sampler).
  uint32_t serial() const { return sampledSerial.load(std::memory_order_relaxed); }

  // The frame thread; frames() counts the frames it has handed on.
  void startFrames();
  void stopFrames();
  uint64_t frames() const { return frameCount.load(std::memory_order_relaxed); }
  // Latency since the last call.
  FrameLatency takeLatency();

  // Runs the getStats command in this thread as the router does; returns the reply text.
  std::string askDirect(const std::string& body);

  Application app;

 private:
  void feedOne();
  void frameLoop();
  void sampleLoop();

  const WebRigOptions options;
  std::vector<CorpusFrame> corpus;
  size_t next = 0;
  uint64_t timestamp = 0x10000000;
  uint32_t corpusMessagesPerSecond = 0;
  std::unique_ptr<HttpServer> server;
  std::shared_ptr<BaseCommand> command;

  std::thread frameThread;
  std::atomic<bool> framesRunning{false};
  std::atomic<uint64_t> frameCount{0};
  // onFrame durations in cells of 64 ticks, written by the frame thread only.
  std::vector<std::atomic<uint64_t>> durations;
  std::vector<uint64_t> durationsTaken;
  std::atomic<uint64_t> worstTicks{0};
  double nanosecondsPerTick = 1;

  std::thread sampler;
  std::atomic<bool> sampling{true};
  std::atomic<uint32_t> sampledSerial{0};

  std::string error;
};
