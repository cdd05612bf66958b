// The server's life, the bytes of the replies it writes itself, the Connection decision and the
// router's order, over real HTTP on 127.0.0.1.

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "tests/json-server/http_server_fixture.h"

namespace http_test {
namespace {

using namespace std::chrono_literals;

TEST(HttpServerLifeTest, BusyPortThrowsTheBindTextAndStopStillReturns) {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor holder(io, {boost::asio::ip::tcp::v4(), 0});
  const int busy = holder.local_endpoint().port();

  HttpServer server;
  try {
    server.start(busy);
    FAIL() << "start on a busy port must throw";
  } catch (const HttpServerException& e) {
    EXPECT_STREQ(e.what(), "Error set listening_port Cannot bind to port");
  }
  server.stop();
  server.stop();
}

TEST(HttpServerLifeTest, StopTwiceAndWithoutStartIsHarmless) {
  HttpServer never;
  never.stop();
  never.stop();

  HttpServer server;
  server.start(0);
  const uint16_t port = server.listeningPort();
  EXPECT_TRUE(roundTrip(port, "GET /x HTTP/1.1\r\n\r\n").complete);
  server.stop();
  server.stop();
  EXPECT_FALSE(Connection(port).isOpen());
}

TEST_F(HttpServerTest, StopClosesOpenConnectionsAndDropsPendingReplies) {
  startServer();
  Connection idle(port);
  Connection pending(port);
  ASSERT_TRUE(pending.send(jsonPost(R"({"req":"later"})")));
  ASSERT_NE(later->waitForPending(1), 0u);
  EXPECT_EQ(server.pendingResponseCount(), 1u);
  server.stop();
  EXPECT_TRUE(idle.waitForClose(2000ms));
  EXPECT_TRUE(pending.waitForClose(2000ms));
  EXPECT_EQ(server.pendingResponseCount(), 0u);
}

TEST_F(HttpServerTest, UnhandledUrlGetsNotFoundAndOptionsTheFixedReply) {
  startServer();
  const Reply notFound = roundTrip(port, "GET /nothing/here HTTP/1.1\r\nHost: x\r\n\r\n");
  ASSERT_TRUE(notFound.complete);
  EXPECT_EQ(notFound.head,
            "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: 9\r\n"
            "Connection: keep-alive\r\n");
  EXPECT_EQ(notFound.body, "Not Found");

  const Reply options = roundTrip(port, "OPTIONS /anything HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(options.complete);
  EXPECT_EQ(options.statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(options.header("Allow"), "GET, HEAD, POST, OPTIONS");
  EXPECT_EQ(options.body, "");
}

TEST_F(HttpServerTest, JsonRepliesHaveTheirHeaderOrder) {
  startServer();
  // Any method reaches "/json"; an empty body is a parse error.
  const Reply empty = roundTrip(port, "GET /json HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(empty.complete);
  EXPECT_EQ(empty.head, "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: keep-alive\r\n"
                        "Content-Length: " + std::to_string(empty.body.size()) + "\r\n");
  EXPECT_EQ(empty.body.rfind(R"({"status":"ERROR","message":"Can't parse json )", 0), 0u) << empty.body;

  const struct {
    std::string body;
    std::string reply;
  } cases[] = {
      {R"({"req":"nothing","data":{}})", "{\"status\":\"ERROR\",\"message\":\"Unknown request name\"}\n"},
      {R"({"req":"echo","data":{"x":"7"}})", "{\"status\":\"OK\",\"x\":7}\n"},
      {R"({"req":"boom"})", "{\"status\":\"ERROR\",\"message\":\"boom text\"}\n"},
  };
  for (const auto& c : cases) {
    const Reply reply = roundTrip(port, jsonPost(c.body));
    ASSERT_TRUE(reply.complete) << c.body;
    EXPECT_EQ(reply.body, c.reply);
    EXPECT_EQ(reply.headerNames(), (std::vector<std::string>{"Content-Type", "Connection", "Content-Length"}));
  }
  const Reply noName = roundTrip(port, jsonPost(R"({"data":{}})"));
  EXPECT_EQ(noName.body.rfind(R"({"status":"ERROR","message":"Can't get request name )", 0), 0u) << noName.body;
}

TEST_F(HttpServerTest, ConnectionDecisionAndWhetherTheConnectionStays) {
  startServer();
  const struct {
    std::string version;
    std::string header;  // Connection header line, or empty
    std::string expected;
  } cases[] = {
      {"1.0", "", "close"},
      {"1.1", "", "keep-alive"},
      {"1.1", "Connection: Keep-Alive\r\n", "keep-alive"},
      {"1.0", "Connection: keep-alive\r\n", "keep-alive"},
      {"1.1", "Connection: close\r\n", "close"},
      {"1.1", "Connection: \r\n", "close"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version + " [" + c.header + "]");
    Connection connection(port);
    const std::string request = "GET /nothing HTTP/" + c.version + "\r\n" + c.header + "\r\n";
    ASSERT_TRUE(connection.send(request));
    const Reply first = connection.readReply();
    ASSERT_TRUE(first.complete);
    EXPECT_EQ(first.header("Connection"), c.expected);
    if (c.expected == "close") {
      EXPECT_TRUE(connection.waitForClose(2000ms));
    } else {
      // The same connection answers a second request, also a JSON one.
      ASSERT_TRUE(connection.send(post("/json", R"({"req":"echo","data":{"x":"a"}})")));
      const Reply second = connection.readReply();
      ASSERT_TRUE(second.complete);
      EXPECT_EQ(second.body, "{\"status\":\"OK\",\"x\":\"a\"}\n");
    }
  }
}

TEST_F(HttpServerTest, PipelinedRequestsAreAnsweredInOrder) {
  startServer();
  Connection connection(port);
  ASSERT_TRUE(connection.send(jsonPost(R"({"req":"echo","data":{"x":"1"}})") +
                              jsonPost(R"({"req":"echo","data":{"x":"2"}})") + "GET /gone HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(connection.readReply().body, "{\"status\":\"OK\",\"x\":1}\n");
  EXPECT_EQ(connection.readReply().body, "{\"status\":\"OK\",\"x\":2}\n");
  EXPECT_EQ(connection.readReply().statusLine, "HTTP/1.1 404 Not Found");
}

TEST(HttpRequestPathTest, DecodedAndNormalised) {
  const struct {
    std::string raw;
    std::string path;
  } cases[] = {
      {"/json", "/json"},
      {"//json", "/json"},
      {"/..%2fjson", "/json"},
      {"/%2e%2e/%2E%2E/json", "/json"},
      {"/img/../../etc/passwd", "/img/etc/passwd"},
      {"/a\\..\\..\\b", "/a\\b"},
      {"/a/...b", "/a/.b"},
      {"/a..b/c", "/a..b/c"},
      {"/x%00/../secret", "/x"},
      {"/100%25", "/100%"},
      {"/bad%zz%4", "/bad%zz%4"},
      {"/plus+sign", "/plus+sign"},
      {"", ""},
  };
  for (const auto& c : cases) {
    const std::string path = normaliseRequestPath(percentDecode(c.raw));
    EXPECT_EQ(path, c.path) << c.raw;
    EXPECT_EQ(path.find("/.."), std::string::npos) << c.raw;
    EXPECT_EQ(path.find("\\.."), std::string::npos) << c.raw;
  }
}

TEST_F(HttpServerTest, RouterSeesTheNormalisedPathAndTheQuery) {
  startServer();
  // Only the exact path "/json" reaches the commands, so these show what the router was given.
  for (const std::string uri : {"//json", "/..%2fjson", "/%2e%2e//json?x=1", "/json?req=echo"}) {
    const Reply reply = roundTrip(port, post(uri, R"({"req":"echo","data":{"x":"q"}})"));
    EXPECT_EQ(reply.body, "{\"status\":\"OK\",\"x\":\"q\"}\n") << uri;
  }
  for (const std::string uri : {"/json/", "/JSON", "/jso%6e%2f"}) {
    EXPECT_EQ(roundTrip(port, post(uri, "{}")).statusLine, "HTTP/1.1 404 Not Found") << uri;
  }
}

TEST_F(HttpServerTest, PictureDirectoryPrefixWithAnEscapingPathGetsNotFound) {
  server.addStaticDirectory("/img/aircrafts", "/nonexistent", false);
  startServer();
  const Reply reply = roundTrip(port, "GET /img/aircrafts/../../../etc/passwd HTTP/1.1\r\n\r\n");
  EXPECT_EQ(reply.statusLine, "HTTP/1.1 404 Not Found");
  EXPECT_EQ(reply.body, "Not Found");
}

}  // namespace
}  // namespace http_test
