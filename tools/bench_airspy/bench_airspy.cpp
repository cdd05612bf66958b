// velkaro-bench-airspy: runs the Airspy demodulator, through its worker pool, on a recording of raw
// real samples as libairspy hands them over, writes the frames it finds as AVR-MLAT text to
// standard output and its throughput to standard error.

#include "app/application.h"
#include "app/logger.h"
#include "decode/feed_encoding.h"
#include "sdr/airspy_decoder.h"
#include "sdr/airspy_device.h"
#include "tools/bench_airspy/memory_receiver.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

namespace {

const char* usage =
    "usage: velkaro-bench-airspy [options] FILE\n"
    "Demodulates FILE, raw 12-bit real samples in libairspy's layout (one sample per\n"
    "little-endian 16-bit word, or with --packed 8 samples per three 32-bit words),\n"
    "and writes each frame as an AVR-MLAT line (@, 12 hex digits of the sample clock,\n"
    "the frame) to standard output; throughput goes to standard error.\n"
    "  --rate MSPS        sample rate in MS/s, a multiple of 2 (default 20)\n"
    "  --packed           the samples are packed\n"
    "  --workers N        demodulator worker threads (default 4)\n"
    "  --fecbits N        bits the demodulator may repair, 0 to 2 (default 1)\n"
    "  --decimation N     demodulate every Nth phase row only (default 1)\n"
    "  --crc-valid        only frames whose parity is clean\n"
    "  --block N          samples per block (default 131072)\n"
    "  --repeat N         demodulate the recording N times over (default 1)\n"
    "  --help             this text\n";

struct Options {
  std::string file;
  uint32_t rate = 20;
  bool packed = false;
  uint32_t workers = 4;
  uint32_t fecBits = 1;
  uint32_t decimation = 1;
  bool crcValid = false;
  uint32_t block = 131072;
  uint32_t repeat = 1;
};

bool number(const char* text, uint32_t low, uint32_t high, uint32_t& out) {
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (end == text || *end != '\0' || value < low || value > high) return false;
  out = static_cast<uint32_t>(value);
  return true;
}

// 0: go on; 1: help written; 2: usage error.
int parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--help") {
      std::cout << usage;
      return 1;
    } else if (a == "--packed") {
      o.packed = true;
    } else if (a == "--crc-valid") {
      o.crcValid = true;
    } else if (a == "--rate" && hasValue && number(argv[++i], 2, 500, o.rate) && o.rate % 2 == 0) {
    } else if (a == "--workers" && hasValue && number(argv[++i], 0, 255, o.workers)) {
    } else if (a == "--fecbits" && hasValue && number(argv[++i], 0, 255, o.fecBits)) {
    } else if (a == "--decimation" && hasValue && number(argv[++i], 0, 255, o.decimation)) {
    } else if (a == "--block" && hasValue && number(argv[++i], 8, 1u << 24, o.block)) {
    } else if (a == "--repeat" && hasValue && number(argv[++i], 1, 1000000, o.repeat)) {
    } else if (!a.empty() && a[0] != '-' && o.file.empty()) {
      o.file = a;
    } else {
      std::cerr << "velkaro-bench-airspy: bad argument " << a << "\n" << usage;
      return 2;
    }
  }
  if (o.file.empty()) {
    std::cerr << usage;
    return 2;
  }
  if (o.packed && o.block % 8 != 0) {
    std::cerr << "velkaro-bench-airspy: --block must be a multiple of 8 with --packed\n";
    return 2;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (const int r = parse(argc, argv, o)) return r == 1 ? 0 : 2;

  std::ifstream in(o.file, std::ios::binary);
  std::vector<uint8_t> stream((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.eof() && !in) {
    std::cerr << "velkaro-bench-airspy: cannot read " << o.file << "\n";
    return 1;
  }
  setConsoleOutput(false, LoggingLevel::INFO);

  Application app;
  Config& config = *app.config;
  config.useAirspy = true;
  config.airspySampleRate = o.rate;
  config.airspyPacking = o.packed;
  config.airspyWorkers = static_cast<uint8_t>(o.workers);
  config.airspyFecBits = static_cast<uint8_t>(o.fecBits);
  config.airspyDecimation = static_cast<uint8_t>(o.decimation);
  config.airspyCrcValidOnly = o.crcValid;

  const uint64_t samples = o.packed ? stream.size() / 12 * 8 : stream.size() / 2;
  auto owned = std::make_unique<MemoryAirspyReceiver>(std::move(stream), o.rate * 1000000u, o.packed, o.block,
                                                      o.repeat);
  MemoryAirspyReceiver* receiver = owned.get();
  MemoryAirspyDriver driver(std::move(owned));

  std::string out;
  uint64_t frames = 0;
  std::chrono::duration<double> elapsed{};
  try {
    app.device = openAirspyDevice(app, driver);
    app.decoder = app.device->createDecoder(app);
    app.decoder->setFrameOutput([&](const uint8_t* bytes, uint32_t length, uint64_t time, uint8_t) {
      out += encodeAvrMlat(bytes, length, time);
      ++frames;
      if (out.size() > (1u << 16)) {
        std::fwrite(out.data(), 1, out.size(), stdout);
        out.clear();
      }
    });
    app.decoder->start();
    const auto begin = std::chrono::steady_clock::now();
    app.device->start();
    receiver->waitEnd();
    elapsed = std::chrono::steady_clock::now() - begin;
    app.device->stop();
    app.decoder->stop();
  } catch (const std::exception& e) {
    std::cerr << "velkaro-bench-airspy: " << e.what() << "\n";
    return 1;
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);

  const double seconds = elapsed.count();
  const double demodulated = static_cast<double>(samples) * o.repeat;
  const double realTime = demodulated / (o.rate * 1e6);
  std::fprintf(stderr,
               "%.0f samples at %u MS/s (%.2f s of signal) in %.3f s: %.1f x real time, %.1f Msamples/s, "
               "%llu frames\n",
               demodulated, o.rate, realTime, seconds, seconds > 0 ? realTime / seconds : 0.0,
               seconds > 0 ? demodulated / seconds / 1e6 : 0.0, static_cast<unsigned long long>(frames));
  return 0;
}
