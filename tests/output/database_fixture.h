#pragma once
// Real database files for the database tests: made by the project's own script in a fresh
// temporary directory, read back and altered with the sqlite3 command.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <chrono>
#include <vector>

#include "tests/support/log_lines.h"
#include "tests/support/run_program.h"

namespace dbtest {

// Output of a shell command, with its exit status.
inline std::string run(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  const int rc = pclose(pipe);
  if (status != nullptr) *status = rc;
  return out;
}

// What the sqlite3 command prints for `sql` on `file`, trailing newline removed.
inline std::string query(const std::string& file, const std::string& sql) {
  std::string out = run("sqlite3 -batch " + shellQuote(file) + " " + shellQuote(sql) + " 2>&1");
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

inline bool anyLineHas(const std::vector<std::string>& lines, const std::string& level,
                       const std::string& text) {
  for (const auto& line : lines) {
    if (line.find(level) != std::string::npos && line.find(text) != std::string::npos) return true;
  }
  return false;
}

class DatabaseFixture : public ::testing::Test {
 protected:
  DatabaseFixture() {
    char pattern[] = "/tmp/velkaro-db-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made != nullptr) dir = made;
    baseStation = dir + "/basestation.sqb";
    flightRoute = dir + "/flightroute.sqb";
    logMark = lastLogNumber();
  }
  ~DatabaseFixture() override {
    std::error_code error;
    if (!dir.empty()) std::filesystem::remove_all(dir, error);
  }

  // The BaseStation database, and with `withRoutes` the FlightRoute one.
  void makeDatabases(bool withRoutes = false) {
    int status = -1;
    const std::string out = run(std::string(VELKARO_SOURCE_DIR) + "/tools/basestation/make-databases.sh " +
                                shellQuote(baseStation) + (withRoutes ? " " + shellQuote(flightRoute) : "") + " 2>&1",
                                &status);
    ASSERT_EQ(status, 0) << out;
  }

  void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
  }

  std::vector<std::string> logSinceStart() const { return logLinesAfter(logMark); }

  std::string dir;
  std::string baseStation;
  std::string flightRoute;
  uint32_t logMark = 0;
};

// Another process, the sqlite3 command, holding an exclusive lock on a database file.
class LockHolder {
 public:
  explicit LockHolder(const std::string& file) : file(file) {}
  ~LockHolder() { release(); }

  // Returns once the lock is held, as seen from a connection of this process.
  bool hold() {
    pipe = popen(("sqlite3 -batch " + shellQuote(file) + " >/dev/null 2>&1").c_str(), "w");
    if (pipe == nullptr) return false;
    // The probe below takes a read lock for each try; without a timeout the holder's BEGIN gives
    // up at once when it meets one, and nothing holds the lock.
    std::fputs(".timeout 20000\nBEGIN EXCLUSIVE;\n", pipe);
    std::fflush(pipe);
    sqlite3* probe = nullptr;
    sqlite3_open_v2(file.c_str(), &probe, SQLITE_OPEN_READONLY, nullptr);
    // By the clock, not by tries: under an emulator on a loaded machine each try is slow.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    bool locked = false;
    while (!locked && std::chrono::steady_clock::now() < deadline) {
      locked = sqlite3_exec(probe, "SELECT count(*) FROM sqlite_master;", nullptr, nullptr, nullptr) == SQLITE_BUSY;
      if (!locked) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    sqlite3_close(probe);
    return locked;
  }

  void release() {
    if (pipe == nullptr) return;
    std::fputs("COMMIT;\n.quit\n", pipe);
    pclose(pipe);
    pipe = nullptr;
  }

 private:
  std::string file;
  FILE* pipe = nullptr;
};

}  // namespace dbtest
