#include "output/network_server.h"

#include "app/logger.h"
#include "output/network_session.h"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <chrono>

namespace {

// Errors that would fail again at once while the pending connection waits in the backlog.
bool isResourceShortage(const boost::system::error_code& error) {
  return error == boost::asio::error::no_descriptors || error == boost::asio::error::no_buffer_space ||
         error == boost::asio::error::no_memory || error == boost::system::errc::too_many_files_open_in_system;
}

}  // namespace

std::shared_ptr<NetworkServer> NetworkServer::create(std::shared_ptr<boost::asio::io_context> ioService,
                                                     uint32_t port, const std::string& name, bool sbs,
                                                     const boost::asio::ip::address_v4& address) {
  return std::shared_ptr<NetworkServer>(new NetworkServer(std::move(ioService), port, name, sbs, address));
}

NetworkServer::NetworkServer(std::shared_ptr<boost::asio::io_context> io, uint32_t port, const std::string& name,
                             bool sbs, const boost::asio::ip::address_v4& address)
    : ioService(std::move(io)),
      acceptor(*ioService),
      acceptRetry(*ioService),
      flushTimer(*ioService),
      sbsFlag(sbs),
      configuredPort(port),
      bindAddress(address),
      serverName(name) {}

NetworkServer::~NetworkServer() = default;

void NetworkServer::fail(const boost::system::error_code& error, const char* step) {
  boost::system::error_code ignored;
  acceptor.close(ignored);
  NetworkServerException exception(error, step);
  logError(exception.what());
  throw exception;
}

void NetworkServer::start() {
  using boost::asio::ip::tcp;
  boost::system::error_code error;
  acceptor.open(tcp::v4(), error);
  if (error) fail(error, "open");
  acceptor.set_option(tcp::acceptor::reuse_address(true), error);
  if (error) fail(error, "set_option");
  acceptor.bind(tcp::endpoint(bindAddress, static_cast<uint16_t>(configuredPort)), error);
  if (error) fail(error, "bind");
  acceptor.listen(128, error);
  if (error) fail(error, "listen");
  const auto local = acceptor.local_endpoint(error);
  localPort = error ? static_cast<uint16_t>(configuredPort) : local.port();
  listening = true;
  startAccept();
}

void NetworkServer::stop() {
  // What the frame thread handed over before the stop still goes out: the input has ended and
  // these are its last frames.
  flushPending();
  {
    std::lock_guard<std::mutex> lock(pendingMutex);
    stopped = true;
    std::string().swap(pending);
  }
  listening = false;
  boost::system::error_code ignored;
  acceptor.close(ignored);
  acceptRetry.cancel();
  flushTimer.cancel();
  for (const auto& session : sessions) session->finish();
  sessions.clear();
  sessionTotal = 0;
}

void NetworkServer::broadcastBytes(const uint8_t* bytes, int32_t length) {
  if (bytes == nullptr || length <= 0) return;
  enqueueBroadcast(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
}

void NetworkServer::broadcastText(const std::string& text) {
  if (text.empty()) return;
  enqueueBroadcast(text.data(), text.size());
}

void NetworkServer::enqueueBroadcast(const char* data, size_t length) {
  // Nobody connected yet: nobody could be owed these bytes.
  if (length == 0 || sessionTotal.load(std::memory_order_relaxed) == 0) return;
  bool schedule = false;
  bool urgent = false;
  {
    std::lock_guard<std::mutex> lock(pendingMutex);
    if (stopped) return;
    if (pending.size() + length > pendingLimit) {
      ++droppedRecords;
      return;
    }
    pending.append(data, length);
    if (!flushScheduled) {
      flushScheduled = schedule = true;
    } else if (!urgentPosted && pending.size() >= urgentBatchSize) {
      urgentPosted = urgent = true;
    }
  }
  if (schedule) {
    boost::asio::post(*ioService, [self = shared_from_this()] { self->scheduleFlush(); });
  } else if (urgent) {
    boost::asio::post(*ioService, [self = shared_from_this()] { self->flushPending(); });
  }
}

void NetworkServer::scheduleFlush() {
  if (!listening) return;  // stopped meanwhile
  // Re-arming cancels a wait left over from an urgent flush; this wait covers the new batch.
  flushTimer.expires_after(flushDelay);
  flushTimer.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
    if (!error) self->flushPending();
  });
}

void NetworkServer::flushPending() {
  // Allocate the next batch's block here rather than on the frame thread or under the lock.
  std::string batch;
  batch.reserve(reserveHint);
  uint64_t dropped = 0;
  {
    std::lock_guard<std::mutex> lock(pendingMutex);
    batch.swap(pending);
    flushScheduled = false;
    urgentPosted = false;
    dropped = droppedRecords;
    droppedRecords = 0;
    if (stopped) return;
  }
  reserveHint = std::clamp<size_t>(batch.size() + batch.size() / 2, 4096, 256 * 1024);
  if (dropped > 0) {
    logMessage(LoggingLevel::WARNING, serverName + " output overflow: " + std::to_string(dropped) + " records dropped");
  }
  if (batch.empty()) return;
  // A copy of exactly the bytes: the batch's block was reserved for the larger batches of late,
  // often many times this one, and a client that does not keep up holds every buffer until its
  // queued bytes (not blocks) reach the limit.
  const NetworkSession::Buffer shared = std::make_shared<const std::string>(batch.data(), batch.size());
  // A send may disconnect its session, which leaves the set.
  flushTargets.assign(sessions.begin(), sessions.end());
  for (const auto& session : flushTargets) {
    if (session->isEnabled() && !session->isClosed()) session->send(shared);
  }
  flushTargets.clear();
}

void NetworkServer::startAccept() {
  auto session = NetworkSession::create(*ioService, shared_from_this(), sbsFlag);
  acceptor.async_accept(session->socket(),
                        [self = shared_from_this(), session](const boost::system::error_code& error) {
                          self->onAccept(session, error);
                        });
}

void NetworkServer::onAccept(const std::shared_ptr<NetworkSession>& session, const boost::system::error_code& error) {
  if (error == boost::asio::error::operation_aborted || !listening) {
    session->close();
    return;
  }
  if (error) {
    session->close();
    if (!isResourceShortage(error)) {
      startAccept();
      return;
    }
    // Out of descriptors: the connection stays in the backlog and would fail again at once.
    acceptRetry.expires_after(std::chrono::seconds(1));
    acceptRetry.async_wait([self = shared_from_this()](const boost::system::error_code& waitError) {
      if (!waitError && self->listening) self->startAccept();
    });
    return;
  }
  sessions.insert(session);
  ++sessionTotal;
  session->start();
  logInfo("Connected " + session->name());
  startAccept();
}

void NetworkServer::removeSession(const std::shared_ptr<NetworkSession>& session) {
  logInfo("Disconnected " + session->name());
  if (sessions.erase(session) > 0) --sessionTotal;
}
