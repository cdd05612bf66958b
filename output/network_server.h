#pragma once
// One TCP feed port: accepts any number of clients and sends every piece of feed data to each of them.
//
// Threads: the frame thread calls broadcastBytes / broadcastText / sessionCount. Everything else
// (start, stop, the accept loop, the sessions) belongs to the thread that runs the io_context; start
// and stop may also be called while no thread runs it. A broadcast only appends to a pending batch
// under a small mutex; the first record of a batch posts a flush that runs flushDelay later (sooner
// once the batch is large), and the flush hands the batch, as one shared buffer, to every enabled
// session. Holding records that briefly caps the writes at about a thousand a second per client,
// whatever the frame rate.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/system_error.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class NetworkSession;

// A port that cannot be opened, configured, bound or listened on; the text names the step
// ("open", "set_option", "bind", "listen") and the system's reason.
class NetworkServerException : public boost::system::system_error {
 public:
  NetworkServerException(const boost::system::error_code& error, const char* step)
      : boost::system::system_error(error, step) {}
};

class NetworkServer : public std::enable_shared_from_this<NetworkServer> {
 public:
  // More than this waiting for the I/O thread is dropped rather than held.
  static constexpr size_t pendingLimit = 8 * 1024 * 1024;
  static constexpr std::chrono::microseconds flushDelay{1000};
  // A batch this large goes out without waiting for the delay.
  static constexpr size_t urgentBatchSize = 64 * 1024;

  // `name` is the feed's name in log lines ("Beast"); `sbs` makes clients log in before they get data.
  // The low 16 bits of `port` are bound, on every IPv4 address unless tests ask for loopback;
  // 0 takes an ephemeral port (see boundPort).
  static std::shared_ptr<NetworkServer> create(
      std::shared_ptr<boost::asio::io_context> ioService, uint32_t port, const std::string& name, bool sbs,
      const boost::asio::ip::address_v4& address = boost::asio::ip::address_v4::any());
  ~NetworkServer();
  NetworkServer(const NetworkServer&) = delete;
  NetworkServer& operator=(const NetworkServer&) = delete;

  // Opens, binds and listens, then accepts. Throws NetworkServerException after logging its text at ERROR.
  void start();
  // Closes the acceptor and every session (no "Disconnected" lines); later broadcasts do nothing.
  void stop();

  // Frame thread: both queue a copy of the data for every enabled session.
  void broadcastBytes(const uint8_t* bytes, int32_t length);
  void broadcastBytes(const std::string& bytes) { enqueueBroadcast(bytes.data(), bytes.size()); }
  void broadcastText(const std::string& text);
  // Connected sessions, SBS-3 sessions that have not logged in included.
  size_t sessionCount() const { return sessionTotal.load(std::memory_order_relaxed); }

  uint16_t boundPort() const { return localPort.load(); }
  uint32_t port() const { return configuredPort; }
  const std::string& name() const { return serverName; }
  bool isSbs() const { return sbsFlag; }

  // I/O thread: a failed session leaves the server with its "Disconnected" line.
  void removeSession(const std::shared_ptr<NetworkSession>& session);

 private:
  NetworkServer(std::shared_ptr<boost::asio::io_context> ioService, uint32_t port, const std::string& name, bool sbs,
                const boost::asio::ip::address_v4& address);

  [[noreturn]] void fail(const boost::system::error_code& error, const char* step);
  void enqueueBroadcast(const char* data, size_t length);
  void scheduleFlush();
  void flushPending();
  void startAccept();
  void onAccept(const std::shared_ptr<NetworkSession>& session, const boost::system::error_code& error);

  std::shared_ptr<boost::asio::io_context> ioService;
  boost::asio::ip::tcp::acceptor acceptor;
  boost::asio::steady_timer acceptRetry;
  boost::asio::steady_timer flushTimer;
  std::set<std::shared_ptr<NetworkSession>> sessions;  // I/O thread only
  std::vector<std::shared_ptr<NetworkSession>> flushTargets;
  std::atomic<size_t> sessionTotal{0};
  const bool sbsFlag;
  const uint32_t configuredPort;
  const boost::asio::ip::address_v4 bindAddress;
  const std::string serverName;
  std::atomic<uint16_t> localPort{0};
  bool listening = false;

  // Between the frame thread and the I/O thread.
  std::mutex pendingMutex;
  std::string pending;
  bool flushScheduled = false;
  bool urgentPosted = false;
  bool stopped = false;
  uint64_t droppedRecords = 0;
  size_t reserveHint = 4096;  // I/O thread
};
