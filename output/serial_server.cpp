#include "output/serial_server.h"

#include "app/logger.h"

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

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
    queuedBytes = 0;
    writing = false;
    writePosted = false;
    dropping = false;
  }
  ++portGeneration;
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
    if (queuedBytes + bytes.size() > limit) {
      ++dropped;
      warn = !dropping;
      dropping = true;
    } else {
      pending += bytes;
      queuedBytes += bytes.size();
      if (!writing && !writePosted) post = writePosted = true;
    }
  }
  if (warn) logMessage(LoggingLevel::WARNING, "SerialPort " + device + " cannot keep up: sentences dropped");
  if (post) boost::asio::post(*ioService, [self = shared_from_this()] { self->startWrite(); });
}

void SerialServer::startWrite() {
  guarded("write", [this] {
    auto data = std::make_shared<std::string>();
    {
      std::lock_guard<std::mutex> lock(mutex);
      writePosted = false;
      if (stopped || !connected || writing || pending.empty()) return;
      data->swap(pending);
      writing = true;
    }
    boost::asio::async_write(port, boost::asio::buffer(*data),
                             [self = shared_from_this(), data, generation = portGeneration](
                                 const boost::system::error_code& error, size_t) {
                               self->onWriteDone(generation, error, data->size());
                             });
  });
}

void SerialServer::onWriteDone(uint64_t generation, const boost::system::error_code& error, size_t size) {
  guarded("write", [&] {
    if (generation != portGeneration) return;  // its port has been closed since
    bool more = false;
    {
      std::lock_guard<std::mutex> lock(mutex);
      writing = false;
      queuedBytes -= std::min(queuedBytes, size);
      if (stopped) return;
      more = !pending.empty();
      if (!more) dropping = false;
    }
    if (error == boost::asio::error::operation_aborted) return;
    if (error) {
      fail("SerialPort write error " + error.message());
      return;
    }
    if (more) startWrite();
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
