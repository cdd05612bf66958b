#pragma once
// The listening socket and the live connections of the web server, with the poll tick that drives
// pending replies and closes idle connections. The connections are capped well below the usual
// descriptor limit, so that web clients cannot take every descriptor the feeds need. Used on the
// poll thread only (and on the stopping thread once the poll thread has ended).

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <unordered_map>

class HttpServer;
class HttpSession;

class HttpSessionManager {
 public:
  HttpSessionManager(boost::asio::io_context& ioContext, HttpServer& server);
  ~HttpSessionManager();

  // Listens on every local address; false when the port cannot be bound.
  bool listen(int port);
  uint16_t port() const { return boundPort; }
  void startPolling(std::chrono::milliseconds period, std::chrono::milliseconds idleTimeout,
                    std::chrono::milliseconds headerTimeout);
  // A connection arriving at the cap closes an idle one (a kept-alive connection between requests
  // last, else the one whose request began longest ago), or itself when none is idle.
  void setMaxConnections(size_t count) { maxConnections = count; }
  // Gives every connection with a pending reply its poll now.
  void pollAll();
  // Stops accepting and polling and closes every connection.
  void closeAll();
  size_t connectionCount() const { return sessions.size(); }

 private:
  void accept();
  void tick();
  bool closeOldestIdle();

  HttpServer& server;
  boost::asio::ip::tcp::acceptor acceptor;
  boost::asio::steady_timer pollTimer;
  boost::asio::steady_timer acceptRetryTimer;
  std::unordered_map<HttpSession*, std::shared_ptr<HttpSession>> sessions;
  std::chrono::milliseconds pollPeriod{100};
  std::chrono::milliseconds idleTimeout{30000};
  std::chrono::milliseconds headerTimeout{10000};
  size_t maxConnections = 512;
  uint16_t boundPort = 0;
  bool stopped = false;
};
