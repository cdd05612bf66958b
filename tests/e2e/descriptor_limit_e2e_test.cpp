// Every feed and web client takes a descriptor: the program raises its soft limit to the hard one.

#include "e2e/process_harness.h"
#include "support/run_program.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;

// The soft and hard "Max open files" of a running process.
bool openFileLimits(pid_t pid, std::string& soft, std::string& hard) {
  std::ifstream limits("/proc/" + std::to_string(pid) + "/limits");
  for (std::string line; std::getline(limits, line);) {
    if (line.rfind("Max open files", 0) != 0) continue;
    std::istringstream fields(line.substr(std::string("Max open files").size()));
    return static_cast<bool>(fields >> soft >> hard);
  }
  return false;
}

TEST(DescriptorLimit, SoftLimitIsRaisedToTheHardOne) {
  rlimit own{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &own), 0);
  if (own.rlim_max <= 256) GTEST_SKIP() << "hard limit too low to show a raise";
  const fs::path dir = fs::temp_directory_path() / ("velkaro-limit-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string fifo = (dir / "input.fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const uint16_t port = freeTcpPort();
  // The shell lowers the soft limit and then becomes the program.
  ChildProcess velkaro({"/bin/sh", "-c",
                        "ulimit -Sn 256 && exec " + shellQuote(VELKARO_BINARY) + " --input-file " +
                            shellQuote("rtl:" + fifo) + " --beast " + std::to_string(port)});
  FeedClient client(port, 10s);
  ASSERT_TRUE(client.connected()) << velkaro.text();
  std::string soft, hard;
  ASSERT_TRUE(openFileLimits(velkaro.id(), soft, hard));
  EXPECT_EQ(soft, hard);
  EXPECT_NE(soft, "256");
  velkaro.signal(SIGTERM);
  EXPECT_EQ(velkaro.wait(5s), 0);
  fs::remove_all(dir);
}

}  // namespace
