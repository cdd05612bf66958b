#pragma once
// One received request, shared by the router, the command that answers it and the reply senders.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class HttpServer;
class HttpSession;

class HttpRequest {
 public:
  std::string method;           // as received: "GET", "HEAD", "POST" ...
  std::string uri;              // percent-decoded, no query, no "//" and no "/.." (normaliseRequestPath)
  std::string protocolVersion;  // "1.0" or "1.1"
  std::string queryString;      // after "?", or empty
  std::string remoteIp;
  int remotePort = 0;
  // Where replies are written. Valid only on the poll thread while the request's own event runs;
  // a reply finished later goes through an HttpResponse instead.
  HttpSession* connection = nullptr;
  std::string content;  // the whole body
  bool acceptsGzip = false;
  uint32_t time = 0;  // host seconds when the request arrived
  // Request headers in arrival order.
  std::vector<std::pair<std::string, std::string>> headers;
  // The server that received the request, for replying from a command.
  HttpServer* server = nullptr;
};

// Value of the first header of that name (any letter case); empty when there is none.
std::string getRequestHeader(const HttpRequest& request, const std::string& name);
bool hasRequestHeader(const HttpRequest& request, const std::string& name);

// True when the reply keeps the connection: a Connection header of "keep-alive" (any case), or
// no Connection header on an HTTP/1.1 request.
bool requestKeepsAlive(const HttpRequest& request);
// The "Connection" header value for the reply: "keep-alive" or "close".
const char* connectionHeaderValue(const HttpRequest& request);

// %XX decoding of a request path ("+" stays "+"); a malformed escape is kept as it is.
std::string percentDecode(const std::string& text);
// Drops every run of "/", "\" and ".." that directly follows a "/" or "\", and everything from
// the first NUL byte on, so that no ".." can follow a slash.
std::string normaliseRequestPath(const std::string& path);
