#pragma once
// The signal of a long run: the synthesiser on a thread of the test writing rtl samples into the
// program's FIFO, and a window of what it sent lately, to find each frame a feed carries.

#include "e2e/feed_frames.h"
#include "longrun/feed_streams.h"
#include "sdr/crc.h"
#include "tools/synth/scenario.h"
#include "tools/synth/synth_session.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace longrun {

// Stamped at the newest sample of the 240-bin window that starts at the preamble, give or take.
constexpr int64_t stampSlack = 3 * 6;

// What the synthesiser sent in the last seconds of the signal, to find each frame a feed carries.
class SentWindow {
 public:
  void add(const std::vector<SynthSentFrame>& frames) {
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& f : frames) window.push_back({f.sample, f.bytes, false});
    added += frames.size();
  }
  // What a frame a feed carries is of what went on the air.
  enum class Match {
    Intact,   // a frame sent where a demodulator stamps it
    Damaged,  // the same, damaged on the air
    Inside,   // the bits of a longer frame sent a few microseconds before it, found within that frame
    None,
  };
  // The two others are frames the demodulator and the filter let through by their rules: a DF 11
  // damaged in its interrogator code bits, a squitter "repaired" into another frame of its
  // address, or a frame whose parity names an address heard often enough (a squitter damaged in
  // its format field, the second half of a squitter whose first half does not change: their
  // parity always names the same address). Each frame sent matches once. Frames more than two
  // seconds of signal older than the last one asked for leave the window.
  Match match(const FeedRecord& frame, std::string& closest) {
    std::lock_guard<std::mutex> lock(mutex);
    const int64_t stamp = static_cast<int64_t>(frame.timestamp);
    constexpr int64_t horizon = 2 * 12000000;
    while (!window.empty() && stampOf(window.front()) + horizon < stamp) window.pop_front();
    // A frame found inside another is stamped at most 57 bits (1 us each) after it.
    const auto first = std::lower_bound(window.begin(), window.end(), stamp - 57 * 12 - stampSlack,
                                        [](const Entry& e, int64_t at) { return stampOf(e) < at; });
    Entry* damaged = nullptr;
    Entry* outer = nullptr;
    auto it = first;
    for (; it != window.end() && stampOf(*it) <= stamp + stampSlack; ++it) {
      Entry& e = *it;
      const int64_t apart = stamp - stampOf(e);
      if (apart <= stampSlack && !e.seen) {
        if (e.bytes == frame.bytes) {
          e.seen = true;
          return Match::Intact;
        }
        if (!damaged && (bitsApart(e.bytes, frame.bytes) <= 2 || interrogatorBitsOnly(e.bytes, frame.bytes) ||
                         repairedAmiss(e.bytes, frame.bytes)))
          damaged = &e;
      }
      // Found k bits into the longer frame, it is stamped k us after it.
      if (!outer && e.bytes.size() == 14 && frame.bytes.size() == 7 && apart > 0) {
        const int64_t k = (apart + 6) / 12;
        for (int64_t bit = std::max<int64_t>(k - 1, 1); bit <= std::min<int64_t>(k + 1, 56) && !outer; ++bit) {
          if (slice(e.bytes, static_cast<int>(bit)) == frame.bytes) outer = &e;
        }
      }
    }
    const Entry* nearest = outer ? outer : damaged;
    if (!nearest) {
      // For the report: the frame sent nearest in time.
      nearest = it != window.end() ? &*it : nullptr;
      if (it != window.begin() && (!nearest || stamp - stampOf(*(it - 1)) <= stampOf(*nearest) - stamp))
        nearest = &*(it - 1);
    }
    if (nearest) {
      closest = hex(nearest->bytes) + " sent " + std::to_string(stamp - stampOf(*nearest)) + " ticks before, " +
                std::to_string(bitsApart(nearest->bytes, frame.bytes)) + " bits apart" +
                (nearest->seen && nearest != damaged ? ", itself passed on" : "");
    }
    if (damaged) {
      damaged->seen = true;
      return Match::Damaged;
    }
    return outer ? Match::Inside : Match::None;
  }
  uint64_t sent() {
    std::lock_guard<std::mutex> lock(mutex);
    return added;
  }

 private:
  struct Entry {
    uint64_t sample;
    std::vector<uint8_t> bytes;
    bool seen;
  };
  static int64_t stampOf(const Entry& e) { return static_cast<int64_t>(e.sample + 239) * 6; }
  // Same format and address, the parity different in the interrogator code bits alone.
  static bool interrogatorBitsOnly(const std::vector<uint8_t>& sent, const std::vector<uint8_t>& got) {
    if (sent.size() != 7 || got.size() != 7 || sent[0] >> 3 != 11 ||
        !std::equal(sent.begin(), sent.begin() + 4, got.begin()))
      return false;
    return (uint32_t(sent[4] ^ got[4]) << 16 | uint32_t(sent[5] ^ got[5]) << 8 | (sent[6] ^ got[6])) <= 126;
  }
  // A squitter of the same address with a parity that holds but other bits: damaged in more bits
  // than a repair can mend, and "repaired" into another frame by the one or two bits whose
  // pattern has the damage's syndrome.
  static bool repairedAmiss(const std::vector<uint8_t>& sent, const std::vector<uint8_t>& got) {
    const int df = sent[0] >> 3;
    return sent.size() == 14 && got.size() == 14 && df >= 17 && df <= 19 &&
           std::equal(sent.begin(), sent.begin() + 4, got.begin()) && modeSCrcSyndrome(got.data(), 14) == 0;
  }
  // The 56 bits from bit `first` on.
  static std::vector<uint8_t> slice(const std::vector<uint8_t>& bytes, int first) {
    std::vector<uint8_t> out(7, 0);
    for (int i = 0; i < 56; ++i) {
      const int bit = first + i;
      if (bytes[bit / 8] >> (7 - bit % 8) & 1) out[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
    }
    return out;
  }
  static int bitsApart(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() != b.size()) return 99;
    int bits = 0;
    for (size_t i = 0; i < a.size(); ++i) bits += __builtin_popcount(a[i] ^ b[i]);
    return bits;
  }

  std::mutex mutex;
  std::deque<Entry> window;
  uint64_t added = 0;
};

// The synthesiser on a thread of the test, writing rtl samples into the FIFO at `speed` times
// real time (or as fast as the program takes them, when that is slower).
class SignalSource {
 public:
  SignalSource(const SynthScenario& scenario, int fd, double speed, SentWindow& window)
      : scenario(scenario), fd(fd), speed(speed), window(window) {
    setNonBlocking(fd);
    thread = std::thread([this] { run(); });
  }
  ~SignalSource() {
    stopping = true;
    thread.join();
  }
  // Stops writing and keeps the FIFO open, so that the input stalls instead of ending.
  void pause() {
    paused = true;
    while (!idle && !failed) std::this_thread::sleep_for(10ms);
  }
  uint64_t samples() const { return written; }
  bool failedToWrite() const { return failed; }

 private:
  void run() {
    SynthSession session(scenario, SynthIqType::Rtl, SynthAirspyCoding::Absolute, 0);
    constexpr uint32_t chunk = 65536;
    std::vector<uint8_t> buffer(chunk * 2);
    std::vector<SynthSentFrame> sent;
    auto began = Clock::now();
    uint64_t paced = 0;
    while (!stopping && !paused) {
      const uint32_t n = session.renderChunk(buffer.data(), chunk, sent);
      window.add(sent);
      sent.clear();
      if (!writeAll(buffer.data(), n * 2u)) break;
      written += n;
      paced += n;
      const auto due = began + std::chrono::microseconds(static_cast<int64_t>(paced / (2.0 * speed)));
      // A program that fell behind is not made up for with a burst.
      if (Clock::now() > due + 1s) {
        began = Clock::now();
        paced = 0;
      }
      std::this_thread::sleep_until(due);
    }
    idle = true;
  }
  bool writeAll(const uint8_t* bytes, size_t length) {
    while (length > 0 && !stopping && !paused) {
      const ssize_t n = write(fd, bytes, length);
      if (n > 0) {
        bytes += n;
        length -= static_cast<size_t>(n);
      } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, 100);
      } else {
        failed = true;
        return false;
      }
    }
    return length == 0;
  }

  const SynthScenario scenario;
  const int fd;
  const double speed;
  SentWindow& window;
  std::atomic<bool> stopping{false}, paused{false}, idle{false}, failed{false};
  std::atomic<uint64_t> written{0};
  std::thread thread;
};

}  // namespace longrun
