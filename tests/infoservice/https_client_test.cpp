#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <chrono>
#include <memory>
#include <string>

#include "infoservice/https_client.h"
#include "tests/infoservice/client_support.h"
#include "tests/infoservice/local_servers.h"

namespace {

using namespace info_test;
using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST(HttpsUrl, HostRunsToTheFirstSlashAndThePortIsAlways443) {
  HttpUrl parts;
  ASSERT_TRUE(splitHttpsUrl("https://notams.example", parts));
  EXPECT_EQ(parts.host, "notams.example");
  EXPECT_EQ(parts.port, 443);
  EXPECT_EQ(parts.path, "/");
  ASSERT_TRUE(splitHttpsUrl("https://notams.example:8443/search?x=1", parts));
  EXPECT_EQ(parts.host, "notams.example:8443");
  EXPECT_EQ(parts.port, 443);
  EXPECT_EQ(parts.path, "/search?x=1");
  EXPECT_FALSE(splitHttpsUrl("http://notams.example/", parts));
  EXPECT_FALSE(splitHttpsUrl("https:/", parts));
}

TEST(HttpsRequest, PostTextCarriesTheBodyLengthAndExtraLinesBeforeTheEmptyLine) {
  HttpUrl parts;
  ASSERT_TRUE(splitHttpsUrl("https://notams.example/notamSearch/search", parts));
  HttpHeaders none;
  const std::string head =
      "POST /notamSearch/search HTTP/1.0\r\n"
      "Host: notams.example\r\n"
      "Accept: application/json,text/plain\r\n"
      "Accept-Encoding: gzip,deflate\r\n"
      "Content-Type: application/x-www-form-urlencoded; charset=utf-8\r\n";
  EXPECT_EQ(HttpsClient::postRequestText(parts, none, ""), head + "Content-Length: 0\r\n\r\n");
  HttpHeaders extra;
  extra.headers["X-Key"] = "v";
  EXPECT_EQ(HttpsClient::postRequestText(parts, extra, "a=1&b=2"),
            head + "Content-Length: 7\r\nX-Key: v\r\n\r\na=1&b=2");
}

// The TLS stand-in answers as "notam.test"; its certificate, made for the suite, is trusted through
// the CA file seam.
class HttpsClientTest : public CertificateSuiteTest {
 protected:
  HttpClientSettings trusting(const LocalServer& server, const TlsFiles& ca) {
    HttpClientSettings settings;
    settings.fixedHosts["notam.test"] = server.endpoint();
    settings.caFile = ca.certificate;
    settings.requestTimeout = std::chrono::milliseconds(500);
    return settings;
  }
  Outcome postTo(const HttpClientSettings& settings, const std::string& body = "searchType=0") {
    auto client = std::make_shared<HttpsClient>(io.io, settings);
    client->handler = handler;
    client->post("https://notam.test/notamSearch/search", body);
    return handler->wait();
  }

  IoThread io;
  Canned next = ok("{\"notamList\":[]}");
  std::shared_ptr<RecordingHandler> handler = std::make_shared<RecordingHandler>();
};

TEST_F(HttpsClientTest, PostsTheFormToAVerifiedServerAndSendsItsNameAsSni) {
  LocalServer server([this](const std::string&) { return next; }, right);
  const Outcome outcome = postTo(trusting(server, *right), "searchType=0&designatorsForLocation=KJFK");
  ASSERT_TRUE(outcome.ok) << outcome.error();
  EXPECT_EQ(outcome.calls, 1);
  EXPECT_EQ(outcome.body, "{\"notamList\":[]}");
  ASSERT_EQ(server.requestCount(), 1u);
  EXPECT_THAT(server.requests()[0], StartsWith("POST /notamSearch/search HTTP/1.0\r\nHost: notam.test\r\n"));
  EXPECT_THAT(server.requests()[0], HasSubstr("\r\nContent-Length: 40\r\n\r\nsearchType=0&designatorsForLocation=KJFK"));
  EXPECT_EQ(server.serverNames(), std::vector<std::string>{"notam.test"});
}

TEST_F(HttpsClientTest, CertificateForAnotherNameIsRefusedAtTheHandshake) {
  // Trusted, but made out for other.test.
  LocalServer server([this](const std::string&) { return next; }, wrong);
  const Outcome outcome = postTo(trusting(server, *wrong));
  EXPECT_EQ(outcome.calls, 1);
  EXPECT_FALSE(outcome.ok);
  EXPECT_THAT(outcome.error(), StartsWith("Connect host notam.test:" + std::to_string(server.port()) + " error "));
  EXPECT_THAT(outcome.error(), HasSubstr("certificate verify failed"));
  EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(HttpsClientTest, SystemStoreDoesNotTrustASelfMadeCertificate) {
  LocalServer server([this](const std::string&) { return next; }, right);
  HttpClientSettings settings = trusting(server, *right);
  settings.caFile.clear();
  const Outcome outcome = postTo(settings);
  EXPECT_THAT(outcome.error(), HasSubstr("certificate verify failed"));
  EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(HttpsClientTest, ReplyCutByABareTcpCloseIsATruncation) {
  next.closeNotify = false;
  LocalServer server([this](const std::string&) { return next; }, right);
  const Outcome outcome = postTo(trusting(server, *right));
  EXPECT_EQ(outcome.calls, 1);
  EXPECT_FALSE(outcome.ok);
  EXPECT_THAT(outcome.error(), StartsWith("Read error "));
  EXPECT_THAT(outcome.error(), HasSubstr("truncated"));
}

TEST_F(HttpsClientTest, ServerThatNeverHandshakesFailsWithinTheRequestTime) {
  // A plain server waits for a request header that a TLS hello never completes.
  LocalServer server([this](const std::string&) { return next; });
  const Outcome outcome = postTo(trusting(server, *right));
  EXPECT_EQ(outcome.error(), "Connect host notam.test:" + std::to_string(server.port()) + " error Connection timed out");
}

TEST_F(HttpsClientTest, RefusedConnectionIsReportedWithTheHttpsWord) {
  uint16_t closedPort;
  {
    boost::asio::io_context scratch;
    tcp::acceptor probe(scratch, tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    closedPort = probe.local_endpoint().port();
  }
  HttpClientSettings settings;
  settings.fixedHosts["notam.test"] = tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), closedPort);
  settings.caFile = right->certificate;
  EXPECT_EQ(postTo(settings).error(),
            "Connect host HTTPSnotam.test:" + std::to_string(closedPort) + " error Connection refused");
}

TEST_F(HttpsClientTest, MissingCaFileFailsTheConstruction) {
  HttpClientSettings settings;
  settings.caFile = *directory + "/none.pem";
  EXPECT_THROW(std::make_shared<HttpsClient>(io.io, settings), std::exception);
}

}  // namespace
