#pragma once
// Shared by the embedded-file and picture-directory tests: a server started on an ephemeral
// loopback port with a web-file table and a fixed start time, BMP writers, a scratch folder and
// the log lines written meanwhile.

#include <gtest/gtest.h>

#include "support/log_lines.h"

#include <boost/property_tree/ptree.hpp>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/logger.h"
#include "json-server/jsonserver/src/http_server.h"
#include "tests/json-server/http_test_client.h"

namespace web_test {

using http_test::Connection;
using http_test::Reply;
using http_test::roundTrip;

// 1485500000 is Fri, 27 Jan 2017 06:53:20 GMT.
constexpr uint32_t fixedStartTime = 1485500000;

inline std::string get(const std::string& uri, const std::string& extraHeaders = "", const std::string& method = "GET") {
  return method + " " + uri + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders + "\r\n";
}

// Bounded wait for a condition checked every 10 ms.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

// A folder under /tmp removed with everything in it at the end of the test.
class ScratchFolder {
 public:
  ScratchFolder() {
    char name[] = "/tmp/velkaro_web_XXXXXX";
    path = ::mkdtemp(name) ? name : "";
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string write(const std::string& relative, const std::string& bytes) const {
    const std::filesystem::path file = std::filesystem::path(path) / relative;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << bytes;
    return file.string();
  }
  std::string path;
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Every log line written since `LogWatch` was made, joined by newlines.
class LogWatch {
 public:
  // Lines newer than the last one written so far.
  LogWatch() : start(lastLogNumber()) {}
  std::string text() const {
    std::string all;
    for (const auto& line : logLinesAfter(start)) all += line + "\n";
    return all;
  }

 private:
  uint32_t start;
};

struct Rgba {
  uint8_t r, g, b, a;
  bool operator==(const Rgba& o) const { return r == o.r && g == o.g && b == o.b && a == o.a; }
};

inline void putLe(std::string& bytes, size_t offset, uint32_t value, int count) {
  for (int i = 0; i < count; ++i) bytes[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

// An uncompressed bottom-up BMP of `pixels` (top row first), 24 or 32 bits per pixel; 32-bit
// pixels are written blue, green, red, alpha.
inline std::string makeBmp(int width, int height, int bits, const std::vector<Rgba>& pixels) {
  const int bytesPerPixel = bits / 8;
  const int rowSize = (width * bytesPerPixel + 3) / 4 * 4;
  std::string bytes(54 + static_cast<size_t>(rowSize) * height, '\0');
  bytes[0] = 'B';
  bytes[1] = 'M';
  putLe(bytes, 2, static_cast<uint32_t>(bytes.size()), 4);
  putLe(bytes, 10, 54, 4);
  putLe(bytes, 14, 40, 4);
  putLe(bytes, 18, static_cast<uint32_t>(width), 4);
  putLe(bytes, 22, static_cast<uint32_t>(height), 4);
  putLe(bytes, 26, 1, 2);
  putLe(bytes, 28, static_cast<uint32_t>(bits), 2);
  for (int y = 0; y < height; ++y) {
    const size_t row = 54 + static_cast<size_t>(height - 1 - y) * rowSize;
    for (int x = 0; x < width; ++x) {
      const Rgba& p = pixels[static_cast<size_t>(y) * width + x];
      char* out = &bytes[row + static_cast<size_t>(x) * bytesPerPixel];
      out[0] = static_cast<char>(p.b);
      out[1] = static_cast<char>(p.g);
      out[2] = static_cast<char>(p.r);
      if (bytesPerPixel == 4) out[3] = static_cast<char>(p.a);
    }
  }
  return bytes;
}

// Distinct colours, so that a swapped channel, row or column shows.
inline std::vector<Rgba> testPixels(int width, int height, uint8_t alpha = 255) {
  std::vector<Rgba> pixels;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      pixels.push_back(Rgba{static_cast<uint8_t>(10 + x * 20), static_cast<uint8_t>(100 + y * 30),
                            static_cast<uint8_t>(200 - x - y), static_cast<uint8_t>(alpha == 255 ? 255 : alpha + x + y)});
    }
  }
  return pixels;
}

// A started server with its own web-file table and a fixed start time.
class WebServerTest : public ::testing::Test {
 protected:
  void startServer(const WebFileTable* table, uint32_t startTime = fixedStartTime) {
    server = std::make_unique<HttpServer>(table, startTime);
    for (const auto& d : directories) server->addStaticDirectory(d.urlPrefix, d.directory, d.convertBmp);
    server->start(0);
    port = server->listeningPort();
    ASSERT_NE(port, 0);
  }
  void TearDown() override {
    if (server) server->stop();
  }

  std::vector<StaticDirectory> directories;
  std::unique_ptr<HttpServer> server;
  uint16_t port = 0;
};

}  // namespace web_test
