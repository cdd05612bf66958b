#pragma once
// A started web server on an ephemeral loopback port with small test commands:
// "echo" (synchronous, answers data.x), "boom" (throws), "later" (asynchronous, completed by the
// test through the pending-response registry, or at once with data.now) and "stream" (streams the file data.path).

#include <gtest/gtest.h>

#include <boost/property_tree/ptree.hpp>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/application.h"
#include "json-server/jsonserver/src/base_command.h"
#include "json-server/jsonserver/src/http_response.h"
#include "json-server/jsonserver/src/http_server.h"
#include "json-server/jsonserver/src/http_session.h"
#include "tests/json-server/http_test_client.h"
#include "tests/json-server/test_commands.h"

namespace http_test {

using boost::property_tree::ptree;

// Remembers the ids of its pending responses; the test completes them from its own thread.
class LaterCommand : public BaseCommand {
 public:
  using BaseCommand::BaseCommand;
  void executeAsync(const ptree& request, std::shared_ptr<HttpRequest>, HttpResponse* response) override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      ids.push_back(response->id);
    }
    // Like an answer from a cache: completed at once, on the poll thread.
    if (request.get_optional<std::string>("data.now")) {
      ptree reply;
      reply.put("data", request.get<std::string>("data.now"));
      reply.put("status", "OK");
      response->sendJson(reply);
    }
  }
  const std::string& name() const override {
    static const std::string text = "later";
    return text;
  }
  bool isAsync() const override { return true; }

  // Waits (bounded) until `count` requests have gone pending; gives the newest id.
  uint32_t waitForPending(size_t count) {
    for (int i = 0; i < 500; ++i) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (ids.size() >= count) return ids[count - 1];
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
  }

  std::mutex mutex;
  std::vector<uint32_t> ids;
};

// The way a picture directory streams a file: status and headers first, then the open file.
class StreamCommand : public BaseCommand {
 public:
  using BaseCommand::BaseCommand;
  void executeAsync(const ptree& request, std::shared_ptr<HttpRequest> httpRequest, HttpResponse* response) override {
    const std::string path = request.get<std::string>("data.path");
    auto file = std::make_unique<std::ifstream>(path, std::ios::binary);
    if (!*file) throw std::runtime_error("Can't open " + path);
    file->seekg(0, std::ios::end);
    const auto size = static_cast<long long>(file->tellg());
    file->seekg(0);
    HttpSession& connection = *httpRequest->connection;
    connection.sendStatus(200);
    connection.sendHeader("Content-Type", "text/plain");
    connection.sendHeader("Content-Length", std::to_string(size));
    connection.write("\r\n");
    response->setFile(std::move(file));
  }
  const std::string& name() const override {
    static const std::string text = "stream";
    return text;
  }
  bool isAsync() const override { return true; }
};

class HttpServerTest : public ::testing::Test {
 protected:
  // Tests that need other settings call this themselves before any request.
  void startServer(const std::string& auth = "", std::chrono::milliseconds idle = std::chrono::milliseconds(30000)) {
    later = std::make_shared<LaterCommand>(application);
    server.addCommand(std::make_shared<EchoCommand>(application));
    server.addCommand(std::make_shared<BoomCommand>(application));
    server.addCommand(later);
    server.addCommand(std::make_shared<StreamCommand>(application));
    server.setAuth(auth);
    server.setIdleTimeout(idle);
    server.start(0);
    port = server.listeningPort();
    ASSERT_NE(port, 0);
  }
  void TearDown() override { server.stop(); }

  std::string jsonPost(const std::string& body, const std::string& extraHeaders = "") {
    return post("/json", body, extraHeaders);
  }

  // Bounded wait for a condition checked every 10 ms.
  template <typename Condition>
  static bool eventually(Condition condition, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      if (condition()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
  }

  Application application;
  HttpServer server;
  std::shared_ptr<LaterCommand> later;
  uint16_t port = 0;
};

}  // namespace http_test
