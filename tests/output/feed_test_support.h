#pragma once
// Loopback clients with bounded waits, and an io_context run on its own thread, for the feed tests.

#include "support/log_lines.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/property_tree/ptree.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/logger.h"

namespace feedtest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5s) {
  const auto deadline = Clock::now() + timeout;
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// The first sequence number of lines logged from now on.
inline uint32_t logMark() { return Logger::instance().nextSequenceNumber(); }

// Every kept log line from sequence number `first` on.
inline std::vector<std::string> logLinesSince(uint32_t first) { return logLinesAfter(first - 1); }

// Lines whose text (after date, time and level) is exactly `text`.
inline int countLogLines(uint32_t since, const std::string& text) {
  int count = 0;
  for (const std::string& line : logLinesSince(since)) {
    if (line.size() >= text.size() && line.compare(line.size() - text.size(), text.size(), text) == 0 &&
        line.size() > text.size() && line[line.size() - text.size() - 1] == ' ') {
      ++count;
    }
  }
  return count;
}

// A plain POSIX client: every call is bounded by a timeout.
class FeedClient {
 public:
  // receiveBuffer > 0 shrinks the socket's receive buffer before connecting.
  explicit FeedClient(uint16_t port, int receiveBuffer = 0) {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &local.sin_addr, text, sizeof text);
    localName = std::string(text) + ":" + std::to_string(ntohs(local.sin_port));
  }
  ~FeedClient() { closeNow(); }
  FeedClient(const FeedClient&) = delete;
  FeedClient& operator=(const FeedClient&) = delete;

  bool isConnected() const { return connected; }
  // The server's name for this session: "127.0.0.1:<port>".
  const std::string& name() const { return localName; }

  bool sendAll(const std::string& bytes, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = Clock::now() + timeout;
    size_t done = 0;
    while (done < bytes.size()) {
      if (!waitReady(POLLOUT, deadline)) return false;
      const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  // Reads until `count` bytes have arrived, the peer closes, or the timeout passes.
  std::string read(size_t count, std::chrono::milliseconds timeout = 5s) {
    const auto deadline = Clock::now() + timeout;
    std::string out;
    char buffer[65536];
    while (out.size() < count && !peerClosed) {
      if (!waitReady(POLLIN, deadline)) break;
      const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, count - out.size()), MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) {
        peerClosed = true;
        break;
      }
      out.append(buffer, static_cast<size_t>(n));
    }
    return out;
  }

  // Whatever arrives within `quiet`.
  std::string readAvailable(std::chrono::milliseconds quiet = 200ms) { return read(SIZE_MAX, quiet); }

  // Reads (and calls `sink` with) everything until the peer closes or the timeout passes.
  bool readUntilClosed(const std::function<void(const char*, size_t)>& sink, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = Clock::now() + timeout;
    char buffer[65536];
    while (!peerClosed) {
      if (!waitReady(POLLIN, deadline)) return false;
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) {
        peerClosed = true;
        break;
      }
      if (sink) sink(buffer, static_cast<size_t>(n));
    }
    return true;
  }

  void closeNow() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }

 private:
  bool waitReady(short events, Clock::time_point deadline) {
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      pollfd entry{fd, events, 0};
      const int n = ::poll(&entry, 1, static_cast<int>(std::min<long long>(left, 100)));
      if (n > 0) return true;
      if (n < 0 && errno != EINTR) return false;
    }
  }

  int fd = -1;
  bool connected = false;
  bool peerClosed = false;
  std::string localName;
};

// The I/O service on its own thread, as the main thread runs it in the program.
class IoThread {
 public:
  IoThread() : io(std::make_shared<boost::asio::io_context>()) {}
  ~IoThread() {
    // Let cancelled operations complete, so nothing they hold outlives the test.
    if (done.valid() && !ranOutOfWork(5s)) io->stop();
    if (thread.joinable()) thread.join();
  }

  void run() {
    std::packaged_task<void()> task([this] { io->run(); });
    done = task.get_future();
    thread = std::thread(std::move(task));
  }

  // Runs `f` on the I/O thread and waits for it; also a barrier behind every earlier post.
  bool call(const std::function<void()>& f, std::chrono::milliseconds timeout = 5s) {
    auto promise = std::make_shared<std::promise<void>>();
    auto future = promise->get_future();
    boost::asio::post(*io, [f, promise] {
      f();
      promise->set_value();
    });
    return future.wait_for(timeout) == std::future_status::ready;
  }
  bool barrier() {
    return call([] {});
  }

  // True once run() has returned for lack of work.
  bool ranOutOfWork(std::chrono::milliseconds timeout = 5s) {
    return done.valid() && done.wait_for(timeout) == std::future_status::ready;
  }
  bool running() { return done.valid() && !finished(); }
  bool finished() { return done.valid() && done.wait_for(0s) == std::future_status::ready; }

  std::shared_ptr<boost::asio::io_context> io;

 private:
  std::thread thread;
  std::future<void> done;
};

}  // namespace feedtest
