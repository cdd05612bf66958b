#pragma once
// A real serial line for the GPS emulation tests: a pseudo-terminal pair made by socat, the far
// end read as a device would, and gpsd's own NMEA parser (gpsdecode) to judge what came out.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace serialtest {

using namespace std::chrono_literals;

inline bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// `socat pty,raw,echo=0,link=NEAR pty,raw,echo=0,link=FAR`: what is written to one end comes
// out of the other. Stopping it hangs both ends up, as pulling a USB adapter does.
class PtyPair {
 public:
  PtyPair(std::string nearPath, std::string farPath) : nearEnd(std::move(nearPath)), farEnd(std::move(farPath)) {}
  ~PtyPair() { stop(); }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  // True once both links are there.
  bool start() {
    stop();
    pid = fork();
    if (pid == 0) {
      const int null = ::open("/dev/null", O_RDWR);
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
      const std::string a = "pty,raw,echo=0,link=" + nearEnd, b = "pty,raw,echo=0,link=" + farEnd;
      execlp("socat", "socat", "-d", "-d", a.c_str(), b.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    return pid > 0 && waitUntil([this] { return linked(nearEnd) && linked(farEnd); }, 5s);
  }
  void stop() {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    pid = -1;
    waitUntil([this] { return !linked(nearEnd) && !linked(farEnd); }, 2s);
  }

  const std::string& nearPath() const { return nearEnd; }
  const std::string& farPath() const { return farEnd; }

 private:
  static bool linked(const std::string& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0;
  }

  std::string nearEnd, farEnd;
  pid_t pid = -1;
};

// The device at the far end: collects everything that arrives, and can talk back. With a rate
// it reads no faster than that many bytes a second, as a device behind a slow line gets them.
class FarEnd {
 public:
  explicit FarEnd(const std::string& path, size_t bytesPerSecond = 0)
      : fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
    if (fd < 0) return;
    reader = std::thread([this, bytesPerSecond] {
      char buffer[4096];
      const auto began = std::chrono::steady_clock::now();
      size_t taken = 0;
      while (!done) {
        size_t room = sizeof buffer;
        if (bytesPerSecond > 0) {
          // By the clock since the start, so that the rate does not drift with the sleeps.
          const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
          room = std::min(room, static_cast<size_t>(seconds * static_cast<double>(bytesPerSecond)) - taken);
          if (room == 0) {
            std::this_thread::sleep_for(10ms);
            continue;
          }
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        const ssize_t n = ::read(fd, buffer, room);
        if (n > 0) {
          taken += static_cast<size_t>(n);
          const auto now = std::chrono::system_clock::now();
          std::lock_guard<std::mutex> lock(mutex);
          for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] == '\n' && !text.empty() && text.back() == '\r') arrivals.push_back(now);
            text.push_back(buffer[i]);
          }
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
          std::this_thread::sleep_for(20ms);  // hung up: nothing more will come
        }
      }
    });
  }
  ~FarEnd() {
    done = true;
    if (reader.joinable()) reader.join();
    if (fd >= 0) ::close(fd);
  }
  FarEnd(const FarEnd&) = delete;
  FarEnd& operator=(const FarEnd&) = delete;

  bool isOpen() const { return fd >= 0; }
  std::string received() {
    std::lock_guard<std::mutex> lock(mutex);
    return text;
  }
  // When each whole line ("\r\n") was read, in order.
  std::vector<std::chrono::system_clock::time_point> lineArrivals() {
    std::lock_guard<std::mutex> lock(mutex);
    return arrivals;
  }
  // Waits until `count` whole lines have come.
  bool waitForLines(size_t count, std::chrono::milliseconds timeout) {
    return waitUntil([&] { return lineCount() >= count; }, timeout);
  }
  size_t lineCount() {
    std::lock_guard<std::mutex> lock(mutex);
    return arrivals.size();
  }
  // Waits until no line has come for `quiet`, or `timeout` has passed.
  void waitUntilQuiet(std::chrono::milliseconds quiet, std::chrono::milliseconds timeout) {
    size_t last = lineCount();
    auto changed = std::chrono::steady_clock::now();
    waitUntil(
        [&] {
          const auto now = std::chrono::steady_clock::now();
          if (lineCount() != last) {
            last = lineCount();
            changed = now;
          }
          return now - changed > quiet;
        },
        timeout);
  }
  bool send(const std::string& bytes) { return ::write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size()); }

 private:
  int fd;
  std::atomic<bool> done{false};
  std::thread reader;
  std::mutex mutex;
  std::string text;
  std::vector<std::chrono::system_clock::time_point> arrivals;
};

// Splits at `end`; a piece after the last `end` is left out (it has not fully arrived).
inline std::vector<std::string> splitAt(const std::string& text, const std::string& end) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t at; (at = text.find(end, start)) != std::string::npos; start = at + end.size()) {
    lines.push_back(text.substr(start, at - start));
  }
  return lines;
}

// "$...*HH" with HH the XOR of everything between "$" and "*", in upper-case hexadecimal.
inline bool checksumRight(const std::string& sentence) {
  if (sentence.size() < 4 || sentence[0] != '$' || sentence[sentence.size() - 3] != '*') return false;
  unsigned sum = 0;
  for (size_t i = 1; i + 3 < sentence.size(); ++i) sum ^= static_cast<unsigned char>(sentence[i]);
  char hex[3];
  std::snprintf(hex, sizeof hex, "%02X", sum);
  return sentence.compare(sentence.size() - 2, 2, hex) == 0;
}

// What gpsdecode made of a stream of bytes: the packets it accepted, echoed one a line, and its
// report, whose DATA lines carry the values it parsed ("RMC: ... lat=51.50 lon=-0.13 ...").
struct Gpsdecoded {
  std::vector<std::string> accepted;
  std::string report;
};

inline Gpsdecoded runGpsdecode(const std::string& bytes, const std::filesystem::path& dir) {
  const auto input = dir / "gpsdecode.in", output = dir / "gpsdecode.out", report = dir / "gpsdecode.err";
  std::ofstream(input, std::ios::binary) << bytes;
  const std::string command = "gpsdecode -D 6 < '" + input.string() + "' > '" + output.string() + "' 2> '" +
                              report.string() + "'";
  Gpsdecoded result;
  if (std::system(command.c_str()) != 0) return result;
  std::ifstream echoed(output);
  for (std::string line; std::getline(echoed, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // Its JSON reports of a completed fix, whose timing depends on the sentences' times, are
    // not packets.
    if (!line.empty() && line[0] != '{') result.accepted.push_back(line);
  }
  std::ostringstream text;
  text << std::ifstream(report).rdbuf();
  result.report = text.str();
  return result;
}

inline std::string readFile(const std::filesystem::path& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

}  // namespace serialtest
