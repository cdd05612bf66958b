// Slow web clients cannot lock the others out: the real program, at the usual limit of 1024
// descriptors, decoding the synthesiser's live signal while 1100 connections trickle request
// headers at its web port, still serves a new web client and a new BEAST feed client.

#include "e2e/process_harness.h"
#include "json-server/http_test_client.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>

namespace {

namespace fs = std::filesystem;

int connectTo(uint16_t port) {
  const int fd = connectLoopback(port);
  if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

// A free port below the ephemeral range: thousands of loopback client connections (this test's and
// those of tests running beside it) take their ports from that range, and one could take the
// port before the program binds it.
uint16_t listeningPortOutsideEphemeralRange() {
  int low = 32768;
  std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low;
  std::mt19937 random(static_cast<uint32_t>(getpid()) * 7919u + static_cast<uint32_t>(time(nullptr)));
  for (int attempt = 0; attempt < 100; ++attempt) {
    const uint16_t port = static_cast<uint16_t>(10000 + random() % static_cast<uint32_t>(std::max(low - 10000, 1)));
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    const bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    if (free) return port;
  }
  return freeTcpPort();
}

bool waitForListening(uint16_t port, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const int fd = connectTo(port);
    if (fd >= 0) {
      close(fd);
      return true;
    }
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(20ms);
  }
}

// Connections that each send one more byte of a never-ending request header about every second.
// What the server closes is opened again at once, so that there are always `count` of them.
class Tricklers {
 public:
  Tricklers(uint16_t port, size_t count) : port(port), fds(count, -1), sent(count, 0) {
    for (size_t i = 0; i < count; ++i) step(i);
    thread = std::thread([this] {
      while (!stopping) {
        for (size_t i = 0; i < fds.size() && !stopping; ++i) step(i);
        for (int slice = 0; slice < 10 && !stopping; ++slice) std::this_thread::sleep_for(100ms);
      }
    });
  }
  ~Tricklers() {
    stopping = true;
    thread.join();
    for (const int fd : fds) {
      if (fd >= 0) close(fd);
    }
  }
  size_t open() const { return opened; }
  size_t closedByServer() const { return closed; }

 private:
  void step(size_t i) {
    if (fds[i] >= 0 && !sendNext(i)) {
      close(fds[i]);
      fds[i] = -1;
      ++closed;
    }
    if (fds[i] < 0) {
      fds[i] = connectTo(port);
      sent[i] = 0;
      if (fds[i] >= 0) ++opened;
      if (fds[i] >= 0 && !sendNext(i)) {
        close(fds[i]);
        fds[i] = -1;
      }
    }
  }
  // False once the server has closed the connection.
  bool sendNext(size_t i) {
    static const std::string header = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + std::string(1000, 'a');
    char byte;
    const ssize_t got = recv(fds[i], &byte, 1, 0);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return false;
    const size_t at = std::min(sent[i], header.size() - 1);
    if (send(fds[i], header.data() + at, 1, MSG_NOSIGNAL) != 1) return errno == EAGAIN || errno == EWOULDBLOCK;
    ++sent[i];
    return true;
  }

  const uint16_t port;
  std::vector<int> fds;
  std::vector<size_t> sent;
  std::atomic<size_t> opened{0};
  std::atomic<size_t> closed{0};
  std::atomic<bool> stopping{false};
  std::thread thread;
};

class WebSlowClientsEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    std::signal(SIGPIPE, SIG_IGN);
    if (raiseDescriptorLimit() < kTricklers + 100) GTEST_SKIP() << "needs " << kTricklers + 100 << " descriptors";
    dir = fs::temp_directory_path() / ("velkaro-web-slow-" + std::to_string(getpid()));
    fs::create_directories(dir);
    fifo = (dir / "input.fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  }
  void TearDown() override { fs::remove_all(dir); }

  static constexpr size_t kTricklers = 1100;  // more than the program has descriptors
  fs::path dir;
  std::string fifo;
};

TEST_F(WebSlowClientsEndToEnd, NewWebAndFeedClientsAreServedWhileMoreConnectionsThanDescriptorsTrickleHeaders) {
  ASSERT_TRUE(fs::exists(synthBinary())) << synthBinary();
  const uint16_t webPort = listeningPortOutsideEphemeralRange();
  uint16_t beastPort;
  while ((beastPort = listeningPortOutsideEphemeralRange()) == webPort) {
  }
  ChildProcess velkaro({"/bin/sh", "-c",
                        "ulimit -n 1024 && echo \"descriptors $(ulimit -Sn) $(ulimit -Hn)\" && exec \"$0\" \"$@\"",
                        VELKARO_BINARY, "--input-file", "rtl:" + fifo, "--web", std::to_string(webPort), "--beast",
                        std::to_string(beastPort)});
  ASSERT_TRUE(velkaro.waitForOutput("descriptors 1024 1024", 1, 5s)) << velkaro.text();
  {
    // Frames keep coming for as long as the synthesiser streams in real time.
    ChildProcess synth({synthBinary(), std::string(VELKARO_SOURCE_DIR) + "/tools/synth/scenarios/demo.txt",
                        "--stream", fifo, "--once"});
    ASSERT_TRUE(waitForListening(webPort, 10s)) << velkaro.text();

    Tricklers tricklers(webPort, kTricklers);
    std::this_thread::sleep_for(3s);
    ASSERT_TRUE(velkaro.running()) << velkaro.text();
    EXPECT_GE(tricklers.open(), kTricklers);
    // Beyond the cap the server has closed trickling connections to make room.
    EXPECT_GT(tricklers.closedByServer(), 0u);

    http_test::Connection beast(beastPort);
    ASSERT_TRUE(beast.isOpen());
    EXPECT_TRUE(beast.fill(1, 15s)) << velkaro.text();
    EXPECT_EQ(beast.rest().substr(0, 1), "\x1a");

    http_test::Connection page(webPort);
    ASSERT_TRUE(page.send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    const http_test::Reply index = page.readReply(10s);
    EXPECT_TRUE(index.complete);
    EXPECT_EQ(index.statusLine, "HTTP/1.1 200 OK");
    EXPECT_NE(index.body.find("<html"), std::string::npos);
    // The page polls on its kept-alive connection, which outlasts the trickling ones.
    for (int poll = 0; poll < 3; ++poll) {
      SCOPED_TRACE(poll);
      std::this_thread::sleep_for(1s);
      ASSERT_TRUE(page.send(http_test::post("/json", R"({"req":"getStats","data":{"statsType":"flights","id":0}})")));
      const http_test::Reply stats = page.readReply(10s);
      ASSERT_TRUE(stats.complete);
      EXPECT_EQ(stats.body.rfind("{\"status\":\"OK\"", 0), 0u) << stats.body.substr(0, 200);
    }
    EXPECT_FALSE(page.peerClosed());
  }
  // The stream's end ends the run.
  EXPECT_EQ(velkaro.wait(20s), 0);
  const std::string output = velkaro.text();
  EXPECT_NE(output.find("Closed successfully"), std::string::npos) << output;
  EXPECT_EQ(output.find("ERROR"), std::string::npos) << output;
}

}  // namespace
