// Load test of the web page's "flights" poll: an aircraft table of 500 aircraft (real decoded
// frames of a synthetic corpus), the web server on 127.0.0.1, 20 keep-alive clients (wrk when
// installed), while a frame thread keeps feeding the pipeline. Prints replies per second for a
// new page (id 0) and a polling page (the serial of one corpus second ago: what a page that polls
// every second has missed), each with and without gzip, and the frame thread's rate meanwhile.
//
//   velkaro_bench_web [--seconds 5] [--rate FRAMES_PER_S (0: flat out)] [--client wrk|own]
//                     [--connections 20] [--aircraft 500] [--direct N (in-process only, N replies)]
//                     [--dump DIRECTORY (replies of a pinned-clock table, to compare two builds)]

#include "decode/statistics.h"
#include "json-server/jsonserver/src/gzip_string.h"
#include "tools/bench_web/load_clients.h"
#include "tools/bench_web/web_rig.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  double seconds = 5;
  uint32_t rate = 0;
  bool useWrk = true;
  int connections = 20;
  uint32_t aircraft = 500;
  int directOnly = 0;
  std::string dumpDirectory;
};

bool parseOptions(int argc, char** argv, Options& options) {
  options.useWrk = wrkAvailable();
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    if (name == "--seconds") {
      options.seconds = std::atof(value.c_str());
    } else if (name == "--rate") {
      options.rate = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
    } else if (name == "--client") {
      options.useWrk = value == "wrk";
    } else if (name == "--connections") {
      options.connections = std::atoi(value.c_str());
    } else if (name == "--aircraft") {
      options.aircraft = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
    } else if (name == "--dump") {
      options.dumpDirectory = value;
    } else if (name == "--direct") {
      options.directOnly = std::atoi(value.c_str());
    } else {
      return false;
    }
  }
  return options.seconds > 0 && options.connections > 0 && options.aircraft > 0;
}

std::string flightsBody(uint32_t id) {
  return "{\"req\":\"getStats\",\"data\":{\"statsType\":\"flights\",\"id\":" + std::to_string(id) + "}}";
}

std::string grouped(double value) {
  std::string digits = std::to_string(static_cast<uint64_t>(value + 0.5));
  for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3) digits.insert(static_cast<size_t>(i), ",");
  return digits;
}

size_t countOf(const std::string& text, const char* needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// The page serial a page polling every second would send.
uint32_t pollingSerial(const WebRig& rig) {
  const uint32_t serial = rig.serial();
  return serial > rig.messagesPerSecond() ? serial - rig.messagesPerSecond() : 1;
}

// In-process: the command and writer, then gzip, as the poll thread runs them per reply.
void runDirect(WebRig& rig, int count) {
  struct Kind {
    const char* name;
    bool incremental;
  } kinds[] = {{"full page", false}, {"incremental page", true}};
  std::printf("%-18s %10s %10s %10s %10s\n", "in-process", "reply ms", "gzip ms", "bytes", "gz bytes");
  for (const Kind& kind : kinds) {
    double build = 0;
    double zip = 0;
    size_t bytes = 0;
    size_t zipped = 0;
    for (int i = 0; i < count; ++i) {
      const std::string body = flightsBody(kind.incremental ? pollingSerial(rig) : 0);
      const auto t0 = Clock::now();
      const std::string text = rig.askDirect(body);
      const auto t1 = Clock::now();
      const std::string compressed = gzipString(text);
      const auto t2 = Clock::now();
      build += std::chrono::duration<double, std::milli>(t1 - t0).count();
      zip += std::chrono::duration<double, std::milli>(t2 - t1).count();
      bytes = text.size();
      zipped = compressed.size();
    }
    std::printf("%-18s %10.3f %10.3f %10s %10s\n", kind.name, build / count, zip / count, grouped(bytes).c_str(),
                grouped(zipped).c_str());
  }
}

// Replies of a table filled under a pinned clock, one file each: two builds must write the same.
int dumpReplies(WebRig& rig, const std::string& directory) {
  const uint32_t serial = rig.serial();
  std::string selected;
  {
    AircraftTable& table = rig.app.statistics->aircraftTable();
    std::lock_guard<std::mutex> lock(table.mutex());
    uint32_t lowest = 0xFFFFFFFF;
    for (const auto& entry : table.aircraft()) lowest = std::min(lowest, entry.first);
    char text[16];
    std::snprintf(text, sizeof text, "%06X", lowest);
    selected = text;
  }
  const auto getStats = [](const std::string& data) { return "{\"req\":\"getStats\",\"data\":{" + data + "}}"; };
  const std::string flights = "\"statsType\":\"flights\",\"id\":";
  const std::pair<const char*, std::string> requests[] = {
      {"full", getStats(flights + "0")},
      {"incremental", getStats(flights + std::to_string(serial - rig.messagesPerSecond()))},
      {"current", getStats(flights + std::to_string(serial))},
      {"selected", getStats(flights + std::to_string(serial - rig.messagesPerSecond()) + ",\"icao\":\"" + selected +
                            "\",\"tid\":" + std::to_string(serial - 2 * rig.messagesPerSecond()))},
      {"selected_whole", getStats(flights + "0,\"icao\":\"" + selected + "\",\"tid\":0")},
      {"tracks", getStats("\"statsType\":\"tracks\"")},
      {"track", getStats("\"statsType\":\"track\",\"icao\":\"" + selected + "\"")},
  };
  for (const auto& [name, body] : requests) {
    const std::string path = directory + "/" + name + ".json";
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      return 1;
    }
    const std::string text = rig.askDirect(body);
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
    std::printf("%-16s %9zu bytes\n", name, text.size());
  }
  return 0;
}

struct Row {
  std::string name;
  double replies = -1;  // -1: no HTTP load
  double bodyBytes = 0;
  double framesPerSecond = 0;
  FrameLatency latency;
  uint64_t failures = 0;
};

void printRows(const std::vector<Row>& rows, double idle) {
  std::printf("%-28s %10s %10s %12s %8s %10s %10s\n", "load", "replies/s", "body B", "frames/s", "vs idle",
              "p99.9 us", "max us");
  for (const Row& row : rows) {
    const std::string replies = row.replies < 0 ? "-" : grouped(row.replies);
    const std::string body = row.replies < 0 ? "-" : grouped(row.bodyBytes);
    char change[32];
    std::snprintf(change, sizeof change, "%+.1f %%", idle > 0 ? 100.0 * (row.framesPerSecond / idle - 1) : 0.0);
    std::printf("%-28s %10s %10s %12s %8s %10.1f %10.1f", row.name.c_str(), replies.c_str(), body.c_str(),
                grouped(row.framesPerSecond).c_str(), change, row.latency.p999Microseconds,
                row.latency.maxMicroseconds);
    if (row.failures != 0) std::printf("  (%llu failed)", static_cast<unsigned long long>(row.failures));
    std::printf("\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: %s [--seconds S] [--rate FRAMES_PER_S] [--client wrk|own] [--connections N] "
                 "[--aircraft N] [--direct N]\n",
                 argv[0]);
    return 2;
  }
  WebRigOptions rigOptions;
  rigOptions.aircraft = options.aircraft;
  rigOptions.frameRate = options.rate;
  if (!options.dumpDirectory.empty()) rigOptions.pinnedClock = 1500000000;
  WebRig rig(rigOptions);
  if (!rig.ready()) {
    std::fprintf(stderr, "set-up failed: %s\n", rig.failure().c_str());
    return 1;
  }
  std::printf("%zu aircraft, %u messages per corpus second, frames %s, %d connections (%s), %.0f s per row\n",
              rig.aircraftCount(), rig.messagesPerSecond(),
              options.rate == 0 ? "flat out" : (grouped(options.rate) + "/s").c_str(), options.connections,
              options.useWrk ? "wrk -t4" : "own client threads", options.seconds);
  if (!options.dumpDirectory.empty()) return dumpReplies(rig, options.dumpDirectory);
  runDirect(rig, options.directOnly > 0 ? options.directOnly : 20);
  if (options.directOnly > 0) return 0;

  rig.startFrames();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  rig.takeLatency();
  std::vector<Row> rows;
  const auto idleRow = [&](const char* name) {
    Row row;
    row.name = name;
    const uint64_t before = rig.frames();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(options.seconds));
    row.framesPerSecond = static_cast<double>(rig.frames() - before) /
                          std::chrono::duration<double>(Clock::now() - start).count();
    row.latency = rig.takeLatency();
    rows.push_back(row);
  };
  idleRow("no HTTP load");

  struct Kind {
    const char* name;
    bool incremental;
    bool gzip;
    bool tableFree;  // "ver": what the load itself (clients, sockets, poll thread) costs the frame thread
  } kinds[] = {{"full page, identity", false, false, false},
               {"full page, gzip", false, true, false},
               {"incremental page, identity", true, false, false},
               {"incremental page, gzip", true, true, false},
               {"version (no table), identity", false, false, true}};
  for (const Kind& kind : kinds) {
    const BodyMaker body = [&rig, &kind] {
      if (kind.tableFree) return std::string("{\"req\":\"getStats\",\"data\":{\"statsType\":\"ver\"}}");
      return flightsBody(kind.incremental ? pollingSerial(rig) : 0);
    };
    Row row;
    row.name = kind.name;
    std::string sample = fetchOnce(rig.port(), body(), kind.gzip);
    row.bodyBytes = static_cast<double>(sample.size());
    if (kind.gzip && !sample.empty()) {
      try {
        sample = gunzipString(sample);
      } catch (const std::exception&) {
        sample.clear();
      }
    }
    const char* const expected = kind.tableFree ? "{\"status\":\"OK\",\"stats\":{\"version\":"
                                                : "{\"status\":\"OK\",\"stats\":{\"M\":false,";
    if (sample.empty() || sample.compare(0, std::strlen(expected), expected) != 0 || sample.back() != '\n') {
      std::fprintf(stderr, "%s: bad reply: %.200s\n", kind.name, sample.c_str());
      return 1;
    }
    if (!kind.incremental && !kind.tableFree && countOf(sample, "\"I\":") < rig.aircraftCount() * 9 / 10) {
      std::fprintf(stderr, "%s: not every aircraft in the reply\n", kind.name);
      return 1;
    }
    rig.takeLatency();
    const uint64_t before = rig.frames();
    const auto start = Clock::now();
    const LoadResult result = options.useWrk
                                  ? runWrk(rig.port(), 4, options.connections, options.seconds, body,
                                           kind.incremental, kind.gzip)
                                  : runOwnClients(rig.port(), options.connections, options.seconds, body, kind.gzip);
    row.framesPerSecond = static_cast<double>(rig.frames() - before) /
                          std::chrono::duration<double>(Clock::now() - start).count();
    row.latency = rig.takeLatency();
    if (!result.error.empty()) {
      std::fprintf(stderr, "%s: %s\n", kind.name, result.error.c_str());
      return 1;
    }
    row.replies = result.repliesPerSecond();
    row.failures = result.failures;
    rows.push_back(row);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let the connections close
  }
  idleRow("no HTTP load, after");
  rig.stopFrames();
  printRows(rows, rows.front().framesPerSecond);
  return 0;
}
