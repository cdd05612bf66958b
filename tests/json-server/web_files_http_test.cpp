// The embedded web files over HTTP: names, headers in their order, entity tags and dates, the
// not-modified reply, HEAD and content types.

#include <gtest/gtest.h>

#include "app/host_clock.h"
#include "json-server/jsonserver/src/http_date.h"
#include "tests/json-server/web_files_test_support.h"

namespace web_test {
namespace {

using namespace std::chrono_literals;

// Requests arrive a day after the start: Sat, 28 Jan 2017 10:40:00 GMT.
constexpr uint32_t requestTime = 1485600000;
const std::string startDate = "Fri, 27 Jan 2017 06:53:20 GMT";
const std::string requestDate = "Sat, 28 Jan 2017 10:40:00 GMT";

class EmbeddedFileTest : public WebServerTest {
 protected:
  void SetUp() override {
    setHostSecondsForTest(requestTime);
    table = {
        {"index.html", "<html>page</html>\n"},
        {"js/rpc.js", "rpc();"},
        {"js/app.js", std::string(100000, 'a')},
        {"css/local.css", "body{}"},
        {"img/favicon.ico", std::string("\0\0\1\0", 4)},
        {"img/flags/Cuba.bmp", "BM flag"},
        {"img/logo.png", "\x89PNG"},
        {"img/aircraft.jpg", "jpg"},
        {"img/photo.jpeg", "jpeg"},
        {"img/anim.gif", "gif"},
        {"fonts/glyphs.woff2", "font"},
        {"README", "no extension"},
        {"dir.d/file", "dot in a folder"},
    };
  }
  void TearDown() override {
    WebServerTest::TearDown();
    setHostSecondsForTest(0);
  }
  std::string tag(const std::string& name) const {
    return "588aee60." + std::to_string(table.at(name).size());
  }

  WebFileTable table;
};

TEST(HttpFileHelpersTest, TagsDatesAndExtensions) {
  EXPECT_EQ(HttpServer::makeEtag(1485500000, 31963), "588aee60.31963");
  EXPECT_EQ(HttpServer::makeEtag(0, 0), "0.0");
  EXPECT_EQ(HttpServer::makeEtag(4102444800, 5000000000ULL), "f4865700.5000000000");
  EXPECT_EQ(HttpServer::formatHttpDate(1485500000), startDate);
  EXPECT_EQ(HttpServer::formatHttpDate(0), "Thu, 01 Jan 1970 00:00:00 GMT");
  EXPECT_EQ(HttpServer::formatHttpDate(1456790399), "Mon, 29 Feb 2016 23:59:59 GMT");
  // Past what a 32-bit time_t holds, as on the board.
  EXPECT_EQ(HttpServer::formatHttpDate(2147483648), "Tue, 19 Jan 2038 03:14:08 GMT");
  EXPECT_EQ(HttpServer::formatHttpDate(4102444800), "Fri, 01 Jan 2100 00:00:00 GMT");
  const std::pair<const char*, const char*> extensions[] = {
      {"index.html", "html"}, {"a.b.c", "c"}, {"README", ""}, {"x.", ""}, {"dir.d/file", "d/file"}, {".hidden", "hidden"},
  };
  for (const auto& e : extensions) EXPECT_EQ(HttpServer::fileExtension(e.first), e.second) << e.first;
}

TEST(HttpFileHelpersTest, DatesTheNotModifiedTestReads) {
  const std::pair<const char*, int64_t> dates[] = {
      {"Fri, 27 Jan 2017 06:53:20 GMT", 1485500000},
      {"27 Jan 2017 06:53:20", 1485500000},
      {"27/Jan/2017 06:53:20", 1485500000},
      {"27-Jan-2017 06:53:20 +0100", 1485500000},  // the zone is not read
      {"Mon, 29 Feb 2016 00:00:00 GMT", 1456704000},
      {"Tue, 01 Mar 2016 00:00:00 GMT", 1456790400},
      {"Thu, 01 Jan 1971 00:00:00 GMT", 31536000},
      {"Thu, 01 Jan 1970 00:00:01 GMT", 0},  // the year must be after 1970
      {"Fri, 27 jan 2017 06:53:20 GMT", 0},
      {"Friday, 27-Jan-17 06:53:20 GMT", 0},
      {"Fri Jan 27 06:53:20 2017", 0},
      {"Fri, 27 Jan 2017 06:53 GMT", 0},
      {"Fri, 99999999999 Jan 2017 06:53:20 GMT", 0},
      {"Fri, 27 Jan 2017 25:00:00 GMT", 0},
      {"", 0},
      {"garbage", 0},
  };
  for (const auto& d : dates) EXPECT_EQ(parseHttpDate(d.first), d.second) << d.first;
}

TEST_F(EmbeddedFileTest, PageAtTheRootWithItsHeadersInOrder) {
  startServer(&table);
  for (const std::string uri : {"/", "/index.html", "//index.html", "/index.html?x=1", "/%69ndex.html"}) {
    SCOPED_TRACE(uri);
    const Reply reply = roundTrip(port, get(uri));
    ASSERT_TRUE(reply.complete);
    EXPECT_EQ(reply.statusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(reply.headerNames(),
              (std::vector<std::string>{"Content-Type", "Content-Length", "Date", "Last-Modified", "Etag", "Connection"}));
    EXPECT_EQ(reply.header("Content-Type"), "text/html");
    EXPECT_EQ(reply.header("Content-Length"), std::to_string(table["index.html"].size()));
    EXPECT_EQ(reply.header("Date"), requestDate);
    EXPECT_EQ(reply.header("Last-Modified"), startDate);
    EXPECT_EQ(reply.header("Etag"), tag("index.html"));
    EXPECT_EQ(reply.header("Connection"), "keep-alive");
    EXPECT_EQ(reply.body, table["index.html"]);
  }
  // Never gzip-encoded, whatever the client accepts.
  const Reply plain = roundTrip(port, get("/js/app.js", "Accept-Encoding: gzip, deflate\r\n"));
  EXPECT_EQ(plain.header("Content-Encoding"), "");
  EXPECT_TRUE(plain.body == table["js/app.js"]);
}

TEST_F(EmbeddedFileTest, ContentTypesByExtension) {
  startServer(&table);
  const std::pair<const char*, const char*> types[] = {
      {"/js/rpc.js", "application/x-javascript"}, {"/css/local.css", "text/css"},
      {"/img/favicon.ico", "text/plain"},         {"/img/flags/Cuba.bmp", "text/plain"},
      {"/img/logo.png", "image/png"},             {"/img/aircraft.jpg", "image/jpeg"},
      {"/img/photo.jpeg", "image/jpeg"},          {"/img/anim.gif", "image/gif"},
      {"/fonts/glyphs.woff2", "text/plain"},      {"/README", "text/plain"},
      {"/dir.d/file", "text/plain"},
  };
  Connection connection(port);
  for (const auto& t : types) {
    ASSERT_TRUE(connection.send(get(t.first)));
    const Reply reply = connection.readReply();
    EXPECT_EQ(reply.header("Content-Type"), t.second) << t.first;
    EXPECT_TRUE(reply.body == table.at(t.first + 1)) << t.first;
  }
}

TEST_F(EmbeddedFileTest, HeadHasTheHeadersOfGetAndNoBody) {
  startServer(&table);
  const Reply full = roundTrip(port, get("/js/app.js", "Connection: close\r\n"));
  Connection connection(port);
  ASSERT_TRUE(connection.send(get("/js/app.js", "Connection: close\r\n", "HEAD")));
  ASSERT_TRUE(connection.waitForClose());
  EXPECT_EQ(connection.rest(), full.head + "\r\n");
  EXPECT_EQ(full.header("Content-Length"), "100000");

  // On a kept connection the next reply follows the empty line directly.
  Connection kept(port);
  ASSERT_TRUE(kept.send(get("/js/app.js", "", "HEAD") + get("/js/rpc.js")));
  ASSERT_TRUE(kept.fill(full.head.size() + 4 + 10, 5000ms));
  const std::string bytes = kept.rest();
  const size_t end = bytes.find("\r\n\r\n");
  ASSERT_NE(end, std::string::npos);
  EXPECT_EQ(bytes.compare(end + 4, 17, "HTTP/1.1 200 OK\r\n"), 0) << bytes.substr(0, 400);
}

TEST_F(EmbeddedFileTest, OtherMethodsGetNotFoundAndOtherNamesGoOn) {
  startServer(&table);
  for (const std::string method : {"POST", "PUT", "DELETE", "OPTIONS", "get"}) {
    const Reply reply = roundTrip(port, get("/index.html", "Content-Length: 0\r\n", method));
    EXPECT_EQ(reply.statusLine, "HTTP/1.1 404 Not Found") << method;
    EXPECT_EQ(reply.body, "Not Found") << method;
  }
  // Not in the table: the next steps answer (here nobody does, so the session's own 404).
  for (const std::string uri : {"/Index.html", "/js", "/js/", "/nothing.html", "/index.html/"}) {
    EXPECT_EQ(roundTrip(port, get(uri)).statusLine, "HTTP/1.1 404 Not Found") << uri;
  }
  // "/json" is still reached; the request is not one of the table's.
  EXPECT_EQ(roundTrip(port, get("/json")).header("Content-Type"), "application/json");
}

TEST_F(EmbeddedFileTest, NotModifiedByTagOrDate) {
  startServer(&table);
  const std::string etag = tag("js/rpc.js");
  const std::pair<std::string, const char*> cases[] = {
      {"If-None-Match: " + etag + "\r\n", "304"},
      {"if-none-match: " + etag + "\r\n", "304"},
      {"If-None-Match: \"" + etag + "\"\r\n", "200"},
      {"If-None-Match: W/" + etag + "\r\n", "200"},
      {"If-None-Match: " + etag + ", x\r\n", "200"},
      {"If-Modified-Since: " + startDate + "\r\n", "304"},
      {"If-Modified-Since: Fri, 27 Jan 2017 06:53:19 GMT\r\n", "200"},
      {"If-Modified-Since: Wed, 27 Jan 2016 06:53:20 GMT\r\n", "200"},
      {"If-Modified-Since: Sun, 01 Jan 2040 00:00:00 GMT\r\n", "304"},
      {"If-Modified-Since: 27/Jan/2017 06:53:20\r\n", "304"},
      {"If-Modified-Since: 27-Jan-2017 06:53:20\r\n", "304"},
      {"If-Modified-Since: yesterday\r\n", "200"},
      {"If-None-Match: \"" + etag + "\"\r\nIf-Modified-Since: " + startDate + "\r\n", "304"},
      {"If-None-Match: " + etag + "\r\nIf-Modified-Since: yesterday\r\n", "304"},
      {"If-None-Match: \r\nIf-Modified-Since: \r\n", "200"},
  };
  for (const auto& c : cases) {
    // A 304 has no length: the close ends it for the client.
    const Reply reply = roundTrip(port, get("/js/rpc.js", "Connection: close\r\n" + c.first));
    EXPECT_EQ(reply.statusLine.substr(9, 3), c.second) << c.first;
  }

  // The 304 reply: its four headers, no length and no body.
  Connection connection(port);
  ASSERT_TRUE(connection.send(get("/js/rpc.js", "Connection: close\r\nIf-None-Match: " + etag + "\r\n")));
  ASSERT_TRUE(connection.waitForClose());
  EXPECT_EQ(connection.rest(), "HTTP/1.1 304 Not Modified\r\nDate: " + requestDate + "\r\nLast-Modified: " + startDate +
                                   "\r\nEtag: " + etag + "\r\nConnection: close\r\n\r\n");
}

TEST_F(EmbeddedFileTest, ALaterStartGivesEveryFileANewTagAndDate) {
  startServer(&table, fixedStartTime + 5);
  const Reply reply = roundTrip(port, get("/js/rpc.js", "If-None-Match: " + tag("js/rpc.js") + "\r\n"));
  EXPECT_EQ(reply.statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(reply.header("Etag"), "588aee65.6");
  EXPECT_EQ(reply.header("Last-Modified"), "Fri, 27 Jan 2017 06:53:25 GMT");
}

// The program's own table: every file comes back byte for byte, also to curl.
TEST_F(EmbeddedFileTest, EveryFileOfTheProgramOverHttp) {
  startServer(&webFileTable());
  Connection connection(port);
  for (const auto& file : webFileTable()) {
    ASSERT_TRUE(connection.send(get("/" + file.first)));
    const Reply reply = connection.readReply();
    ASSERT_TRUE(reply.complete) << file.first;
    EXPECT_TRUE(reply.body == file.second) << file.first;
    EXPECT_EQ(reply.header("Content-Type"), HttpServer::mimeTypeForExtension(HttpServer::fileExtension(file.first)));
  }
  ScratchFolder scratch;
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
  const std::string headers = http_test::runCommand("curl -s --compressed -o " + scratch.path + "/page -D - " + url);
  EXPECT_NE(headers.find("HTTP/1.1 200 OK"), std::string::npos) << headers;
  EXPECT_TRUE(readFile(scratch.path + "/page") == webFileTable().at("index.html"));
}

}  // namespace
}  // namespace web_test
