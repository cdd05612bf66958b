#pragma once
// A reply that is attached to a connection and completed later, from another thread or piece by
// piece. Owned by the server's pending-response registry; the connection only points at it.

#include <boost/property_tree/ptree_fwd.hpp>

#include <cstdint>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

class HttpServer;

class HttpResponse {
 public:
  // `wake` is called after every producer step, on the producer's thread, with no lock of this
  // response held; the server uses it to get the poll thread to write the reply at once.
  HttpResponse(uint32_t id, std::function<void()> wake);
  ~HttpResponse();
  HttpResponse(const HttpResponse&) = delete;
  HttpResponse& operator=(const HttpResponse&) = delete;

  void addHeader(const std::string& name, const std::string& value);
  // Completes the reply with 200, "Content-Type" application/json, "Content-Length" and the
  // compact JSON text (never gzip-compressed). The producers' completion operation.
  void sendJson(const boost::property_tree::ptree& tree);

  // Lower-level producer steps, for replies given in pieces.
  void setStatus(int code);
  void addBody(std::string piece);
  void finish();

  // Makes this a file response: the poll thread streams `stream` as the body.
  void setFile(std::unique_ptr<std::ifstream> stream);

  const uint32_t id;

 private:
  friend class HttpServer;

  void notify();

  std::deque<std::string> bodyPieces;
  std::deque<std::pair<std::string, std::string>> headers;
  std::mutex mutex;
  int status = 0;
  bool statusSent = false;   // poll thread only
  bool headersSent = false;  // poll thread only
  bool finished = false;
  uint32_t lastActivity = 0;  // poll thread only
  std::unique_ptr<std::ifstream> file;
  bool isFile = false;
  std::function<void()> wake;
};
