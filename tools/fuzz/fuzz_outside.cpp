// libFuzzer target: what an outside service sends back to the program's HTTP client, over a real
// loopback connection: the status line, the header block, the body and its end (the server's
// close; a Content-Length or chunked coding is only text to the client), gzip, and then the "api"
// handling of the result: the reply to the page, the cache, and the next question for the same
// key answered from the cache (which parses a cached JSON text again).
//
// Input: byte 0 holds flags (bits 0-1 the kind: picture, airport, METAR, NOTAM; bit 2 gzip what
// follows the first empty line before it goes out), byte 1 is a separator, and the rest is what
// the service sends, cut into pieces at the first four separators (which are dropped), each piece
// written after the client has taken in the last one. Then the service half-closes.
//
// Checks besides the sanitizers: the handler is told exactly once; a text reply is cached exactly
// when it succeeded, a JSON one only when it succeeded, and as it came; no request stays running.

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/socket_base.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
#include <boost/property_tree/ptree.hpp>

#include "app/application.h"
#include "infoservice/http_client.h"
#include "infoservice/json_proxy.h"
#include "infoservice/response_cache.h"
#include "json-server/jsonserver/src/gzip_string.h"
#include "json-server/jsonserver/src/http_server.h"
#include "tools/fuzz/fuzz_support.h"

using boost::asio::ip::tcp;

namespace {

const char kHost[] = "outside.test";

struct Kind {
  const char* api;
  const char* q;
  const char* path;
  const char* cacheKey;
  bool isText;
  size_t service;
};

const Kind kKinds[] = {
    {"image", "4CA1FA", "/api/ac_thumb.json?n=1&m=4CA1FA", "4CA1FA", false, 0},
    {"airport", "EIDW", "/api/ap_info.json?icao=EIDW", "EIDW", false, 0},
    {"metar", "EIDW", "/data/observations/metar/stations/EIDW.TXT", "AIRPORTEIDW", true, 1},
    {"notam", "EIDW", "/notamSearch/search", "EIDWNOTAM", true, 3},
};

// Ends its connection with a reset rather than a close handshake, so that thousands of runs a
// second leave no connections waiting out their time on the loopback ports.
class FuzzClient : public HttpClient {
 public:
  using HttpClient::HttpClient;

 protected:
  void closeTransport() override {
    boost::system::error_code ignore;
    if (socket.is_open()) socket.set_option(boost::asio::socket_base::linger(true, 0), ignore);
    HttpClient::closeTransport();
  }
};

// Counts the reports and hands them on to the program's handler.
class CountingHandler : public HttpResponseHandler {
 public:
  explicit CountingHandler(std::shared_ptr<HttpResponseHandler> inner) : inner(std::move(inner)) {}
  void onResponse(HttpClient& client) override {
    ++calls;
    succeeded = true;
    body = client.body;
    inner->onResponse(client);
  }
  void onError(HttpClient& client, const std::string& message) override {
    ++calls;
    inner->onError(client, message);
  }
  int calls = 0;
  bool succeeded = false;
  std::string body;

 private:
  std::shared_ptr<HttpResponseHandler> inner;
};

struct World {
  World() : acceptor(io, tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0)) {
    std::signal(SIGPIPE, SIG_IGN);
    fuzz_support::setQuietLogging();
    app.signals.reset();
    settings.client.fixedHosts[kHost] = acceptor.local_endpoint();
    settings.client.requestTimeout = std::chrono::milliseconds(2000);
    // Small, so that gzip bombs and long bodies meet the bound.
    settings.client.maxBodyBytes = 64 * 1024;
    settings.hosts = InfoServiceHosts{kHost, kHost, kHost, kHost};
    state->server = &server;
    state->cache = &cache;
    proxy = std::make_shared<JsonProxy>(app, io, server, &cache, settings);
  }

  boost::asio::io_context io;
  tcp::acceptor acceptor;
  Application app;
  HttpServer server;
  ResponseCache cache{[] { return fuzz_support::kClock; }};
  InfoServiceSettings settings;
  std::shared_ptr<InfoServiceState> state = std::make_shared<InfoServiceState>();
  std::shared_ptr<JsonProxy> proxy;
};

World& world() {
  static World* instance = new World();
  return *instance;
}

// Runs handlers until `done` holds; false when the service ran dry first.
template <class Condition>
bool runUntil(boost::asio::io_context& io, Condition done) {
  while (!done()) {
    io.restart();
    if (io.run_one() == 0) return false;
  }
  return true;
}

void settle(boost::asio::io_context& io) {
  io.restart();
  while (io.poll() > 0) io.restart();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  World& w = world();
  const Kind& kind = kKinds[data[0] & 3];
  const bool gzip = (data[0] & 4) != 0;
  const char separator = static_cast<char>(data[1]);
  std::string sent(reinterpret_cast<const char*>(data) + 2, size - 2);
  if (gzip) {
    const size_t blank = sent.find("\r\n\r\n");
    if (blank != std::string::npos) sent = sent.substr(0, blank + 4) + gzipString(sent.substr(blank + 4));
  }
  std::vector<std::string> pieces;
  size_t start = 0;
  for (int cut = 0; cut < 4; ++cut) {
    const size_t at = sent.find(separator, start);
    if (at == std::string::npos) break;
    pieces.push_back(sent.substr(start, at - start));
    start = at + 1;
  }
  pieces.push_back(sent.substr(start));

  w.cache.put(kind.cacheKey, "", 600, false);
  HttpResponse* response = w.server.createResponse();
  auto handler = std::make_shared<CountingHandler>(std::make_shared<AircraftInfoResponseHandler>(
      response->id, w.state, kind.cacheKey, kind.isText, 1, kind.service, std::string(kind.api) + " " + kind.q));
  auto client = std::make_shared<FuzzClient>(w.io, w.settings.client);
  client->handler = handler;
  client->get(std::string("http://") + kHost + kind.path);

  tcp::socket peer(w.io);
  bool accepted = false;
  w.acceptor.async_accept(peer, [&](const boost::system::error_code& error) { accepted = !error; });
  FUZZ_CHECK(runUntil(w.io, [&] { return accepted; }));
  boost::asio::streambuf request;
  bool requestRead = false;
  boost::asio::async_read_until(peer, request, "\r\n\r\n",
                                [&](const boost::system::error_code& error, size_t) { requestRead = !error; });
  FUZZ_CHECK(runUntil(w.io, [&] { return requestRead; }));

  for (const std::string& piece : pieces) {
    if (handler->calls > 0) break;
    boost::system::error_code ignore;
    boost::asio::write(peer, boost::asio::buffer(piece), ignore);
    settle(w.io);
  }
  boost::system::error_code ignore;
  peer.shutdown(tcp::socket::shutdown_send, ignore);
  FUZZ_CHECK(runUntil(w.io, [&] { return handler->calls > 0; }));
  settle(w.io);
  peer.close(ignore);
  client.reset();

  FUZZ_CHECK(handler->calls == 1);
  const std::string cached = w.cache.lookup(kind.cacheKey);
  if (!handler->succeeded) {
    FUZZ_CHECK(cached.empty());
  } else if (kind.isText) {
    FUZZ_CHECK(cached == handler->body);
  } else {
    FUZZ_CHECK(cached.empty() || cached == handler->body);
  }
  // The page has its answer, or the reply was never there: nothing stays pending.
  w.server.removeResponse(response->id);
  FUZZ_CHECK(w.server.pendingResponseCount() == 0);

  // The next question for the key: answered from the cache, never going out.
  if (!cached.empty()) {
    boost::property_tree::ptree question;
    question.put("data.api", kind.api);
    question.put("data.q", kind.q);
    HttpResponse* again = w.server.createResponse();
    w.proxy->executeAsync(question, nullptr, again);
    FUZZ_CHECK(w.proxy->runningRequests() == 0);
    w.server.removeResponse(again->id);
  }
  settle(w.io);
  return 0;
}
