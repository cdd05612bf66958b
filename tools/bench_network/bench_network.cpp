// Feed fan-out as the frame pipeline drives it: per frame one broadcast into each of six servers
// (BEAST, SBS-3, AVR-MLAT, AVR-MLAT AirSpy, AVR, MSG sized records), N loopback clients per server
// read on another thread. Real time per frame is the whole pipeline (frame thread to client
// socket); CPU time is the frame thread's cost; io_ns_per_frame is the I/O thread's.
//
//   velkaro_bench_network --benchmark_counters_tabular=true

#include "output/network_server.h"
#include "output/sbs_frame.h"
#include "output/sbs_replies.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Feed {
  const char* name;
  bool sbs;
  bool text;
  size_t size;  // typical record size of the feed
};

const Feed feeds[] = {
    {"Beast", false, false, 23}, {"SBS10001", true, false, 25},         {"AVRMLAT", false, true, 44},
    {"AVRMLAT AirSpy", false, true, 45}, {"AVR", false, true, 32}, {"MSG", false, true, 110},
};

double threadCpuSeconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

int connectTo(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);  // completes in the background
  return fd;
}

// Six servers on one I/O thread, their clients read by one reader thread.
class Rig {
 public:
  explicit Rig(int clientsPerServer) : io(std::make_shared<boost::asio::io_context>()) {
    for (const Feed& feed : feeds) {
      auto server = NetworkServer::create(io, 0, feed.name, feed.sbs, boost::asio::ip::address_v4::loopback());
      server->start();
      servers.push_back(server);
    }
    ioThread = std::thread([this] { io->run(); });
    pthread_getcpuclockid(ioThread.native_handle(), &ioClock);

    epollFd = ::epoll_create1(0);
    for (size_t s = 0; s < servers.size(); ++s) {
      for (int c = 0; c < clientsPerServer; ++c) {
        const int fd = connectTo(servers[s]->boundPort());
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        ::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event);
        clientFds.push_back(fd);
      }
    }
    readerThread = std::thread([this] { readLoop(); });
    // SBS-3 clients log in first.
    const std::string login("\x10\x02\x17\x01\x10\x03\x00\x00", 8);
    for (int c = 0; c < clientsPerServer; ++c) {
      const int fd = clientFds[static_cast<size_t>(clientsPerServer) + static_cast<size_t>(c)];
      while (::send(fd, login.data(), login.size(), MSG_NOSIGNAL) < 0 && errno == EAGAIN) std::this_thread::yield();
    }
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    for (const auto& server : servers) {
      while (server->sessionCount() < static_cast<size_t>(clientsPerServer) && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    const uint8_t command[] = {0x17, 0x01};
    uint64_t replyBytes = 0;
    for (const std::string& reply : sbsRepliesTo(command, 2)) replyBytes += wrapSbsFrame(reply).size();
    expectedReplies = replyBytes * static_cast<uint64_t>(clientsPerServer);
    while (received.load() < expectedReplies && Clock::now() < deadline) std::this_thread::yield();
    received -= expectedReplies;
    ready = received.load() == 0 && Clock::now() < deadline;
  }

  ~Rig() {
    boost::asio::post(*io, [this] {
      for (const auto& server : servers) server->stop();
    });
    ioThread.join();
    stopReading = true;
    readerThread.join();
    for (int fd : clientFds) ::close(fd);
    ::close(epollFd);
  }

  void readLoop() {
    std::vector<char> buffer(256 * 1024);
    epoll_event events[64];
    while (!stopReading.load(std::memory_order_relaxed)) {
      const int n = ::epoll_wait(epollFd, events, 64, 10);
      for (int i = 0; i < n; ++i) {
        for (;;) {
          const ssize_t got = ::recv(events[i].data.fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
          if (got <= 0) break;
          received.fetch_add(static_cast<uint64_t>(got), std::memory_order_relaxed);
          if (static_cast<size_t>(got) < buffer.size()) break;
        }
      }
    }
  }

  std::shared_ptr<boost::asio::io_context> io;
  std::vector<std::shared_ptr<NetworkServer>> servers;
  std::thread ioThread;
  clockid_t ioClock{};
  int epollFd = -1;
  std::vector<int> clientFds;
  std::thread readerThread;
  std::atomic<bool> stopReading{false};
  std::atomic<uint64_t> received{0};
  uint64_t expectedReplies = 0;
  bool ready = false;
};

void BM_FeedFanOut(benchmark::State& state) {
  const int clients = static_cast<int>(state.range(0));
  Rig rig(clients);
  if (!rig.ready) {
    state.SkipWithError("clients did not connect");
    return;
  }
  std::vector<std::string> records;
  for (const Feed& feed : feeds) records.emplace_back(feed.size, 'A');
  uint64_t bytesPerFrame = 0;
  for (const Feed& feed : feeds) bytesPerFrame += feed.size;
  const uint64_t deliveredPerFrame = bytesPerFrame * static_cast<uint64_t>(clients);
  // The bench producer outruns any real frame source; it waits when this much is still undelivered,
  // well below the backlog that cuts a client off.
  const uint64_t maxInFlight = 256u * 1024 * static_cast<uint64_t>(std::max(1, clients)) * 6;

  const double ioStart = threadCpuSeconds(rig.ioClock);
  uint64_t frames = 0;
  for (auto _ : state) {
    for (size_t s = 0; s < rig.servers.size(); ++s) {
      std::string& record = records[s];
      record[1] = static_cast<char>(frames);
      if (feeds[s].text) {
        rig.servers[s]->broadcastText(record);
      } else {
        rig.servers[s]->broadcastBytes(reinterpret_cast<const uint8_t*>(record.data()),
                                       static_cast<int32_t>(record.size()));
      }
    }
    ++frames;
    if ((frames & 255) == 0) {
      while (frames * deliveredPerFrame - rig.received.load(std::memory_order_relaxed) > maxInFlight) {
        std::this_thread::sleep_for(std::chrono::microseconds(20));
      }
    }
  }
  // Until the last byte is with the clients.
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (rig.received.load() < frames * deliveredPerFrame && Clock::now() < deadline) std::this_thread::yield();
  const double ioSeconds = threadCpuSeconds(rig.ioClock) - ioStart;
  if (rig.received.load() != frames * deliveredPerFrame) {
    state.SkipWithError("not every byte arrived");
    return;
  }
  state.SetItemsProcessed(static_cast<int64_t>(frames));
  state.SetBytesProcessed(static_cast<int64_t>(frames * deliveredPerFrame));
  state.counters["io_ns_per_frame"] = benchmark::Counter(ioSeconds * 1e9 / static_cast<double>(frames));
}

// The target load, paced: 200,000 frames per second for two seconds, no back-pressure on the
// producer. Every byte must arrive (a dropped or cut-off record fails the run); io_cpu_share is the
// I/O thread's share of one core.
void BM_FeedAt200k(benchmark::State& state) {
  const int clients = static_cast<int>(state.range(0));
  Rig rig(clients);
  if (!rig.ready) {
    state.SkipWithError("clients did not connect");
    return;
  }
  std::vector<std::string> records;
  uint64_t bytesPerFrame = 0;
  for (const Feed& feed : feeds) {
    records.emplace_back(feed.size, 'A');
    bytesPerFrame += feed.size;
  }
  const uint64_t deliveredPerFrame = bytesPerFrame * static_cast<uint64_t>(clients);
  constexpr auto interval = std::chrono::nanoseconds(5000);

  const double ioStart = threadCpuSeconds(rig.ioClock);
  const auto wallStart = Clock::now();
  uint64_t frames = 0;
  for (auto _ : state) {
    if ((frames & 63) == 0) {
      while (Clock::now() < wallStart + frames * interval) std::this_thread::yield();
    }
    for (size_t s = 0; s < rig.servers.size(); ++s) {
      if (feeds[s].text) {
        rig.servers[s]->broadcastText(records[s]);
      } else {
        rig.servers[s]->broadcastBytes(reinterpret_cast<const uint8_t*>(records[s].data()),
                                       static_cast<int32_t>(records[s].size()));
      }
    }
    ++frames;
  }
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (rig.received.load() < frames * deliveredPerFrame && Clock::now() < deadline) std::this_thread::yield();
  const double wall = std::chrono::duration<double>(Clock::now() - wallStart).count();
  const double ioSeconds = threadCpuSeconds(rig.ioClock) - ioStart;
  if (rig.received.load() != frames * deliveredPerFrame) {
    state.SkipWithError("not every byte arrived");
    return;
  }
  state.SetItemsProcessed(static_cast<int64_t>(frames));
  state.counters["io_cpu_share"] = benchmark::Counter(ioSeconds / wall);
  state.counters["io_ns_per_frame"] = benchmark::Counter(ioSeconds * 1e9 / static_cast<double>(frames));
}

}  // namespace

BENCHMARK(BM_FeedAt200k)->ArgName("clients")->Arg(10)->Arg(11)->Iterations(400000)->UseRealTime();
BENCHMARK(BM_FeedFanOut)->ArgName("clients")->Arg(0)->Arg(1)->Arg(10)->Arg(11)->Arg(20)->UseRealTime()->MinTime(2.0);
