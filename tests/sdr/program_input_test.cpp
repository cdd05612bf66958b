// The executable with each kind of input: a recording runs to its end, one that cannot be read
// ends the run in order but with a failure status, and without any receiver the program ends at once.

#include "support/run_program.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

namespace {

namespace fs = std::filesystem;

std::string writeNoise(const fs::path& path, size_t bytes) {
  std::mt19937 random(9);
  std::ofstream out(path, std::ios::binary);
  for (size_t i = 0; i < bytes; ++i) out.put(static_cast<char>(127 + random() % 3));
  return path.string();
}

TEST(ProgramInput, RecordingEndsTheRun) {
  const fs::path dir = fs::temp_directory_path() / ("velkaro-input-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string rtl = writeNoise(dir / "noise.rtl", 3 * 131072 + 1);
  const std::string airspy = writeNoise(dir / "noise.as", 100000);
  const std::string missing = (dir / "missing.iq").string();
  const std::string directory = (dir / "a-directory").string();
  fs::create_directories(directory);
  struct Case {
    std::string option;
    std::string error;  // the one ERROR line expected, if any
    int status;
  };
  std::vector<Case> cases = {
      {"rtl:" + rtl, "", 0},
      {"airspy10:" + airspy, "", 0},
      {"airspy6:" + airspy, "", 0},
      {"rtl:" + missing, "ERROR    Error read file " + missing, 1},
      {"rtl:" + directory, "ERROR    Error read file " + directory, 1},
  };
  if (geteuid() != 0) {  // root reads any file
    const std::string locked = writeNoise(dir / "locked.iq", 1000);
    fs::permissions(locked, fs::perms::none);
    cases.push_back({"rtl:" + locked, "ERROR    Error read file " + locked, 1});
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.option);
    const ProgramResult r = runVelkaro({"--input-file", c.option});
    EXPECT_EQ(r.status, c.status);
    const auto texts = logTexts(r.output);
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back(), "INFO     Closed successfully");
    std::vector<std::string> errors;
    for (const auto& t : texts) {
      if (t.rfind("ERROR", 0) == 0) errors.push_back(t);
    }
    EXPECT_EQ(errors, c.error.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.error});
  }
  fs::remove_all(dir);
}

TEST(ProgramInput, NoReceiverEndsBeforeAnyPortIsOpened) {
  // Held here: a server that tried to listen on it would log a bind error.
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor held(io, {boost::asio::ip::address_v4::any(), 0});
  const std::string port = std::to_string(held.local_endpoint().port());

  ProgramResult r = runVelkaro({"--beast", port, "--avr", port});
  EXPECT_EQ(r.status, 1);
  auto texts = logTexts(r.output);
  ASSERT_EQ(texts.size(), 3u) << r.output;
  EXPECT_EQ(texts[1].rfind("INFO     Device: 0 ", 0), 0u) << texts[1];
  EXPECT_EQ(texts[2].rfind("ERROR    Can't open device: sdr_open(): ", 0), 0u) << texts[2];

  r = runVelkaro({"--airspy", "--beast", port, "--airspy-workers", "4"});
  EXPECT_EQ(r.status, 1);
  texts = logTexts(r.output);
  ASSERT_EQ(texts.size(), 2u) << r.output;
  EXPECT_EQ(texts[1], "ERROR    Can't open device: Device Not Found");
}

}  // namespace
