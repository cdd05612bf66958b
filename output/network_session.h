#pragma once
// One client of a feed port. Reads what the client sends (answering commands on the SBS-3 port,
// ignoring the bytes elsewhere) and sends the feed through a queue with one write outstanding, so
// records never interleave on the wire. Everything here runs on the I/O thread.

#include "output/sbs_command_parser.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

class NetworkServer;

// TCP keep-alive for feed clients: first probe after 30 s, then every 5 s, 3 probes. Failures ignored.
void applyKeepAlive(boost::asio::ip::tcp::socket& socket);

class NetworkSession : public std::enable_shared_from_this<NetworkSession> {
 public:
  using Buffer = std::shared_ptr<const std::string>;

  // A client that lets more than this pile up unsent is cut off.
  static constexpr size_t sendQueueLimit = 4 * 1024 * 1024;

  static std::shared_ptr<NetworkSession> create(boost::asio::io_context& io, std::shared_ptr<NetworkServer> server,
                                                bool sbsMode);
  ~NetworkSession();
  NetworkSession(const NetworkSession&) = delete;
  NetworkSession& operator=(const NetworkSession&) = delete;

  boost::asio::ip::tcp::socket& socket() { return tcpSocket; }

  // Names the session after its peer, sets keep-alive and starts reading.
  void start();
  // Queues a buffer shared with the other sessions.
  void send(Buffer data);
  // Queues a private copy.
  void write(const uint8_t* bytes, int32_t length);
  // A failed client: logs "Disconnected <name>", leaves the server and closes.
  void disconnect();
  // Closes without a log line (the server is stopping).
  void close();
  // The server is stopping: sends what is queued, then closes without a log line. A client that
  // takes nothing over drainStallChecks checks drainCheck apart, or has not taken everything after
  // drainLimit, is closed anyway, so a stop never waits long for a client that has stopped reading.
  void finish();
  static constexpr std::chrono::milliseconds drainCheck{100};
  static constexpr int drainStallChecks = 3;
  static constexpr std::chrono::seconds drainLimit{5};

  bool isEnabled() const { return enabled; }
  bool isClosed() const { return closed; }
  const std::string& name() const { return sessionName; }

 private:
  NetworkSession(boost::asio::io_context& io, std::shared_ptr<NetworkServer> server, bool sbsMode);

  void startRead();
  void onRead(const boost::system::error_code& error, size_t bytesRead);
  void startWrite();
  void onWriteDone(const boost::system::error_code& error);
  void checkDrain();
  void handleSbsCommand();
  void sendSbsMessage(const uint8_t* payload, size_t length);

  boost::asio::ip::tcp::socket tcpSocket;
  std::array<uint8_t, 1024> readBuffer{};
  SbsCommandParser sbsParser;
  std::shared_ptr<NetworkServer> server;  // released on close
  std::string sessionName;
  bool closed = false;
  bool finishing = false;
  boost::asio::steady_timer drainTimer;
  std::chrono::steady_clock::time_point drainEnd;
  uint64_t progressAtCheck = 0;
  int stalledChecks = 0;
  bool enabled;
  bool sbsMode;

  // The first `inFlight` buffers belong to the outstanding write and live until it completes.
  std::deque<Buffer> sendQueue;
  size_t inFlight = 0;
  size_t heldBytes = 0;
  bool writing = false;
  // Bytes the socket has taken: whole writes plus the part of the current one.
  uint64_t writtenBytes = 0;
  size_t partialBytes = 0;
  std::vector<boost::asio::const_buffer> gather;
};
