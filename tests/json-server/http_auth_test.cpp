// Basic authentication: every request must carry the right "Authorization" header.

#include <gtest/gtest.h>

#include "json-server/jsonserver/src/basic_auth.h"
#include "tests/json-server/http_server_fixture.h"

namespace http_test {
namespace {

const std::string kUnauthorized =
    "HTTP/1.1 401 Unauthorized\r\nContent-Type: text/plain\r\nContent-Length: 16\r\n"
    "Connection: keep-alive\r\nWWW-Authenticate: Basic realm=\"Auth\"\r\n\r\n401 Unauthorized";

// "user:secret" in base64.
const std::string kGood = "dXNlcjpzZWNyZXQ=";

TEST(Base64Test, DecodesWithAndWithoutFill) {
  const struct {
    std::string text;
    bool ok;
    std::string decoded;
  } cases[] = {
      {"dXNlcjpzZWNyZXQ=", true, "user:secret"},
      {"dXNlcjpzZWNyZXQ", true, "user:secret"},
      {"YQ==", true, "a"},
      {"YQ", true, "a"},
      {"YWI=", true, "ab"},
      {"+/+/", true, "\xfb\xff\xbf"},
      {"=", true, ""},
      {"==", true, ""},
      {"", true, ""},
      {"YQ===", false, ""},
      {"Y=Q=", false, ""},
      {"dXNl cjpz", false, ""},
      {"dXNl-cjpz", false, ""},
      {std::string("YQ\0=", 4), false, ""},
  };
  for (const auto& c : cases) {
    std::string decoded = "stale";
    EXPECT_EQ(decodeBase64(c.text, decoded), c.ok) << c.text;
    EXPECT_EQ(decoded, c.decoded) << c.text;
  }
}

class HttpAuthTest : public HttpServerTest {
 protected:
  void SetUp() override {
    // Dozens of wrong passwords in a row here; holding them back has tests of its own.
    AuthThrottleSettings unthrottled;
    unthrottled.freeFailures = 1000000;
    server.setAuthThrottle(unthrottled);
    startServer("user:secret");
  }
};

TEST_F(HttpAuthTest, WrongOrMissingCredentialsGetTheAuthenticationReply) {
  const std::string rejected[] = {
      "",
      "Authorization: basic " + kGood + "\r\n",
      "Authorization: Basic" + kGood + "\r\n",
      "Authorization: Basic  " + kGood + "\r\n",
      "Authorization: Bearer " + kGood + "\r\n",
      "Authorization: Basic !!!notbase64\r\n",
      "Authorization: Basic \r\n",
      "Authorization: Basic dXNlcjpTZWNyZXQ=\r\n",            // user:Secret
      "Authorization: Basic dXNlcjpzZWNyZXQx\r\n",            // user:secret1
      "Authorization: Basic dXNlcg==\r\n",                   // user
  };
  for (const std::string& header : rejected) {
    for (const char* uri : {"/json", "/img/aircrafts/a.jpg", "/", "/nothing"}) {
      Connection connection(port);
      ASSERT_TRUE(connection.send(std::string("GET ") + uri + " HTTP/1.1\r\n" + header + "\r\n"));
      ASSERT_TRUE(connection.fill(kUnauthorized.size(), std::chrono::milliseconds(3000))) << header << uri;
      EXPECT_EQ(connection.rest(), kUnauthorized) << header << uri;
    }
  }
}

TEST_F(HttpAuthTest, RightCredentialsReachTheRouterOnEveryRequest) {
  const std::string header = "Authorization: Basic " + kGood + "\r\n";
  Connection connection(port);
  ASSERT_TRUE(connection.send(jsonPost(R"({"req":"echo","data":{"x":"in"}})", header)));
  EXPECT_EQ(connection.readReply().body, "{\"status\":\"OK\",\"x\":\"in\"}\n");
  ASSERT_TRUE(connection.send("GET /nothing HTTP/1.1\r\n" + header + "\r\n"));
  EXPECT_EQ(connection.readReply().statusLine, "HTTP/1.1 404 Not Found");
  // Nothing is remembered: the same connection without the header is refused again.
  ASSERT_TRUE(connection.send(jsonPost(R"({"req":"echo"})")));
  const Reply refused = connection.readReply();
  EXPECT_EQ(refused.statusLine, "HTTP/1.1 401 Unauthorized");
  EXPECT_EQ(refused.body, "401 Unauthorized");
  // The header name is matched in any case; HTTP/1.0 gets "close" in the 401 as well.
  EXPECT_EQ(roundTrip(port, "GET /x HTTP/1.1\r\nauthorization: Basic " + kGood + "\r\n\r\n").statusLine,
            "HTTP/1.1 404 Not Found");
  EXPECT_EQ(roundTrip(port, "GET /x HTTP/1.0\r\n\r\n").header("Connection"), "close");
}

TEST_F(HttpAuthTest, CurlWithUserAndPassword) {
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/json";
  const std::string body = R"({"req":"echo","data":{"x":"curl"}})";
  EXPECT_EQ(runCommand("curl -s -m 5 -u user:secret --data '" + body + "' " + url),
            "{\"status\":\"OK\",\"x\":\"curl\"}\n");
  EXPECT_EQ(runCommand("curl -s -m 5 -o /dev/null -w '%{http_code}' -u user:wrong " + url), "401");
}

}  // namespace
}  // namespace http_test
