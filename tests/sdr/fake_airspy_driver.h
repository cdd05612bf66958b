#pragma once
// A simulated Airspy receiver: the calls the source makes are recorded and can be made to fail, and
// startRx streams the blocks a test hands it (or pulls from a source) through the library's callback
// on a thread of its own, as the library's consumer thread does.

#include "sdr/airspy_driver.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct FakeAirspyState {
  // Results by call name ("setFreq", "startRx", ...); missing names succeed.
  std::map<std::string, int> results;
  int openResult = AIRSPY_SUCCESS;
  int receiversAvailable = 1;  // open succeeds this many times
  uint8_t boardId = 0;
  std::string version = "AirSpy NOS v1.0.0-sim";
  airspy_read_partid_serialno_t partSerial{{0x6906002B, 0x00000030}, {0, 0, 0x26A464DC, 0x0000A1C5}};
  // Rates listed for the library's default (I/Q) type and for the raw real type.
  std::vector<uint32_t> iqRates = {10000000, 2500000};
  std::vector<uint32_t> rawRates = {20000000, 5000000};
  int rateCountOverride = -1;  // >= 0: the count the receiver claims instead

  // Streaming. A block source, when set, is asked for every block after the queued ones; it
  // returns false at the end of its stream.
  using Source = std::function<bool(std::vector<uint16_t>& block, uint64_t& dropped)>;
  Source source;

  std::vector<std::string> calls() {
    std::lock_guard<std::mutex> lock(mutex);
    return log;
  }
  int count(const std::string& prefix) {
    int n = 0;
    for (const auto& c : calls()) n += c.compare(0, prefix.size(), prefix) == 0;
    return n;
  }
  void note(const std::string& call) {
    std::lock_guard<std::mutex> lock(mutex);
    log.push_back(call);
  }
  int result(const std::string& call) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = results.find(call);
    return it == results.end() ? AIRSPY_SUCCESS : it->second;
  }

  void deliver(std::vector<uint16_t> block, uint64_t dropped = 0) {
    std::lock_guard<std::mutex> lock(mutex);
    queue.push_back({std::move(block), dropped});
    changed.notify_all();
  }
  // The receiver goes away: streaming ends by itself.
  void unplug() {
    std::lock_guard<std::mutex> lock(mutex);
    unplugged = true;
    changed.notify_all();
  }
  // Waits until this many blocks have gone through the callback.
  bool waitDelivered(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return delivered >= n; });
  }
  bool waitSourceEnded(std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return sourceEnded; });
  }
  int lastCallbackResult() {
    std::lock_guard<std::mutex> lock(mutex);
    return callbackResult;
  }
  bool streaming() {
    std::lock_guard<std::mutex> lock(mutex);
    return rx.joinable() && !rxEnded;
  }

  int startRx(airspy_device* handle, airspy_sample_block_cb_fn callback, void* context) {
    note("startRx");
    const int r = result("startRx");
    if (r != AIRSPY_SUCCESS) return r;
    std::lock_guard<std::mutex> lock(mutex);
    stopping = false;
    rxEnded = false;
    rx = std::thread([this, handle, callback, context] { stream(handle, callback, context); });
    return AIRSPY_SUCCESS;
  }
  int stopRx() {
    note("stopRx");
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopping = true;
      changed.notify_all();
    }
    if (rx.joinable()) rx.join();
    return result("stopRx");
  }
  ~FakeAirspyState() {
    if (rx.joinable()) stopRx();
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> log;
  airspy_sample_type sampleType = AIRSPY_SAMPLE_FLOAT32_IQ;

 private:
  struct Block {
    std::vector<uint16_t> samples;
    uint64_t dropped;
  };

  void stream(airspy_device* handle, airspy_sample_block_cb_fn callback, void* context) {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      Block block;
      if (!queue.empty()) {
        block = std::move(queue.front());
        queue.pop_front();
      } else if (source && !sourceEnded) {
        lock.unlock();
        const bool more = source(block.samples, block.dropped);
        lock.lock();
        if (!more) {
          sourceEnded = true;
          changed.notify_all();
          continue;
        }
      } else {
        changed.wait(lock, [&] { return stopping || unplugged || !queue.empty(); });
        if ((stopping || unplugged) && queue.empty()) break;
        continue;
      }
      if (stopping) break;
      lock.unlock();
      airspy_transfer transfer{};
      transfer.device = handle;
      transfer.ctx = context;
      transfer.samples = block.samples.data();
      // Packed blocks carry 8 samples in 6 words.
      const bool packed = packing;
      transfer.sample_count =
          static_cast<int>(packed ? block.samples.size() * 8 / 6 : block.samples.size());
      transfer.dropped_samples = block.dropped;
      transfer.sample_type = AIRSPY_SAMPLE_RAW;
      const int r = callback(&transfer);
      lock.lock();
      ++delivered;
      callbackResult = r;
      changed.notify_all();
      if (r != 0) break;  // the library stops streaming after a non-zero answer
    }
    rxEnded = true;
    changed.notify_all();
  }

  std::deque<Block> queue;
  size_t delivered = 0;
  bool stopping = false;
  bool unplugged = false;
  bool rxEnded = false;
  bool sourceEnded = false;
  int callbackResult = 0;
  std::thread rx;

 public:
  bool packing = false;  // set by setPacking
  bool closed = false;
};

class FakeAirspyReceiver : public AirspyReceiver {
 public:
  explicit FakeAirspyReceiver(FakeAirspyState& state) : state(state) {}
  ~FakeAirspyReceiver() override {
    if (!state.closed) state.note("close (destructor)");
  }

  airspy_device* handle() override { return reinterpret_cast<airspy_device*>(&handleByte); }
  int close() override {
    state.note("close");
    state.closed = true;
    return state.result("close");
  }
  int boardIdRead(uint8_t* id) override {
    *id = state.boardId;
    return simple("boardIdRead");
  }
  int versionStringRead(char* text, uint8_t length) override {
    std::snprintf(text, length, "%s", state.version.c_str());
    return simple("versionStringRead");
  }
  int partIdSerialNoRead(airspy_read_partid_serialno_t* read) override {
    *read = state.partSerial;
    return simple("partIdSerialNoRead");
  }
  int getSampleRates(uint32_t* buffer, uint32_t length) override {
    state.note("getSampleRates " + std::to_string(length));
    const int r = state.result("getSampleRates");
    if (r != AIRSPY_SUCCESS) return r;
    const auto& rates = state.sampleType == AIRSPY_SAMPLE_RAW ? state.rawRates : state.iqRates;
    if (length == 0) {
      buffer[0] = state.rateCountOverride >= 0 ? static_cast<uint32_t>(state.rateCountOverride)
                                                : static_cast<uint32_t>(rates.size());
      return AIRSPY_SUCCESS;
    }
    for (uint32_t i = 0; i < length; ++i) buffer[i] = i < rates.size() ? rates[i] : 0;
    return AIRSPY_SUCCESS;
  }
  int setSampleType(airspy_sample_type type) override {
    const int r = value("setSampleType", type);
    if (r == AIRSPY_SUCCESS) state.sampleType = type;
    return r;
  }
  int setSampleRate(uint32_t index) override { return value("setSampleRate", index); }
  int setFreq(uint32_t hz) override { return value("setFreq", hz); }
  int setLnaAgc(uint8_t on) override { return value("setLnaAgc", on); }
  int setMixerAgc(uint8_t on) override { return value("setMixerAgc", on); }
  int setPacking(uint8_t on) override {
    const int r = value("setPacking", on);
    if (r == AIRSPY_SUCCESS) state.packing = on != 0;
    return r;
  }
  int setRfBias(uint8_t on) override { return value("setRfBias", on); }
  int setLinearityGain(uint8_t v) override { return value("setLinearityGain", v); }
  int setLnaGain(uint8_t v) override { return value("setLnaGain", v); }
  int setMixerGain(uint8_t v) override { return value("setMixerGain", v); }
  int setVgaGain(uint8_t v) override { return value("setVgaGain", v); }
  int startRx(airspy_sample_block_cb_fn callback, void* context) override {
    return state.startRx(handle(), callback, context);
  }
  int stopRx() override { return state.stopRx(); }
  int isStreaming() override { return state.streaming(); }

 private:
  int simple(const std::string& call) {
    state.note(call);
    return state.result(call);
  }
  int value(const std::string& call, uint64_t v) {
    state.note(call + " " + std::to_string(v));
    return state.result(call);
  }

  FakeAirspyState& state;
  char handleByte = 0;
};

class FakeAirspyDriver : public AirspyDriver {
 public:
  explicit FakeAirspyDriver(FakeAirspyState& state) : state(state) {}
  int open(std::unique_ptr<AirspyReceiver>& receiver) override { return make("open", receiver); }
  int openBySerial(uint64_t serial, std::unique_ptr<AirspyReceiver>& receiver) override {
    return make("openBySerial " + std::to_string(serial), receiver);
  }

 private:
  int make(const std::string& call, std::unique_ptr<AirspyReceiver>& receiver) {
    state.note(call);
    if (state.openResult != AIRSPY_SUCCESS) return state.openResult;
    if (state.receiversAvailable <= 0) return AIRSPY_ERROR_NOT_FOUND;
    --state.receiversAvailable;
    receiver = std::make_unique<FakeAirspyReceiver>(state);
    return AIRSPY_SUCCESS;
  }
  FakeAirspyState& state;
};
