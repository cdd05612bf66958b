#include "infoservice/https_client.h"

#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/ssl/host_name_verification.hpp>
#include <boost/asio/write.hpp>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <utility>

bool splitHttpsUrl(const std::string& url, HttpUrl& parts) {
  static const std::string scheme = "https://";
  parts = HttpUrl();
  parts.port = 443;
  if (url.size() < scheme.size() || url.compare(0, scheme.size(), scheme) != 0) return false;
  const size_t slash = url.find('/', scheme.size());
  parts.host = url.substr(scheme.size(), slash == std::string::npos ? std::string::npos : slash - scheme.size());
  parts.path = slash == std::string::npos ? "/" : url.substr(slash);
  return true;
}

std::shared_ptr<boost::asio::ssl::context> HttpsClient::makeContext(const std::string& caFile) {
  namespace ssl = boost::asio::ssl;
  auto context = std::make_shared<ssl::context>(ssl::context::tls_client);
  context->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                       ssl::context::no_compression);
  if (caFile.empty()) {
    context->set_default_verify_paths();
  } else {
    context->load_verify_file(caFile);
  }
  context->set_verify_mode(ssl::verify_peer);
  return context;
}

HttpsClient::HttpsClient(boost::asio::io_context& ioService, HttpClientSettings clientSettings,
                         std::shared_ptr<boost::asio::ssl::context> sharedContext)
    : HttpClient(ioService, std::move(clientSettings)),
      context(sharedContext ? std::move(sharedContext) : makeContext(settings.caFile)),
      stream(ioService, *context) {
  port = 443;
}

HttpsClient::~HttpsClient() = default;

std::string HttpsClient::postRequestText(const HttpUrl& parts, const HttpHeaders& headers, const std::string& body) {
  std::string text = "POST " + parts.path + " HTTP/1.0\r\n";
  text += "Host: " + parts.host + "\r\n";
  text += "Accept: application/json,text/plain\r\n";
  text += "Accept-Encoding: gzip,deflate\r\n";
  text += "Content-Type: application/x-www-form-urlencoded; charset=utf-8\r\n";
  text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  for (const auto& header : headers.headers) text += header.first + ": " + header.second + "\r\n";
  text += "\r\n";
  text += body;
  return text;
}

void HttpsClient::post(const std::string& requestUrl, const std::string& body) {
  auto self = std::static_pointer_cast<HttpsClient>(shared_from_this());
  boost::asio::post(ioService, [self, requestUrl, body] { self->start(requestUrl, &body); });
}

void HttpsClient::get(const std::string& requestUrl) {
  auto self = std::static_pointer_cast<HttpsClient>(shared_from_this());
  boost::asio::post(ioService, [self, requestUrl] { self->start(requestUrl, nullptr); });
}

void HttpsClient::start(const std::string& requestUrl, const std::string* body) {
  HttpUrl parts;
  if (!beginRequest(requestUrl, &splitHttpsUrl, parts)) return;
  const HttpHeaders& extra = requestHeaders ? *requestHeaders : HttpHeaders();
  requestText = body ? postRequestText(parts, extra, *body) : getRequestText(parts, extra);
  startRequest("https");
}

std::string HttpsClient::connectErrorText(const boost::system::error_code& error) const {
  return "Connect host HTTPS" + host + ":" + std::to_string(port) + " error " + error.message();
}

void HttpsClient::onConnected() {
  namespace ssl = boost::asio::ssl;
  phase = Phase::Handshaking;
  const std::string handshakeError = "Connect host " + host + ":" + std::to_string(port) + " error ";
  boost::system::error_code error;
  boost::asio::ip::make_address(host, error);
  // Server name indication is for names only, never for an address.
  if (error && !SSL_set_tlsext_host_name(stream.native_handle(), host.c_str())) {
    fail(handshakeError +
         boost::system::error_code(static_cast<int>(ERR_get_error()), boost::asio::error::get_ssl_category()).message());
    return;
  }
  stream.set_verify_mode(ssl::verify_peer);
  stream.set_verify_callback(ssl::host_name_verification(host));
  auto self = std::static_pointer_cast<HttpsClient>(shared_from_this());
  stream.async_handshake(ssl::stream_base::client,
                         [self](const boost::system::error_code& e) { self->handleHandshake(e); });
}

void HttpsClient::handleHandshake(const boost::system::error_code& error) {
  if (ignored(error)) return;
  if (error) {
    fail("Connect host " + host + ":" + std::to_string(port) + " error " + error.message());
    return;
  }
  writeRequest();
}

void HttpsClient::asyncWrite(Completion completion) {
  boost::asio::async_write(stream, boost::asio::buffer(requestText), std::move(completion));
}

void HttpsClient::asyncReadUntil(const char* delimiter, Completion completion) {
  boost::asio::async_read_until(stream, responseBuffer, delimiter, std::move(completion));
}

void HttpsClient::asyncReadSome(Completion completion) {
  // Only the server's close notification ends the body; a bare TCP close is a truncation.
  boost::asio::async_read(stream, responseBuffer, boost::asio::transfer_at_least(1), std::move(completion));
}

void HttpsClient::closeTransport() {
  boost::system::error_code ignore;
  stream.next_layer().close(ignore);
}
