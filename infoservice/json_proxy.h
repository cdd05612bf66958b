#pragma once
// "api": the page's questions to outside aviation services (aircraft thumbnail, airport facts,
// METAR, TAF, NOTAM). Answered from the reply cache when it can; otherwise one outside request
// starts on the I/O service and its handler completes the page's pending reply later. The web
// server's thread never waits on the network.
//
// Request {"req":"api","data":{"api": kind, "q": query}}; replies {"data": result,"status":"OK"}
// or {"message": text,"status":"ERROR"}.
//
// Every distinct question would start its own request, so each service has a few requests at
// most in flight; a question beyond them is answered at once with kBusyMessage and not cached.

#include "infoservice/http_client.h"
#include "json-server/jsonserver/src/base_command.h"

#include <boost/asio/io_context.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

namespace boost {
namespace asio {
namespace ssl {
class context;
}  // namespace ssl
}  // namespace asio
}  // namespace boost

class HttpServer;
class ResponseCache;

// The outside services; fixed values of the program. Tests point them elsewhere through the
// client settings' fixedHosts.
struct InfoServiceHosts {
  std::string photos = "www.airport-data.com";  // aircraft thumbnails and airport facts (JSON)
  std::string metar = "tgftp.nws.noaa.gov";
  std::string taf = "aviationweather.gov";
  std::string notam = "notams.aim.faa.gov";  // HTTPS
};

struct InfoServiceSettings {
  InfoServiceHosts hosts;
  HttpClientSettings client;
  // Outside requests in flight at once, per service.
  size_t maxRunningPerService = 4;
};

// The services of InfoServiceHosts, in that order.
constexpr size_t kInfoServices = 4;

extern const char kBusyMessage[];

// What the handlers reach after the command has gone: the server and the cache until stop, and the
// requests still running, so that stop can end them.
struct InfoServiceState {
  // Held shared while a question starts or a result is delivered, exclusive by stop; so the web
  // server's thread never waits for a result being delivered.
  std::shared_mutex live;
  HttpServer* server = nullptr;  // null once stopped: later results are dropped
  ResponseCache* cache = nullptr;

  struct Running {
    std::weak_ptr<HttpClient> client;
    size_t service;
  };
  // What a failure last wrote to the log, per service, so that a page asking one failing service
  // again and again does not push everything else out of the log.
  struct LoggedFailure {
    std::string cause;
    uint32_t at = 0;
  };

  // Takes a request out of the running set and frees its service's slot; nothing after a stop,
  // which has freed them all.
  void release(uint64_t request);

  std::mutex runningMutex;  // guards the rest
  std::map<uint64_t, Running> running;
  std::array<size_t, kInfoServices> runningPerService{};
  uint64_t nextRequest = 0;
  std::array<LoggedFailure, kInfoServices> loggedFailures;
};

class JsonProxy : public BaseCommand {
 public:
  // `ioService` runs the outside requests (the application's, run by the main thread); `cache`
  // may be null (every question then goes out).
  JsonProxy(Application& application, boost::asio::io_context& ioService, HttpServer& httpServer,
            ResponseCache* cache, InfoServiceSettings settings = InfoServiceSettings());
  // Stops, as stop does.
  ~JsonProxy() override;

  void executeAsync(const boost::property_tree::ptree& request, std::shared_ptr<HttpRequest> httpRequest,
                    HttpResponse* response) override;
  const std::string& name() const override;
  bool isAsync() const override { return true; }

  // Cancels every outside request still running and drops every result still to come, so that
  // the I/O service runs dry and nothing touches the server or the cache afterwards. Any thread
  // but one inside a handler; any number of times.
  void stop();
  size_t runningRequests();

 private:
  std::shared_ptr<boost::asio::ssl::context> tlsContext();

  boost::asio::io_context& ioService;
  InfoServiceSettings settings;
  std::shared_ptr<InfoServiceState> state;
  std::mutex tlsMutex;
  std::shared_ptr<boost::asio::ssl::context> tls;  // made at the first NOTAM question
};

// The result of one outside request: answers the pending reply with `responseId`, if it is still
// there, and stores the text in the cache.
class AircraftInfoResponseHandler : public HttpResponseHandler {
 public:
  // `question` names the kind and the query in the log.
  AircraftInfoResponseHandler(uint32_t responseId, std::shared_ptr<InfoServiceState> state, std::string cacheKey,
                              bool isText, uint64_t requestNumber, size_t service, std::string question);

  void onResponse(HttpClient& client) override;
  void onError(HttpClient& client, const std::string& message) override;

 private:
  // Takes the request out of the running set.
  void forget();
  void logFailure(const std::string& message);

  const uint32_t responseId;
  const std::shared_ptr<InfoServiceState> state;
  const std::string cacheKey;
  const bool isText;
  const uint64_t requestNumber;
  const size_t service;
  const std::string question;
};
