#pragma once
// The web page of a long run: the browser's polls of the program's JSON interface, timed.

#include "json-server/http_test_client.h"
#include "longrun/churn_clients.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace longrun {

// The number after "\"name\":" in a JSON text (quoted or not), or -1.
inline int64_t jsonInteger(const std::string& json, const std::string& name) {
  size_t at = json.find("\"" + name + "\":");
  if (at == std::string::npos) return -1;
  at += name.size() + 3;
  if (at < json.size() && json[at] == '"') ++at;
  if (at >= json.size() || !isdigit(static_cast<unsigned char>(json[at]))) return -1;
  return std::stoll(json.substr(at, 20));
}

// The page as the browser runs it, on one kept-alive connection: the page's files once, then
// every second the counters, the aircraft since the last epoch (now and then with one aircraft
// selected and its trail) and the log since its last line, the DF table every 5 s, the coverage
// every 9 s and the charts every minute. Every answer must come within `bound`.
class PagePoller : public Worker {
 public:
  PagePoller(uint16_t port, std::chrono::milliseconds bound) : port(port), bound(bound) {}
  ~PagePoller() override { stop(); }

  uint64_t answered() const { return answeredCount; }
  int64_t slowestMs() const { return slowest; }
  std::vector<std::string> faults() {
    std::lock_guard<std::mutex> lock(mutex);
    return problems;
  }
  // One request outside the rhythm, answered within the bound (for the checks at the end).
  std::string ask(const std::string& body) {
    std::lock_guard<std::mutex> lock(askMutex);
    return request(body);
  }

 private:
  void fault(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex);
    if (problems.size() < 20) problems.push_back(text);
  }

  // The reply's body, or "" after a fault.
  std::string exchange(const std::string& raw, const std::string& what, bool okWanted) {
    if (!connection || connection->peerClosed()) {
      if (connection) fault("the page's connection was closed by the program before: " + what);
      connection = std::make_unique<http_test::Connection>(port);
    }
    const auto began = Clock::now();
    if (!connection->send(raw)) {
      fault("cannot send: " + what);
      connection.reset();
      return "";
    }
    const http_test::Reply reply = connection->readReply(std::max(bound * 5, std::chrono::milliseconds(10000)));
    const int64_t took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began).count();
    slowest = std::max<int64_t>(slowest, took);
    if (!reply.complete) {
      fault("no whole answer within " + std::to_string(took) + " ms: " + what);
      connection.reset();
      return "";
    }
    if (took > bound.count()) fault("answered after " + std::to_string(took) + " ms: " + what);
    if (reply.statusLine != "HTTP/1.1 200 OK") fault(reply.statusLine + ": " + what);
    if (okWanted && reply.body.rfind("{\"status\":\"OK\"", 0) != 0)
      fault("not OK: " + what + " -> " + reply.body.substr(0, 200));
    ++answeredCount;
    return reply.body;
  }
  std::string request(const std::string& body, bool okWanted = true) {
    return exchange(jsonRequest(body), body, okWanted);
  }

  void step() override {
    std::lock_guard<std::mutex> lock(askMutex);
    if (tick == 0) {
      for (const char* file : {"/", "/css/local.css", "/js/rpc.js", "/js/app.js", "/js/app-instance.js"}) {
        exchange(std::string("GET ") + file + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", file, false);
      }
      request(R"({"req":"googleKey","data":{}})", false);  // no key: an error answer, as the page expects
      request(R"({"req":"getStats","data":{"statsType":"ver"}})");
    }
    request(R"({"req":"getStats","data":{"statsType":"counters"}})");

    // Every 20 s the next aircraft of the list is selected: its whole trail first, then what is new.
    std::string flights = R"({"req":"getStats","data":{"statsType":"flights","id":)" + std::to_string(epoch);
    if (!selected.empty()) flights += R"(,"icao":")" + selected + R"(","tid":)" + std::to_string(trackEpoch);
    const std::string answer = request(flights + "}}");
    const int64_t next = jsonInteger(answer, "epoch");
    if (next >= 0) {
      if (!selected.empty()) trackEpoch = static_cast<uint32_t>(next);
      epoch = static_cast<uint32_t>(next);
    }
    if (tick % 20 == 10) {
      const size_t at = answer.find("\"I\":\"");
      selected = at == std::string::npos ? "" : answer.substr(at + 5, 6);
      trackEpoch = 0;
    }

    const std::string log =
        request(R"({"req":"getStats","data":{"statsType":"log","index":)" + std::to_string(logIndex) + "}}");
    for (size_t at = log.find("[["); at != std::string::npos; at = log.find(",[", at + 1)) {
      const size_t digits = at + 2;
      if (digits < log.size() && isdigit(static_cast<unsigned char>(log[digits])))
        logIndex = std::stoull(log.substr(digits, 20));
    }
    if (tick % 5 == 0) request(R"({"req":"getStats","data":{"statsType":"df"}})");
    if (tick % 9 == 0) request(R"({"req":"getStats","data":{"statsType":"polarDistances"}})");
    if (tick % 60 == 0) request(R"({"req":"getStats","data":{"statsType":"chart"}})");
    ++tick;
  }
  void finish() override {}

  const uint16_t port;
  const std::chrono::milliseconds bound;
  std::unique_ptr<http_test::Connection> connection;
  std::mutex askMutex;  // the connection: the poller's thread or ask()
  uint64_t tick = 0;
  uint32_t epoch = 0, trackEpoch = 0;
  uint64_t logIndex = 0;
  std::string selected;
  std::atomic<uint64_t> answeredCount{0};
  std::atomic<int64_t> slowest{0};
  std::mutex mutex;
  std::vector<std::string> problems;
};

}  // namespace longrun
