#include "output/network_session.h"

#include "app/logger.h"
#include "output/network_server.h"
#include "output/sbs_frame.h"
#include "output/sbs_replies.h"

#include <boost/asio/write.hpp>

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <algorithm>

namespace {

// Buffers handed to one gather write: a view of the session's vector, so the write op copies
// two pointers instead of the vector.
struct BufferRange {
  const boost::asio::const_buffer* first;
  const boost::asio::const_buffer* last;
  const boost::asio::const_buffer* begin() const { return first; }
  const boost::asio::const_buffer* end() const { return last; }
};

// More would only be split up again by the write loop (64 buffers per system call).
constexpr size_t maxGatherBuffers = 64;

}  // namespace

void applyKeepAlive(boost::asio::ip::tcp::socket& socket) {
  using KeepIdle = boost::asio::detail::socket_option::integer<IPPROTO_TCP, TCP_KEEPIDLE>;
  using KeepInterval = boost::asio::detail::socket_option::integer<IPPROTO_TCP, TCP_KEEPINTVL>;
  using KeepCount = boost::asio::detail::socket_option::integer<IPPROTO_TCP, TCP_KEEPCNT>;
  boost::system::error_code ignored;
  socket.set_option(boost::asio::socket_base::keep_alive(true), ignored);
  socket.set_option(KeepIdle(30), ignored);
  socket.set_option(KeepInterval(5), ignored);
  socket.set_option(KeepCount(3), ignored);
}

std::shared_ptr<NetworkSession> NetworkSession::create(boost::asio::io_context& io,
                                                       std::shared_ptr<NetworkServer> server, bool sbsMode) {
  return std::shared_ptr<NetworkSession>(new NetworkSession(io, std::move(server), sbsMode));
}

NetworkSession::NetworkSession(boost::asio::io_context& io, std::shared_ptr<NetworkServer> owner, bool sbs)
    : tcpSocket(io), server(std::move(owner)), drainTimer(io), enabled(!sbs), sbsMode(sbs) {}

NetworkSession::~NetworkSession() = default;

void NetworkSession::start() {
  boost::system::error_code error;
  const auto remote = tcpSocket.remote_endpoint(error);
  if (!error) sessionName = remote.address().to_string() + ":" + std::to_string(remote.port());
  applyKeepAlive(tcpSocket);
  startRead();
}

void NetworkSession::startRead() {
  tcpSocket.async_read_some(boost::asio::buffer(readBuffer),
                            [self = shared_from_this()](const boost::system::error_code& error, size_t n) {
                              self->onRead(error, n);
                            });
}

void NetworkSession::onRead(const boost::system::error_code& error, size_t bytesRead) {
  if (finishing) return;  // only the last writes matter now
  if (error || closed) {
    if (error != boost::asio::error::operation_aborted) disconnect();
    return;
  }
  if (sbsMode) {
    const size_t n = std::min(bytesRead, readBuffer.size());
    for (size_t i = 0; i < n && !closed; ++i) {
      switch (sbsParser.feed(readBuffer[i])) {
        case SbsCommandParser::Event::Command:
          handleSbsCommand();
          break;
        case SbsCommandParser::Event::Overflow:
          logMessage(LoggingLevel::WARNING, "SBS protocol buffer overflow");
          break;
        case SbsCommandParser::Event::None:
          break;
      }
    }
    if (closed) return;
  }
  startRead();
}

void NetworkSession::handleSbsCommand() {
  const bool login = isSbsLogin(sbsParser.payload(), sbsParser.length());
  if (login) logInfo("SBS-3 LOGIN");
  for (const std::string& reply : sbsRepliesTo(sbsParser.payload(), sbsParser.length())) {
    sendSbsMessage(reinterpret_cast<const uint8_t*>(reply.data()), reply.size());
  }
  if (login) enabled = true;
}

void NetworkSession::sendSbsMessage(const uint8_t* payload, size_t length) {
  constexpr size_t framingBufferSize = 1024;
  size_t stuffedLength = 0;
  for (size_t i = 0; i < length; ++i) stuffedLength += payload[i] == sbsDle ? 2 : 1;
  // DLE STX, the stuffed payload, and DLE ETX with both CRC bytes doubled at worst.
  if (2 + stuffedLength + 6 >= framingBufferSize) {
    logMessage(LoggingLevel::WARNING, "sendSbsMessage() too long message");
    return;
  }
  std::string frame;
  frame.reserve(2 + stuffedLength + 6);
  appendSbsFrame(frame, payload, length);
  write(reinterpret_cast<const uint8_t*>(frame.data()), static_cast<int32_t>(frame.size()));
}

void NetworkSession::write(const uint8_t* bytes, int32_t length) {
  if (closed || bytes == nullptr || length <= 0) return;
  send(std::make_shared<const std::string>(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length)));
}

void NetworkSession::send(Buffer data) {
  if (closed || !data || data->empty()) return;
  // An idle client takes any one piece; a backlog beyond the limit means it does not keep up.
  if (heldBytes > 0 && heldBytes + data->size() > sendQueueLimit) {
    disconnect();
    return;
  }
  heldBytes += data->size();
  sendQueue.push_back(std::move(data));
  if (!writing) startWrite();
}

void NetworkSession::startWrite() {
  // Everything that queued up while the last write was out goes in one gather write.
  inFlight = std::min(sendQueue.size(), maxGatherBuffers);
  gather.clear();
  for (size_t i = 0; i < inFlight; ++i) gather.emplace_back(boost::asio::buffer(*sendQueue[i]));
  writing = true;
  partialBytes = 0;
  // The completion condition sees each partial write, which is how a drain tells a slow client
  // from one that has stopped reading.
  boost::asio::async_write(
      tcpSocket, BufferRange{gather.data(), gather.data() + gather.size()},
      [this](const boost::system::error_code& error, size_t transferred) -> size_t {
        partialBytes = transferred;
        return boost::asio::transfer_all()(error, transferred);
      },
      [self = shared_from_this()](const boost::system::error_code& error, size_t) { self->onWriteDone(error); });
}

void NetworkSession::onWriteDone(const boost::system::error_code& error) {
  writing = false;
  writtenBytes += partialBytes;
  partialBytes = 0;
  for (; inFlight > 0 && !sendQueue.empty(); --inFlight) {
    heldBytes -= sendQueue.front()->size();
    sendQueue.pop_front();
  }
  inFlight = 0;
  if (error) {
    if (error != boost::asio::error::operation_aborted) disconnect();
    return;
  }
  if (closed) return;
  if (!sendQueue.empty()) {
    startWrite();
  } else if (finishing) {
    close();
  }
}

void NetworkSession::finish() {
  if (closed || finishing) return;
  finishing = true;
  server.reset();  // no more "Disconnected" lines or set changes from here on
  if (!writing) {
    close();
    return;
  }
  drainEnd = std::chrono::steady_clock::now() + drainLimit;
  progressAtCheck = writtenBytes + partialBytes;
  stalledChecks = 0;
  checkDrain();
}

void NetworkSession::checkDrain() {
  drainTimer.expires_after(drainCheck);
  drainTimer.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
    if (error || self->closed) return;
    const uint64_t progress = self->writtenBytes + self->partialBytes;
    self->stalledChecks = progress == self->progressAtCheck ? self->stalledChecks + 1 : 0;
    self->progressAtCheck = progress;
    if (self->stalledChecks >= drainStallChecks || std::chrono::steady_clock::now() >= self->drainEnd) {
      self->close();
      return;
    }
    self->checkDrain();
  });
}

void NetworkSession::disconnect() {
  if (closed) return;
  auto self = shared_from_this();
  if (server) server->removeSession(self);
  close();
}

void NetworkSession::close() {
  if (closed) return;
  closed = true;
  boost::system::error_code ignored;
  drainTimer.cancel();
  if (finishing) tcpSocket.shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
  tcpSocket.close(ignored);
  // Buffers of the outstanding write stay until its (cancelled) completion.
  while (sendQueue.size() > inFlight) {
    heldBytes -= sendQueue.back()->size();
    sendQueue.pop_back();
  }
  server.reset();
}
