// JSON replies: gzip when accepted, and pending replies completed later from another thread,
// expired, dropped with their connection, or streamed from a file.

#include <gtest/gtest.h>

#include <boost/iostreams/device/back_inserter.hpp>
#include <boost/iostreams/filter/gzip.hpp>
#include <boost/iostreams/filtering_stream.hpp>
#include <boost/property_tree/ptree.hpp>

#include <cstdio>
#include <random>

#include "app/host_clock.h"
#include "json-server/jsonserver/src/gzip_string.h"
#include "tests/json-server/http_server_fixture.h"

namespace http_test {
namespace {

using namespace std::chrono_literals;

const std::string kEchoLong = R"({"req":"echo","data":{"x":"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"}})";
const std::string kEchoLongReply =
    "{\"status\":\"OK\",\"x\":\"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\"}\n";

ptree okTree(const std::string& value) {
  ptree tree;
  tree.put("status", "OK");
  tree.put("v", value);
  return tree;
}

TEST(GzipStringTest, RoundTripsAndWritesTheFixedHeader) {
  for (const std::string& text : {std::string(), std::string("{}\n"), std::string(100000, 'x')}) {
    const std::string compressed = gzipString(text);
    ASSERT_GE(compressed.size(), 18u);
    EXPECT_EQ(compressed.substr(0, 3), "\x1f\x8b\x08");
    EXPECT_EQ(compressed.substr(4, 4), std::string(4, '\0'));  // time 0
    EXPECT_EQ(static_cast<unsigned char>(compressed[9]), 255);  // operating system unknown
    EXPECT_EQ(gunzipString(compressed), text);
  }
  EXPECT_ANY_THROW(gunzipString("not gzip at all"));
  EXPECT_ANY_THROW(gunzipString(gzipString("truncated text here").substr(0, 12)));
}

// The body must be what the Boost.Iostreams gzip compressor makes with its defaults, down to the
// level byte of the header and every deflate block.
TEST(GzipStringTest, SameBytesAsTheIostreamsCompressor) {
  std::mt19937 random(7);
  std::string reply = "{\"status\":\"OK\",\"stats\":{\"M\":false,\"epoch\":123456,\"flights\":[";
  while (reply.size() < 300000) {
    char object[160];
    std::snprintf(object, sizeof object, "{\"A\":%u,\"S\":%u.%u,\"LA\":51.%06u,\"LO\":-0.%06u,\"I\":\"%06X\"},",
                  static_cast<unsigned>(random() % 400) * 100, static_cast<unsigned>(random() % 500),
                  static_cast<unsigned>(random() % 10), static_cast<unsigned>(random() % 1000000),
                  static_cast<unsigned>(random() % 1000000), static_cast<unsigned>(random() & 0xFFFFFF));
    reply += object;
  }
  reply += "]}}\n";
  for (const std::string& text : {std::string(), std::string("{\"status\":\"OK\"}\n"), reply}) {
    std::string expected;
    {
      boost::iostreams::filtering_ostream out;
      out.push(boost::iostreams::gzip_compressor());
      out.push(boost::iostreams::back_inserter(expected));
      out.write(text.data(), static_cast<std::streamsize>(text.size()));
    }
    EXPECT_EQ(gzipString(text), expected) << "text of " << text.size() << " bytes";
  }
}

TEST_F(HttpServerTest, JsonIsGzippedExactlyWhenAcceptEncodingSaysGzip) {
  startServer();
  const struct {
    std::string header;
    bool gzip;
  } cases[] = {
      {"Accept-Encoding: gzip, deflate\r\n", true},
      {"accept-encoding: gzip\r\n", true},
      {"Accept-Encoding: x-gzip\r\n", true},
      {"Accept-Encoding: deflate\r\n", false},
      {"Accept-Encoding: GZIP\r\n", false},
      {"", false},
      // Only the first header of the name counts.
      {"Accept-Encoding: identity\r\nAccept-Encoding: gzip\r\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.header);
    const Reply reply = roundTrip(port, jsonPost(kEchoLong, c.header));
    ASSERT_TRUE(reply.complete);
    if (c.gzip) {
      EXPECT_EQ(reply.headerNames(),
                (std::vector<std::string>{"Content-Type", "Connection", "Content-Encoding", "Content-Length"}));
      EXPECT_EQ(reply.header("Content-Encoding"), "gzip");
      EXPECT_EQ(gunzipString(reply.body), kEchoLongReply);
    } else {
      EXPECT_EQ(reply.headerNames(), (std::vector<std::string>{"Content-Type", "Connection", "Content-Length"}));
      EXPECT_EQ(reply.body, kEchoLongReply);
    }
  }
  // An outside client decodes it as well.
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/json";
  EXPECT_EQ(runCommand("curl -s -m 5 --compressed --data '" + kEchoLong + "' " + url), kEchoLongReply);
  EXPECT_EQ(runCommand("curl -s -m 5 -H 'Accept-Encoding: gzip' --data '" + kEchoLong + "' " + url),
            gzipString(kEchoLongReply));
}

TEST_F(HttpServerTest, PendingReplyCompletedFromAnotherThread) {
  // A long poll period: only the wake-up from the completing thread can send the reply in time.
  server.setPollPeriod(10s);
  startServer();
  Connection connection(port);
  ASSERT_TRUE(connection.send(jsonPost(R"({"req":"later"})", "Accept-Encoding: gzip\r\n")));
  const uint32_t id = later->waitForPending(1);
  EXPECT_EQ(id, 1u);
  EXPECT_EQ(server.pendingResponseCount(), 1u);

  bool found = false;
  std::thread producer([&] { found = server.withResponse(id, [](HttpResponse& r) { r.sendJson(okTree("late")); }); });
  producer.join();
  EXPECT_TRUE(found);

  const Reply reply = connection.readReply(2000ms);
  ASSERT_TRUE(reply.complete);
  // Never compressed, and the connection closes after it.
  EXPECT_EQ(reply.head, "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 27\r\n"
                        "Connection: keep-alive\r\n");
  EXPECT_EQ(reply.body, "{\"status\":\"OK\",\"v\":\"late\"}\n");
  EXPECT_TRUE(connection.waitForClose(2000ms));
  EXPECT_TRUE(eventually([&] { return server.pendingResponseCount() == 0; }));

  // The next one gets the next id.
  Connection second(port);
  ASSERT_TRUE(second.send(jsonPost(R"({"req":"later"})")));
  EXPECT_EQ(later->waitForPending(2), 2u);
}

TEST_F(HttpServerTest, PendingReplyCompletedOnThePollThreadItself) {
  startServer();
  Connection connection(port);
  ASSERT_TRUE(connection.send(jsonPost(R"({"req":"later","data":{"now":"cached"}})")));
  const Reply reply = connection.readReply(2000ms);
  EXPECT_EQ(reply.headerNames(), (std::vector<std::string>{"Content-Type", "Content-Length", "Connection"}));
  EXPECT_EQ(reply.body, "{\"data\":\"cached\",\"status\":\"OK\"}\n");
  EXPECT_TRUE(connection.waitForClose(2000ms));
  EXPECT_TRUE(eventually([&] { return server.pendingResponseCount() == 0; }));
}

TEST_F(HttpServerTest, ManyPendingRepliesCompletedConcurrently) {
  startServer();
  constexpr size_t count = 20;
  std::vector<std::unique_ptr<Connection>> connections;
  for (size_t i = 0; i < count; ++i) {
    connections.push_back(std::make_unique<Connection>(port));
    ASSERT_TRUE(connections.back()->send(jsonPost(R"({"req":"later"})")));
    ASSERT_NE(later->waitForPending(i + 1), 0u);
  }
  std::vector<std::thread> producers;
  for (size_t i = 0; i < count; ++i) {
    producers.emplace_back([this, i] {
      const uint32_t id = later->ids[i];
      server.withResponse(id, [id](HttpResponse& r) { r.sendJson(okTree(std::to_string(id))); });
    });
  }
  for (auto& p : producers) p.join();
  for (size_t i = 0; i < count; ++i) {
    const Reply reply = connections[i]->readReply(3000ms);
    EXPECT_EQ(reply.body, "{\"status\":\"OK\",\"v\":" + std::to_string(later->ids[i]) + "}\n");
  }
}

TEST_F(HttpServerTest, ClientThatLeavesTakesItsPendingReplyAlong) {
  startServer();
  {
    Connection connection(port);
    ASSERT_TRUE(connection.send(jsonPost(R"({"req":"later"})")));
    ASSERT_NE(later->waitForPending(1), 0u);
  }
  EXPECT_TRUE(eventually([&] { return server.pendingResponseCount() == 0; }));
  EXPECT_FALSE(server.withResponse(later->ids[0], [](HttpResponse& r) { r.sendJson(okTree("x")); }));
  server.removeResponse(later->ids[0]);  // not registered: nothing happens
  server.removeResponse(12345);
  EXPECT_EQ(roundTrip(port, jsonPost(R"({"req":"echo","data":{"x":"1"}})")).body, "{\"status\":\"OK\",\"x\":1}\n");
}

TEST_F(HttpServerTest, PendingReplyWithoutStatusWaitsForTheIdleClose) {
  startServer("", 300ms);
  Connection connection(port);
  ASSERT_TRUE(connection.send(jsonPost(R"({"req":"later"})")));
  ASSERT_NE(later->waitForPending(1), 0u);
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_TRUE(connection.waitForClose(3000ms));
  EXPECT_GE(std::chrono::steady_clock::now() - begin, 250ms);
  EXPECT_EQ(connection.rest(), "");
  EXPECT_TRUE(eventually([&] { return server.pendingResponseCount() == 0; }));
}

TEST_F(HttpServerTest, StartedButUnfinishedReplyExpiresAfter120Seconds) {
  constexpr uint32_t t0 = 1600000000;
  setHostSecondsForTest(t0);
  startServer();
  Connection connection(port);
  ASSERT_TRUE(connection.send(jsonPost(R"({"req":"later"})", "Connection: close\r\n")));
  const uint32_t id = later->waitForPending(1);
  server.withResponse(id, [](HttpResponse& r) {
    r.addHeader("Content-Type", "text/plain");
    r.addBody("part");
    r.addBody("");
    r.setStatus(200);
  });
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\npart";
  EXPECT_TRUE(connection.fill(head.size(), 2000ms));
  EXPECT_EQ(connection.rest(), head);

  setHostSecondsForTest(t0 + 119);
  EXPECT_FALSE(connection.waitForClose(400ms));
  setHostSecondsForTest(t0 + 120);
  EXPECT_TRUE(connection.waitForClose(2000ms));
  EXPECT_EQ(connection.rest(), head);
  setHostSecondsForTest(0);
  EXPECT_TRUE(eventually([&] { return server.pendingResponseCount() == 0; }));
}

TEST_F(HttpServerTest, RequestBehindAPendingReplyDoesNotBreakIntoIt) {
  startServer();
  Connection connection(port);
  ASSERT_TRUE(connection.send(jsonPost(R"({"req":"later"})")));
  const uint32_t id = later->waitForPending(1);
  ASSERT_TRUE(connection.send("GET /other HTTP/1.1\r\n\r\n"));
  std::this_thread::sleep_for(200ms);
  server.withResponse(id, [](HttpResponse& r) { r.sendJson(okTree("only")); });
  const Reply reply = connection.readReply();
  EXPECT_EQ(reply.body, "{\"status\":\"OK\",\"v\":\"only\"}\n");
  EXPECT_TRUE(connection.waitForClose());
  EXPECT_EQ(connection.rest(), "");
}

class FileStreamTest : public HttpServerTest {
 protected:
  std::string makeFile(size_t size) {
    std::string content(size, '\0');
    std::mt19937 random(static_cast<uint32_t>(size));
    for (auto& c : content) c = static_cast<char>(random());
    char name[] = "/tmp/velkaro_http_stream_XXXXXX";
    const int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ::close(fd);
    paths.push_back(name);
    return name;
  }
  void TearDown() override {
    HttpServerTest::TearDown();
    for (const auto& p : paths) std::remove(p.c_str());
  }
  std::vector<std::string> paths;
};

TEST_F(FileStreamTest, FilesOfEverySizeArriveWhole) {
  startServer();
  for (const size_t size : {size_t(0), size_t(1), size_t(65535), size_t(65536), size_t(65537), size_t(3 << 20)}) {
    SCOPED_TRACE(size);
    const std::string path = makeFile(size);
    std::ifstream in(path, std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Connection connection(port);
    ASSERT_TRUE(connection.send(jsonPost(R"({"req":"stream","data":{"path":")" + path + "\"}}")));
    const Reply reply = connection.readReply(10000ms);
    ASSERT_TRUE(reply.complete);
    EXPECT_EQ(reply.header("Content-Length"), std::to_string(size));
    EXPECT_TRUE(reply.body == content);
    EXPECT_TRUE(connection.waitForClose(2000ms));
    EXPECT_EQ(connection.rest(), "");
  }
  EXPECT_TRUE(eventually([&] { return server.pendingResponseCount() == 0; }));
  // A command that fails before going pending answers at once and leaves nothing registered.
  const Reply failed = roundTrip(port, jsonPost(R"({"req":"stream","data":{"path":"/nonexistent/file"}})"));
  EXPECT_EQ(failed.body, "{\"status\":\"ERROR\",\"message\":\"Can't open \\/nonexistent\\/file\"}\n");
  EXPECT_EQ(server.pendingResponseCount(), 0u);
}

}  // namespace
}  // namespace http_test
