#pragma once
// The serial line of the GPS emulation: a raw 8N1 port at a given rate that is sent the NMEA
// sentences, whose incoming bytes are read and thrown away, and that is kept alive: any failure
// closes it and a timer opens it again, for as long as the program runs. While it is closed,
// sentences are dropped.
//
// Threads: write may be called from any thread (the frame thread). It keeps the newest set
// under a small mutex and posts the write; the port, the timers and every completion belong to
// the thread that runs the io_context. open and close may also be called while no thread runs it.
// One write is outstanding at a time and takes whole sets only, so sentences never interleave and
// a set is never cut.
//
// A slow line gets the newest position, not a backlog: a set that is still waiting when a newer
// one comes is dropped whole, and the next set is handed to the driver only once what the line
// still holds is down to a small remainder. That remainder is the larger of what the driver
// reports (TIOCOUTQ) and what the bytes written so far take at the line's rate, since not every
// driver counts what it holds (a pseudo-terminal reports nothing, an adapter has its own FIFO).

#include <boost/asio/io_context.hpp>
#include <boost/asio/serial_port.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class SerialServer : public std::enable_shared_from_this<SerialServer> {
 public:
  static constexpr std::chrono::seconds reconnectDelay{10};
  // What waits is held to about two seconds of the line's time (10 bits a byte on 8N1), within
  // these bounds: older sets make way for a newer one, and a set larger than that is dropped.
  static constexpr size_t minimumQueue = 512;
  static constexpr size_t maximumQueue = 64 * 1024;
  // The next set goes to the driver once the line holds no more than this much of its time.
  static constexpr std::chrono::milliseconds lineReserve{100};

  // `retryDelay` is for tests; the program waits reconnectDelay.
  static std::shared_ptr<SerialServer> create(std::shared_ptr<boost::asio::io_context> ioService, std::string device,
                                              uint32_t baudRate, std::chrono::seconds retryDelay = reconnectDelay);
  virtual ~SerialServer();
  SerialServer(const SerialServer&) = delete;
  SerialServer& operator=(const SerialServer&) = delete;

  // Opens and configures the port and starts reading; a failure is logged and retried later.
  void open();
  // Stops for good: closes the port (dropping what is queued) and cancels the retry.
  void close();
  // Any thread: queues a copy of one whole set of sentences; it takes the place of a set that
  // waits for the line to have room. Dropped while not connected or when larger than the queue.
  void write(const std::string& bytes);

  bool isStopped() const;
  bool isConnected() const;
  const std::string& deviceName() const { return device; }
  size_t queueLimit() const { return limit; }
  // Sets dropped: replaced by a newer one before they went out, or too large.
  uint64_t droppedWrites() const;

 private:
  SerialServer(std::shared_ptr<boost::asio::io_context> ioService, std::string device, uint32_t baudRate,
               std::chrono::seconds retryDelay);

  // Runs a completion's work; whatever it throws is logged and treated like a port failure.
  template <typename Work>
  void guarded(const char* where, Work&& work);
  bool configure(boost::system::error_code& error);
  void startRead();
  void onRead(uint64_t generation, const boost::system::error_code& error);
  void startWrite();
  void onWriteDone(uint64_t generation, const boost::system::error_code& error);
  // What `bytes` take on the line at its rate (8N1); nothing at a rate of 0.
  std::chrono::nanoseconds lineTime(size_t bytes) const;
  // How long until the line holds no more than lineReserve; zero when it already does.
  std::chrono::steady_clock::duration timeUntilRoom();
  void onRoomTimer(uint64_t generation, const boost::system::error_code& error);
  // Under the mutex: counts `sets` dropped; true when that is the first time on this connection.
  bool countDropped(uint64_t sets);
  void warnDropped();
  void fail(const std::string& text);
  void closePort();
  void scheduleReconnect();
  void onReconnectTimer(const boost::system::error_code& error);

  std::shared_ptr<boost::asio::io_context> ioService;
  boost::asio::serial_port port;
  boost::asio::steady_timer reconnectTimer;
  boost::asio::steady_timer roomTimer;
  const std::string device;
  const uint32_t baudRate;
  const std::chrono::seconds retryDelay;
  const size_t limit;
  std::array<uint8_t, 256> readBuffer{};
  // Counts opens, so that a completion of a port closed since is recognised and ignored.
  uint64_t portGeneration = 0;
  // When the line will have sent everything written to it so far, at its rate.
  std::chrono::steady_clock::time_point lineFreeAt{};

  // Between the writing thread and the I/O thread.
  mutable std::mutex mutex;
  bool stopped = true;
  bool connected = false;
  // Sets not yet handed to the driver, whole and in order; more than one only until the I/O thread
  // finds the line full, then just the newest.
  std::string pending;
  size_t pendingSets = 0;
  size_t newestSetAt = 0;  // where the last of them begins
  // The I/O thread comes back to pending by itself: a write is posted, waits for room or is
  // outstanding.
  bool sending = false;
  bool waitingForRoom = false;  // then a new set replaces what is pending
  bool warnedDropping = false;  // once a connection: on a slow line it is the normal course
  uint64_t dropped = 0;
};
