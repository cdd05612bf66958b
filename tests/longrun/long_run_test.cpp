// A long run of the real program with every output in use, to show that it neither leaks nor
// stalls: the synthesiser's traffic at many times real time through a FIFO; every feed with
// clients that stay and read everything, clients that come and go and clients that read little
// or nothing; the page's polls; the BaseStation database; the GPS emulation on a pseudo-terminal.
// Its memory and descriptors are sampled all along and printed as a table (and a CSV file);
// the feeds' records are compared with each other and with what was sent as they come.
//
//   velkaro_long_run [--minutes M] [--speed X] [--csv FILE] [--program PATH]
// or VELKARO_LONGRUN_MINUTES / VELKARO_LONGRUN_SPEED; 10 minutes at 25 times real time by default.
// --program runs another build, or a script that execs the program under a heap profiler (the
// samples are of the process started, so the script must exec).

#include "e2e/feed_frames.h"
#include "e2e/process_harness.h"
#include "longrun/churn_clients.h"
#include "longrun/feed_checker.h"
#include "longrun/feed_streams.h"
#include "longrun/gps_device.h"
#include "longrun/page_poller.h"
#include "longrun/process_samples.h"
#include "longrun/signal_source.h"
#include "output/database_fixture.h"
#include "output/serial_test_support.h"
#include "support/run_program.h"
#include "tools/synth/scenario.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace longrun;

struct Options {
  double minutes = 10;
  double speed = 25;
  std::string csv = VELKARO_LONGRUN_CSV;
  std::string program = VELKARO_BINARY;
} options;

// Memory levels off when the last third of the run holds at most this much above the second.
constexpr double rssGrowthLimitMiB = 4;
// A feed client that does not keep up may cost the program this much before it is cut off
// (three times the bytes the program lets wait for one client), beyond what it holds anyway.
constexpr double slowClientLimitMiB = 3 * 4;
constexpr double rssMarginMiB = 32;
constexpr auto pollBound = std::chrono::milliseconds(2000);
constexpr uint32_t followed = 0x4840D6;

// Forty aircraft around Amsterdam, every one turning so that it stays in view however long the
// run: two on the ground, one without ADS-B (trusted only once heard often enough), one in an
// emergency, one with SPI. Some extended squitters carry one or two inverted bits, which the
// program repairs; no two transmissions share air time, so every frame that comes out is one
// that was sent, but for the rare one damaged on the air that the filter lets through.
struct Fleet {
  std::set<uint32_t> squittering;  // heard from the first seconds on
  uint32_t replyingOnly = 0;       // trusted once heard for a minute
};

std::string scenarioText(Fleet& fleet) {
  std::ostringstream out;
  out << "seed 20261\nnoise -32\ntiming random\nfreq-offset 15000\nerrors 0.02 0.005\ncollisions avoid\n";
  // Country blocks the program's filter knows; an even step keeps any two addresses from
  // differing in the last bit alone.
  const uint32_t blocks[] = {0x484000, 0x3C6000, 0x400A00, 0x300200, 0x39C000, 0x44C000, 0x4B1800, 0x461F00};
  for (int i = 0; i < 40; ++i) {
    const uint32_t address = i == 0 ? followed : blocks[i % 8] + 0x1F2 * static_cast<uint32_t>(i);
    char icao[8];
    std::snprintf(icao, sizeof icao, "%06X", address);
    char squawk[8];
    std::snprintf(squawk, sizeof squawk, "%04o", i == 7 ? 07700 : 02000 + i);
    out << "aircraft " << icao << " callsign=LR" << 100 + i << " squawk=" << squawk;
    out << " lat=" << 52.3 + ((i * 7) % 21 - 10) * 0.04 << " lon=" << 4.8 + ((i * 11) % 21 - 10) * 0.06;
    out << " level=" << 17 + (i * 3) % 11 << " replies=" << 0.5 + (i % 4) * 0.5;
    if (i % 20 == 19) {
      out << " ground=yes track=" << (i * 47) % 360 << " gs=" << (i == 19 ? 12 : 0) << " turn=2";
    } else {
      out << " track=" << (i * 47) % 360 << " gs=" << 180 + (i * 37) % 300 << " alt=" << 3000 + (i * 1700) % 36000
          << " turn=" << (i % 2 ? -1 : 1) * (0.2 + (i % 5) * 0.15);
      if (i % 6 == 3) out << " vrate=" << (i % 12 == 3 ? 1500 : -1000) << " target-alt=" << 4000 + (i * 2300) % 33000;
    }
    if (i == 11) out << " spi=yes";
    if (i % 9 == 4) out << " level-jitter=1.5";
    if (i == 29) {
      out << " adsb=no df11=no";
      fleet.replyingOnly = address;
    } else {
      fleet.squittering.insert(address);
    }
    out << "\n";
  }
  return out.str();
}

// The program's log lines that begin with `level` ("WARNING", "ERROR"), counted by their text
// with the numbers and addresses left out.
std::map<std::string, int> logLinesOf(const std::string& output, const std::string& level) {
  std::map<std::string, int> lines;
  for (const std::string& text : logTexts(output)) {
    if (text.rfind(level, 0) != 0) continue;
    std::string shape;
    for (char c : text) {
      if (!isdigit(static_cast<unsigned char>(c)) || shape.empty() || shape.back() != '#')
        shape += isdigit(static_cast<unsigned char>(c)) ? '#' : c;
    }
    ++lines[shape];
  }
  return lines;
}

int countOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class LongRun : public ::testing::Test {
 protected:
  void SetUp() override {
    std::signal(SIGPIPE, SIG_IGN);
    raiseDescriptorLimit();
    dir = fs::temp_directory_path() / ("velkaro-longrun-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }
  fs::path dir;
};

TEST_F(LongRun, NeitherLeaksNorStallsWithEveryOutputInUse) {
  const auto runTime = std::chrono::milliseconds(static_cast<int64_t>(options.minutes * 60000));
  const auto sampleEvery = std::clamp(runTime / 40, std::chrono::milliseconds(2000), std::chrono::milliseconds(15000));
  std::printf("long run: %.2f minutes at %.0f times real time, a sample every %.0f s\n", options.minutes, options.speed,
              sampleEvery.count() / 1000.0);

  Fleet fleet;
  const SynthScenario scenario = parseSynthScenarioText(scenarioText(fleet));

  const std::string baseStation = (dir / "basestation.sqb").string(), flightRoute = (dir / "flightroute.sqb").string();
  int status = -1;
  const std::string made = dbtest::run(std::string(VELKARO_SOURCE_DIR) + "/tools/basestation/make-databases.sh " +
                                           shellQuote(baseStation) + " " + shellQuote(flightRoute) + " 2>&1",
                                       &status);
  ASSERT_EQ(status, 0) << made;
  dbtest::query(flightRoute,
                "INSERT INTO FlightRoute (flight, route, updatetime) VALUES ('LR100', 'EHAM-LFPG', 1), "
                "('LR101', 'EHAM-EGLL', 1), ('LR102', 'EHAM-EDDF', 1);");

  serialtest::PtyPair line((dir / "gps").string(), (dir / "gps-device").string());
  ASSERT_TRUE(line.start()) << "socat";
  GpsDevice device(line.farPath());
  ASSERT_TRUE(device.isOpen());

  const std::string fifo = (dir / "input.fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

  char followedHex[8];
  std::snprintf(followedHex, sizeof followedHex, "%06X", followed);

  // Another test may take a port between the look-up and the program's bind: try again.
  Ports ports;
  std::unique_ptr<ChildProcess> velkaro;
  std::vector<std::unique_ptr<FastClient>> fast;
  for (int attempt = 0; attempt < 3 && !velkaro; ++attempt) {
    std::set<uint16_t> taken;
    auto port = [&] {
      uint16_t p;
      while (!taken.insert(p = freeTcpPort()).second) {
      }
      return p;
    };
    ports = {port(), port(), port(), port(), port(), port(), port()};
    std::vector<std::string> arguments = {options.program,
                                          "--input-file",
                                          "rtl:" + fifo,
                                          "--web",
                                          std::to_string(ports.web),
                                          "--db",
                                          baseStation,
                                          "--frdb",
                                          flightRoute,
                                          "--nmea",
                                          std::string(followedHex) + ":" + line.nearPath() + ":4800"};
    const std::pair<const char*, uint16_t> feeds[] = {
        {"--beast", ports.beast},     {"--avr", ports.avr},
        {"--avrmlat", ports.avrMlat}, {"--avrmlatas", ports.avrMlatAirspy},
        {"--sbs10001", ports.sbs3},   {"--msg", ports.msg}};
    for (const auto& [option, p] : feeds) {
      arguments.push_back(option);
      arguments.push_back(std::to_string(p));
    }
    auto child = std::make_unique<ChildProcess>(arguments);
    // BEAST first: the others are compared with it; two on MSG, compared with each other.
    const std::pair<Feed, uint16_t> clients[] = {
        {Feed::Beast, ports.beast},     {Feed::Avr, ports.avr},
        {Feed::AvrMlat, ports.avrMlat}, {Feed::AvrMlatAirspy, ports.avrMlatAirspy},
        {Feed::Sbs3, ports.sbs3},       {Feed::Msg, ports.msg},
        {Feed::Msg, ports.msg}};
    fast.clear();
    for (const auto& [feed, p] : clients) fast.push_back(std::make_unique<FastClient>(feed, p));
    const bool all = std::all_of(fast.begin(), fast.end(), [](const auto& c) { return c->connected(); });
    if (all && child->waitForOutput("Connected", fast.size(), 10s) && child->waitForOutput("SBS-3 LOGIN", 1, 10s)) {
      velkaro = std::move(child);
    } else {
      fast.clear();
      ASSERT_EQ(child->wait(10s), 1) << "not a failed start: " << child->text();
    }
  }
  ASSERT_TRUE(velkaro) << "no start in three attempts";
  ASSERT_TRUE(velkaro->waitForOutput("SerialPort " + line.nearPath() + " connected", 1, 5s)) << velkaro->text();
  const pid_t pid = velkaro->id();

  PagePoller page(ports.web, pollBound);
  page.start(1000ms);

  const int input = openFifoForWriting(fifo, *velkaro, 20s);
  ASSERT_GE(input, 0) << velkaro->text();
  SentWindow sent;
  std::vector<FastClient*> framed;
  for (size_t i = 1; i + 2 < fast.size(); ++i) framed.push_back(fast[i].get());
  Checker checker(*fast[0], framed, *fast[5], *fast[6], sent);
  auto source = std::make_unique<SignalSource>(scenario, input, options.speed, sent);
  const auto began = Clock::now();

  ChurnClients churn(ports, 7);
  SlowClients slow(ports);
  Table table(options.csv);
  std::vector<Sample> samples;
  auto takeSample = [&] {
    Sample s = sampleOf(pid);
    s.minutes = std::chrono::duration<double>(Clock::now() - began).count() / 60.0;
    s.frames = checker.frames();
    s.polls = page.answered();
    s.clients = churn.opened() + slow.opened();
    s.sentences = device.sentences();
    samples.push_back(s);
    table.add(s);
    return s;
  };

  // The steady figure of descriptors: the program with its long-lived clients only, once the
  // signal flows (the database and route look-ups open theirs on first use).
  auto nextSample = began + 5s;
  std::this_thread::sleep_until(nextSample);
  checker.run();
  const int steadyDescriptors = takeSample().fds;
  churn.start(100ms);
  slow.start(250ms);

  bool alive = true;
  while (Clock::now() < began + runTime) {
    std::this_thread::sleep_for(100ms);
    checker.run();
    if (!velkaro->running() || source->failedToWrite()) {
      alive = false;
      break;
    }
    if (Clock::now() >= nextSample + sampleEvery) {
      nextSample += sampleEvery;
      takeSample();
    }
  }
  ASSERT_TRUE(alive) << "the program ended during the run:\n" << velkaro->text().substr(0, 20000);
  takeSample();

  // The end: the churning and slow clients leave, the signal stops with the FIFO still open, and
  // the feeds go quiet.
  churn.stop();
  slow.stop();
  source->pause();
  {
    uint64_t lastBytes = UINT64_MAX;
    auto quietSince = Clock::now();
    for (const auto end = Clock::now() + 60s; Clock::now() < end;) {
      std::this_thread::sleep_for(100ms);
      checker.run();
      uint64_t bytes = 0;
      for (const auto& c : fast) bytes += c->bytesReceived();
      if (bytes != lastBytes) {
        lastBytes = bytes;
        quietSince = Clock::now();
      } else if (Clock::now() - quietSince > 2s) {
        break;
      }
    }
  }
  checker.run();

  // No fast client lost a frame or saw one it should not have.
  for (const auto& c : fast) {
    EXPECT_EQ(c->fault(), "");
    EXPECT_EQ(c->leftover(), 0u) << feedName(c->kind()) << " ends inside a record";
  }
  for (const std::string& p : checker.problems()) ADD_FAILURE() << p;
  for (const std::string& u : checker.unmatched()) ADD_FAILURE() << u;
  EXPECT_EQ(checker.framesNotSent(), 0u);
  // Damage on the air is rare on signals this strong, and every aircraft was heard.
  EXPECT_LT(checker.framesDamaged() + checker.framesInside(), checker.frames() / 100 + 10);
  // A piece of a frame read again at a later start is no frame of its own.
  EXPECT_EQ(checker.framesInside(), 0u) << "frames found inside others";
  for (uint32_t a : fleet.squittering) EXPECT_EQ(checker.addressesHeard().count(a), 1u) << std::hex << a;
  if (options.minutes >= 2) {
    EXPECT_EQ(checker.addressesHeard().count(fleet.replyingOnly), 1u) << "the aircraft without ADS-B";
  }
  for (uint32_t a : checker.msgAddressesNotHeard())
    ADD_FAILURE() << "MSG lines of an address no frame had: " << std::hex << a;
  EXPECT_GT(checker.frames(), 0u);
  EXPECT_GT(checker.msgLines(), checker.frames() / 2);
  EXPECT_LE(checker.msgLines(), checker.frames());
  // What the program says it decoded is what the clients got.
  const std::string counters = page.ask(R"({"req":"getStats","data":{"statsType":"counters"}})");
  EXPECT_EQ(jsonInteger(counters, "TOTAL_MSG"), static_cast<int64_t>(checker.frames())) << counters.substr(0, 400);

  // The descriptors of the clients that have gone are closed.
  int finalDescriptors = descriptorCount(pid);
  for (const auto end = Clock::now() + 40s; finalDescriptors > steadyDescriptors && Clock::now() < end;) {
    std::this_thread::sleep_for(500ms);
    finalDescriptors = descriptorCount(pid);
  }
  EXPECT_LE(finalDescriptors, steadyDescriptors) << "descriptors now:\n" << descriptorTargets(pid);
  const Sample last = takeSample();

  page.stop();
  for (const std::string& f : page.faults()) ADD_FAILURE() << "web: " << f;

  // The orderly stop.
  const auto signalled = Clock::now();
  velkaro->signal(SIGTERM);
  const int exitStatus = velkaro->wait(10s);
  const double stopSeconds = std::chrono::duration<double>(Clock::now() - signalled).count();
  const uint64_t signalSamples = source->samples();
  source.reset();
  close(input);
  const std::string output = velkaro->text();
  EXPECT_EQ(exitStatus, 0);
  EXPECT_LT(stopSeconds, 5.0);
  const auto log = logTexts(output);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), "INFO     Closed successfully");
  EXPECT_EQ(dbtest::query(baseStation, "SELECT COUNT(*), COUNT(EndTime) FROM Sessions;"), "1|1");
  // Every aircraft heard has its flight, and every flight is closed.
  const std::string heard = std::to_string(checker.addressesHeard().size());
  EXPECT_EQ(dbtest::query(baseStation, "SELECT COUNT(*) = COUNT(EndTime), COUNT(DISTINCT AircraftID) FROM Flights;"),
            "1|" + heard);
  EXPECT_EQ(dbtest::query(baseStation, "SELECT COUNT(*) FROM Aircraft;"), heard);

  // Levelling off and never stalling.
  const double minutes = last.minutes;
  double second = 0, third = 0;
  for (const Sample& s : samples) {
    if (s.minutes >= minutes / 3 && s.minutes < 2 * minutes / 3) second = std::max(second, s.rssMiB);
    if (s.minutes >= 2 * minutes / 3) third = std::max(third, s.rssMiB);
  }
  EXPECT_LT(third - second, rssGrowthLimitMiB)
      << "RSS still growing: " << second << " MiB at most in the second third, " << third << " in the last";
  double highest = 0;
  for (const Sample& s : samples) highest = std::max(highest, s.rssMiB);
  const double allowed = samples.front().rssMiB + slow.feedClients() * slowClientLimitMiB + rssMarginMiB;
  EXPECT_LT(highest, allowed) << "RSS up to " << highest << " MiB for " << slow.feedClients()
                              << " feed clients that do not keep up";
  for (size_t i = 2; i + 1 < samples.size(); ++i) {
    EXPECT_GT(samples[i].frames, samples[i - 1].frames)
        << "no frames between minute " << samples[i - 1].minutes << " and " << samples[i].minutes;
    EXPECT_GT(samples[i].polls, samples[i - 1].polls) << "no web answers up to minute " << samples[i].minutes;
    EXPECT_GT(samples[i].sentences, samples[i - 1].sentences) << "no GPS sentences up to minute " << samples[i].minutes;
  }
  for (const std::string& f : device.faults()) ADD_FAILURE() << "GPS sentence: " << f;

  // Nothing the fast clients were owed was dropped, and no error was logged.
  const auto warnings = logLinesOf(output, "WARNING");
  for (const auto& [text, n] : warnings) {
    std::printf("  %6d x %s\n", n, text.c_str());
    EXPECT_EQ(text.find("overflow"), std::string::npos) << text;
  }
  for (const auto& [text, n] : logLinesOf(output, "ERROR")) ADD_FAILURE() << n << " x " << text;

  for (const std::string& d : checker.airFrames()) std::printf("  %s\n", d.c_str());
  using ull = unsigned long long;
  std::printf(
      "\n%.1f minutes of signal in %.1f; %llu frames passed on of %llu sent (%llu damaged on the air, %llu "
      "found inside others), %llu MSG lines\n",
      signalSamples / 2e6 / 60, minutes, ull(checker.frames()), ull(sent.sent()), ull(checker.framesDamaged()),
      ull(checker.framesInside()), ull(checker.msgLines()));
  std::printf("%llu web answers, the slowest in %lld ms\n", ull(page.answered()),
              static_cast<long long>(page.slowestMs()));
  std::printf(
      "%llu churning and slow connections: %d Connected and %d Disconnected lines, %llu slow web clients "
      "closed by the program\n",
      ull(churn.opened() + slow.opened()), countOf(output, "INFO     Connected "),
      countOf(output, "INFO     Disconnected "), ull(slow.closedByProgram()));
  std::printf("%llu GPS sentences; %d descriptors steady, %d at the end; %.2f s from SIGTERM to the end\n",
              ull(device.sentences()), steadyDescriptors, finalDescriptors, stopSeconds);
}

bool readNumber(const char* text, double& value) {
  char* end = nullptr;
  value = std::strtod(text, &end);
  return end != text && *end == '\0' && value > 0;
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const char* usage = "usage: velkaro_long_run [--minutes M] [--speed X] [--csv FILE] [--program PATH]\n";
  if (const char* m = std::getenv("VELKARO_LONGRUN_MINUTES"); m && !readNumber(m, options.minutes)) {
    std::fprintf(stderr, "VELKARO_LONGRUN_MINUTES is not a positive number\n");
    return 2;
  }
  if (const char* s = std::getenv("VELKARO_LONGRUN_SPEED"); s && !readNumber(s, options.speed)) {
    std::fprintf(stderr, "VELKARO_LONGRUN_SPEED is not a positive number\n");
    return 2;
  }
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--minutes" && hasValue && readNumber(argv[i + 1], options.minutes)) {
      ++i;
    } else if (arg == "--speed" && hasValue && readNumber(argv[i + 1], options.speed)) {
      ++i;
    } else if (arg == "--csv" && hasValue) {
      options.csv = argv[++i];
    } else if (arg == "--program" && hasValue) {
      options.program = argv[++i];
    } else {
      std::fprintf(stderr, "%s", usage);
      return 2;
    }
  }
  return RUN_ALL_TESTS();
}
