#pragma once
// The serial line of the GPS emulation: a raw 8N1 port at a given rate that is sent the NMEA
// sentences, whose incoming bytes are read and thrown away, and that is kept alive: any failure
// closes it and a timer opens it again, for as long as the program runs. While it is closed,
// sentences are dropped.
//
// Threads: write may be called from any thread (the frame thread). It appends to a bounded queue
// under a small mutex and posts the write; the port, the timer and every completion belong to the
// thread that runs the io_context. open and close may also be called while no thread runs it.
// One write is outstanding at a time and takes everything queued, so sentences never interleave.

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
  // The queue holds about two seconds of the line's time (10 bits a byte on 8N1), within these
  // bounds: more would only send the device positions that are long out of date, and it always
  // takes a whole set of sentences.
  static constexpr size_t minimumQueue = 512;
  static constexpr size_t maximumQueue = 64 * 1024;

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
  // Any thread: queues a copy of the bytes, or drops them while not connected or when the queue
  // is full.
  void write(const std::string& bytes);

  bool isStopped() const;
  bool isConnected() const;
  const std::string& deviceName() const { return device; }
  size_t queueLimit() const { return limit; }
  // Sentences dropped because the queue was full.
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
  void onWriteDone(uint64_t generation, const boost::system::error_code& error, size_t size);
  void fail(const std::string& text);
  void closePort();
  void scheduleReconnect();
  void onReconnectTimer(const boost::system::error_code& error);

  std::shared_ptr<boost::asio::io_context> ioService;
  boost::asio::serial_port port;
  boost::asio::steady_timer reconnectTimer;
  const std::string device;
  const uint32_t baudRate;
  const std::chrono::seconds retryDelay;
  const size_t limit;
  std::array<uint8_t, 256> readBuffer{};
  // Counts opens, so that a completion of a port closed since is recognised and ignored.
  uint64_t portGeneration = 0;

  // Between the writing thread and the I/O thread.
  mutable std::mutex mutex;
  bool stopped = true;
  bool connected = false;
  std::string pending;
  size_t queuedBytes = 0;  // pending and the outstanding write
  bool writing = false;
  bool writePosted = false;
  bool dropping = false;
  uint64_t dropped = 0;
};
