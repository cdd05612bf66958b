#pragma once
// An I/O service on its own thread, as the main thread runs it, and a handler that records what
// a client reported.

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "infoservice/http_client.h"

namespace info_test {

class IoThread {
 public:
  IoThread() : thread([this] { io.run(); }) {}
  ~IoThread() {
    work.reset();
    io.stop();
    thread.join();
  }
  boost::asio::io_context io;

 private:
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{io.get_executor()};
  std::thread thread;
};

struct Outcome {
  int calls = 0;      // onResponse and onError together
  bool ok = false;    // onResponse came
  std::string body;   // with onResponse
  std::vector<std::string> errors;
  std::thread::id thread;
  std::string error() const { return errors.empty() ? "" : errors.front(); }
};

class RecordingHandler : public HttpResponseHandler {
 public:
  void onResponse(HttpClient& client) override {
    std::lock_guard<std::mutex> lock(mutex);
    ++outcome.calls;
    outcome.ok = true;
    outcome.body = client.body;
    outcome.thread = std::this_thread::get_id();
    changed.notify_all();
  }
  void onError(HttpClient&, const std::string& message) override {
    std::lock_guard<std::mutex> lock(mutex);
    ++outcome.calls;
    outcome.errors.push_back(message);
    outcome.thread = std::this_thread::get_id();
    changed.notify_all();
  }
  // Waits for `calls` reports, then a little more so that a second report would be seen.
  Outcome wait(int calls = 1, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, timeout, [&] { return outcome.calls >= calls; });
    changed.wait_for(lock, std::chrono::milliseconds(50), [&] { return outcome.calls > calls; });
    return outcome;
  }

 private:
  std::mutex mutex;
  std::condition_variable changed;
  Outcome outcome;
};

}  // namespace info_test
