#pragma once
// Running the programs under test: a child process whose standard output is collected as it
// comes, TCP clients on 127.0.0.1 that collect everything a feed sends, and a FIFO writer.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

// A program started with its standard output on a pipe; stderr and stdin are /dev/null.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid = fork();
    if (pid == 0) {
      const int null = open("/dev/null", O_RDWR);
      dup2(null, 0);
      dup2(null, 2);
      dup2(fds[1], 1);
      close(fds[0]);
      close(fds[1]);
      std::vector<char*> args;
      for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    close(fds[1]);
    reader = std::thread([this, fd = fds[0]] {
      char buffer[4096];
      ssize_t n;
      while ((n = read(fd, buffer, sizeof buffer)) > 0) {
        std::lock_guard<std::mutex> lock(mutex);
        output.append(buffer, static_cast<size_t>(n));
        changed.notify_all();
      }
      close(fd);
    });
  }
  ~ChildProcess() {
    if (pid > 0 && status < 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (reader.joinable()) reader.join();
  }

  // Waits until the output holds `text` `count` times.
  bool waitForOutput(const std::string& text, size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return occurrences(text) >= count; });
  }
  bool running() {
    if (status >= 0 || pid <= 0) return false;
    int raw;
    if (waitpid(pid, &raw, WNOHANG) == pid) {
      status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128;
      return false;
    }
    return true;
  }
  void signal(int number) {
    if (running()) kill(pid, number);
  }
  pid_t id() const { return pid; }
  // The exit status, or -1 after killing a program that did not end in time.
  int wait(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (running() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(10ms);
    if (running()) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      status = -1;
    }
    if (reader.joinable()) reader.join();
    return status;
  }
  std::string text() {
    std::lock_guard<std::mutex> lock(mutex);
    return output;
  }

 private:
  size_t occurrences(const std::string& text) const {
    size_t n = 0;
    for (size_t at = output.find(text); at != std::string::npos; at = output.find(text, at + 1)) ++n;
    return n;
  }

  pid_t pid = -1;
  int status = -1;
  std::thread reader;
  std::mutex mutex;
  std::condition_variable changed;
  std::string output;
};

// A port for a child program to listen on. A port the kernel picks (a bind to port 0) lies in
// its ephemeral range, where an outgoing connection of any test running beside this one can take
// it before the child binds it. Ports below that range are never handed out on their own, so
// only another test's pick can meet this one, and each process starts its picks elsewhere.
inline uint16_t freeTcpPort() {
  constexpr unsigned first = 20000, count = 12000;  // under the usual ephemeral range, 32768 up
  static std::atomic<unsigned> next{static_cast<unsigned>(getpid()) * 2654435761u % count};
  for (unsigned tries = 0; tries < count; ++tries) {
    const auto port = static_cast<uint16_t>(first + next++ % count);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    if (free) return port;
  }
  return 0;
}

// The synthesiser, built beside the program.
// The test's own side of many connections needs more descriptors than the usual soft limit:
// raises it to the hard limit and gives what it is now.
inline rlim_t raiseDescriptorLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  getrlimit(RLIMIT_NOFILE, &limit);
  return limit.rlim_cur;
}

inline std::string synthBinary() {
  const std::string program = VELKARO_BINARY;
  return program.substr(0, program.rfind('/') + 1) + "tools/synth/velkaro-synth";
}

// A socket connected to 127.0.0.1:port, or -1. A receive window set before the connect holds.
inline int connectLoopback(uint16_t port, int receiveWindow = 0) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (receiveWindow > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveWindow, sizeof receiveWindow);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Connects to 127.0.0.1:port (retrying while the server comes up) and reads until it closes.
class FeedClient {
 public:
  FeedClient(uint16_t port, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      fd = connectLoopback(port);
      if (fd >= 0) break;
      if (std::chrono::steady_clock::now() >= end) return;
      std::this_thread::sleep_for(20ms);
    }
    timeval limit{60, 0};  // a feed that never closes must not hang the test
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    reader = std::thread([this] {
      char buffer[65536];
      ssize_t n;
      while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) {
        std::lock_guard<std::mutex> lock(mutex);
        received.append(buffer, static_cast<size_t>(n));
      }
    });
  }
  ~FeedClient() {
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
    if (reader.joinable()) reader.join();
    if (fd >= 0) close(fd);
  }
  bool connected() const { return fd >= 0; }
  // Everything received once the server has closed the connection.
  std::string all() {
    if (reader.joinable()) reader.join();
    std::lock_guard<std::mutex> lock(mutex);
    return received;
  }

 private:
  int fd = -1;
  std::thread reader;
  std::mutex mutex;
  std::string received;
};

// A feed client that connects with a small receive window and never reads.
class StalledClient {
 public:
  explicit StalledClient(uint16_t port) : fd(connectLoopback(port, 4096)) {}
  ~StalledClient() {
    if (fd >= 0) close(fd);
  }
  bool connected() const { return fd >= 0; }

 private:
  int fd = -1;
};

// Opens the write end of a FIFO once a reader has it open; -1 after the timeout.
inline int openFifoForWriting(const std::string& path, ChildProcess& reader, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) {
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      return fd;
    }
    if (errno != ENXIO || !reader.running() || std::chrono::steady_clock::now() >= end) return -1;
    std::this_thread::sleep_for(10ms);
  }
}

inline bool writeFileTo(int fd, const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> buffer(1 << 20);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const char* at = buffer.data();
    size_t left = static_cast<size_t>(in.gcount());
    while (left > 0) {
      const ssize_t n = write(fd, at, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      at += n;
      left -= static_cast<size_t>(n);
    }
  }
  return true;
}
