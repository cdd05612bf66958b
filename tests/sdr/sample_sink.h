#pragma once
// Test doubles for the sample sources: a demodulator that records what it is handed, and log capture.

#include "app/logger.h"
#include "support/log_lines.h"
#include "sdr/sdr_decoder.h"

#include <boost/property_tree/ptree.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct ProcessCall {
  uint32_t from;
  uint32_t to;
  uint32_t ringSize;
};

// Shared between a test and the decoder the application owns (and destroys).
class SampleRecorder {
 public:
  void record(const uint32_t* samples, uint32_t from, uint32_t to, uint32_t ringSize) {
    std::unique_lock<std::mutex> lock(mutex);
    calls.push_back({from, to, ringSize});
    for (uint32_t i = from; i != to; i = (i + 1 == ringSize ? 0 : i + 1)) received.push_back(samples[i]);
    ++inProcess;
    changed.notify_all();
    // A held gate makes the demodulator fall behind; the samples are read before it, and the
    // source must not overwrite them while we wait.
    changed.wait(lock, [this] { return !gateClosed; });
    --inProcess;
    changed.notify_all();
  }

  void closeGate() {
    std::lock_guard<std::mutex> lock(mutex);
    gateClosed = true;
  }
  void openGate() {
    std::lock_guard<std::mutex> lock(mutex);
    gateClosed = false;
    changed.notify_all();
  }

  // Waits until at least count samples have arrived and no process call is running.
  bool waitForSamples(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return received.size() >= count && inProcess == 0; });
  }
  bool waitForCall(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return !calls.empty(); });
  }

  std::vector<uint32_t> samples() {
    std::lock_guard<std::mutex> lock(mutex);
    return received;
  }
  std::vector<ProcessCall> processCalls() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
  }

  int starts = 0;
  int stops = 0;

 private:
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<ProcessCall> calls;
  std::vector<uint32_t> received;
  bool gateClosed = false;
  int inProcess = 0;
};

class RecordingDecoder : public SdrDecoder {
 public:
  explicit RecordingDecoder(std::shared_ptr<SampleRecorder> recorder) : recorder(std::move(recorder)) {}
  void process(const uint32_t* samples, uint32_t from, uint32_t to, uint32_t ringSize) override {
    recorder->record(samples, from, to, ringSize);
  }
  void start() override { ++recorder->starts; }
  void stop() override { ++recorder->stops; }

 private:
  std::shared_ptr<SampleRecorder> recorder;
};

// The log lines written since construction, as "LEVEL    text".
class LogCapture {
 public:
  LogCapture() : mark(lastLogNumber()) {}
  std::vector<std::string> lines() const {
    std::vector<std::string> texts;
    for (const auto& line : logLinesAfter(mark)) texts.push_back(line.substr(25));
    return texts;
  }
  size_t count(const std::string& line) const {
    size_t n = 0;
    for (const auto& text : lines()) n += text == line;
    return n;
  }
  bool hasPrefix(const std::string& prefix) const {
    for (const auto& text : lines()) {
      if (text.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }

 private:
  uint32_t mark;
};
