// Frames per second through the whole frame pipeline: FrameSink::onFrame on the benchmark thread
// (the frame thread) with all six feed ports open, the I/O service on its own thread, and N
// loopback clients per port read with epoll on a third thread. The addresses of the corpus are
// trusted before timing starts, so every frame goes out on every feed.
//
// Counters: fps is frames over the time until the last byte reached the clients; frame_ns,
// io_ns and reader_ns are the CPU time per frame of the frame thread, the I/O thread and the
// clients' thread; p999_frame_us and max_frame_us are the 99.9th percentile and the slowest
// single onFrame call (the slowest is the scheduler's doing); out_bytes is what all clients
// together received per frame; waiting is the share of the time the frame thread was held back
// because the clients were more than 8192 frames behind (above 0, the sockets limit the rate).
//
//   velkaro_bench_pipeline --benchmark_counters_tabular=true

#include "app/application.h"
#include "app/logger.h"
#include "decode/frame_sink.h"
#include "decode/receiver_position.h"
#include "decode/statistics.h"
#include "output/network_server.h"
#include "output/sbs_frame.h"
#include "output/sbs_replies.h"
#include "tools/bench/frame_corpus.h"

#include <benchmark/benchmark.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/property_tree/ptree.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint32_t corpusFrames = 60000;
constexpr uint32_t corpusSeconds = 30;
constexpr size_t sbsFeed = 1;  // indices in PipelineRig::servers()
constexpr size_t textFeeds[] = {2, 3, 4, 5};

const std::vector<CorpusFrame>& corpus() {
  static const std::vector<CorpusFrame> frames = makeFrameCorpus(300, corpusFrames, corpusSeconds);
  return frames;
}

double cpuSeconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

int64_t nowNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

int connectTo(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

// Reads every client socket as fast as the data comes, counting bytes per client and the lines
// of a few text clients (once the filter trusts every address, each frame is one line on every
// text feed).
class Reader {
 public:
  Reader(const std::vector<int>& fds, const std::vector<size_t>& countedClients)
      : fds(fds),
        countedClients(countedClients),
        perClient(new std::atomic<uint64_t>[fds.size() + 1]()),
        linesPerClient(new std::atomic<uint64_t>[fds.size() + 1]()),
        epollFd(::epoll_create1(0)) {
    for (size_t index : countedClients) counted.at(index) = true;
    for (size_t i = 0; i < fds.size(); ++i) {
      epoll_event event{};
      event.events = EPOLLIN;
      event.data.u32 = static_cast<uint32_t>(i);
      ::epoll_ctl(epollFd, EPOLL_CTL_ADD, fds[i], &event);
    }
  }
  ~Reader() {
    stop();
    ::close(epollFd);
  }

  void start(bool reading) {
    if (!reading) return;  // the clients stall: nothing is ever taken from their sockets
    thread = std::thread([this] { loop(); });
    pthread_getcpuclockid(thread.native_handle(), &clock);
  }
  void stop() {
    done = true;
    if (thread.joinable()) thread.join();
  }

  uint64_t total() const { return received.load(std::memory_order_relaxed); }
  // The fewest lines any counted client has received.
  uint64_t lines() const {
    uint64_t fewest = UINT64_MAX;
    for (size_t index : countedClients) fewest = std::min(fewest, linesPerClient[index].load(std::memory_order_relaxed));
    return countedClients.empty() ? 0 : fewest;
  }
  uint64_t client(size_t index) const { return perClient[index].load(std::memory_order_relaxed); }
  int64_t lastByteNanoseconds() const { return lastByte.load(std::memory_order_relaxed); }
  double cpu() const { return thread.joinable() ? cpuSeconds(clock) : 0; }

  // Waits until nothing has arrived for `quiet`, at most `limit`.
  bool waitQuiet(std::chrono::milliseconds quiet = 50ms, std::chrono::seconds limit = 20s) const {
    const auto deadline = Clock::now() + limit;
    uint64_t seen = total();
    auto since = Clock::now();
    while (Clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
      const uint64_t now = total();
      if (now != seen) {
        seen = now;
        since = Clock::now();
      } else if (Clock::now() - since >= quiet) {
        return true;
      }
    }
    return false;
  }

 private:
  void loop() {
    std::vector<char> buffer(256 * 1024);
    epoll_event events[128];
    while (!done.load(std::memory_order_relaxed)) {
      const int n = ::epoll_wait(epollFd, events, 128, 10);
      for (int i = 0; i < n; ++i) {
        const uint32_t index = events[i].data.u32;
        for (;;) {
          const ssize_t got = ::recv(fds[index], buffer.data(), buffer.size(), MSG_DONTWAIT);
          if (got <= 0) break;
          perClient[index].store(perClient[index].load(std::memory_order_relaxed) + static_cast<uint64_t>(got),
                                 std::memory_order_relaxed);
          received.fetch_add(static_cast<uint64_t>(got), std::memory_order_relaxed);
          if (counted[index]) {
            uint64_t newlines = 0;
            const char* end = buffer.data() + got;
            for (const char* p = buffer.data(); (p = static_cast<const char*>(std::memchr(p, '\n', end - p))); ++p) {
              ++newlines;
            }
            linesPerClient[index].store(linesPerClient[index].load(std::memory_order_relaxed) + newlines,
                                        std::memory_order_relaxed);
          }
          lastByte.store(nowNanoseconds(), std::memory_order_relaxed);
          if (static_cast<size_t>(got) < buffer.size()) break;
        }
      }
    }
  }

  const std::vector<int> fds;
  const std::vector<size_t> countedClients;
  std::vector<bool> counted = std::vector<bool>(fds.size(), false);
  std::unique_ptr<std::atomic<uint64_t>[]> perClient;
  std::unique_ptr<std::atomic<uint64_t>[]> linesPerClient;
  const int epollFd;
  std::thread thread;
  clockid_t clock{};
  std::atomic<bool> done{false};
  std::atomic<uint64_t> received{0};
  std::atomic<int64_t> lastByte{0};
};

struct RigOptions {
  int clientsPerFeed = 10;
  bool statistics = false;
  bool reading = true;
};

// An application with all six feeds on loopback, its clients logged in and its filter warmed up.
class PipelineRig {
 public:
  explicit PipelineRig(const RigOptions& options) : options(options) {
    setConsoleOutput(false, LoggingLevel::INFO);  // the program's level, without the printing
    const auto loopback = boost::asio::ip::address_v4::loopback();
    app.beastServer = NetworkServer::create(app.ioService, 0, "Beast", false, loopback);
    app.sbsServer = NetworkServer::create(app.ioService, 0, "SBS10001", true, loopback);
    app.avrMlatServer = NetworkServer::create(app.ioService, 0, "AVRMLAT", false, loopback);
    app.avrMlatAirspyServer = NetworkServer::create(app.ioService, 0, "AVRMLAT AirSpy", false, loopback);
    app.avrServer = NetworkServer::create(app.ioService, 0, "AVR", false, loopback);
    app.msgServer = NetworkServer::create(app.ioService, 0, "MSG", false, loopback);
    if (options.statistics) {
      app.receiverPosition->fix(52.0, 7.0);  // amid the corpus, so coverage is counted too
      app.statistics = std::make_unique<Statistics>(*app.config, app.receiverPosition.get(), nullptr, 0);
    }
    for (NetworkServer* server : servers()) server->start();
    ioThread = std::thread([this] { app.ioService->run(); });
    pthread_getcpuclockid(ioThread.native_handle(), &ioClock);

    const size_t clients = static_cast<size_t>(options.clientsPerFeed);
    for (NetworkServer* server : servers()) {
      for (size_t c = 0; c < clients; ++c) {
        const int fd = connectTo(server->boundPort());
        if (fd < 0) {
          error = "a client could not connect";
          return;
        }
        fds.push_back(fd);
      }
    }
    std::vector<size_t> counted;
    for (size_t feed : textFeeds) {
      if (clients > 0) counted.push_back(feed * clients);
    }
    reader = std::make_unique<Reader>(fds, counted);
    reader->start(true);

    // SBS-3 clients get data only once logged in; their replies are the first bytes they read.
    const std::string login("\x10\x02\x17\x01\x10\x03\x00\x00", 8);
    for (size_t c = 0; c < clients; ++c) {
      if (::send(fds[sbsFeed * clients + c], login.data(), login.size(), MSG_NOSIGNAL) != 8) {
        error = "login not sent";
        return;
      }
    }
    const auto deadline = Clock::now() + 10s;
    for (NetworkServer* server : servers()) {
      while (server->sessionCount() < clients && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
      if (server->sessionCount() != clients) {
        error = "clients did not connect";
        return;
      }
    }
    const uint8_t command[] = {0x17, 0x01};
    uint64_t replyBytes = 0;
    for (const std::string& reply : sbsRepliesTo(command, 2)) replyBytes += wrapSbsFrame(reply).size();
    while (reader->total() < replyBytes * clients && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    if (reader->total() != replyBytes * clients) {
      error = "login replies missing";
      return;
    }

    // Two rounds earn every address its trust.
    feedRounds(2);
    reader->waitQuiet();
    const uint64_t before = reader->total();
    feedRounds(1);
    reader->waitQuiet();
    if (clients > 0 && reader->total() - before < corpusFrames * clients) {
      error = "no output after the warm-up";
      return;
    }
    for (NetworkServer* server : servers()) {
      if (server->sessionCount() != clients) {
        error = server->name() + " lost clients in the warm-up";
        return;
      }
    }
    if (!options.reading) {
      // From here on the clients take nothing more.
      reader->stop();
    }
    logStart = Logger::instance().nextSequenceNumber();
    ready = true;
  }

  ~PipelineRig() {
    boost::asio::post(*app.ioService, [this] {
      for (NetworkServer* server : servers()) server->stop();
    });
    work.reset();
    if (ioThread.joinable()) ioThread.join();
    reader.reset();
    for (int fd : fds) ::close(fd);
  }

  std::vector<NetworkServer*> servers() {
    return {app.beastServer.get(), app.sbsServer.get(), app.avrMlatServer.get(),
            app.avrMlatAirspyServer.get(), app.avrServer.get(), app.msgServer.get()};
  }

  // The next frame of the corpus, with the sample clock running on as a receiver's would.
  void feedOne() {
    const CorpusFrame& f = corpus()[next];
    app.frameSink->onFrame(f.bytes, f.length, timestamp, static_cast<uint8_t>(0x30 + (next & 0x7F)));
    timestamp += 6000;  // 0.5 ms of a 12 MHz clock
    if (++next == corpus().size()) next = 0;
  }

  // Unpaced, a round would pile up more than a client may have queued: let the clients catch up
  // every few thousand frames.
  void feedRounds(int rounds) {
    for (size_t i = 1; i <= corpus().size() * static_cast<size_t>(rounds); ++i) {
      feedOne();
      if (i % 2048 == 0) reader->waitQuiet(3ms);
    }
  }

  // Empty when every client of every feed got the same bytes, stayed connected, and nothing
  // was dropped.
  std::string verify() {
    boost::property_tree::ptree lines;
    getLogSince(lines, logStart - 1);
    for (const auto& entry : lines) {
      auto it = entry.second.begin();
      std::advance(it, 2);
      const std::string text = it->second.get_value<std::string>();
      if (text.find("overflow") != std::string::npos || text.find("Disconnected") != std::string::npos) {
        return text;
      }
    }
    const size_t clients = static_cast<size_t>(options.clientsPerFeed);
    std::vector<NetworkServer*> list = servers();
    for (size_t s = 0; s < list.size(); ++s) {
      if (list[s]->sessionCount() != clients) {
        return list[s]->name() + " has " + std::to_string(list[s]->sessionCount()) + " clients, not " +
               std::to_string(clients);
      }
      for (size_t c = 1; c < clients; ++c) {
        if (reader->client(s * clients + c) != reader->client(s * clients)) {
          return list[s]->name() + " clients got different byte counts";
        }
      }
    }
    return "";
  }

  const RigOptions options;
  Application app;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{app.ioService->get_executor()};
  std::thread ioThread;
  clockid_t ioClock{};
  std::vector<int> fds;
  std::unique_ptr<Reader> reader;
  size_t next = 0;
  uint64_t timestamp = 0x10000000;
  uint32_t logStart = 0;
  bool ready = false;
  std::string error;
};

#if defined(__x86_64__)
inline uint64_t ticks() { return __builtin_ia32_rdtsc(); }
#else
inline uint64_t ticks() { return static_cast<uint64_t>(nowNanoseconds()); }
#endif

void runPipeline(benchmark::State& state, const RigOptions& options) {
  PipelineRig rig(options);
  if (!rig.ready) {
    state.SkipWithError(rig.error.c_str());
    return;
  }
  Reader& reader = *rig.reader;
  const bool throttled = options.reading && options.clientsPerFeed > 0;
  // The bench producer outruns any real frame source: it waits while this many frames have not
  // reached the clients (10 ms at the rates seen here), far below what would cut a client off.
  constexpr uint64_t maxInFlight = 8192;
  const uint64_t startBytes = reader.total();
  const uint64_t startLines = reader.lines();
  double waited = 0;
  double waitCpu = 0;
  bool stalled = false;

  const double ioStart = cpuSeconds(rig.ioClock);
  const double readerStart = reader.cpu();
  const double frameStart = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
  const auto wallStart = Clock::now();
  const uint64_t ticksStart = ticks();
  uint64_t frames = 0;
  uint64_t worst = 0;
  // Call durations in steps of 64 ticks; the last cell takes everything longer.
  std::vector<uint64_t> durations(8192);
  for (auto _ : state) {
    const uint64_t before = ticks();
    rig.feedOne();
    const uint64_t took = ticks() - before;
    worst = std::max(worst, took);
    ++durations[std::min<uint64_t>(took >> 6, durations.size() - 1)];
    ++frames;
    if (throttled && (frames & 255) == 0 && frames - (reader.lines() - startLines) > maxInFlight) {
      // The frame thread never waits like this in the program; this time is not its CPU time.
      const auto waitStart = Clock::now();
      const double waitCpuStart = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
      uint64_t seen = reader.lines();
      auto since = waitStart;
      while (frames - (reader.lines() - startLines) > maxInFlight) {
        if (reader.lines() != seen) {
          seen = reader.lines();
          since = Clock::now();
        } else if (Clock::now() - since > 5s) {
          stalled = true;
          break;
        }
        std::this_thread::sleep_for(20us);
      }
      waited += std::chrono::duration<double>(Clock::now() - waitStart).count();
      waitCpu += cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - waitCpuStart;
      if (stalled) {
        state.SkipWithError("the output stalled");
        break;
      }
    }
  }
  if (stalled) return;
  const double frameSeconds = cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - frameStart - waitCpu;
  const auto loopEnd = Clock::now();
  const uint64_t ticksEnd = ticks();
  if (options.reading && options.clientsPerFeed > 0 && !reader.waitQuiet()) {
    state.SkipWithError("the output did not drain");
    return;
  }
  const double ioSeconds = cpuSeconds(rig.ioClock) - ioStart;
  const double readerSeconds = reader.cpu() - readerStart;
  auto wallEnd = loopEnd;
  if (options.reading && options.clientsPerFeed > 0) {
    wallEnd = std::max(loopEnd, Clock::time_point(std::chrono::nanoseconds(reader.lastByteNanoseconds())));
  }
  const double wall = std::chrono::duration<double>(wallEnd - wallStart).count();
  const double loopWall = std::chrono::duration<double>(loopEnd - wallStart).count();
  if (options.reading) {
    const std::string fault = rig.verify();
    if (!fault.empty()) {
      state.SkipWithError(fault.c_str());
      return;
    }
  }
  const double n = static_cast<double>(frames);
  const double nanosecondsPerTick = loopWall * 1e9 / static_cast<double>(std::max<uint64_t>(1, ticksEnd - ticksStart));
  state.SetItemsProcessed(static_cast<int64_t>(frames));
  state.counters["fps"] = benchmark::Counter(n / wall);
  state.counters["frame_ns"] = benchmark::Counter(frameSeconds * 1e9 / n);
  state.counters["io_ns"] = benchmark::Counter(ioSeconds * 1e9 / n);
  state.counters["reader_ns"] = benchmark::Counter(readerSeconds * 1e9 / n);
  state.counters["max_frame_us"] = benchmark::Counter(static_cast<double>(worst) * nanosecondsPerTick / 1e3);
  // The scheduler may take the core away at any call; a blocked call would show here.
  uint64_t below = 0;
  size_t cell = 0;
  while (cell + 1 < durations.size() && static_cast<double>(below + durations[cell]) < 0.999 * n) below += durations[cell++];
  state.counters["p999_frame_us"] = benchmark::Counter(static_cast<double>((cell + 1) * 64) * nanosecondsPerTick / 1e3);
  if (options.reading) {
    state.counters["out_bytes"] = benchmark::Counter(static_cast<double>(reader.total() - startBytes) / n);
  }
  // The share of the time the frame thread waited for the clients: above 0, something after
  // the frame thread limits the rate.
  if (throttled) state.counters["waiting"] = benchmark::Counter(waited / wall);
}

// All six feeds, N reading clients on each.
void BM_Pipeline(benchmark::State& state) {
  RigOptions options;
  options.clientsPerFeed = static_cast<int>(state.range(0));
  runPipeline(state, options);
}

// The same with the web interface's statistics and aircraft table fed from every message.
void BM_PipelineWithStatistics(benchmark::State& state) {
  RigOptions options;
  options.clientsPerFeed = static_cast<int>(state.range(0));
  options.statistics = true;
  runPipeline(state, options);
}

// Clients that connect and then read nothing: the frame thread must not slow down or wait;
// the ports drop or cut them off instead.
void BM_PipelineStalledClients(benchmark::State& state) {
  RigOptions options;
  options.clientsPerFeed = static_cast<int>(state.range(0));
  options.reading = false;
  runPipeline(state, options);
}

}  // namespace

BENCHMARK(BM_Pipeline)->ArgName("clients")->Arg(0)->Arg(1)->Arg(10)->Arg(11)->Arg(20)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_PipelineWithStatistics)->ArgName("clients")->Arg(10)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_PipelineStalledClients)->ArgName("clients")->Arg(10)->UseRealTime()->MinTime(2.0);
