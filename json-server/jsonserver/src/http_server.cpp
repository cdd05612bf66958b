#include "json-server/jsonserver/src/http_server.h"

#include "app/host_clock.h"
#include "app/logger.h"
#include "json-server/jsonserver/src/base_command.h"
#include "json-server/jsonserver/src/basic_auth.h"
#include "json-server/jsonserver/src/gzip_string.h"
#include "json-server/jsonserver/src/http_session.h"
#include "json-server/jsonserver/src/http_session_manager.h"
#include "json-server/jsonserver/src/json_parser_write.h"

#include <boost/asio/post.hpp>
#include <boost/property_tree/ptree.hpp>

#include <csignal>
#include <utility>

namespace {

constexpr uint32_t responseExpirySeconds = 120;
constexpr size_t fileChunkSize = 65536;

}  // namespace

HttpServer::HttpServer(const WebFileTable* webFiles, uint32_t startTime) : webFiles(webFiles), startTime(startTime) {}

HttpServer::~HttpServer() { stop(); }

void HttpServer::addCommand(const std::shared_ptr<BaseCommand>& command) { registerCommand(commands, command); }

void HttpServer::addStaticDirectory(const std::string& urlPrefix, const std::string& directory, bool convertBmp) {
  staticDirectories.push_back(StaticDirectory{urlPrefix, directory, convertBmp});
}

void HttpServer::setAuth(const std::string& userColonPassword) { auth = userColonPassword; }

void HttpServer::setIdleTimeout(std::chrono::milliseconds timeout) { idleTimeout = timeout; }

void HttpServer::setPollPeriod(std::chrono::milliseconds period) { pollPeriod = period; }

void HttpServer::setHeaderTimeout(std::chrono::milliseconds timeout) { headerTimeout = timeout; }

void HttpServer::setMaxConnections(size_t count) { maxConnections = count; }

void HttpServer::setAuthThrottle(const AuthThrottleSettings& settings, AuthThrottle::Log log) {
  authThrottle = AuthThrottle(settings, std::move(log));
}

void HttpServer::start(int port) {
  if (!stopRequested) return;  // already running
  // A peer that has gone must make a write fail, not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  ioContext.restart();
  server = std::make_unique<HttpSessionManager>(ioContext, *this);
  server->setMaxConnections(maxConnections);
  if (!server->listen(port)) throw HttpServerException("Error set listening_port Cannot bind to port");
  server->startPolling(pollPeriod, idleTimeout, headerTimeout);
  stopRequested = false;
  pollThread = std::thread([this] { pollLoop(); });
}

uint16_t HttpServer::listeningPort() const { return server ? server->port() : 0; }

void HttpServer::pollLoop() {
  while (!stopRequested) {
    try {
      ioContext.run();
    } catch (const std::exception& e) {
      // One failed handler must not end the web server for every other client.
      logError(std::string("HTTP server: ") + e.what());
      continue;
    }
    if (!stopRequested) ioContext.restart();
  }
}

void HttpServer::stop() {
  if (!stopRequested.exchange(true)) {
    ioContext.stop();
    if (pollThread.joinable()) pollThread.join();
  }
  if (server) {
    // The last events (the close of every connection) run here, on the stopping thread.
    server->closeAll();
    ioContext.restart();
    ioContext.run();
    server.reset();
  }
  commands.clear();
  std::lock_guard<std::mutex> lock(responsesMutex);
  responses.clear();
}

void HttpServer::wakePoll() {
  if (wakePosted.exchange(true)) return;
  boost::asio::post(ioContext, [this] {
    wakePosted = false;
    if (server) server->pollAll();
  });
}

void HttpServer::onTick(std::chrono::steady_clock::time_point now) { authThrottle.sweep(now); }

int HttpServer::onEvent(HttpSession& connection, int event) {
  const uint32_t now = hostSeconds();
  switch (event) {
    case HTTP_EVENT_POLL:
      if (connection.response) return pollResponse(connection, *connection.response, now);
      return HTTP_NOT_HANDLED;
    case HTTP_EVENT_CONNECT:
      connection.response = nullptr;
      return HTTP_DONE;
    case HTTP_EVENT_AUTH:
      // Authentication is the router's first step.
      return HTTP_DONE;
    case HTTP_EVENT_REQUEST:
      if (connection.response) {
        logError("Unknown HttpResponse on initial request");
        return HTTP_NOT_HANDLED;
      }
      return handleRequest(buildRequest(connection, now));
    case HTTP_EVENT_CLOSE:
      if (connection.response) removeResponse(connection.response->id);
      connection.response = nullptr;
      return HTTP_DONE;
    default:
      return HTTP_NOT_HANDLED;
  }
}

std::shared_ptr<HttpRequest> HttpServer::buildRequest(HttpSession& connection, uint32_t now) {
  const auto& message = connection.request();
  auto request = std::make_shared<HttpRequest>();
  request->method = std::string(message.method_string());
  const std::string target(message.target());
  const size_t query = target.find('?');
  request->uri = normaliseRequestPath(percentDecode(target.substr(0, query)));
  if (query != std::string::npos) request->queryString = target.substr(query + 1);
  request->protocolVersion = std::to_string(message.version() / 10) + "." + std::to_string(message.version() % 10);
  request->remoteIp = connection.remoteIp();
  request->remotePort = connection.remotePort();
  request->connection = &connection;
  request->content = message.body();
  request->time = now;
  request->server = this;
  for (const auto& field : message) request->headers.emplace_back(field.name_string(), field.value());
  request->acceptsGzip = getRequestHeader(*request, "Accept-Encoding").find("gzip") != std::string::npos;
  connection.keepAlive = requestKeepsAlive(*request);
  return request;
}

int HttpServer::handleRequest(const std::shared_ptr<HttpRequest>& request) {
  if (!auth.empty() && !authorize(request)) {
    sendUnauthorized(request);
    return HTTP_DONE;
  }
  if (serveEmbeddedFile(request)) return HTTP_DONE;
  for (const auto& directory : staticDirectories) {
    if (request->uri.compare(0, directory.urlPrefix.size(), directory.urlPrefix) == 0) {
      return serveStaticFile(directory, request);
    }
  }
  if (request->uri == "/json") return handleJson(request);
  return HTTP_NOT_HANDLED;
}

bool HttpServer::authorize(const std::shared_ptr<HttpRequest>& request) {
  // Without credentials it is the challenge every browser starts with, not a guess.
  if (!hasRequestHeader(*request, "Authorization")) return false;
  const bool accepted = checkAuthorization(*request);
  const auto hold = authThrottle.attempt(request->remoteIp, accepted, std::chrono::steady_clock::now());
  if (hold.count() > 0 && request->connection) request->connection->holdReplies(hold);
  return accepted;
}

bool HttpServer::checkAuthorization(const HttpRequest& request) const {
  const std::string credentials = basicAuthCredentials(getRequestHeader(request, "Authorization"));
  return !credentials.empty() && credentials == auth;
}

void HttpServer::sendUnauthorized(const std::shared_ptr<HttpRequest>& request) {
  HttpSession& connection = *request->connection;
  connection.sendStatus(401);
  connection.sendHeader("Content-Type", "text/plain");
  connection.sendHeader("Content-Length", "16");
  connection.sendHeader("Connection", connectionHeaderValue(*request));
  connection.sendHeader("WWW-Authenticate", "Basic realm=\"Auth\"");
  connection.write("\r\n401 Unauthorized");
}

void HttpServer::sendNotFound(const std::shared_ptr<HttpRequest>& request) {
  HttpSession& connection = *request->connection;
  connection.sendStatus(404);
  connection.sendHeader("Content-Type", "text/plain");
  connection.sendHeader("Content-Length", "9");
  connection.sendHeader("Connection", connectionHeaderValue(*request));
  connection.write("\r\nNot Found");
}

int HttpServer::handleJson(const std::shared_ptr<HttpRequest>& request) {
  boost::property_tree::ptree requestTree;
  boost::property_tree::ptree errorReply;
  const auto command = resolveJsonCommand(commands, request->content, requestTree, errorReply);
  if (!command) {
    sendJson(request, errorReply);
    return HTTP_DONE;
  }
  const JsonReplySender send = [this, request](const boost::property_tree::ptree& reply) { sendJson(request, reply); };
  if (!command->isAsync()) return command->run(requestTree, request, nullptr, send);

  HttpResponse* response = createResponse();
  attachResponse(request, response);
  const uint32_t id = response->id;
  const int result = command->run(requestTree, request, response, send);
  if (result != HTTP_PENDING) {
    request->connection->response = nullptr;
    removeResponse(id);
  }
  return result;
}

void HttpServer::sendJson(const std::shared_ptr<HttpRequest>& request, const boost::property_tree::ptree& tree) {
  const std::string text = writeJsonTinyText(tree);
  if (!request->connection) return;
  const bool compressed = request->acceptsGzip;
  const std::string body = compressed ? gzipString(text) : text;
  HttpSession& connection = *request->connection;
  connection.sendStatus(200);
  connection.sendHeader("Content-Type", "application/json");
  connection.sendHeader("Connection", connectionHeaderValue(*request));
  if (compressed) connection.sendHeader("Content-Encoding", "gzip");
  connection.sendHeader("Content-Length", std::to_string(body.size()));
  connection.write("\r\n");
  connection.write(body);
}

HttpResponse* HttpServer::createResponse() {
  std::lock_guard<std::mutex> lock(responsesMutex);
  uint32_t candidate = lastResponseId + 1;
  while (responses.count(candidate)) ++candidate;
  lastResponseId = candidate;
  auto response = std::make_unique<HttpResponse>(candidate, [this] { wakePoll(); });
  HttpResponse* result = response.get();
  responses.emplace(candidate, std::move(response));
  return result;
}

void HttpServer::removeResponse(uint32_t id) {
  std::unique_ptr<HttpResponse> removed;
  {
    std::lock_guard<std::mutex> lock(responsesMutex);
    const auto found = responses.find(id);
    if (found == responses.end()) return;
    removed = std::move(found->second);
    responses.erase(found);
  }
}

bool HttpServer::withResponse(uint32_t id, const std::function<void(HttpResponse&)>& producer) {
  std::lock_guard<std::mutex> lock(responsesMutex);
  const auto found = responses.find(id);
  if (found == responses.end()) return false;
  producer(*found->second);
  return true;
}

size_t HttpServer::pendingResponseCount() {
  std::lock_guard<std::mutex> lock(responsesMutex);
  return responses.size();
}

void HttpServer::attachResponse(const std::shared_ptr<HttpRequest>& request, HttpResponse* response) {
  if (request->connection) request->connection->response = response;
}

int HttpServer::pollResponse(HttpSession& connection, HttpResponse& response, uint32_t now) {
  if (response.isFile) return sendFileChunk(connection, response);

  std::unique_lock<std::mutex> lock(response.mutex);
  if (response.status == 0) return HTTP_NOT_HANDLED;
  if (!response.statusSent) {
    connection.sendStatus(response.status);
    response.statusSent = true;
    response.lastActivity = now;
  }
  if (!response.headersSent) {
    while (!response.headers.empty()) {
      const auto header = std::move(response.headers.front());
      response.headers.pop_front();
      connection.sendHeader(header.first, header.second);
      response.lastActivity = now;
    }
    connection.sendHeader("Connection", connection.keepAlive ? "keep-alive" : "close");
    connection.write("\r\n");
    response.headersSent = true;
  }
  while (!response.bodyPieces.empty()) {
    const std::string piece = std::move(response.bodyPieces.front());
    response.bodyPieces.pop_front();
    if (piece.empty()) continue;
    connection.write(piece);
    response.lastActivity = now;
  }
  if (response.finished) {
    response.lastActivity = now;
    return HTTP_DONE;
  }
  lock.unlock();
  if (static_cast<uint32_t>(now - response.lastActivity) >= responseExpirySeconds) {
    logError("HttpResponse expire");
    return HTTP_DONE;
  }
  return HTTP_NOT_HANDLED;
}

int HttpServer::sendFileChunk(HttpSession& connection, HttpResponse& response) {
  std::string chunk(fileChunkSize, '\0');
  response.file->read(&chunk[0], static_cast<std::streamsize>(chunk.size()));
  if (response.file->bad()) {
    logError("Error read file");
    return HTTP_DONE;
  }
  chunk.resize(static_cast<size_t>(response.file->gcount()));
  if (!chunk.empty()) connection.write(chunk);
  return response.file->eof() ? HTTP_DONE : HTTP_PENDING;
}
