#pragma once
// What several fuzz targets share: an application whose statistics hold a few aircraft, built
// from real frames through the decoder with the host clock pinned, as the web page sees it; and
// an output stream that throws everything away.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <streambuf>
#include <string>

#include "app/application.h"
#include "app/config.h"
#include "app/host_clock.h"
#include "app/logger.h"
#include "decode/message.h"
#include "decode/message_decoder.h"
#include "decode/receiver_position.h"
#include "decode/statistics.h"
#include "tests/decode/squitter_frames.h"

// Fails the run the way a sanitizer does, so that libFuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

namespace fuzz_support {

constexpr uint32_t kClock = 1500000000;

class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// Log lines stay in the logger's ring for the web page; none reaches the console. The ring (of
// 1000 lines) is filled first: while it grows, every input that logs keeps memory, and libFuzzer
// then runs a leak scan of the whole heap after it.
inline void setQuietLogging() {
  setConsoleOutput(false, LoggingLevel::INFO);
  for (int i = 0; i < 1000; ++i) logInfo("fuzz warm-up");
}

// The application of the web interface, made once per fuzz process: statistics, a receiver
// position and a few aircraft: identified, positioned with a trail, moving, with a squawk.
class StatsApplication {
 public:
  StatsApplication() {
    setQuietLogging();
    setHostSecondsForTest(kClock);
    // Its signal set would take SIGINT and SIGTERM from the fuzzer.
    app.signals.reset();
    app.config->googleKey = "fuzz-key";
    app.config->referencePointGiven = true;
    app.config->referencePoint = ReferencePoint{"ref \"point\"", 51.5f, -0.1f};
    app.config->additionalPoints.push_back(ReferencePoint{"extra\npoint", 52.0f, 1.0f});
    app.receiverPosition->fix(51.47, -0.45);
    app.statistics = std::make_unique<Statistics>(*app.config, app.receiverPosition.get(), nullptr, 0);
    // Two of them, and one only heard in Mode S, are still in view at the pinned time.
    fly(0x4CA123, "RYR12AB", 51.6, -0.3, 36000, 0);
    fly(0x400ABC, "BAW9", 51.2, -0.9, 4000, 30);
    fly(0xA00001, "", 52.1, 0.4, 41000, 58);
    feed(frame_builder::identificationFrame(0x3C6DD4, "DLH4LK", kClock - 100));
    feed(frame_builder::squawkFrame(0x3C6DD4, 7700, kClock - 99));
    feed(frame_builder::squawkFrame(0x71BE01, 2000, kClock - 2));
    logInfo("fuzz application ready");
  }

  Application app;

 private:
  bool feed(const ModesData& frame) {
    Message message;
    if (!decoder.decode(frame, message)) return false;
    app.statistics->onMessage(frame, message);
    return true;
  }

  // Positions a few seconds apart, so that pairs decode and the aircraft gains a trail.
  void fly(uint32_t address, const std::string& callsign, double lat, double lon, int feet, uint32_t offset) {
    const uint32_t start = kClock - 80 + offset;
    using namespace frame_builder;
    if (!callsign.empty()) feed(identificationFrame(address, callsign, start));
    for (uint32_t i = 0; i < 8; ++i) {
      feed(positionFrame(address, lat + 0.002 * i, lon + 0.003 * i, feet + 100 * static_cast<int>(i), i % 2 == 1,
                         start + 1 + 2 * i));
    }
    feed(velocityFrame(address, 120, -300, 576, start + 20));
    feed(squawkFrame(address, 1000 + static_cast<int>(offset), start + 21));
  }

  MessageDecoder decoder;
};

}  // namespace fuzz_support
