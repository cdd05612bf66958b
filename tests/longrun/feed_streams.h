#pragma once
// The feeds of a long run read back as they come: each feed's bytes parsed into records on the
// reader's own thread, kept only until the checker has compared them, so that hours of feed
// data never pile up in the test.

#include "e2e/feed_frames.h"
#include "e2e/process_harness.h"
#include "output/sbs_frame.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace longrun {

using Clock = std::chrono::steady_clock;

inline void setNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

struct FeedRecord {
  uint64_t timestamp = 0;      // as the feed carries it: 48 bits, AVR-MLAT AirSpy 32, SBS-3 24
  std::vector<uint8_t> bytes;  // the frame; SBS-3: the frame without its parity, then the residue
  std::string line;            // MSG
};

enum class Feed { Beast, Avr, AvrMlat, AvrMlatAirspy, Sbs3, Msg };

inline const char* feedName(Feed feed) {
  switch (feed) {
    case Feed::Beast:
      return "BEAST";
    case Feed::Avr:
      return "AVR";
    case Feed::AvrMlat:
      return "AVR-MLAT";
    case Feed::AvrMlatAirspy:
      return "AVR-MLAT AirSpy";
    case Feed::Sbs3:
      return "SBS-3";
    case Feed::Msg:
      return "MSG";
  }
  return "?";
}

inline bool hexBytes(const std::string& text, std::vector<uint8_t>& out) {
  if (text.size() % 2 != 0) return false;
  out.clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    int value = 0;
    for (size_t j = i; j < i + 2; ++j) {
      const char c = text[j];
      const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (digit < 0) return false;
      value = value * 16 + digit;
    }
    out.push_back(static_cast<uint8_t>(value));
  }
  return true;
}

inline bool frameLength(size_t n) { return n == 2 || n == 7 || n == 14; }

// Each parser takes what it can from the front of `in` and returns how much; a partial record
// waits for more. A malformed record sets `error` and stops the stream there.
using Parser = size_t (*)(const std::string& in, std::vector<FeedRecord>& out, std::string& error);

inline size_t parseBeast(const std::string& in, std::vector<FeedRecord>& out, std::string& error) {
  size_t at = 0;
  while (at + 2 <= in.size()) {
    const char type = in[at + 1];
    const size_t n = type == '1' ? 2 : type == '2' ? 7 : type == '3' ? 14 : 0;
    if (in[at] != '\x1A' || n == 0) {
      error = "BEAST: a record starts with " + hex({uint8_t(in[at]), uint8_t(in[at + 1])});
      return at;
    }
    std::vector<uint8_t> body;  // timestamp, signal, frame with the doubled 0x1A undone
    size_t p = at + 2;
    while (body.size() < 7 + n && p < in.size()) {
      if (in[p] == '\x1A') {
        if (p + 1 >= in.size()) break;
        if (in[p + 1] != '\x1A') {
          error = "BEAST: a single 0x1A inside a record";
          return at;
        }
        ++p;
      }
      body.push_back(static_cast<uint8_t>(in[p++]));
    }
    if (body.size() < 7 + n) break;
    FeedRecord record;
    for (int i = 0; i < 6; ++i) record.timestamp = record.timestamp << 8 | body[i];
    record.bytes.assign(body.begin() + 7, body.end());
    out.push_back(std::move(record));
    at = p;
  }
  return at;
}

// Whole lines only: the text up to the last CRLF.
inline size_t completeLines(const std::string& in) {
  const size_t end = in.rfind("\r\n");
  return end == std::string::npos ? 0 : end + 2;
}

inline size_t parseAvrMlatLines(const std::string& in, std::vector<FeedRecord>& out, std::string& error) {
  const size_t end = completeLines(in);
  for (const FeedFrame& frame : parseAvrMlat(in.substr(0, end))) {
    if (!frameLength(frame.bytes.size())) {
      error = "AVR-MLAT: a frame of " + std::to_string(frame.bytes.size()) + " bytes";
      return 0;
    }
    FeedRecord record;
    record.timestamp = frame.timestamp;
    record.bytes = frame.bytes;
    out.push_back(std::move(record));
  }
  return end;
}

// "*HEX;" (AVR) and "*HEX;TTTTTTTT;FF;" (AVR-MLAT AirSpy, with its 32-bit time and its factor
// field, "01" for a 2 MS/s receiver).
inline size_t parseStarLines(const std::string& in, std::vector<FeedRecord>& out, std::string& error, bool timed) {
  const size_t end = completeLines(in);
  size_t start = 0;
  for (size_t at; start < end && (at = in.find("\r\n", start)) != std::string::npos; start = at + 2) {
    const std::string line = in.substr(start, at - start);
    const size_t semicolon = line.find(';');
    FeedRecord record;
    bool good = line.size() > 2 && line[0] == '*' && semicolon != std::string::npos &&
                hexBytes(line.substr(1, semicolon - 1), record.bytes) && frameLength(record.bytes.size());
    if (good && timed) {
      std::vector<uint8_t> time, factor;
      good = line.size() == semicolon + 1 + 9 + 3 && hexBytes(line.substr(semicolon + 1, 8), time) &&
             line[semicolon + 9] == ';' && line.compare(semicolon + 10, 3, "01;") == 0;
      for (uint8_t b : time) record.timestamp = record.timestamp << 8 | b;
    } else if (good) {
      good = semicolon + 1 == line.size();
    }
    if (!good) {
      error = std::string(timed ? "AVR-MLAT AirSpy" : "AVR") + ": line \"" + line + "\"";
      return start;
    }
    out.push_back(std::move(record));
  }
  return end;
}
inline size_t parseAvrLines(const std::string& in, std::vector<FeedRecord>& out, std::string& error) {
  return parseStarLines(in, out, error, false);
}
inline size_t parseAvrMlatAirspyLines(const std::string& in, std::vector<FeedRecord>& out, std::string& error) {
  return parseStarLines(in, out, error, true);
}

// DLE STX, payload, DLE ETX, CRC high and low, every DLE of payload and CRC doubled. Data
// payloads (types 1, 5, 7, 9) become records; the login's replies are passed over.
inline size_t parseSbs3(const std::string& in, std::vector<FeedRecord>& out, std::string& error) {
  size_t at = 0;
  while (at + 2 <= in.size()) {
    if (in[at] != '\x10' || in[at + 1] != '\x02') {
      error = "SBS-3: a frame starts with " + hex({uint8_t(in[at]), uint8_t(in[at + 1])});
      return at;
    }
    std::vector<uint8_t> payload, crc;
    bool ended = false;
    size_t p = at + 2;
    while (crc.size() < 2 && p < in.size()) {
      uint8_t byte = static_cast<uint8_t>(in[p]);
      if (byte == 0x10) {
        if (p + 1 >= in.size()) break;
        const uint8_t next = static_cast<uint8_t>(in[p + 1]);
        if (next == 0x03 && !ended) {
          ended = true;
          p += 2;
          continue;
        }
        if (next != 0x10) {
          error = "SBS-3: DLE followed by " + hex({next});
          return at;
        }
        ++p;
      }
      (ended ? crc : payload).push_back(byte);
      ++p;
    }
    if (crc.size() < 2) break;
    if (sbsCrc16(payload.data(), payload.size()) != (crc[0] << 8 | crc[1])) {
      error = "SBS-3: CRC wrong on " + hex(payload);
      return at;
    }
    const uint8_t type = payload.empty() ? 0 : payload[0];
    if (type == 1 || type == 5 || type == 7 || type == 9) {
      const size_t frame = type == 9 ? 2 : type == 7 ? 7 : 14;
      if (payload.size() != 5 + frame || payload[1] != 0) {
        error = "SBS-3: data payload " + hex(payload);
        return at;
      }
      FeedRecord record;
      record.timestamp = payload[2] | payload[3] << 8 | uint32_t{payload[4]} << 16;
      record.bytes.assign(payload.begin() + 5, payload.end());
      out.push_back(std::move(record));
    }
    at = p;
  }
  return at;
}

inline size_t parseMsgLines(const std::string& in, std::vector<FeedRecord>& out, std::string& error) {
  const size_t end = completeLines(in);
  size_t start = 0;
  for (size_t at; start < end && (at = in.find("\r\n", start)) != std::string::npos; start = at + 2) {
    FeedRecord record;
    record.line = in.substr(start, at - start);
    if (record.line.rfind("MSG,", 0) != 0) {
      error = "MSG: line \"" + record.line + "\"";
      return start;
    }
    out.push_back(std::move(record));
  }
  return end;
}

inline Parser parserOf(Feed feed) {
  switch (feed) {
    case Feed::Beast:
      return parseBeast;
    case Feed::Avr:
      return parseAvrLines;
    case Feed::AvrMlat:
      return parseAvrMlatLines;
    case Feed::AvrMlatAirspy:
      return parseAvrMlatAirspyLines;
    case Feed::Sbs3:
      return parseSbs3;
    case Feed::Msg:
      return parseMsgLines;
  }
  return nullptr;
}

// The SBS-3 login, after which the port sends data.
inline const std::string sbsLogin("\x10\x02\x17\x01\x10\x03\x00\x00", 8);

// A client that connects before the first frame and reads everything until the program stops.
// Its records wait in a queue for the checker.
class FastClient {
 public:
  FastClient(Feed feed, uint16_t port) : feed(feed), parser(parserOf(feed)) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while ((fd = connectLoopback(port)) < 0 && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(20ms);
    if (fd < 0) return;
    if (feed == Feed::Sbs3 && send(fd, sbsLogin.data(), sbsLogin.size(), MSG_NOSIGNAL) != ssize_t(sbsLogin.size())) {
      close(fd);
      fd = -1;
      return;
    }
    reader = std::thread([this] { run(); });
  }
  ~FastClient() {
    stopping = true;
    if (reader.joinable()) reader.join();
    if (fd >= 0) close(fd);
  }
  FastClient(const FastClient&) = delete;
  FastClient& operator=(const FastClient&) = delete;

  bool connected() const { return fd >= 0; }
  Feed kind() const { return feed; }
  // Moves the records parsed so far to the end of `out`.
  void take(std::deque<FeedRecord>& out) {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& r : records) out.push_back(std::move(r));
    records.clear();
  }
  uint64_t bytesReceived() const { return received; }
  // Why the stream ended or broke off: "" while it is whole and open.
  std::string fault() {
    std::lock_guard<std::mutex> lock(mutex);
    return problem;
  }
  // Bytes left over that make no whole record (a stream cut inside one).
  size_t leftover() {
    std::lock_guard<std::mutex> lock(mutex);
    return pending.size();
  }

 private:
  void run() {
    std::vector<char> chunk(1 << 16);
    std::vector<FeedRecord> batch;
    while (!stopping) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      const ssize_t n = recv(fd, chunk.data(), chunk.size(), 0);
      if (n <= 0) {
        std::lock_guard<std::mutex> lock(mutex);
        if (problem.empty()) problem = std::string(feedName(feed)) + ": the connection ended";
        return;
      }
      received += static_cast<uint64_t>(n);
      std::string error;
      std::lock_guard<std::mutex> lock(mutex);
      if (!problem.empty()) continue;  // a broken stream is not parsed further
      pending.append(chunk.data(), static_cast<size_t>(n));
      batch.clear();
      const size_t used = parser(pending, batch, error);
      pending.erase(0, used);
      for (auto& r : batch) records.push_back(std::move(r));
      if (!error.empty()) problem = error;
    }
  }

  const Feed feed;
  const Parser parser;
  int fd = -1;
  std::thread reader;
  std::atomic<bool> stopping{false};
  std::atomic<uint64_t> received{0};
  std::mutex mutex;
  std::string pending;
  std::vector<FeedRecord> records;
  std::string problem;
};

}  // namespace longrun
