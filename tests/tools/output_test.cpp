// The scenario text, the list of sent frames, and the program's file and stream outputs.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/tools/synth_fixture.h"
#include "tools/synth/sent_list.h"

namespace {

namespace fs = std::filesystem;

struct TempDir {
  fs::path path;
  TempDir() {
    char name[] = "/tmp/velkaro-synth-test-XXXXXX";
    path = mkdtemp(name);
  }
  ~TempDir() { fs::remove_all(path); }
  std::string file(const std::string& name) const { return (path / name).string(); }
};

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool haveProgram() { return fs::exists(VELKARO_SYNTH_BINARY); }

int runProgram(const std::string& arguments) {
  const int status = std::system((std::string(VELKARO_SYNTH_BINARY) + " " + arguments + " 2>/dev/null").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

const char* busyScenario =
    "duration 1.5\nseed 21\nnoise -32\nfreq-offset 20000\nerrors 0.1 0.05\nmodeac 2\noverlap 0.05\n"
    "aircraft 4840D6 callsign=KLM1023 lat=52 lon=4 track=90 gs=420 alt=31000 replies=4\n"
    "aircraft 3C6586 callsign=DLH4AB lat=52.3 lon=4.6 ground=yes gs=14 track=180 replies=4\n";

TEST(SentList, FormatsAndParsesBack) {
  const SynthRun run = runScenario(busyScenario, SynthIqType::Airspy6);
  std::string text = formatSynthSentHeader("airspy6", 3);
  for (const auto& f : run.result.frames) text += formatSynthSentFrame(f);
  std::istringstream in(text);
  SynthSentList list;
  std::string error;
  ASSERT_TRUE(readSynthSentList(in, list, &error)) << error;
  EXPECT_EQ(list.type, "airspy6");
  EXPECT_EQ(list.factor, 3u);
  ASSERT_EQ(list.frames.size(), run.result.frames.size());
  bool sawFlip = false, sawOverlap = false, sawModeAc = false;
  for (size_t i = 0; i < list.frames.size(); ++i) {
    const SynthSentFrame& a = list.frames[i];
    const SynthSentFrame& b = run.result.frames[i];
    EXPECT_EQ(a.sample, b.sample);
    EXPECT_NEAR(a.offset, b.offset, 0.0005);
    EXPECT_EQ(a.timestamp, b.sample * 6 / 3);
    EXPECT_EQ(a.bytes, b.bytes);
    EXPECT_EQ(a.length, b.length);
    EXPECT_NEAR(a.levelDb, b.levelDb, 0.05);
    EXPECT_EQ(a.flips, b.flips);
    EXPECT_EQ(a.overlap, b.overlap);
    EXPECT_EQ(a.kind, b.kind);
    sawFlip |= !a.flips.empty();
    sawOverlap |= a.overlap;
    sawModeAc |= a.length == 2;
  }
  EXPECT_TRUE(sawFlip && sawOverlap && sawModeAc);

  const char* bad[] = {
      "12 0.5 72 8D4840 14 15.0 - 0 ident",        // hex shorter than the length
      "12 0.5 72 8D4840D6202CC371C32CE057609X 14 15.0 - 0 ident",
      "12 0.5 72 0743 2 15.0 1,,2 0 modea",
      "12 0.5 72 0743 2 15.0 - 2 modea",
      "12 0.5 72 0743 2 15.0 -",
      "# velkaro-synth factor=123456789012345678901\n",
      "# velkaro-synth type=raw10 factor=5 rate=10000000 packing=tight\n",
      "# velkaro-synth type=raw10 factor=5 rate=10M packing=packed\n",
      "12 0.5 72 0743 2 15.0 - 0 modea 1212x",  // the demod column of a real type
      "12 0.5 72 0743 2 15.0 - 0 modea 1212 7",
  };
  for (const char* line : bad) {
    std::istringstream one(line);
    EXPECT_FALSE(readSynthSentList(one, list)) << line;
  }
}

TEST(Scenario, ParsesAircraftAndReportsTheLineOfAnError) {
  const SynthScenario s = parseSynthScenarioText(
      "# comment\nduration 12.5\nseed 99\nnoise off -40\ntiming aligned\nerrors 0.1 0.2 all\nflip 7 5 9\n\n"
      "aircraft abcdef callsign=klm_12 squawk=7700 lat=-33.9 lon=151.2 track=270 gs=140 alt=3000 vrate=-700 "
      "target-alt=1500 ground=no level=12 category=B2 spi=yes replies=0 modeac=3 # trailing comment\n");
  EXPECT_EQ(s.duration, 12.5);
  EXPECT_EQ(s.seed, 99u);
  EXPECT_FALSE(s.noise);
  EXPECT_EQ(s.noiseFloorDbfs, -40);
  EXPECT_TRUE(s.alignedTiming);
  EXPECT_TRUE(s.errorsInAllFormats);
  ASSERT_EQ(s.flips.size(), 1u);
  EXPECT_EQ(s.flips[0].bits, (std::vector<int>{5, 9}));
  ASSERT_EQ(s.aircraft.size(), 1u);
  const SynthAircraftParams& a = s.aircraft[0];
  EXPECT_EQ(a.address, 0xABCDEFu);
  EXPECT_EQ(a.callsign, "KLM 12");
  EXPECT_EQ(a.squawk, 07700u);
  EXPECT_EQ(a.categorySet, 3u);
  EXPECT_EQ(a.category, 2u);
  EXPECT_TRUE(a.hasTargetAltitude);
  EXPECT_EQ(a.modeAcRate, 3);

  const struct {
    const char* text;
    const char* error;
  } bad[] = {
      {"duration 5\nbogus 1\n", "line 2: unknown keyword"},
      {"aircraft 12345\n", "six hex digits"},
      {"aircraft 12345G\n", "not a valid number"},
      {"aircraft 123456 lat=91\n", "outside"},
      {"aircraft 123456 squawk=7800\n", "octal"},
      {"aircraft 123456 callsign=TOOLONGCS\n", "longer than 8"},
      {"aircraft 123456 callsign=AB-1\n", "not in A-Z"},
      {"aircraft 123456 speed=100\n", "unknown aircraft key"},
      {"aircraft 123456 gs\n", "key=value"},
      {"noise loud\n", "not a number"},
      {"errors 0.7 0.7\n", "more than 1"},
      {"flip 3 200\n", "too large"},
      {"flip 3 7 7\n", "must differ"},
      {"\n\nseed -1\n", "line 3"},
  };
  for (const auto& c : bad) {
    try {
      parseSynthScenarioText(c.text);
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const SynthScenarioError& e) {
      EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
    }
  }
}

TEST(Program, WritesEachFileTypeWithItsListAndTheSameFramesAsTheLibrary) {
  if (!haveProgram()) GTEST_SKIP() << "velkaro-synth is not built";
  TempDir dir;
  {
    std::ofstream(dir.file("busy.txt")) << busyScenario;
  }
  for (SynthIqType type : {SynthIqType::Rtl, SynthIqType::Airspy6, SynthIqType::Airspy10}) {
    const std::string name = synthIqTypeName(type);
    SCOPED_TRACE(name);
    const std::string out = dir.file(name + ".iq");
    ASSERT_EQ(runProgram(dir.file("busy.txt") + " --type " + name + " --out " + out), 0);
    EXPECT_EQ(fs::file_size(out), static_cast<uintmax_t>(1.5 * synthSampleRate(type) * synthBytesPerPair(type)));
    SynthSentList list;
    std::string error;
    ASSERT_TRUE(loadSynthSentList(out + ".list", list, &error)) << error;
    EXPECT_EQ(list.type, name);
    EXPECT_EQ(list.factor, synthOversamplingFactor(type));
    // The same seed gives the same samples and frames as an in-memory run.
    const SynthRun run = runScenario(busyScenario, type);
    ASSERT_EQ(list.frames.size(), run.result.frames.size());
    for (size_t i = 0; i < list.frames.size(); ++i) EXPECT_EQ(list.frames[i].bytes, run.result.frames[i].bytes);
    EXPECT_TRUE(readFile(out) == std::string(run.bytes.begin(), run.bytes.end()));
  }
  EXPECT_EQ(runProgram(dir.file("busy.txt") + " --type airspy8 --out " + dir.file("x")), 2);
  EXPECT_EQ(runProgram(dir.file("missing.txt") + " --out " + dir.file("x")), 2);
}

TEST(Program, WritesRealSampleFilesUnpackedAndPackedWithTheirLists) {
  if (!haveProgram()) GTEST_SKIP() << "velkaro-synth is not built";
  TempDir dir;
  {
    std::ofstream(dir.file("busy.txt")) << busyScenario;
  }
  // 0.30000025 s at 20 MS/s ends 5 samples into a packed group.
  const struct {
    SynthIqType type;
    bool packed;
    const char* seconds;
    uint64_t samples;
  } cases[] = {{SynthIqType::Raw12, false, "0.5", 6000000}, {SynthIqType::Raw20, true, "0.30000025", 6000005}};
  for (const auto& c : cases) {
    const std::string name = synthIqTypeName(c.type);
    SCOPED_TRACE(name);
    const std::string out = dir.file(name + ".raw");
    ASSERT_EQ(runProgram(dir.file("busy.txt") + " --type " + name + (c.packed ? " --packed" : "") + " --seconds " +
                         c.seconds + " --out " + out),
              0);
    SynthScenario scenario = parseSynthScenarioText(busyScenario);
    scenario.duration = std::stod(c.seconds);
    std::string expected;
    SynthFileResult memory;
    if (c.packed) {
      std::vector<uint32_t> words;
      memory = synthesisePackedToMemory(scenario, c.type, words);
      EXPECT_EQ(words.size(), (c.samples + 7) / 8 * 3);
      expected.assign(reinterpret_cast<const char*>(words.data()), words.size() * 4);
    } else {
      std::vector<uint16_t> samples;
      memory = synthesiseRawToMemory(scenario, c.type, samples);
      EXPECT_EQ(samples.size(), c.samples);
      expected.assign(reinterpret_cast<const char*>(samples.data()), samples.size() * 2);
    }
    EXPECT_EQ(memory.samples, c.samples);
    EXPECT_TRUE(readFile(out) == expected);

    SynthSentList list;
    std::string error;
    ASSERT_TRUE(loadSynthSentList(out + ".list", list, &error)) << error;
    EXPECT_EQ(list.type, name);
    EXPECT_EQ(list.factor, synthOversamplingFactor(c.type));
    EXPECT_EQ(list.rate, synthSampleRate(c.type));
    EXPECT_EQ(list.packed, c.packed);
    ASSERT_EQ(list.frames.size(), memory.frames.size());
    ASSERT_GT(list.frames.size(), 5u);
    for (size_t i = 0; i < list.frames.size(); ++i) {
      EXPECT_EQ(list.frames[i].sample, memory.frames[i].sample);
      EXPECT_EQ(list.frames[i].bytes, memory.frames[i].bytes);
      EXPECT_EQ(list.frames[i].demod, list.frames[i].sample + 240 * list.factor);
    }
  }
  const std::string busy = dir.file("busy.txt");
  for (const std::string& bad : {" --type rtl --packed --out " + dir.file("x"), " --type raw15 --out " + dir.file("x"),
                                 " --packed --stream " + dir.file("x")})
    EXPECT_EQ(runProgram(busy + bad), 2) << bad;
}

TEST(Program, StreamSurvivesAReaderThatClosesTheFifo) {
  if (!haveProgram()) GTEST_SKIP() << "velkaro-synth is not built";
  TempDir dir;
  {
    std::ofstream(dir.file("one.txt")) << "aircraft 4840D6 callsign=KLM1023 lat=52 lon=4 gs=420 alt=31000\n";
  }
  const std::string fifo = dir.file("demo.fifo");
  auto start = [&](const std::string& extra) {
    const pid_t pid = fork();
    if (pid == 0) {
      const int null = ::open("/dev/null", O_WRONLY);
      dup2(null, STDERR_FILENO);
      execl(VELKARO_SYNTH_BINARY, VELKARO_SYNTH_BINARY, dir.file("one.txt").c_str(), "--stream", fifo.c_str(), "--list",
            dir.file("stream.list").c_str(), "--seconds", "0.4", extra.empty() ? nullptr : extra.c_str(), nullptr);
      _exit(127);
    }
    return pid;
  };
  auto readSome = [&](size_t limit) {
    const int fd = ::open(fifo.c_str(), O_RDONLY);
    std::vector<uint8_t> data(limit);
    size_t got = 0;
    while (got < limit) {
      const ssize_t n = ::read(fd, data.data() + got, limit - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    ::close(fd);
    return got;
  };
  auto waitFor = [](pid_t pid) {
    int status = 0;
    for (int i = 0; i < 100 && waitpid(pid, &status, WNOHANG) == 0; ++i) usleep(50000);
    if (waitpid(pid, &status, WNOHANG) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };

  // Default: a FIFO whose reader leaves is opened again for the next reader, and the stream
  // goes on until its 0.4 s (800,000 pairs) are written.
  pid_t pid = start("");
  for (int i = 0; i < 100 && !fs::exists(fifo); ++i) usleep(20000);
  ASSERT_TRUE(fs::is_fifo(fifo));
  EXPECT_EQ(readSome(100000), 100000u);
  const size_t rest = readSome(4000000);
  EXPECT_GT(rest, 600000u);
  EXPECT_LT(rest, 1600000u);
  EXPECT_EQ(waitFor(pid), 0);

  // --once: the program ends cleanly when the reader goes.
  pid = start("--once");
  EXPECT_EQ(readSome(50000), 50000u);
  EXPECT_EQ(waitFor(pid), 0);
}

}  // namespace
