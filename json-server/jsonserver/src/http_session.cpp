#include "json-server/jsonserver/src/http_session.h"

#include "app/logger.h"
#include "json-server/jsonserver/src/http_server.h"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/error.hpp>

namespace http = boost::beast::http;

namespace {

// How long a closing connection keeps draining what the peer still sends, so that closing with
// unread bytes does not reset the connection before the peer has read our reply.
constexpr std::chrono::seconds lingerTime{2};
constexpr size_t readChunk = 4096;

const char* reasonPhrase(int code) {
  switch (code) {
    case 100: return "Continue";
    case 200: return "OK";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 404: return "Not Found";
    case 413: return "Payload Too Large";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    default: return "Unknown";
  }
}

}  // namespace

HttpSession::HttpSession(boost::asio::ip::tcp::socket socket, HttpServer& server,
                         std::function<void(HttpSession&)> onClosed)
    : socket(std::move(socket)),
      server(server),
      onClosed(std::move(onClosed)),
      holdTimer(this->socket.get_executor()),
      lastTraffic(Clock::now()),
      requestStart(lastTraffic) {
  boost::system::error_code error;
  const auto peer = this->socket.remote_endpoint(error);
  if (!error) {
    peerIp = peer.address().to_string();
    peerPort = peer.port();
  }
  this->socket.set_option(boost::asio::ip::tcp::no_delay(true), error);
}

HttpSession::~HttpSession() = default;

void HttpSession::start() {
  server.onEvent(*this, HTTP_EVENT_CONNECT);
  newParser();
  readMore();
}

void HttpSession::newParser() {
  parser.emplace();
  setUpParser(*parser);
  headerBytes = 0;
  continueSent = false;
  requestStarted = false;
}

void HttpSession::setUpParser(RequestParser& parser) {
  parser.header_limit(headerLimit);
  parser.body_limit(bodyLimit);
  parser.eager(true);
}

size_t HttpSession::putRequestBytes(RequestParser& parser, boost::asio::const_buffer bytes, size_t& headerBytes,
                                    boost::system::error_code& error) {
  if (parser.is_header_done()) return parser.put(bytes, error);
  const size_t allowance = headerLimit - std::min<size_t>(headerBytes, headerLimit);
  const size_t offered = std::min(bytes.size(), allowance);
  size_t used = parser.put(boost::asio::buffer(bytes.data(), offered), error);
  headerBytes += used;
  if (!parser.is_header_done()) {
    // Everything the header may still take was there, and it did not end.
    if (error == http::error::need_more && bytes.size() >= allowance) error = http::error::header_limit;
    return used;
  }
  // The header ended inside the part offered: what follows it goes on at once.
  if (used < bytes.size() && !parser.is_done() && (!error || error == http::error::need_more)) {
    error = {};
    used += parser.put(boost::asio::buffer(static_cast<const char*>(bytes.data()) + used, bytes.size() - used), error);
  }
  return used;
}

void HttpSession::readMore() {
  if (closed || reading) return;
  reading = true;
  socket.async_read_some(buffer.prepare(readChunk),
                         [self = shared_from_this()](const boost::system::error_code& error, size_t bytes) {
                           self->onRead(error, bytes);
                         });
}

void HttpSession::onRead(const boost::system::error_code& error, size_t bytes) {
  reading = false;
  if (closed) return;
  if (error) {
    // The peer has closed (or half-closed) its side: a reply already on its way still goes out.
    if (!lingering && (writing || !outgoing.empty()) && !response) {
      closeAfterFlush = true;
      readAfterFlush = false;
      return;
    }
    close();
    return;
  }
  buffer.commit(bytes);
  lastTraffic = Clock::now();
  if (lingering || discarding) {
    buffer.consume(buffer.size());
    readMore();
    return;
  }
  parseBuffered();
}

void HttpSession::parseBuffered() {
  while (!closed) {
    if (buffer.size() == 0) {
      readMore();
      return;
    }
    if (!requestStarted) {
      requestStarted = true;
      requestStart = Clock::now();
    }
    boost::system::error_code error;
    const size_t used = putRequestBytes(*parser, buffer.data(), headerBytes, error);
    buffer.consume(used);
    if (error == http::error::need_more) {
      readMore();
      return;
    }
    if (error) {
      if (error == http::error::body_limit) rejectRequest(413);
      else if (error == http::error::header_limit || error == http::error::buffer_overflow) rejectRequest(431);
      else rejectRequest(400);
      return;
    }
    if (parser->is_header_done() && !parser->is_done() && !continueSent) {
      continueSent = true;
      const auto expect = parser->get().find(http::field::expect);
      if (expect != parser->get().end() && boost::algorithm::iequals(expect->value(), "100-continue")) {
        outgoing += "HTTP/1.1 100 Continue\r\n\r\n";
        flush();
      }
    }
    if (parser->is_done()) {
      onRequestComplete();
      return;
    }
    if (used == 0) {
      readMore();
      return;
    }
  }
}

void HttpSession::onRequestComplete() {
  currentRequest = parser->release();
  parser.reset();
  answered = true;
  statusCode = 0;
  if (!response) {
    // (A request behind a pending reply is dropped: it must not change how that reply is written.)
    headOnly = currentRequest.method() == http::verb::head;
    headEnded = false;
  }
  int result = HTTP_NOT_HANDLED;
  try {
    result = server.onEvent(*this, HTTP_EVENT_REQUEST);
  } catch (const std::exception& e) {
    logError(std::string("HTTP request failed: ") + e.what());
    close();
    return;
  }
  if (closed) return;
  if (result == HTTP_PENDING) {
    flush();
    // Reading goes on: it is how a client's close is seen, which removes the pending reply.
    newParser();
    parseBuffered();
    return;
  }
  if (result == HTTP_NOT_HANDLED) {
    if (response) {
      // A request behind a pending reply: answering it would break into the pending reply's
      // bytes, so it is dropped.
      newParser();
      parseBuffered();
      return;
    }
    if (statusCode == 0) answerByItself();
  }
  if (keepAlive) readAfterFlush = true;
  else closeAfterFlush = true;
  flush();
}

void HttpSession::answerByItself() {
  const std::string connection = keepAlive ? "keep-alive" : "close";
  if (currentRequest.method_string() == "OPTIONS") {
    sendStatus(200);
    sendHeader("Allow", "GET, HEAD, POST, OPTIONS");
    sendHeader("Content-Length", "0");
    sendHeader("Connection", connection);
    write("\r\n");
    return;
  }
  sendStatus(404);
  sendHeader("Content-Type", "text/plain");
  sendHeader("Content-Length", "9");
  sendHeader("Connection", connection);
  write("\r\nNot Found");
}

void HttpSession::rejectRequest(int code) {
  parser.reset();
  if (response) {
    // A reply still under way goes out whole first; what came behind it cannot be answered, so
    // the connection ends with that reply (as every pending reply's does). Reading goes on only to
    // see the client leave.
    discarding = true;
    buffer.consume(buffer.size());
    readMore();
    return;
  }
  headOnly = false;  // the request was not understood
  const std::string body = std::to_string(code) + " " + reasonPhrase(code);
  statusCode = 0;
  sendStatus(code);
  sendHeader("Content-Type", "text/plain");
  sendHeader("Content-Length", std::to_string(body.size()));
  sendHeader("Connection", "close");
  write("\r\n" + body);
  readAfterFlush = false;
  closeAfterFlush = true;
  flush();
}

void HttpSession::poll(Clock::time_point now, std::chrono::milliseconds idleTimeout,
                       std::chrono::milliseconds headerTimeout) {
  if (closed) return;
  if (lingering) {
    if (now >= lingerUntil) close();
    return;
  }
  if (now - lastTraffic > idleTimeout) {
    close();
    return;
  }
  if (parser && requestStarted && !parser->is_header_done() && now - requestStart > headerTimeout) {
    close();
    return;
  }
  deliverPoll();
}

void HttpSession::holdReplies(std::chrono::milliseconds delay) {
  if (closed) return;
  held = true;
  holdTimer.expires_after(delay);
  holdTimer.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
    if (error || self->closed) return;
    self->held = false;
    self->deliverPoll();
    self->flush();
  });
}

bool HttpSession::isIdle() const { return !closed && !response && !writing && (outgoing.empty() || held); }

void HttpSession::deliverPoll() {
  // A pending reply is driven only once what it wrote before has gone: a file is read no faster
  // than the client takes it.
  if (closed || !response || pollsDone || writing || !outgoing.empty()) return;
  int result = HTTP_NOT_HANDLED;
  try {
    result = server.onEvent(*this, HTTP_EVENT_POLL);
  } catch (const std::exception& e) {
    logError(std::string("HTTP reply failed: ") + e.what());
    close();
    return;
  }
  if (closed) return;
  if (result == HTTP_DONE) {
    pollsDone = true;
    closeAfterFlush = true;
  }
  flush();
}

void HttpSession::sendStatus(int code) {
  if (statusCode != 0) return;
  statusCode = code;
  outgoing += "HTTP/1.1 " + std::to_string(code) + " " + reasonPhrase(code) + "\r\n";
}

void HttpSession::sendHeader(const std::string& name, const std::string& value) {
  if (statusCode == 0) sendStatus(200);
  outgoing += name;
  outgoing += ": ";
  outgoing += value;
  outgoing += "\r\n";
}

void HttpSession::write(const std::string& bytes) {
  if (!headOnly) {
    outgoing += bytes;
    return;
  }
  // A reply to HEAD ends with the empty line after its headers, which every reply writes first
  // (its body may follow in the same piece): a body would be read as the start of the next reply.
  if (headEnded) return;
  if (bytes.compare(0, 2, "\r\n") == 0) {
    outgoing += "\r\n";
    headEnded = true;
    return;
  }
  outgoing += bytes;
}

void HttpSession::flush() {
  if (closed || writing || held) return;
  if (outgoing.empty()) {
    if (closeAfterFlush) {
      closeGracefully();
    } else if (readAfterFlush) {
      readAfterFlush = false;
      newParser();
      parseBuffered();
    }
    return;
  }
  writing = true;
  inFlight.swap(outgoing);
  outgoing.clear();
  boost::asio::async_write(socket, boost::asio::buffer(inFlight),
                           [self = shared_from_this()](const boost::system::error_code& error, size_t) {
                             self->onWrite(error);
                           });
}

void HttpSession::onWrite(const boost::system::error_code& error) {
  writing = false;
  inFlight.clear();
  if (closed) return;
  if (error) {
    close();
    return;
  }
  lastTraffic = Clock::now();
  deliverPoll();
  flush();
}

void HttpSession::closeGracefully() {
  if (closed || lingering) return;
  boost::system::error_code error;
  socket.shutdown(boost::asio::ip::tcp::socket::shutdown_send, error);
  if (error) {
    close();
    return;
  }
  lingering = true;
  lingerUntil = Clock::now() + lingerTime;
  // For the server the connection has ended here; the drain is ours alone.
  reportClose();
  buffer.consume(buffer.size());
  readMore();
}

void HttpSession::close() {
  if (closed) return;
  closed = true;
  boost::system::error_code error;
  holdTimer.cancel();
  socket.shutdown(boost::asio::ip::tcp::socket::shutdown_both, error);
  socket.close(error);
  reportClose();
  auto closedHandler = std::move(onClosed);
  if (closedHandler) closedHandler(*this);
}

void HttpSession::reportClose() {
  if (closeReported) return;
  closeReported = true;
  try {
    server.onEvent(*this, HTTP_EVENT_CLOSE);
  } catch (const std::exception& e) {
    logError(std::string("HTTP close failed: ") + e.what());
  }
}
