// Password guessing over real connections: answers held back per address without stalling the
// server, the right password from elsewhere let in at once, and the failures in the log.

#include <gtest/gtest.h>

#include <map>
#include <regex>

#include "support/log_lines.h"
#include "tests/json-server/http_server_fixture.h"

namespace http_test {
namespace {

using namespace std::chrono_literals;

const std::string kUnauthorized =
    "HTTP/1.1 401 Unauthorized\r\nContent-Type: text/plain\r\nContent-Length: 16\r\n"
    "Connection: keep-alive\r\nWWW-Authenticate: Basic realm=\"Auth\"\r\n\r\n401 Unauthorized";
const std::string kWrong = "Authorization: Basic dXNlcjp3cm9uZw==\r\n";  // user:wrong
const std::string kRight = "Authorization: Basic dXNlcjpzZWNyZXQ=\r\n";  // user:secret
const std::string kEchoReply = "{\"status\":\"OK\",\"x\":\"in\"}\n";
// Far longer than a reply takes on the loopback, so that held and answered cannot be confused.
constexpr auto kHold = 1500ms;

std::string echo(const std::string& authorization) {
  return post("/json", R"({"req":"echo","data":{"x":"in"}})", authorization);
}

class HttpAuthThrottleTest : public HttpServerTest {
 protected:
  void start(uint32_t freeFailures, std::chrono::seconds logInterval = 60s) {
    AuthThrottleSettings settings;
    settings.freeFailures = freeFailures;
    settings.firstDelay = kHold;
    settings.maxDelay = kHold;
    settings.logInterval = logInterval;
    server.setAuthThrottle(settings);
    startServer("user:secret");
  }

  // The next reply on the connection comes before the hold would have ended.
  static bool answeredAtOnce(Connection& connection, const std::string& request) {
    connection.rest().clear();
    return connection.send(request) && connection.fill(1, kHold / 2);
  }
};

TEST_F(HttpAuthThrottleTest, GuessesBeyondTheFreeOnesAreHeldWhileOthersAreServed) {
  start(2);
  Connection guesser(port);
  // Without credentials it is a browser's first request, not a guess: neither held nor counted.
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(answeredAtOnce(guesser, "GET / HTTP/1.1\r\n\r\n")) << i;
    ASSERT_TRUE(guesser.fill(kUnauthorized.size(), 1000ms));
  }
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(answeredAtOnce(guesser, echo(kWrong))) << i;
    ASSERT_TRUE(guesser.fill(kUnauthorized.size(), 1000ms));
    EXPECT_EQ(guesser.rest(), kUnauthorized);
  }

  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    EXPECT_FALSE(answeredAtOnce(guesser, echo(kWrong)));
    // Meanwhile the right password from another address gets in, and a second guesser at the
    // same address is held as well.
    Connection user(port, "127.0.0.2");
    ASSERT_TRUE(user.send(echo(kRight)));
    EXPECT_EQ(user.readReply().body, kEchoReply);
    Connection second(port);
    EXPECT_FALSE(answeredAtOnce(second, echo(kWrong)));
    // The held reply is today's reply, byte for byte.
    ASSERT_TRUE(guesser.fill(kUnauthorized.size(), kHold * 2));
    EXPECT_EQ(guesser.rest(), kUnauthorized);
    ASSERT_TRUE(second.fill(kUnauthorized.size(), kHold * 2));
    EXPECT_EQ(second.rest(), kUnauthorized);
  }
}

TEST_F(HttpAuthThrottleTest, TheRightPasswordFromAGuessingAddressWaitsLikeAGuessThenStartsAfresh) {
  start(1);
  Connection connection(port);
  ASSERT_TRUE(answeredAtOnce(connection, echo(kWrong)));
  ASSERT_TRUE(connection.fill(kUnauthorized.size(), 1000ms));
  // An answer sooner than a wrong password's would tell that the password is right.
  EXPECT_FALSE(answeredAtOnce(connection, echo(kRight)));
  EXPECT_EQ(connection.readReply(kHold * 2).body, kEchoReply);
  ASSERT_TRUE(answeredAtOnce(connection, echo(kWrong)));
  ASSERT_TRUE(connection.fill(kUnauthorized.size(), 1000ms));
  EXPECT_EQ(connection.rest(), kUnauthorized);
}

TEST_F(HttpAuthThrottleTest, FailuresAreLoggedAsWarningsWithTheirCountPerAddress) {
  start(1000, 1s);
  const uint32_t mark = lastLogNumber();
  Connection guesser(port);
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(guesser.send(echo(kWrong)));
    ASSERT_EQ(guesser.readReply().statusLine, "HTTP/1.1 401 Unauthorized");
  }
  Connection user(port, "127.0.0.2");
  ASSERT_TRUE(user.send(echo(kRight)));
  EXPECT_EQ(user.readReply().body, kEchoReply);
  ASSERT_TRUE(user.send(echo(kWrong)));
  EXPECT_EQ(user.readReply().statusLine, "HTTP/1.1 401 Unauthorized");

  // The first failure of an address is logged at once, the rest once the interval has passed.
  const std::regex line(".* WARNING  HTTP authentication failed (\\d+) times? from (127\\.0\\.0\\.[12])");
  std::map<std::string, int> counted;
  std::map<std::string, int> lines;
  ASSERT_TRUE(eventually(
      [&] {
        counted.clear();
        lines.clear();
        for (const std::string& text : logLinesAfter(mark)) {
          std::smatch match;
          if (!std::regex_match(text, match, line)) continue;
          counted[match[2]] += std::stoi(match[1]);
          if (lines[match[2]]++ == 0) {
            EXPECT_EQ(match[1], "1") << text;
          }
        }
        return counted["127.0.0.1"] == 5;
      },
      5000ms));
  EXPECT_EQ(counted["127.0.0.2"], 1);
  EXPECT_EQ(lines["127.0.0.2"], 1);
}

}  // namespace
}  // namespace http_test
