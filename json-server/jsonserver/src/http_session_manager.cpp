#include "json-server/jsonserver/src/http_session_manager.h"

#include "json-server/jsonserver/src/http_server.h"
#include "json-server/jsonserver/src/http_session.h"

#include <vector>

using boost::asio::ip::tcp;

HttpSessionManager::HttpSessionManager(boost::asio::io_context& ioContext, HttpServer& server)
    : server(server), acceptor(ioContext), pollTimer(ioContext), acceptRetryTimer(ioContext) {}

HttpSessionManager::~HttpSessionManager() = default;

bool HttpSessionManager::listen(int port) {
  if (port < 0 || port > 65535) return false;
  boost::system::error_code error;
  const tcp::endpoint endpoint(tcp::v4(), static_cast<uint16_t>(port));
  acceptor.open(endpoint.protocol(), error);
  if (!error) acceptor.set_option(tcp::acceptor::reuse_address(true), error);
  if (!error) acceptor.bind(endpoint, error);
  if (!error) acceptor.listen(tcp::acceptor::max_listen_connections, error);
  if (error) {
    boost::system::error_code ignored;
    acceptor.close(ignored);
    return false;
  }
  boundPort = acceptor.local_endpoint(error).port();
  accept();
  return true;
}

void HttpSessionManager::accept() {
  acceptor.async_accept([this](const boost::system::error_code& error, tcp::socket socket) {
    if (stopped) return;
    if (error) {
      if (error == boost::asio::error::operation_aborted) return;
      // Out of descriptors or the like: try again a little later instead of spinning.
      acceptRetryTimer.expires_after(std::chrono::milliseconds(100));
      acceptRetryTimer.async_wait([this](const boost::system::error_code& waitError) {
        if (!waitError && !stopped) accept();
      });
      return;
    }
    if (sessions.size() >= maxConnections && !closeOldestIdle()) {
      boost::system::error_code ignored;
      socket.shutdown(tcp::socket::shutdown_both, ignored);
      socket.close(ignored);
      accept();
      return;
    }
    auto session = std::make_shared<HttpSession>(std::move(socket), server,
                                                 [this](HttpSession& closed) { sessions.erase(&closed); });
    sessions.emplace(session.get(), session);
    session->start();
    accept();
  });
}

bool HttpSessionManager::closeOldestIdle() {
  // Trickled headers, silent connections and held answers go first, the one that began longest
  // ago first; a page's kept-alive connection between its polls only when none of them is left,
  // as clients that reconnect at once would otherwise always be younger.
  const auto goesBefore = [](const HttpSession& a, const HttpSession& b) {
    if (a.isBetweenRequests() != b.isBetweenRequests()) return !a.isBetweenRequests();
    return a.requestBegan() < b.requestBegan();
  };
  std::shared_ptr<HttpSession> oldest;
  for (const auto& entry : sessions) {
    if (!entry.second->isIdle()) continue;
    if (!oldest || goesBefore(*entry.second, *oldest)) oldest = entry.second;
  }
  if (!oldest) return false;
  oldest->close();
  return true;
}

void HttpSessionManager::startPolling(std::chrono::milliseconds period, std::chrono::milliseconds idle,
                                      std::chrono::milliseconds header) {
  pollPeriod = period;
  idleTimeout = idle;
  headerTimeout = header;
  pollTimer.expires_after(pollPeriod);
  pollTimer.async_wait([this](const boost::system::error_code& error) {
    if (!error && !stopped) tick();
  });
}

void HttpSessionManager::tick() {
  const auto now = HttpSession::Clock::now();
  std::vector<std::shared_ptr<HttpSession>> live;
  live.reserve(sessions.size());
  for (const auto& entry : sessions) live.push_back(entry.second);
  for (const auto& session : live) session->poll(now, idleTimeout, headerTimeout);
  server.onTick(now);
  startPolling(pollPeriod, idleTimeout, headerTimeout);
}

void HttpSessionManager::pollAll() {
  if (stopped) return;
  const auto now = HttpSession::Clock::now();
  std::vector<std::shared_ptr<HttpSession>> pending;
  for (const auto& entry : sessions) {
    if (entry.second->response) pending.push_back(entry.second);
  }
  for (const auto& session : pending) session->poll(now, idleTimeout, headerTimeout);
}

void HttpSessionManager::closeAll() {
  stopped = true;
  boost::system::error_code error;
  acceptor.close(error);
  pollTimer.cancel();
  acceptRetryTimer.cancel();
  std::vector<std::shared_ptr<HttpSession>> live;
  for (const auto& entry : sessions) live.push_back(entry.second);
  for (const auto& session : live) session->close();
  sessions.clear();
}
