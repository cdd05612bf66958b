#include "output/serial_server.h"

#include "app/logger.h"

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <sys/ioctl.h>
#include <termios.h>

#include <algorithm>

std::shared_ptr<SerialServer> SerialServer::create(std::shared_ptr<boost::asio::io_context> ioService,
                                                   std::string device, uint32_t baudRate,
                                                   std::chrono::seconds retryDelay) {
  return std::shared_ptr<SerialServer>(new SerialServer(std::move(ioService), std::move(device), baudRate, retryDelay));
}

SerialServer::SerialServer(std::shared_ptr<boost::asio::io_context> io, std::string deviceName, uint32_t rate,
                           std::chrono::seconds delay)
    : ioService(std::move(io)),
      port(*ioService),
      reconnectTimer(*ioService),
      roomTimer(*ioService),
      device(std::move(deviceName)),
      baudRate(rate),
      retryDelay(delay),
      limit(std::clamp<size_t>(static_cast<size_t>(rate) / 10 * 2, minimumQueue, maximumQueue)) {}

SerialServer::~SerialServer() { close(); }

template <typename Work>
void SerialServer::guarded(const char* where, Work&& work) {
  const char* reason = "unknown exception";
  std::string text;
  try {
    work();
    return;
  } catch (const std::exception& e) {
    text = e.what();
    reason = text.c_str();
  } catch (...) {
  }
  // Nothing may leave a completion: report it, and start over as after any port failure.
  try {
    logError(std::string("SerialServer ") + where + " failed: " + reason);
    if (!isStopped()) {
      closePort();
      scheduleReconnect();
    }
  } catch (...) {
  }
}

void SerialServer::open() {
  guarded("open", [this] {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopped = false;
      connected = false;
    }
    boost::system::error_code error;
    port.open(device, error);  // read and write, no controlling terminal, non-blocking, raw
    if (error) {
      logError("SerialPort open error " + error.message());
      scheduleReconnect();
      return;
    }
    // A rate the driver refuses fails here; it is retried like a device that is missing, since
    // another device may appear under the same name.
    if (!configure(error)) {
      logError("SerialPort configuration error " + error.message());
      closePort();
      scheduleReconnect();
      return;
    }
    logInfo("SerialPort " + device + " connected");
    {
      std::lock_guard<std::mutex> lock(mutex);
      connected = true;
    }
    startRead();
  });
}

bool SerialServer::configure(boost::system::error_code& error) {
  using boost::asio::serial_port_base;
  port.set_option(serial_port_base::baud_rate(baudRate), error);
  if (!error) port.set_option(serial_port_base::character_size(8), error);
  if (!error) port.set_option(serial_port_base::stop_bits(serial_port_base::stop_bits::one), error);
  if (!error) port.set_option(serial_port_base::parity(serial_port_base::parity::none), error);
  if (!error) port.set_option(serial_port_base::flow_control(serial_port_base::flow_control::none), error);
  return !error;
}

void SerialServer::close() {
  try {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (stopped) return;
      stopped = true;
      connected = false;
    }
    closePort();
    reconnectTimer.cancel();
  } catch (const std::exception& e) {
    try {
      logError(std::string("SerialServer close failed: ") + e.what());
    } catch (...) {
    }
  }
}

void SerialServer::closePort() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    connected = false;
    pending.clear();
    pendingSets = 0;
    sending = false;
    waitingForRoom = false;
    warnedDropping = false;
  }
  ++portGeneration;
  lineFreeAt = {};
  roomTimer.cancel();
  if (!port.is_open()) return;
  // Unsent output is thrown away first: a tty's close may otherwise wait for it to drain.
  ::tcflush(port.native_handle(), TCIOFLUSH);
  boost::system::error_code error;
  port.close(error);
  if (error) logError("SerialPort close error " + error.message());
}

void SerialServer::write(const std::string& bytes) {
  bool post = false;
  bool warn = false;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (stopped || !connected || bytes.empty()) return;
    if (bytes.size() > limit) {
      warn = countDropped(1);
    } else {
      // The newest position wins: older sets make way for it.
      if (pendingSets > 0 && (waitingForRoom || pending.size() + bytes.size() > limit)) {
        warn = countDropped(pendingSets);
        pending.clear();
        pendingSets = 0;
      }
      newestSetAt = pending.size();
      pending += bytes;
      ++pendingSets;
      if (!sending) post = sending = true;
    }
  }
  if (warn) warnDropped();
  if (post) boost::asio::post(*ioService, [self = shared_from_this()] { self->startWrite(); });
}

bool SerialServer::countDropped(uint64_t sets) {
  dropped += sets;
  const bool first = !warnedDropping;
  warnedDropping = true;
  return first;
}

void SerialServer::warnDropped() {
  logMessage(LoggingLevel::WARNING, "SerialPort " + device + " cannot keep up: sentences dropped");
}

void SerialServer::startWrite() {
  guarded("write", [this] {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (stopped || !connected) return;
      if (pending.empty()) {
        sending = false;
        return;
      }
    }
    // Not yet: what the line holds would make the device read the sets late. Only the newest is
    // kept, and whatever comes meanwhile replaces it.
    if (const auto wait = timeUntilRoom(); wait > std::chrono::steady_clock::duration::zero()) {
      bool warn = false;
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (pendingSets > 1) {
          warn = countDropped(pendingSets - 1);
          pending.erase(0, newestSetAt);
          pendingSets = 1;
          newestSetAt = 0;
        }
        waitingForRoom = true;
      }
      if (warn) warnDropped();
      roomTimer.expires_after(wait);
      roomTimer.async_wait([self = shared_from_this(), generation = portGeneration](
                               const boost::system::error_code& error) { self->onRoomTimer(generation, error); });
      return;
    }
    auto data = std::make_shared<std::string>();
    {
      std::lock_guard<std::mutex> lock(mutex);
      data->swap(pending);
      pendingSets = 0;
      waitingForRoom = false;
    }
    lineFreeAt = std::max(lineFreeAt, std::chrono::steady_clock::now()) + lineTime(data->size());
    boost::asio::async_write(port, boost::asio::buffer(*data),
                             [self = shared_from_this(), data, generation = portGeneration](
                                 const boost::system::error_code& error, size_t) {
                               self->onWriteDone(generation, error);
                             });
  });
}

std::chrono::nanoseconds SerialServer::lineTime(size_t bytes) const {
  if (baudRate == 0) return std::chrono::nanoseconds::zero();
  return std::chrono::nanoseconds(static_cast<int64_t>(bytes) * 10'000'000'000 / baudRate);  // 10 bits a byte
}

std::chrono::steady_clock::duration SerialServer::timeUntilRoom() {
  using namespace std::chrono;
  const auto now = steady_clock::now();
  const auto byRate = lineFreeAt > now ? lineFreeAt - now : steady_clock::duration::zero();
  int held = 0;
  if (::ioctl(port.native_handle(), TIOCOUTQ, &held) != 0 || held < 0) held = 0;
  const auto drain = std::max<steady_clock::duration>(byRate, lineTime(static_cast<size_t>(held))) - lineReserve;
  if (drain <= steady_clock::duration::zero()) return steady_clock::duration::zero();
  // Not shorter than a few milliseconds, so a driver that stalls is not asked in a tight loop.
  return std::max<steady_clock::duration>(drain, milliseconds(10));
}

void SerialServer::onRoomTimer(uint64_t generation, const boost::system::error_code& error) {
  guarded("write", [&] {
    if (generation != portGeneration || error == boost::asio::error::operation_aborted) return;
    if (error) {
      fail("SerialPort write timer " + error.message());
      return;
    }
    startWrite();
  });
}

void SerialServer::onWriteDone(uint64_t generation, const boost::system::error_code& error) {
  guarded("write", [&] {
    if (generation != portGeneration || isStopped()) return;  // its port has been closed since
    if (error == boost::asio::error::operation_aborted) return;
    if (error) {
      fail("SerialPort write error " + error.message());
      return;
    }
    startWrite();
  });
}

void SerialServer::startRead() {
  if (isStopped()) return;
  port.async_read_some(boost::asio::buffer(readBuffer),
                       [self = shared_from_this(), generation = portGeneration](const boost::system::error_code& error,
                                                                               size_t) {
                         self->onRead(generation, error);
                       });
}

void SerialServer::onRead(uint64_t generation, const boost::system::error_code& error) {
  guarded("read", [&] {
    if (generation != portGeneration || isStopped()) return;
    if (error == boost::asio::error::operation_aborted) return;
    if (error) {
      fail("SerialServer read error " + error.message());
      return;
    }
    startRead();  // what the device sent is of no use to us
  });
}

void SerialServer::fail(const std::string& text) {
  logError(text);
  closePort();
  scheduleReconnect();
}

void SerialServer::scheduleReconnect() {
  logInfo("SerialServer reconnect in " + std::to_string(retryDelay.count()) + " seconds");
  reconnectTimer.expires_after(retryDelay);
  reconnectTimer.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
    self->onReconnectTimer(error);
  });
}

void SerialServer::onReconnectTimer(const boost::system::error_code& error) {
  guarded("reconnect", [&] {
    if (isStopped() || error == boost::asio::error::operation_aborted) return;
    if (error) {
      logError("SerialPort reconnect timer " + error.message());
      scheduleReconnect();
      return;
    }
    open();
  });
}

bool SerialServer::isStopped() const {
  std::lock_guard<std::mutex> lock(mutex);
  return stopped;
}

bool SerialServer::isConnected() const {
  std::lock_guard<std::mutex> lock(mutex);
  return connected;
}

uint64_t SerialServer::droppedWrites() const {
  std::lock_guard<std::mutex> lock(mutex);
  return dropped;
}
