#include "infoservice/http_client.h"

#include "json-server/jsonserver/src/gzip_string.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <istream>
#include <stdexcept>
#include <utility>

namespace {

constexpr std::chrono::seconds kStepTimeout{3};
// A header block larger than this fails the read ("Element not found"): no service sends one.
constexpr size_t kMaxHeaderBytes = 64 * 1024;

std::string trim(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

}  // namespace

bool parseHttpUrl(const std::string& url, HttpUrl& parts) {
  static const std::string scheme = "http://";
  parts = HttpUrl();
  if (url.size() < scheme.size() || url.compare(0, scheme.size(), scheme) != 0) return false;
  if (url.size() == scheme.size()) {
    parts.host.clear();
    return true;
  }
  size_t hostStart = scheme.size();
  const size_t at = url.find('@', scheme.size());
  if (at != std::string::npos) {
    const std::string credentials = url.substr(scheme.size(), at - scheme.size());
    const size_t colon = credentials.find(':');
    if (colon == std::string::npos) return false;
    parts.user = credentials.substr(0, colon);
    parts.password = credentials.substr(colon + 1);
    hostStart = at + 1 == url.size() ? scheme.size() : at + 1;
  }
  size_t position = url.find_first_of(":/", hostStart);
  parts.host = url.substr(hostStart, position == std::string::npos ? std::string::npos : position - hostStart);
  if (position != std::string::npos && url[position] == ':') {
    const size_t slash = url.find('/', position);
    const std::string portText =
        url.substr(position + 1, slash == std::string::npos ? std::string::npos : slash - position - 1);
    // Read in 64 bits on every target: the board's 32-bit long would saturate where a PC's does not.
    const long long number = std::strtoll(portText.c_str(), nullptr, 10);
    if (number == 0) return false;
    parts.port = static_cast<int>(number);
    position = slash;
  }
  if (position != std::string::npos) parts.path = url.substr(position);
  if (parts.path.empty() || parts.path[0] != '/') parts.path = "/";
  return true;
}

std::string base64Encode(const std::string& text) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((text.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < text.size(); i += 3) {
    const uint32_t bits = (static_cast<unsigned char>(text[i]) << 16) | (static_cast<unsigned char>(text[i + 1]) << 8) |
                          static_cast<unsigned char>(text[i + 2]);
    out += alphabet[(bits >> 18) & 63];
    out += alphabet[(bits >> 12) & 63];
    out += alphabet[(bits >> 6) & 63];
    out += alphabet[bits & 63];
  }
  if (i < text.size()) {
    uint32_t bits = static_cast<unsigned char>(text[i]) << 16;
    const bool two = i + 1 < text.size();
    if (two) bits |= static_cast<unsigned char>(text[i + 1]) << 8;
    out += alphabet[(bits >> 18) & 63];
    out += alphabet[(bits >> 12) & 63];
    out += two ? alphabet[(bits >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

HttpClient::HttpClient(boost::asio::io_context& ioService, HttpClientSettings settings)
    : requestHeaders(std::make_shared<HttpHeaders>()),
      responseHeaders(std::make_shared<HttpHeaders>()),
      ioService(ioService),
      settings(std::move(settings)),
      resolver(ioService),
      timer(ioService),
      deadline(ioService),
      socket(ioService),
      responseBuffer(kMaxHeaderBytes) {}

// Every pending step holds the client, so only an unstarted or finished one is destroyed.
HttpClient::~HttpClient() = default;

std::string HttpClient::getRequestText(const HttpUrl& parts, const HttpHeaders& headers) {
  std::string text = "GET " + parts.path + " HTTP/1.0\r\n";
  text += "Host: " + parts.host + "\r\n";
  text += "Accept: */*\r\n";
  text += "Accept-Encoding: gzip;q=0,deflate;q=0\r\n";
  for (const auto& header : headers.headers) text += header.first + ": " + header.second + "\r\n";
  text += "Connection: close\r\n\r\n";
  return text;
}

void HttpClient::get(const std::string& url) {
  auto self = shared_from_this();
  boost::asio::post(ioService, [self, url] { self->startGet(url); });
}

void HttpClient::cancel() {
  auto self = shared_from_this();
  boost::asio::post(ioService, [self] { self->closeIfOpen(); });
}

bool HttpClient::beginRequest(const std::string& requestUrl, bool (*split)(const std::string&, HttpUrl&),
                              HttpUrl& parts) {
  if (!stopped) {
    // The running request goes on.
    if (handler) handler->onError(*this, "Already started");
    return false;
  }
  stopped = false;
  url = requestUrl;
  if (!split(url, parts)) {
    fail("Unable parse url");
    return false;
  }
  host = parts.host;
  port = parts.port;
  path = parts.path;
  return true;
}

void HttpClient::startGet(const std::string& requestUrl) {
  HttpUrl parts;
  if (!beginRequest(requestUrl, &parseHttpUrl, parts)) return;
  user = parts.user;
  password = parts.password;
  if (!user.empty() && requestHeaders) {
    requestHeaders->headers["Authorization"] = "Basic " + base64Encode(user + ":" + password);
  }
  requestText = getRequestText(parts, requestHeaders ? *requestHeaders : HttpHeaders());
  startRequest("http");
}

void HttpClient::startRequest(const char* service) {
  auto self = shared_from_this();
  deadline.expires_after(settings.requestTimeout);
  deadline.async_wait([self](const boost::system::error_code& error) { self->handleDeadline(error); });

  phase = Phase::Resolving;
  timer.expires_after(kStepTimeout);
  timer.async_wait([self](const boost::system::error_code& error) { self->handleResolveTimer(error); });

  const auto fixed = settings.fixedHosts.find(host);
  if (fixed != settings.fixedHosts.end()) {
    const boost::asio::ip::tcp::endpoint endpoint = fixed->second;
    boost::asio::post(ioService, [self, endpoint] {
      if (self->stopped) return;
      self->timer.cancel();
      self->port = endpoint.port();
      self->connectTo(endpoint);
    });
    return;
  }
  resolver.async_resolve(host, service,
                         [self](const boost::system::error_code& error,
                                const boost::asio::ip::tcp::resolver::results_type& results) {
                           self->handleResolve(error, results);
                         });
}

bool HttpClient::ignored(const boost::system::error_code& error) const {
  return stopped || error == boost::asio::error::operation_aborted;
}

void HttpClient::fail(const std::string& message) {
  if (handler) handler->onError(*this, message);
  closeIfOpen();
}

void HttpClient::handleResolve(const boost::system::error_code& error,
                               const boost::asio::ip::tcp::resolver::results_type& results) {
  if (ignored(error)) return;
  timer.cancel();
  if (error) {
    fail("Can't resolve host " + host + " " + error.message());
    return;
  }
  // Only the first address is tried.
  boost::asio::ip::tcp::endpoint endpoint = results.begin()->endpoint();
  endpoint.port(static_cast<unsigned short>(port));
  connectTo(endpoint);
}

void HttpClient::connectTo(const boost::asio::ip::tcp::endpoint& endpoint) {
  phase = Phase::Connecting;
  boost::system::error_code error;
  tcpSocket().open(endpoint.protocol(), error);
  if (error) {
    fail(connectErrorText(error));
    return;
  }
  auto self = shared_from_this();
  tcpSocket().async_connect(endpoint, [self](const boost::system::error_code& e) { self->handleConnect(e); });
  timer.expires_after(kStepTimeout);
  timer.async_wait([self](const boost::system::error_code& e) { self->handleConnectTimer(e); });
}

void HttpClient::handleResolveTimer(const boost::system::error_code& error) {
  if (ignored(error)) return;
  if (error) {
    fail("Resolve timer " + error.message());
    return;
  }
  resolver.cancel();
  fail("Resolve host " + host + " timeout");
}

std::string HttpClient::connectErrorText(const boost::system::error_code& error) const {
  return "Connect host " + host + ":" + std::to_string(port) + " error " + error.message();
}

void HttpClient::handleConnect(const boost::system::error_code& error) {
  if (ignored(error)) return;
  timer.cancel();
  if (error) {
    fail(connectErrorText(error));
    return;
  }
  onConnected();
}

void HttpClient::handleConnectTimer(const boost::system::error_code& error) {
  if (ignored(error)) return;
  if (error) {
    fail("Connect timer " + error.message());
    return;
  }
  fail("Connect timeout url " + url);
}

void HttpClient::handleDeadline(const boost::system::error_code& error) {
  if (ignored(error)) return;
  const std::string timedOut = boost::system::error_code(boost::asio::error::timed_out).message();
  switch (phase) {
    case Phase::Idle:
    case Phase::Resolving:
      resolver.cancel();
      fail("Resolve host " + host + " timeout");
      break;
    case Phase::Connecting:
      fail("Connect timeout url " + url);
      break;
    case Phase::Handshaking:
      fail("Connect host " + host + ":" + std::to_string(port) + " error " + timedOut);
      break;
    case Phase::Writing:
      fail("Write error " + timedOut);
      break;
    case Phase::Reading:
      fail("Read error " + timedOut);
      break;
  }
}

void HttpClient::asyncWrite(Completion completion) {
  boost::asio::async_write(socket, boost::asio::buffer(requestText), std::move(completion));
}

void HttpClient::asyncReadUntil(const char* delimiter, Completion completion) {
  boost::asio::async_read_until(socket, responseBuffer, delimiter, std::move(completion));
}

void HttpClient::asyncReadSome(Completion completion) {
  boost::asio::async_read(socket, responseBuffer, boost::asio::transfer_at_least(1), std::move(completion));
}

void HttpClient::closeTransport() {
  boost::system::error_code ignore;
  socket.close(ignore);
}

void HttpClient::writeRequest() {
  phase = Phase::Writing;
  auto self = shared_from_this();
  asyncWrite([self](const boost::system::error_code& error, std::size_t) { self->handleWriteRequest(error); });
}

void HttpClient::handleWriteRequest(const boost::system::error_code& error) {
  if (ignored(error)) return;
  if (error) {
    fail("Write error " + error.message());
    return;
  }
  phase = Phase::Reading;
  auto self = shared_from_this();
  asyncReadUntil("\r\n", [self](const boost::system::error_code& e, std::size_t) { self->handleReadStatusLine(e); });
}

void HttpClient::handleReadStatusLine(const boost::system::error_code& error) {
  if (ignored(error)) return;
  if (error) {
    fail("Read error " + error.message());
    return;
  }
  std::istream stream(&responseBuffer);
  std::string version;
  unsigned int code = 0;
  std::string reason;
  stream >> version;
  stream >> code;
  std::getline(stream, reason);
  if (!stream || version.compare(0, 5, "HTTP/") != 0) {
    fail("Invalid HTTP response " + version);
    return;
  }
  if (code != 200) {
    fail("HTTP response code: " + std::to_string(code));
    return;
  }
  readHeaderBlock();
}

void HttpClient::readHeaderBlock() {
  auto self = shared_from_this();
  // A response without header lines has its empty line right after the status line, where a
  // search for "\r\n\r\n" would miss it: look at the first two bytes first.
  if (responseBuffer.size() < 2) {
    asyncReadSome([self](const boost::system::error_code& e, std::size_t) {
      if (self->ignored(e)) return;
      if (e) {
        self->fail("Read error " + e.message());
        return;
      }
      self->readHeaderBlock();
    });
    return;
  }
  const auto data = responseBuffer.data();
  if (std::string(boost::asio::buffers_begin(data), boost::asio::buffers_begin(data) + 2) == "\r\n") {
    responseBuffer.consume(2);
    if (takeBody()) readContent();
    return;
  }
  asyncReadUntil("\r\n\r\n", [self](const boost::system::error_code& e, std::size_t) { self->handleReadHeaders(e); });
}

void HttpClient::handleReadHeaders(const boost::system::error_code& error) {
  if (ignored(error)) return;
  if (error) {
    fail("Read error " + error.message());
    return;
  }
  std::istream stream(&responseBuffer);
  std::string line;
  while (std::getline(stream, line) && line != "\r") {
    const size_t colon = line.find(':');
    const std::string name = trim(line.substr(0, colon));
    const std::string value = colon == std::string::npos ? std::string() : trim(line.substr(colon + 1));
    responseHeaders->headers[name] = value;
  }
  // Body bytes that came with the header block stay in the buffer for the body.
  if (takeBody()) readContent();
}

void HttpClient::readContent() {
  auto self = shared_from_this();
  asyncReadSome([self](const boost::system::error_code& e, std::size_t) { self->handleReadContent(e); });
}

bool HttpClient::takeBody() {
  const auto data = responseBuffer.data();
  body.append(boost::asio::buffers_begin(data), boost::asio::buffers_end(data));
  responseBuffer.consume(responseBuffer.size());
  if (body.size() <= settings.maxBodyBytes) return true;
  fail("Read error body over " + std::to_string(settings.maxBodyBytes) + " bytes");
  return false;
}

void HttpClient::handleReadContent(const boost::system::error_code& error) {
  if (ignored(error)) return;
  if (!error) {
    if (takeBody()) readContent();
    return;
  }
  if (error != boost::asio::error::eof) {
    fail("Read error " + error.message());
    return;
  }
  if (takeBody()) finish();
}

void HttpClient::finish() {
  const auto encoding = responseHeaders->headers.find("Content-Encoding");
  if (encoding != responseHeaders->headers.end() && encoding->second.find("gzip") != std::string::npos) {
    try {
      body = gunzipString(body, settings.maxBodyBytes);
    } catch (const std::exception&) {
      body.clear();
      fail("Error gzip decode");
      return;
    }
  }
  if (handler) handler->onResponse(*this);
  closeIfOpen();
}

void HttpClient::close() {
  stopped = true;
  phase = Phase::Idle;
  timer.cancel();
  deadline.cancel();
  resolver.cancel();
  closeTransport();
  requestHeaders.reset();
}

void HttpClient::closeIfOpen() {
  if (!stopped) close();
}
