#pragma once
// The GPS line of a long run, seen from the device end.

#include "longrun/feed_streams.h"
#include "output/serial_test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace longrun {

// The device at the far end of the GPS line: checks each sentence as it comes (its checksum and
// that it is one of the four the emulation sends) and keeps only counts.
class GpsDevice {
 public:
  explicit GpsDevice(const std::string& path) : fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
    if (fd < 0) return;
    reader = std::thread([this] {
      char buffer[4096];
      while (!stopping) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
          std::this_thread::sleep_for(20ms);
          continue;
        }
        std::lock_guard<std::mutex> lock(mutex);
        partial.append(buffer, static_cast<size_t>(n));
        size_t start = 0;
        for (size_t at; (at = partial.find("\r\n", start)) != std::string::npos; start = at + 2)
          check(partial.substr(start, at - start));
        partial.erase(0, start);
      }
    });
  }
  ~GpsDevice() {
    stopping = true;
    if (reader.joinable()) reader.join();
    if (fd >= 0) ::close(fd);
  }
  bool isOpen() const { return fd >= 0; }
  uint64_t sentences() const { return count; }
  std::vector<std::string> faults() {
    std::lock_guard<std::mutex> lock(mutex);
    return problems;
  }

 private:
  void check(const std::string& sentence) {
    ++count;
    static const char* const kinds[] = {"$GPRMC,", "$GPVTG,", "$GPGGA,", "$GPGLL,"};
    const bool known =
        std::any_of(std::begin(kinds), std::end(kinds), [&](const char* k) { return sentence.rfind(k, 0) == 0; });
    if ((!known || !serialtest::checksumRight(sentence)) && problems.size() < 10) problems.push_back(sentence);
  }

  int fd;
  std::atomic<bool> stopping{false};
  std::thread reader;
  std::atomic<uint64_t> count{0};
  std::mutex mutex;
  std::string partial;
  std::vector<std::string> problems;
};

}  // namespace longrun
