#pragma once
// The clients of a long run that come and go, and the slow ones, each kind on a thread of its own.

#include "e2e/process_harness.h"
#include "json-server/http_test_client.h"
#include "longrun/feed_streams.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace longrun {

struct Ports {
  uint16_t beast = 0, avr = 0, avrMlat = 0, avrMlatAirspy = 0, sbs3 = 0, msg = 0, web = 0;
  std::vector<uint16_t> feeds() const { return {beast, avr, avrMlat, avrMlatAirspy, sbs3, msg}; }
};

// Reads what is there without waiting; false once the peer has closed.
inline bool drain(int fd, size_t limit = SIZE_MAX) {
  char buffer[16384];
  while (limit > 0) {
    const ssize_t n = recv(fd, buffer, std::min(sizeof buffer, limit), MSG_DONTWAIT);
    if (n == 0) return false;
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    limit -= static_cast<size_t>(n);
  }
  return true;
}

inline void closeWithReset(int fd) {
  linger hard{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(fd);
}

inline bool sendAll(int fd, const std::string& bytes) {
  return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT) == static_cast<ssize_t>(bytes.size());
}

inline std::string jsonRequest(const std::string& body) { return http_test::post("/json", body); }

// A loop on its own thread, every `tick`, until stopped; stop() leaves nothing open.
class Worker {
 public:
  virtual ~Worker() = default;
  void start(std::chrono::milliseconds tick) {
    thread = std::thread([this, tick] {
      while (!stopping) {
        step();
        std::this_thread::sleep_for(tick);
      }
      finish();
    });
  }
  void stop() {
    stopping = true;
    if (thread.joinable()) thread.join();
  }

 protected:
  virtual void step() = 0;
  virtual void finish() = 0;
  std::atomic<bool> stopping{false};

 private:
  std::thread thread;
};

// Connections of a few seconds at most on every port, about a dozen at a time: some read until
// they leave, some reset the connection, some leave at once, some half-close; SBS-3 clients log
// in or not; web clients load the page and a poll, or ask and leave without the answer.
class ChurnClients : public Worker {
 public:
  ChurnClients(const Ports& ports, uint32_t seed) : ports(ports), random(seed) {}
  ~ChurnClients() override { stop(); }
  uint64_t opened() const { return openedCount; }

 private:
  enum Kind { ReadThenClose, ReadThenReset, CloseAtOnce, HalfClose, Count };
  struct Visit {
    int fd;
    Kind kind;
    Clock::time_point until;
  };

  void step() override {
    const auto now = Clock::now();
    for (auto it = visits.begin(); it != visits.end();) {
      const bool open = drain(it->fd);
      if (!open || now >= it->until) {
        if (it->kind == ReadThenReset)
          closeWithReset(it->fd);
        else
          close(it->fd);
        it = visits.erase(it);
      } else {
        ++it;
      }
    }
    while (visits.size() < 12) {
      const std::vector<uint16_t> feeds = ports.feeds();
      const size_t pick = random() % (feeds.size() + 2);  // the web port twice as often
      const uint16_t port = pick < feeds.size() ? feeds[pick] : ports.web;
      const int fd = connectLoopback(port);
      if (fd < 0) break;
      ++openedCount;
      setNonBlocking(fd);
      const Kind kind = static_cast<Kind>(random() % Count);
      if (port == ports.sbs3 && random() % 2) sendAll(fd, sbsLogin);
      if (port == ports.web) {
        // The page and a first poll; a visitor that leaves at once never reads the answers.
        sendAll(fd, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" +
                        jsonRequest(R"({"req":"getStats","data":{"statsType":"flights","id":0}})"));
      }
      if (kind == CloseAtOnce) {
        if (random() % 2)
          close(fd);
        else
          closeWithReset(fd);
        continue;
      }
      if (kind == HalfClose) shutdown(fd, SHUT_WR);
      visits.push_back({fd, kind, Clock::now() + std::chrono::milliseconds(100 + random() % 4000)});
    }
  }
  void finish() override {
    for (const Visit& v : visits) close(v.fd);
    visits.clear();
  }

  const Ports ports;
  std::mt19937 random;
  std::vector<Visit> visits;
  std::atomic<uint64_t> openedCount{0};
};

// Connections held for a minute that read little or nothing: feed clients that never read
// (small receive window) or read a few hundred bytes a second, a logged-in SBS-3 client that
// never reads; on the web port one that trickles a header, one that sends nothing, one that
// reads its answers a little at a time and one that asks many times and never reads. What the
// program closes is opened again at once, the others all together every minute: the program
// holds the most for them at the same moment of every minute, so its memory's high mark is
// reached in the first minutes rather than whenever their phases happen to line up.
class SlowClients : public Worker {
 public:
  static constexpr std::chrono::seconds lifetime{60};

  explicit SlowClients(const Ports& ports) : ports(ports) {
    const Role roles[] = {{ports.beast, Stalled},        {ports.avrMlat, Stalled}, {ports.msg, Stalled},
                          {ports.sbs3, StalledLoggedIn}, {ports.avr, Trickling},   {ports.avrMlatAirspy, Trickling},
                          {ports.web, HeaderTrickle},    {ports.web, Silent},      {ports.web, SlowReader},
                          {ports.web, NeverReads}};
    for (const Role& r : roles) slots.push_back({r, -1, 0});
  }
  ~SlowClients() override { stop(); }
  uint64_t opened() const { return openedCount; }
  uint64_t closedByProgram() const { return closedCount; }
  int feedClients() const {
    return static_cast<int>(
        std::count_if(slots.begin(), slots.end(), [&](const Slot& s) { return s.role.port != ports.web; }));
  }

 private:
  enum Behaviour { Stalled, StalledLoggedIn, Trickling, HeaderTrickle, Silent, SlowReader, NeverReads };
  struct Role {
    uint16_t port;
    Behaviour behaviour;
  };
  struct Slot {
    Role role;
    int fd;
    size_t ticks;  // since it was opened
  };

  void open(Slot& s) {
    const bool smallWindow = s.role.behaviour != HeaderTrickle && s.role.behaviour != Silent;
    s.fd = connectLoopback(s.role.port, smallWindow ? 4096 : 0);
    if (s.fd < 0) return;
    ++openedCount;
    setNonBlocking(s.fd);
    s.ticks = 0;
    if (s.role.behaviour == StalledLoggedIn) sendAll(s.fd, sbsLogin);
    if (s.role.behaviour == SlowReader || s.role.behaviour == NeverReads) {
      std::string requests;
      for (int i = 0; i < 20; ++i) {
        requests += "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        requests += jsonRequest(R"({"req":"getStats","data":{"statsType":"chart"}})");
      }
      sendAll(s.fd, requests);
    }
  }

  void step() override {
    const auto now = Clock::now();
    const bool renew = now >= cycleEnd;
    if (renew) cycleEnd = now + lifetime;
    for (Slot& s : slots) {
      if (s.fd >= 0) {
        bool open = true;
        switch (s.role.behaviour) {
          case Stalled:
          case StalledLoggedIn:
          case NeverReads:
            break;  // a close by the program shows only when it is opened again
          case Trickling:
          case SlowReader:
            open = drain(s.fd, 64);
            break;
          case HeaderTrickle: {
            static const std::string header = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + std::string(2000, 'a');
            open = drain(s.fd);
            if (open && ++s.ticks % 4 == 0) sendAll(s.fd, header.substr(std::min(s.ticks / 4, header.size() - 1), 1));
            break;
          }
          case Silent:
            open = drain(s.fd);
            break;
        }
        if (!open) ++closedCount;
        if (!open || renew) {
          close(s.fd);
          s.fd = -1;
        }
      }
      if (s.fd < 0) open(s);
    }
  }
  void finish() override {
    for (Slot& s : slots) {
      if (s.fd >= 0) close(s.fd);
      s.fd = -1;
    }
  }

  const Ports ports;
  std::vector<Slot> slots;
  Clock::time_point cycleEnd{};
  std::atomic<uint64_t> openedCount{0};
  std::atomic<uint64_t> closedCount{0};
};

}  // namespace longrun
