#pragma once
// The web server: one TCP port, one poll thread that runs every event, the request router with
// Basic authentication, the "/json" command registry and the pending-response registry.

#include "app/host_clock.h"
#include "json-server/jsonserver/src/auth_throttle.h"
#include "json-server/jsonserver/src/http_request.h"
#include "json-server/jsonserver/src/http_response.h"
#include "json-server/jsonserver/src/web_file_table.h"

#include <boost/asio/io_context.hpp>
#include <boost/property_tree/ptree_fwd.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

class BaseCommand;
class HttpSessionManager;

class HttpServerException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A picture directory on disk served under a URL prefix.
struct StaticDirectory {
  std::string urlPrefix;  // without a final "/"
  std::string directory;  // the file name is appended after a "/"
  bool convertBmp = false;  // 24- and 32-bit BMP files go out as PNG
};

// The connection events the session layer reports; the numbers are the classic web-server ones.
enum HttpEvent : int {
  HTTP_EVENT_POLL = 100,
  HTTP_EVENT_CONNECT = 101,
  HTTP_EVENT_AUTH = 102,
  HTTP_EVENT_REQUEST = 103,
  HTTP_EVENT_REPLY = 104,
  HTTP_EVENT_CLOSE = 105,
  HTTP_EVENT_HTTP_ERROR = 107,
};

// Results of an event and of the router.
enum HttpResult : int {
  HTTP_NOT_HANDLED = 0,  // the session answers by itself (404, or the fixed OPTIONS reply)
  HTTP_DONE = 1,         // reply written; for a pending reply: close once everything is sent
  HTTP_PENDING = 2,      // reply pending on the connection's HttpResponse
};

class HttpServer {
 public:
  // `startTime` (host seconds) is the modification time of every embedded file.
  HttpServer(const WebFileTable* webFiles, uint32_t startTime);
  explicit HttpServer(const WebFileTable* webFiles = nullptr) : HttpServer(webFiles, hostSeconds()) {}
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Before start only.
  void addCommand(const std::shared_ptr<BaseCommand>& command);
  void addStaticDirectory(const std::string& urlPrefix, const std::string& directory, bool convertBmp);
  // "user:password" turns Basic authentication on; empty turns it off.
  void setAuth(const std::string& userColonPassword);
  // Test knobs: idle close (30 s), poll period (100 ms), the deadline of a request header from
  // its first byte (10 s), the connection cap (512) and the hold of failed passwords.
  void setIdleTimeout(std::chrono::milliseconds timeout);
  void setPollPeriod(std::chrono::milliseconds period);
  void setHeaderTimeout(std::chrono::milliseconds timeout);
  void setMaxConnections(size_t count);
  void setAuthThrottle(const AuthThrottleSettings& settings, AuthThrottle::Log log = AuthThrottle::Log());

  // Listens on every local address and starts the poll thread. Port 0 takes a free port
  // (listeningPort tells which). Throws HttpServerException when the port cannot be bound.
  void start(int port);
  // Ends the poll thread, closes every connection, empties the command and response registries.
  // Any thread but the poll thread; any number of times.
  void stop();
  uint16_t listeningPort() const;

  // Immediate JSON reply on the request's connection (poll thread, during the request's event);
  // gzip-compressed when the request accepts it.
  void sendJson(const std::shared_ptr<HttpRequest>& request, const boost::property_tree::ptree& tree);
  void sendNotFound(const std::shared_ptr<HttpRequest>& request);

  // Pending-response registry.
  HttpResponse* createResponse();
  void removeResponse(uint32_t id);
  // For a producer on another thread: runs `producer` on the response with that id while
  // responsesMutex is held (the response cannot go away meanwhile). False when it is gone.
  bool withResponse(uint32_t id, const std::function<void(HttpResponse&)>& producer);
  size_t pendingResponseCount();
  // Attaches a response created for this request to its connection (poll thread).
  static void attachResponse(const std::shared_ptr<HttpRequest>& request, HttpResponse* response);

  // Called by the session layer on the poll thread (or on the stopping thread during stop).
  int onEvent(HttpSession& connection, int event);

  // Caching headers and content types of the file replies.
  // The time in lower-case hexadecimal, ".", the size in decimal: 588aee60.31963.
  static std::string makeEtag(int64_t time, uint64_t size);
  // "Fri, 27 Jan 2017 06:53:20 GMT".
  static std::string formatHttpDate(int64_t time);
  static std::string mimeTypeForExtension(const std::string& extension);
  // The text after the last "." anywhere in the path (a directory part included), or empty.
  static std::string fileExtension(const std::string& path);

 private:
  friend class HttpSessionManager;

  void pollLoop();
  // Every poll tick, on the poll thread.
  void onTick(std::chrono::steady_clock::time_point now);
  int handleRequest(const std::shared_ptr<HttpRequest>& request);
  bool authorize(const std::shared_ptr<HttpRequest>& request);
  bool checkAuthorization(const HttpRequest& request) const;
  void sendUnauthorized(const std::shared_ptr<HttpRequest>& request);
  int handleJson(const std::shared_ptr<HttpRequest>& request);
  bool serveEmbeddedFile(const std::shared_ptr<HttpRequest>& request);
  int serveStaticFile(const StaticDirectory& directory, const std::shared_ptr<HttpRequest>& request);
  static bool isNotModified(const HttpRequest& request, const std::string& etag, int64_t modified);
  void sendNotModified(const std::shared_ptr<HttpRequest>& request, const std::string& date,
                       const std::string& lastModified, const std::string& etag);
  // Status 200 and the headers of a file reply up to the empty line.
  void sendFileHeaders(const std::shared_ptr<HttpRequest>& request, const std::string& contentType, uint64_t size,
                       int64_t now, int64_t modified, const std::string& etag);
  int pollResponse(HttpSession& connection, HttpResponse& response, uint32_t now);
  int sendFileChunk(HttpSession& connection, HttpResponse& response);
  std::shared_ptr<HttpRequest> buildRequest(HttpSession& connection, uint32_t now);
  void wakePoll();

  std::vector<StaticDirectory> staticDirectories;
  boost::asio::io_context ioContext;  // run by the poll thread only
  std::unique_ptr<HttpSessionManager> server;
  std::map<std::string, std::shared_ptr<BaseCommand>> commands;
  std::map<uint32_t, std::unique_ptr<HttpResponse>> responses;
  uint32_t lastResponseId = 0;
  std::mutex responsesMutex;
  std::thread pollThread;
  std::atomic<bool> stopRequested{true};
  std::atomic<bool> wakePosted{false};
  const WebFileTable* webFiles;
  uint32_t startTime;
  std::string auth;
  AuthThrottle authThrottle;  // poll thread only
  std::chrono::milliseconds idleTimeout{30000};
  std::chrono::milliseconds pollPeriod{100};
  std::chrono::milliseconds headerTimeout{10000};
  size_t maxConnections = 512;
};
