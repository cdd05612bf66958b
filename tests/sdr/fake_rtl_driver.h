#pragma once
// A simulated RTL2832 dongle: the calls the source makes are recorded and can be made to fail, and
// readAsync streams the buffers a test hands it through the callback on the reader thread.

#include "sdr/rtl_driver.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct FakeDongleState {
  // Results of the calls (0 = success).
  int sampleRateResult = 0;
  int centerFreqResult = 0;
  std::vector<int> gains = {0, 9, 14, 496};
  int secondGainCount = -1;  // >= 0: what the query with a buffer returns instead of the count
  int freqCorrectionResult = 0;
  int gainModeResult = 0;
  int tunerGainResult = 0;
  int agcResult = 0;
  int resetResult = 0;
  int closeResult = 0;
  int cancelledReadResult = 0;
  // Time between entering readAsync and the read running (cancelAsync fails until then), and
  // before resetBuffer returns.
  std::chrono::milliseconds readStartDelay{0};
  std::chrono::milliseconds resetDelay{0};

  std::vector<std::string> calls() {
    std::lock_guard<std::mutex> lock(mutex);
    return callLog;
  }
  bool called(const std::string& call) {
    for (const auto& c : calls()) {
      if (c == call) return true;
    }
    return false;
  }
  void note(const std::string& call) {
    std::lock_guard<std::mutex> lock(mutex);
    callLog.push_back(call);
  }

  // Streaming, driven by the test.
  void deliver(std::vector<unsigned char> buffer) {
    std::lock_guard<std::mutex> lock(mutex);
    queue.push_back(std::move(buffer));
    changed.notify_all();
  }
  // The read ends by itself with this result, as when the dongle is pulled out.
  void unplug(int result) {
    std::lock_guard<std::mutex> lock(mutex);
    unplugResult = result;
    changed.notify_all();
  }
  bool waitDelivered(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return delivered >= count; });
  }
  bool waitRunning(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return running; });
  }

  int readAsync(RtlSamplesCallback callback, void* context, uint32_t count, uint32_t length) {
    note("readAsync " + std::to_string(count) + " " + std::to_string(length));
    std::this_thread::sleep_for(readStartDelay);
    std::unique_lock<std::mutex> lock(mutex);
    running = true;
    changed.notify_all();
    for (;;) {
      changed.wait(lock, [&] { return !queue.empty() || cancelled || unplugResult; });
      if (cancelled) break;
      if (!queue.empty()) {
        std::vector<unsigned char> buffer = std::move(queue.front());
        queue.pop_front();
        lock.unlock();
        callback(buffer.data(), static_cast<uint32_t>(buffer.size()), context);
        lock.lock();
        ++delivered;
        changed.notify_all();
        continue;
      }
      if (unplugResult) break;
    }
    running = false;
    readReturned = true;
    changed.notify_all();
    return cancelled ? cancelledReadResult : *unplugResult;
  }
  int cancelAsync() {
    std::lock_guard<std::mutex> lock(mutex);
    callLog.push_back("cancelAsync");
    if (!running) return -2;
    cancelled = true;
    changed.notify_all();
    return 0;
  }
  bool readHasReturned() {
    std::lock_guard<std::mutex> lock(mutex);
    return readReturned;
  }

 private:
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> callLog;
  std::deque<std::vector<unsigned char>> queue;
  size_t delivered = 0;
  bool running = false;
  bool cancelled = false;
  bool readReturned = false;
  std::optional<int> unplugResult;
};

class FakeRtlDongle : public RtlDongle {
 public:
  explicit FakeRtlDongle(std::shared_ptr<FakeDongleState> state) : state(std::move(state)) {}
  int close() override { return call("close", state->closeResult); }
  int setSampleRate(uint32_t rate) override { return call("sampleRate " + std::to_string(rate), state->sampleRateResult); }
  int setCenterFreq(uint32_t frequency) override {
    return call("centerFreq " + std::to_string(frequency), state->centerFreqResult);
  }
  int getTunerGains(int* gains) override {
    if (gains == nullptr) return static_cast<int>(state->gains.size());
    std::memcpy(gains, state->gains.data(), state->gains.size() * sizeof(int));
    return state->secondGainCount >= 0 ? state->secondGainCount : static_cast<int>(state->gains.size());
  }
  int setFreqCorrection(int ppm) override { return call("freqCorrection " + std::to_string(ppm), state->freqCorrectionResult); }
  int setTunerGainMode(int manual) override { return call("gainMode " + std::to_string(manual), state->gainModeResult); }
  int setTunerGain(int tenths) override { return call("tunerGain " + std::to_string(tenths), state->tunerGainResult); }
  int setAgcMode(int on) override { return call("agc " + std::to_string(on), state->agcResult); }
  int resetBuffer() override {
    std::this_thread::sleep_for(state->resetDelay);
    return call("resetBuffer", state->resetResult);
  }
  int readAsync(RtlSamplesCallback callback, void* context, uint32_t count, uint32_t length) override {
    return state->readAsync(callback, context, count, length);
  }
  int cancelAsync() override { return state->cancelAsync(); }

 private:
  int call(const std::string& name, int result) {
    state->note(name);
    return result;
  }
  std::shared_ptr<FakeDongleState> state;
};

class FakeRtlDriver : public RtlDriver {
 public:
  struct Dongle {
    std::string manufacturer = "Realtek";
    std::string product = "RTL2838UHIDIR";
    std::string serial = "00000001";
    bool readable = true;  // false: held by another program
    int openResult = 0;
  };

  std::vector<Dongle> dongles = {Dongle{}};
  std::shared_ptr<FakeDongleState> state = std::make_shared<FakeDongleState>();
  std::vector<uint32_t> opened;

  uint32_t deviceCount() override { return static_cast<uint32_t>(dongles.size()); }
  int deviceUsbStrings(uint32_t index, char* manufacturer, char* product, char* serial) override {
    if (index >= dongles.size() || !dongles[index].readable) return -1;
    std::strncpy(manufacturer, dongles[index].manufacturer.c_str(), 255);
    std::strncpy(product, dongles[index].product.c_str(), 255);
    std::strncpy(serial, dongles[index].serial.c_str(), 255);
    return 0;
  }
  int open(uint32_t index, std::unique_ptr<RtlDongle>& dongle) override {
    opened.push_back(index);
    if (index >= dongles.size()) return -1;
    if (dongles[index].openResult != 0) return dongles[index].openResult;
    dongle = std::make_unique<FakeRtlDongle>(state);
    return 0;
  }
};
