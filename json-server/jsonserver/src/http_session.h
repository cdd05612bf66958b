#pragma once
// One client connection of the web server: reads and parses requests with fixed limits, reports
// the connection events to the HttpServer, and writes the reply bytes the server queues. Lives
// on the poll thread; nothing here is touched from another thread.

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/optional.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class HttpServer;
class HttpResponse;

class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  using Clock = std::chrono::steady_clock;
  using Request = boost::beast::http::request<boost::beast::http::string_body>;

  // Beyond these a request gets a 4xx reply and the connection is closed. Only "/json" takes a
  // body, and its commands' bodies are under 1 kB.
  static constexpr uint32_t headerLimit = 16 * 1024;
  static constexpr uint64_t bodyLimit = 64 * 1024;
  using RequestParser = boost::beast::http::request_parser<boost::beast::http::string_body>;
  // The limits and settings every request is parsed with.
  static void setUpParser(RequestParser& parser);
  // Puts request bytes into `parser` with the whole header, request line included, held to
  // headerLimit however the bytes are split: the parser's own limit counts only what one call
  // sees, so a header read in small pieces could grow past it. `headerBytes` is what the
  // request's header has taken so far (0 for a new parser). Too long a header ends with
  // http::error::header_limit.
  static size_t putRequestBytes(RequestParser& parser, boost::asio::const_buffer bytes, size_t& headerBytes,
                                boost::system::error_code& error);

  HttpSession(boost::asio::ip::tcp::socket socket, HttpServer& server, std::function<void(HttpSession&)> onClosed);
  ~HttpSession();

  void start();
  // Closes at once; the close event reaches the server exactly once.
  void close();
  bool isClosed() const { return closed; }
  // Called on every poll tick and on wake-ups: the idle close, the header deadline (a header not
  // whole this long after its first byte closes the connection, or a client that trickles bytes
  // would hold its descriptor for ever) and the pending reply.
  void poll(Clock::time_point now, std::chrono::milliseconds idleTimeout, std::chrono::milliseconds headerTimeout);
  // Writes nothing for this long; what is queued meanwhile goes out afterwards.
  void holdReplies(std::chrono::milliseconds delay);
  // Neither sending a reply nor holding a pending one: closing it loses nothing but a wait
  // (a held reply counts as idle, it is an answer to a failed password).
  bool isIdle() const;
  // When the current request's first byte came; for a connection between requests, when its last
  // request's did; for one that has sent nothing, when it was accepted.
  Clock::time_point requestBegan() const { return requestStart; }
  // Has had a request answered and sent nothing of the next one yet: a page's kept-alive
  // connection between its polls, the last an idle connection to be closed for room.
  bool isBetweenRequests() const { return answered && !requestStarted && !held && !lingering; }

  // Reply primitives. The status line is written once per reply; a header before any status line
  // writes "HTTP/1.1 200 OK" first. The first write after the headers starts with the empty line;
  // in a reply to HEAD nothing after that line is sent.
  void sendStatus(int code);
  void sendHeader(const std::string& name, const std::string& value);
  void write(const std::string& bytes);
  int replyStatus() const { return statusCode; }

  // The request of the current request event.
  const Request& request() const { return currentRequest; }
  const std::string& remoteIp() const { return peerIp; }
  int remotePort() const { return peerPort; }

  // The pending reply of this connection, owned by the server's registry; null when none.
  HttpResponse* response = nullptr;
  // The keep-alive decision of the current request.
  bool keepAlive = false;

 private:
  void readMore();
  void onRead(const boost::system::error_code& error, size_t bytes);
  void parseBuffered();
  void newParser();
  void onRequestComplete();
  void answerByItself();
  void rejectRequest(int code);
  void deliverPoll();
  void flush();
  void onWrite(const boost::system::error_code& error);
  void closeGracefully();
  void reportClose();

  boost::asio::ip::tcp::socket socket;
  HttpServer& server;
  std::function<void(HttpSession&)> onClosed;
  boost::beast::flat_buffer buffer;
  boost::optional<RequestParser> parser;
  size_t headerBytes = 0;  // of the request the parser is on
  Request currentRequest;
  std::string peerIp;
  int peerPort = 0;
  std::string outgoing;  // queued by the reply primitives
  std::string inFlight;  // being written
  int statusCode = 0;
  bool reading = false;
  bool writing = false;
  bool continueSent = false;
  bool readAfterFlush = false;   // keep-alive: the next request is read once the reply has gone
  bool closeAfterFlush = false;  // close once every queued byte has gone
  bool pollsDone = false;        // a pending reply has ended: no more polls
  bool lingering = false;        // send side shut down; draining what the peer still sends
  bool discarding = false;       // a bad request behind a pending reply: input is thrown away
  bool closed = false;
  bool closeReported = false;
  bool headOnly = false;   // the reply being written answers HEAD: nothing goes after its empty line
  bool headEnded = false;  // and that line has been written
  bool requestStarted = false;  // a byte of the request the parser is on has arrived
  bool answered = false;        // a request has been handled
  bool held = false;            // holdReplies is in force
  boost::asio::steady_timer holdTimer;
  Clock::time_point lastTraffic;
  Clock::time_point requestStart;
  Clock::time_point lingerUntil;
};
