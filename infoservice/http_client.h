#pragma once
// One document fetched from an outside web server for the page: an HTTP/1.0 request over a plain
// TCP connection, every step asynchronous on the I/O service the caller names. The result goes to
// an HttpResponseHandler, exactly once per started request.
//
// Bounds: 3 s for the name resolution, 3 s for the connection, and the whole request from start
// to the last byte within requestTimeout (20 s), so a server that accepts and then says nothing
// cannot hold a request open. The header block and the body (raw and after gzip decoding) are
// bounded in size too.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/system/error_code.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>

class HttpClient;

// Header names map to one value each, ordered by name; names are compared exactly.
class HttpHeaders {
 public:
  virtual ~HttpHeaders() = default;
  std::map<std::string, std::string> headers;
};

class HttpResponseHandler {
 public:
  virtual ~HttpResponseHandler() = default;
  // The request completed with status 200; the document is client.body.
  virtual void onResponse(HttpClient& client) = 0;
  // The request failed; `message` says where and why.
  virtual void onError(HttpClient& client, const std::string& message) = 0;
};

struct HttpClientSettings {
  // From the start to the end of the body.
  std::chrono::milliseconds requestTimeout{20000};
  // The body as received, and again after gzip decoding.
  size_t maxBodyBytes = 4 * 1024 * 1024;
  // Seam for tests: a host named here is not looked up but connected to at this endpoint, whose
  // port replaces the URL's.
  std::map<std::string, boost::asio::ip::tcp::endpoint> fixedHosts;
  // Seam for tests (TLS only): trust the certificates of this PEM file instead of the system's store.
  std::string caFile;
};

// The parts of an "http://" URL.
struct HttpUrl {
  std::string host;
  int port = 80;
  std::string path = "/";
  std::string user;
  std::string password;
};

// False when the URL is not accepted (the client then reports "Unable parse url").
bool parseHttpUrl(const std::string& url, HttpUrl& parts);
// The RFC 4648 Base64 of `text`, with "=" padding.
std::string base64Encode(const std::string& text);

class HttpClient : public std::enable_shared_from_this<HttpClient> {
 public:
  HttpClient(boost::asio::io_context& ioService, HttpClientSettings settings = HttpClientSettings());
  virtual ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // Starts the GET; returns at once. Any thread: the request itself starts on the I/O service's
  // thread, where every later step and the handler's calls run. Set `handler` (and extra
  // `requestHeaders`) before.
  virtual void get(const std::string& url);
  // Any thread: stops the request on the I/O service's thread without reporting to the handler.
  void cancel();

  // I/O service's thread only.
  void close();
  void closeIfOpen();

  // The request text for a GET of `parts` with the extra `headers`.
  static std::string getRequestText(const HttpUrl& parts, const HttpHeaders& headers);

  std::shared_ptr<HttpHeaders> requestHeaders;
  std::shared_ptr<HttpHeaders> responseHeaders;
  std::shared_ptr<HttpResponseHandler> handler;
  // The document, gzip-decoded when the server said so.
  std::string body;

  // From the URL of the running request.
  std::string host;
  int port = 80;
  std::string path;
  std::string user;
  std::string password;
  std::string url;

 protected:
  using Completion = std::function<void(const boost::system::error_code&, std::size_t)>;

  // Where the request is; the deadline names the step it cut short.
  enum class Phase { Idle, Resolving, Connecting, Handshaking, Writing, Reading };

  // The start on the I/O service's thread, after the URL and the request text are set; `service`
  // is the resolver's service name.
  void startRequest(const char* service);
  // Reports through the handler and closes.
  void fail(const std::string& message);
  // The common start of a request: refuses a second one while one runs, takes the URL apart with
  // `split` into `parts` and keeps host, port and path. False when it has reported a failure.
  bool beginRequest(const std::string& requestUrl, bool (*split)(const std::string&, HttpUrl&), HttpUrl& parts);

  // What the TLS client replaces.
  virtual boost::asio::ip::tcp::socket& tcpSocket() { return socket; }
  virtual std::string connectErrorText(const boost::system::error_code& error) const;
  // After the TCP connection is made: the plain client writes at once.
  virtual void onConnected() { writeRequest(); }
  virtual void asyncWrite(Completion completion);
  virtual void asyncReadUntil(const char* delimiter, Completion completion);
  virtual void asyncReadSome(Completion completion);
  virtual void closeTransport();

  void writeRequest();
  // Returns true when the step must do nothing more: the client stopped, or the operation was cancelled.
  bool ignored(const boost::system::error_code& error) const;

  boost::asio::io_context& ioService;
  HttpClientSettings settings;
  boost::asio::ip::tcp::resolver resolver;
  boost::asio::steady_timer timer;     // resolution, then connection
  boost::asio::steady_timer deadline;  // the whole request
  boost::asio::ip::tcp::socket socket;
  std::string requestText;
  boost::asio::streambuf responseBuffer;
  bool stopped = true;
  Phase phase = Phase::Idle;

 private:
  void startGet(const std::string& url);
  void handleResolve(const boost::system::error_code& error, const boost::asio::ip::tcp::resolver::results_type& results);
  void connectTo(const boost::asio::ip::tcp::endpoint& endpoint);
  void handleResolveTimer(const boost::system::error_code& error);
  void handleConnect(const boost::system::error_code& error);
  void handleConnectTimer(const boost::system::error_code& error);
  void handleDeadline(const boost::system::error_code& error);
  void handleWriteRequest(const boost::system::error_code& error);
  void handleReadStatusLine(const boost::system::error_code& error);
  void readHeaderBlock();
  void handleReadHeaders(const boost::system::error_code& error);
  void readContent();
  void handleReadContent(const boost::system::error_code& error);
  // Moves what the buffer holds to the body; false (after reporting) past the size bound.
  bool takeBody();
  void finish();
};
