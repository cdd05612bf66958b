// Replies to HEAD end at their empty line, whoever writes them: a body would be read by a
// kept-alive client as the start of the next reply.

#include <gtest/gtest.h>

#include "tests/json-server/http_server_fixture.h"

namespace http_test {
namespace {

struct HeadCase {
  std::string request;
  std::string statusLine;
  std::string next;  // the status line of the GET sent behind it; empty when the connection ends
};

// Sends the request and then a GET that closes, on one connection: the first reply must end at
// its empty line, with the second reply (if any) right after it.
void expectBodilessReply(uint16_t port, const HeadCase& c) {
  SCOPED_TRACE(c.request);
  Connection connection(port);
  ASSERT_TRUE(connection.send(c.request + "GET /next HTTP/1.1\r\nConnection: close\r\n\r\n"));
  ASSERT_TRUE(connection.waitForClose());
  const std::string& bytes = connection.rest();
  EXPECT_EQ(bytes.compare(0, c.statusLine.size(), c.statusLine), 0) << bytes;
  const size_t end = bytes.find("\r\n\r\n");
  ASSERT_NE(end, std::string::npos) << bytes;
  EXPECT_NE(bytes.substr(0, end).find("Content-Length: "), std::string::npos) << bytes;
  if (c.next.empty()) {
    EXPECT_EQ(bytes.size(), end + 4) << bytes;
  } else {
    EXPECT_EQ(bytes.compare(end + 4, c.next.size(), c.next), 0) << bytes;
  }
}

TEST_F(HttpServerTest, HeadRepliesOfTheRouterAndTheSessionHaveNoBody) {
  startServer();
  const HeadCase cases[] = {
      {"HEAD /json HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", "HTTP/1.1 404 Not Found"},
      {"HEAD /json HTTP/1.1\r\nContent-Length: 14\r\n\r\n{\"req\":\"echo\"}", "HTTP/1.1 200 OK",
       "HTTP/1.1 404 Not Found"},
      {"HEAD /nothing HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", "HTTP/1.1 404 Not Found"},
      // A pending reply, completed at once by the command; the connection ends with it.
      {"HEAD /json HTTP/1.1\r\nContent-Length: 36\r\n\r\n{\"req\":\"later\",\"data\":{\"now\":\"abc\"}}",
       "HTTP/1.1 200 OK", ""},
  };
  for (const HeadCase& c : cases) expectBodilessReply(port, c);
}

TEST_F(HttpServerTest, HeadWithoutCredentialsGetsTheChallengeWithoutBody) {
  startServer("user:pass");
  expectBodilessReply(port, {"HEAD / HTTP/1.1\r\n\r\n", "HTTP/1.1 401 Unauthorized", "HTTP/1.1 401 Unauthorized"});
}

}  // namespace
}  // namespace http_test
