#pragma once
// The HTTP client carried over TLS, for the NOTAM search's form POST. The server's certificate is
// verified against the system's CA store and must be made out for the host of the URL, and the
// host name goes out as SNI: a forged NOTAM text is worse than none.

#include "infoservice/http_client.h"

#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>

#include <memory>
#include <string>

// The parts of an "https://" URL: no credentials and no port are read, so "host:8443" is a host name.
bool splitHttpsUrl(const std::string& url, HttpUrl& parts);

class HttpsClient : public HttpClient {
 public:
  // One context serves every client; it is made by makeContext when none is given.
  // Throws when the TLS library cannot make the context or the connection.
  HttpsClient(boost::asio::io_context& ioService, HttpClientSettings settings = HttpClientSettings(),
              std::shared_ptr<boost::asio::ssl::context> context = nullptr);
  ~HttpsClient() override;

  // Verifying client context: the system's CA store, or only `caFile` when it is given.
  // Throws boost::system::system_error when the TLS library refuses.
  static std::shared_ptr<boost::asio::ssl::context> makeContext(const std::string& caFile);

  // A form POST of `body` (already form-encoded). Any thread, as HttpClient::get.
  void post(const std::string& url, const std::string& body);
  void get(const std::string& url) override;

  static std::string postRequestText(const HttpUrl& parts, const HttpHeaders& headers, const std::string& body);

 protected:
  boost::asio::ip::tcp::socket& tcpSocket() override { return stream.next_layer(); }
  std::string connectErrorText(const boost::system::error_code& error) const override;
  void onConnected() override;
  void asyncWrite(Completion completion) override;
  void asyncReadUntil(const char* delimiter, Completion completion) override;
  void asyncReadSome(Completion completion) override;
  void closeTransport() override;

 private:
  void start(const std::string& url, const std::string* body);
  void handleHandshake(const boost::system::error_code& error);

  std::shared_ptr<boost::asio::ssl::context> context;
  boost::asio::ssl::stream<boost::asio::ip::tcp::socket> stream;
};
