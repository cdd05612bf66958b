// Requests the server must survive: malformed, oversized, slow, idle, many at once, garbage.

#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "tests/json-server/http_server_fixture.h"

namespace http_test {
namespace {

using namespace std::chrono_literals;

const std::string kEcho = R"({"req":"echo","data":{"x":"ok"}})";
const std::string kEchoReply = "{\"status\":\"OK\",\"x\":\"ok\"}\n";

// "[1,1,...,1]" of exactly `size` bytes (odd).
std::string elementBomb(size_t size) {
  std::string text = "[";
  while (text.size() + 2 < size) text += "1,";
  return text + "1]";
}

// The server still answers a fresh client promptly.
void expectServing(uint16_t port) {
  const Reply reply = roundTrip(port, post("/json", kEcho), 2000ms);
  EXPECT_TRUE(reply.complete);
  EXPECT_EQ(reply.body, kEchoReply);
}

TEST_F(HttpServerTest, MalformedAndOversizedRequestsGetA4xxAndAClose) {
  startServer();
  const struct {
    std::string request;
    std::string statusLine;
  } cases[] = {
      {"GARBAGE\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"GET / HTTP/9.Z\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"GET / HTTP/1.1\r\nNoColonHere\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"GET / HTTP/1.1\r\nContent-Length: abc\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"POST /json HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\n{}", "HTTP/1.1 400 Bad Request"},
      {std::string("\x00\x01\x02\xff\xfe\r\n\r\n", 9), "HTTP/1.1 400 Bad Request"},
      {"GET /" + std::string(20000, 'a') + " HTTP/1.1\r\n\r\n", "HTTP/1.1 431 Request Header Fields Too Large"},
      {"GET / HTTP/1.1\r\nX-Big: " + std::string(17000, 'b') + "\r\n\r\n", "HTTP/1.1 431 Request Header Fields Too Large"},
      {"POST /json HTTP/1.1\r\nContent-Length: 2000000\r\n\r\n{", "HTTP/1.1 413 Payload Too Large"},
      {"POST /json HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n200000\r\n" + std::string(0x200000, 'c'),
       "HTTP/1.1 413 Payload Too Large"},
      {post("/json", elementBomb(1000001)), "HTTP/1.1 413 Payload Too Large"},
      {post("/json", std::string(HttpSession::bodyLimit + 1, ' ')), "HTTP/1.1 413 Payload Too Large"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.statusLine + " for " + c.request.substr(0, 40));
    Connection connection(port);
    connection.send(c.request);  // the server may close before all of a large request is taken
    const Reply reply = connection.readReply(3000ms);
    ASSERT_TRUE(reply.complete);
    EXPECT_EQ(reply.statusLine, c.statusLine);
    EXPECT_EQ(reply.header("Connection"), "close");
    EXPECT_TRUE(connection.waitForClose(4000ms));
  }
  // Just inside the limits.
  const Reply big = roundTrip(port, post("/json", kEcho, "X-Big: " + std::string(15000, 'b') + "\r\n"));
  EXPECT_EQ(big.body, kEchoReply);
  const std::string head = R"({"req":"echo","data":{"x":"ok"},"pad":")";
  const std::string padded = head + std::string(HttpSession::bodyLimit - head.size() - 2, 'p') + "\"}";
  ASSERT_EQ(padded.size(), 65536u);
  EXPECT_EQ(roundTrip(port, post("/json", padded)).body, kEchoReply);
  expectServing(port);
}

// The header limit counts the whole header however the client splits it: the parser's own limit
// sees only what one read brings, which let a header sent in pieces grow past it.
TEST_F(HttpServerTest, TheHeaderLimitHoldsHoweverTheRequestIsSplit) {
  startServer();
  const auto request = [](size_t headerSize) {
    const size_t bare = post("/json", kEcho, "X-Pad: \r\n").find("\r\n\r\n") + 4;
    return post("/json", kEcho, "X-Pad: " + std::string(headerSize - bare, 'p') + "\r\n");
  };
  for (const size_t piece : {size_t{0}, size_t{700}, size_t{4000}}) {
    for (const size_t size : {size_t{HttpSession::headerLimit}, size_t{HttpSession::headerLimit} + 1}) {
      SCOPED_TRACE("header of " + std::to_string(size) + " bytes in pieces of " + std::to_string(piece));
      const std::string bytes = request(size);
      ASSERT_EQ(bytes.find("\r\n\r\n") + 4, size);
      Connection connection(port);
      for (size_t at = 0; at < bytes.size(); at += piece == 0 ? bytes.size() : piece) {
        if (!connection.send(bytes.substr(at, piece == 0 ? std::string::npos : piece))) break;
        if (piece != 0) std::this_thread::sleep_for(10ms);  // each piece a read of its own
      }
      const Reply reply = connection.readReply(3000ms);
      ASSERT_TRUE(reply.complete);
      if (size <= HttpSession::headerLimit) {
        EXPECT_EQ(reply.body, kEchoReply);
      } else {
        EXPECT_EQ(reply.statusLine, "HTTP/1.1 431 Request Header Fields Too Large");
      }
    }
  }
  expectServing(port);
}

TEST_F(HttpServerTest, JsonBombsInsideTheBodyLimitAreRefusedByTheReader) {
  startServer();
  const std::string error = R"({"status":"ERROR","message":"Can't parse json <unspecified file>: )";
  const struct {
    std::string body;
    std::string message;
  } cases[] = {
      {elementBomb(HttpSession::bodyLimit - 1), "too many elements"},
      {R"({"req":"echo","data":{"x":"ok","list":)" + elementBomb(60001) + "}}", "too many elements"},
      {std::string(HttpSession::bodyLimit, '['), "nesting too deep"},
      {std::string(30000, '[') + std::string(30000, ']'), "nesting too deep"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body.substr(0, 40));
    const Reply reply = roundTrip(port, post("/json", c.body));
    EXPECT_EQ(reply.statusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(reply.body, error + c.message + "\"}\n");
  }
  expectServing(port);
}

TEST_F(HttpServerTest, RequestIsHandledOnlyOnceTheWholeBodyHasArrived) {
  startServer();
  Connection connection(port);
  const std::string request = post("/json", kEcho);
  ASSERT_TRUE(connection.send(request.substr(0, request.size() - 5)));
  EXPECT_FALSE(connection.fill(1, 300ms));
  ASSERT_TRUE(connection.send(request.substr(request.size() - 5)));
  EXPECT_EQ(connection.readReply().body, kEchoReply);

  // A chunked body counts as whole at its last chunk.
  ASSERT_TRUE(connection.send("POST /json HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n10\r\n" + kEcho.substr(0, 16) +
                              "\r\n"));
  EXPECT_FALSE(connection.fill(1, 200ms));
  const std::string rest = kEcho.substr(16);
  char size[16];
  std::snprintf(size, sizeof(size), "%zx", rest.size());
  ASSERT_TRUE(connection.send(std::string(size) + "\r\n" + rest + "\r\n0\r\n\r\n"));
  EXPECT_EQ(connection.readReply().body, kEchoReply);
}

TEST_F(HttpServerTest, ExpectContinueGetsTheInterimReplyFirst) {
  startServer();
  Connection connection(port);
  ASSERT_TRUE(connection.send("POST /json HTTP/1.1\r\nExpect: 100-Continue\r\nContent-Length: " +
                              std::to_string(kEcho.size()) + "\r\n\r\n"));
  const std::string interim = "HTTP/1.1 100 Continue\r\n\r\n";
  ASSERT_TRUE(connection.fill(interim.size(), 2000ms));
  EXPECT_EQ(connection.rest(), interim);
  connection.rest().clear();
  ASSERT_TRUE(connection.send(kEcho));
  EXPECT_EQ(connection.readReply().body, kEchoReply);
  EXPECT_EQ(connection.rest(), "");

  // Too large a body is refused without the interim reply.
  const Reply refused = roundTrip(port, "POST /json HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 9999999\r\n\r\n");
  EXPECT_EQ(refused.statusLine, "HTTP/1.1 413 Payload Too Large");
}

TEST_F(HttpServerTest, SlowHeaderKeepsItsConnectionAndDelaysNoOne) {
  // Each byte is traffic: an idle limit shorter than the whole header does not cut it off.
  startServer("", 1500ms);
  Connection slow(port);
  const std::string request = post("/json", kEcho);
  const std::string head = request.substr(0, 4);  // "POST"
  for (char c : head) {
    ASSERT_TRUE(slow.send(std::string(1, c)));
    const auto begin = std::chrono::steady_clock::now();
    expectServing(port);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 500ms);
    std::this_thread::sleep_for(1s);
  }
  ASSERT_TRUE(slow.send(request.substr(head.size())));
  EXPECT_EQ(slow.readReply().body, kEchoReply);
}

TEST_F(HttpServerTest, IdleConnectionsAreClosedAfterTheIdleTime) {
  startServer("", 400ms);
  Connection silent(port);
  Connection kept(port);
  ASSERT_TRUE(kept.send(post("/json", kEcho)));
  EXPECT_EQ(kept.readReply().body, kEchoReply);
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_TRUE(silent.waitForClose(3000ms));
  EXPECT_TRUE(kept.waitForClose(3000ms));
  EXPECT_GE(std::chrono::steady_clock::now() - begin, 250ms);
  EXPECT_EQ(kept.rest(), "");
}

TEST_F(HttpServerTest, TwoHundredIdleConnectionsDoNotStopTheServer) {
  startServer();
  std::vector<std::unique_ptr<Connection>> idle;
  for (int i = 0; i < 200; ++i) {
    idle.push_back(std::make_unique<Connection>(port));
    ASSERT_TRUE(idle.back()->isOpen());
  }
  for (int i = 0; i < 20; ++i) expectServing(port);
  // Each of them is still served as well.
  for (auto& connection : idle) {
    ASSERT_TRUE(connection->send(post("/json", kEcho)));
  }
  for (auto& connection : idle) {
    EXPECT_EQ(connection->readReply(3000ms).body, kEchoReply);
  }
}

TEST_F(HttpServerTest, HalfClosedClientStillGetsItsReply) {
  startServer();
  Connection connection(port);
  ASSERT_TRUE(connection.send(post("/json", kEcho)));
  connection.shutdownSend();
  EXPECT_EQ(connection.readReply().body, kEchoReply);
  EXPECT_TRUE(connection.waitForClose(2000ms));
}

TEST_F(HttpServerTest, RandomBytesNeverStopTheServer) {
  startServer();
  std::mt19937 random(1090);
  const std::string pieces[] = {"GET ", "POST ", "/json", " HTTP/1.1", " HTTP/1.0", "\r\n", "\r\n\r\n", ":", " ",
                                "Content-Length: ", "Transfer-Encoding: chunked", "Expect: 100-continue",
                                "Connection: keep-alive", "%", "%2e%2e/", "..", "\\", "{\"req\":\"echo\"}", "0", "ff",
                                std::string(1, '\0'), "\xff\xfe"};
  for (int round = 0; round < 300; ++round) {
    std::string bytes;
    const int count = static_cast<int>(random() % 30);
    for (int i = 0; i < count; ++i) {
      if (random() % 4 == 0) {
        bytes += static_cast<char>(random());
      } else {
        bytes += pieces[random() % (sizeof(pieces) / sizeof(pieces[0]))];
      }
    }
    Connection connection(port);
    connection.send(bytes);
    connection.shutdownSend();
    EXPECT_TRUE(connection.waitForClose(3000ms)) << round;
  }
  expectServing(port);
}

}  // namespace
}  // namespace http_test
