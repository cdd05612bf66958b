// Clients that hold connections without finishing a request: the header deadline, and the
// connection cap with an idle connection making room for a new one.

#include <gtest/gtest.h>

#include "tests/json-server/http_server_fixture.h"

namespace http_test {
namespace {

using namespace std::chrono_literals;

const std::string kEcho = R"({"req":"echo","data":{"x":"ok"}})";
const std::string kEchoReply = "{\"status\":\"OK\",\"x\":\"ok\"}\n";

ptree okTree() {
  ptree tree;
  tree.put("status", "OK");
  return tree;
}

TEST_F(HttpServerTest, AHeaderMustBeWholeWithinItsDeadlineFromItsFirstByte) {
  server.setHeaderTimeout(800ms);
  startServer();
  Connection silent(port);
  Connection kept(port);
  ASSERT_TRUE(kept.send(post("/json", kEcho)));
  EXPECT_EQ(kept.readReply().body, kEchoReply);

  // Every byte is traffic, so only the deadline ends a trickled header; it gets no reply.
  Connection trickle(port);
  const auto begin = std::chrono::steady_clock::now();
  const std::string header = "GET / HTTP/1.1\r\nX-Slow: " + std::string(100, 'a');
  for (size_t i = 0; i < header.size() && trickle.send(header.substr(i, 1)); ++i) {
    if (trickle.waitForClose(100ms)) break;
  }
  EXPECT_TRUE(trickle.peerClosed());
  EXPECT_GE(std::chrono::steady_clock::now() - begin, 700ms);
  EXPECT_EQ(trickle.rest(), "");

  // The deadline counts from a request's first byte: neither the silent connection nor the
  // kept-alive one, older than the deadline now, is cut off, and a header in pieces within it
  // is served.
  EXPECT_FALSE(silent.waitForClose(100ms));
  const std::string request = post("/json", kEcho);
  for (Connection* connection : {&silent, &kept}) {
    ASSERT_TRUE(connection->send(request.substr(0, 10)));
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(connection->send(request.substr(10)));
    EXPECT_EQ(connection->readReply().body, kEchoReply);
  }
}

TEST_F(HttpServerTest, AtTheCapAnIdleConnectionMakesRoomKeptAliveOnesLast) {
  server.setMaxConnections(4);
  startServer();
  // In the order their requests began; a short pause lets the server see each one.
  Connection page(port);
  ASSERT_TRUE(page.send(post("/json", kEcho)));
  EXPECT_EQ(page.readReply().body, kEchoReply);
  std::this_thread::sleep_for(100ms);
  Connection slow(port);
  ASSERT_TRUE(slow.send("GET / HT"));
  std::this_thread::sleep_for(100ms);
  Connection silent(port);
  std::this_thread::sleep_for(100ms);
  Connection pending(port);
  ASSERT_TRUE(pending.send(post("/json", R"({"req":"later"})")));
  const uint32_t id = later->waitForPending(1);
  ASSERT_NE(id, 0u);

  // Each newcomer stays, so that the server is at the cap for the next one; once served it is
  // a kept-alive connection younger than the page.
  std::vector<std::unique_ptr<Connection>> newcomers;
  for (Connection* gone : {&slow, &silent, &page}) {
    newcomers.push_back(std::make_unique<Connection>(port));
    ASSERT_TRUE(newcomers.back()->send(post("/json", kEcho)));
    EXPECT_EQ(newcomers.back()->readReply().body, kEchoReply);
    EXPECT_TRUE(gone->waitForClose(2000ms));
    EXPECT_EQ(gone->rest(), "");
  }
  // The pending reply is never the one to go.
  EXPECT_TRUE(server.withResponse(id, [](HttpResponse& r) { r.sendJson(okTree()); }));
  EXPECT_EQ(pending.readReply().body, "{\"status\":\"OK\"}\n");
  for (auto& newcomer : newcomers) {
    ASSERT_TRUE(newcomer->send(post("/json", kEcho)));
    EXPECT_EQ(newcomer->readReply().body, kEchoReply);
  }
}

TEST_F(HttpServerTest, AtTheCapWithEveryConnectionBusyTheNewOneIsClosed) {
  server.setMaxConnections(2);
  startServer();
  Connection first(port), second(port);
  ASSERT_TRUE(first.send(post("/json", R"({"req":"later"})")));
  ASSERT_TRUE(second.send(post("/json", R"({"req":"later"})")));
  ASSERT_NE(later->waitForPending(2), 0u);

  Connection refused(port);
  refused.send(post("/json", kEcho));
  EXPECT_TRUE(refused.waitForClose(2000ms));
  EXPECT_EQ(refused.rest(), "");

  // Once a reply has ended, there is room again.
  EXPECT_TRUE(server.withResponse(later->ids[0], [](HttpResponse& r) { r.sendJson(okTree()); }));
  EXPECT_EQ(first.readReply().body, "{\"status\":\"OK\"}\n");
  EXPECT_TRUE(first.waitForClose(2000ms));
  EXPECT_TRUE(eventually([&] {
    Connection again(port);
    return again.send(post("/json", kEcho)) && again.readReply(1000ms).body == kEchoReply;
  }));
  EXPECT_EQ(server.pendingResponseCount(), 1u);
}

}  // namespace
}  // namespace http_test
