#include "app/application.h"
#include "sdr/file_reader.h"
#include "sdr/input_devices.h"

#include "sdr/sample_sink.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

namespace {

namespace fs = std::filesystem;

class TestFileReader : public FileReader {
 public:
  TestFileReader(Application& app, const std::string& name, uint32_t factor, uint32_t size,
                 std::shared_ptr<SampleRecorder> recorder)
      : FileReader(app, name, factor, size), recorder(std::move(recorder)) {}
  std::unique_ptr<SdrDecoder> createDecoder(Application&) override {
    return std::make_unique<RecordingDecoder>(recorder);
  }

 private:
  std::shared_ptr<SampleRecorder> recorder;
};

class TempDir {
 public:
  TempDir() : path(fs::temp_directory_path() / ("velkaro-file-reader-" + std::to_string(getpid()))) {
    fs::create_directories(path);
  }
  ~TempDir() { fs::remove_all(path); }
  std::string write(const std::string& name, const std::vector<unsigned char>& bytes) const {
    const fs::path file = path / name;
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return file.string();
  }
  fs::path path;
};

struct FileRun {
  std::shared_ptr<SampleRecorder> recorder = std::make_shared<SampleRecorder>();
  bool stopped = false;
  bool running = false;
};

// Starts the application on the file and runs it until the stop step has ended it.
FileRun runFile(const std::string& name, uint32_t factor, uint32_t size) {
  FileRun run;
  Application app;
  app.start(std::make_unique<TestFileReader>(app, name, factor, size, run.recorder));
  EXPECT_EQ(app.device->oversamplingFactor(), factor);
  app.ioService->run_for(std::chrono::seconds(20));
  run.stopped = app.ioService->stopped();
  run.running = app.isRunning();
  return run;
}

std::vector<unsigned char> randomBytes(size_t count, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<unsigned char> bytes(count);
  for (auto& b : bytes) b = static_cast<unsigned char>(random());
  return bytes;
}

// Reference conversions, written out independently of the reader.
std::vector<uint32_t> rtlMagnitudes(const std::vector<unsigned char>& bytes) {
  std::vector<uint32_t> out;
  for (size_t k = 0; k + 1 < bytes.size(); k += 2) {
    const int i = bytes[k] * 2 - 255, q = bytes[k + 1] * 2 - 255;
    out.push_back(static_cast<uint32_t>(i * i + q * q));
  }
  return out;
}
std::vector<uint32_t> airspyMagnitudes(const std::vector<unsigned char>& bytes) {
  std::vector<uint32_t> out;
  for (size_t k = 0; k + 3 < bytes.size(); k += 4) {
    const uint64_t i = bytes[k] + 256u * bytes[k + 1], q = bytes[k + 2] + 256u * bytes[k + 3];
    out.push_back(static_cast<uint32_t>((i * i + q * q) & 0xFFFFFFFFu));
  }
  return out;
}

TEST(FileReader, ConvertsEachTypeInBlocksAndStopsAtTheEnd) {
  TempDir dir;
  const auto bigRtl = randomBytes(131072 + 11, 1);
  const auto bigAirspy = randomBytes(131072 + 7, 2);
  struct Case {
    const char* name;
    uint32_t factor, size;
    std::vector<unsigned char> bytes;
    std::vector<uint32_t> blocks;  // pairs per process call
    std::vector<uint32_t> magnitudes;
  };
  const Case cases[] = {
      {"rtl5", 1, 1, {0x7F, 0x80, 0x00, 0xFF, 0x42}, {2}, {2, 130050}},
      {"rtl1", 1, 1, {0x42}, {}, {}},
      {"empty", 1, 1, {}, {}, {}},
      {"airspy6", 3, 2, {3, 0, 4, 0, 9, 9}, {1}, {25}},
      {"airspy6short", 3, 2, {3, 0, 4}, {}, {}},
      {"airspy10", 5, 2, {3, 0, 4, 0, 0xFF, 0xFF, 0xFF, 0xFF}, {2}, {25, 4294705154u}},
      {"rtlbig", 1, 1, bigRtl, {65536, 5}, rtlMagnitudes(bigRtl)},
      {"rtlexact", 1, 1, std::vector<unsigned char>(bigRtl.begin(), bigRtl.begin() + 131072), {65536},
       rtlMagnitudes(std::vector<unsigned char>(bigRtl.begin(), bigRtl.begin() + 131072))},
      {"airspybig", 5, 2, bigAirspy, {32768, 1}, airspyMagnitudes(bigAirspy)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    const FileRun run = runFile(dir.write(c.name, c.bytes), c.factor, c.size);
    EXPECT_TRUE(run.stopped) << "the end of the file did not end the run";
    EXPECT_FALSE(run.running);
    EXPECT_EQ(run.recorder->stops, 1);
    std::vector<uint32_t> blocks;
    for (const auto& call : run.recorder->processCalls()) {
      EXPECT_EQ(call.from, 0u);
      EXPECT_EQ(call.ringSize, 65537u);
      blocks.push_back(call.to);
    }
    EXPECT_EQ(blocks, c.blocks);
    EXPECT_TRUE(run.recorder->samples() == c.magnitudes);
    EXPECT_FALSE(log.hasPrefix("ERROR"));
  }
}

TEST(FileReader, UnreadableFileIsLoggedAndEndsTheRun) {
  TempDir dir;
  for (const std::string& name : {(dir.path / "missing.iq").string(), dir.path.string()}) {
    SCOPED_TRACE(name);
    LogCapture log;
    const FileRun run = runFile(name, 1, 1);
    EXPECT_TRUE(run.stopped);
    EXPECT_EQ(log.count("ERROR    Error read file " + name), 1u);
    EXPECT_TRUE(run.recorder->processCalls().empty());
    EXPECT_EQ(run.recorder->stops, 1);
  }
}

// A stop from the main thread (a signal) during a long file: the reader finishes its current
// block, is joined, and the stop step runs once.
TEST(FileReader, StopDuringTheFileJoinsTheReader) {
  TempDir dir;
  const std::string name = dir.write("long.iq", randomBytes(40 * 131072, 3));
  auto recorder = std::make_shared<SampleRecorder>();
  LogCapture log;
  Application app;
  recorder->closeGate();
  app.start(std::make_unique<TestFileReader>(app, name, 1, 1, recorder));
  ASSERT_TRUE(recorder->waitForCall());
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    recorder->openGate();
  });
  app.stop();  // joins the reader, which is still in its first block
  EXPECT_TRUE(recorder->waitForSamples(0, std::chrono::milliseconds(0))) << "returned while the reader was busy";
  release.join();
  EXPECT_EQ(recorder->processCalls().size(), 1u);
  EXPECT_EQ(recorder->stops, 1);
  app.ioService->run_for(std::chrono::seconds(5));
  EXPECT_TRUE(app.ioService->stopped());
  EXPECT_EQ(recorder->stops, 1);
  EXPECT_FALSE(log.hasPrefix("ERROR"));
}

// A recording past 2 GiB opens and reads like any other; only its first block is decoded here.
TEST(FileReader, RecordingLargerThan2GiBIsRead) {
  // The board's kernel refuses such a file to an open without large-file offsets; an emulator on
  // a 64-bit host lets it through, so the width itself is checked too.
  EXPECT_EQ(sizeof(off_t), 8u) << "built without _FILE_OFFSET_BITS=64";
  TempDir dir;
  const auto head = randomBytes(131072, 4);
  const std::string name = dir.write("large.iq", head);
  {
    // Sparse: the rest of the file takes no room on disk. The test's own calls are the 64-bit ones.
    const int fd = ::open64(name.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const int resized = ::ftruncate64(fd, (int64_t{1} << 31) + 131072);
    ::close(fd);
    ASSERT_EQ(resized, 0) << "the file system cannot hold a sparse 2 GiB file";
  }
  auto recorder = std::make_shared<SampleRecorder>();
  LogCapture log;
  Application app;
  recorder->closeGate();
  app.start(std::make_unique<TestFileReader>(app, name, 1, 1, recorder));
  ASSERT_TRUE(recorder->waitForCall());
  recorder->openGate();
  app.stop();
  EXPECT_FALSE(log.hasPrefix("ERROR")) << "the reader could not open or read the file";
  ASSERT_GE(recorder->processCalls().size(), 1u);
  const std::vector<uint32_t> samples = recorder->samples();
  const std::vector<uint32_t> expected = rtlMagnitudes(head);
  ASSERT_GE(samples.size(), expected.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), samples.begin()));
}

TEST(FileReader, OpenedFromTheOptions) {
  Application app;
  app.config->inputFile = "/nowhere/x.iq";
  app.config->inputRateFactor = 5;
  app.config->inputSampleSize = 2;
  const auto device = openInputFile(app);
  ASSERT_NE(dynamic_cast<FileReader*>(device.get()), nullptr);
  EXPECT_EQ(device->oversamplingFactor(), 5u);
}

}  // namespace
