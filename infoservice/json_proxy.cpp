#include "infoservice/json_proxy.h"

#include "app/host_clock.h"
#include "app/logger.h"
#include "infoservice/https_client.h"
#include "infoservice/response_cache.h"
#include "json-server/jsonserver/src/http_response.h"
#include "json-server/jsonserver/src/http_server.h"
#include "json-server/jsonserver/src/json_parser_read.h"

#include <boost/asio/ssl/context.hpp>
#include <boost/property_tree/ptree.hpp>

#include <iostream>
#include <stdexcept>
#include <utility>

using boost::property_tree::ptree;

const char kBusyMessage[] = "Busy: the outside service has too many questions open, try again shortly";

namespace {

// Weather and NOTAM texts go stale in minutes; pictures and airport facts stay while they are asked for.
constexpr uint32_t kTextLifetime = 600;
constexpr uint32_t kJsonLifetime = 21600;

// Indices into the per-service counts.
enum Service : size_t { kPhotos, kMetar, kTaf, kNotam };

// A failure of the same kind from the same service is logged once in this time.
constexpr uint32_t kFailureLogInterval = 10;
const std::string kReplyCodeFailure = "HTTP response code: ";

// The services' JSON replies hold a few dozen values; the bound keeps a hostile one from costing
// the web server's thread (which parses cached replies) much time or memory.
const JsonReadLimits kOutsideJson{64, 50000};

const std::string kNotamForm =
    "&designatorForAccountable=&latDegrees=&latMinutes=0&latSeconds=0&longDegrees=&longMinutes=0&longSeconds=0"
    "&radius=10&sortColumns=5+false&sortDirection=true&designatorForNotamNumberSearch=&notamNumber="
    "&radiusSearchOnDesignator=false&radiusSearchDesignator=&latitudeDirection=N&longitudeDirection=W"
    "&freeFormText=&flightPathText=&flightPathDivertAirfields=&flightPathBuffer=4&flightPathIncludeNavaids=true"
    "&flightPathIncludeArtcc=false&flightPathIncludeTfr=true&flightPathIncludeRegulatory=false"
    "&flightPathResultsType=All+NOTAMs&archiveDate=&archiveDesignator=&offset=0&notamsOnly=false&filters="
    "&minRunwayLength=&minRunwayWidth=&runwaySurfaceTypes=&predefinedAbraka=&predefinedDabra="
    "&flightPathAddlBuffer=";

bool isUpperAlnum(char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }
bool isUpperHex(char c) { return (c >= 'A' && c <= 'F') || (c >= '0' && c <= '9'); }

bool allOf(const std::string& text, size_t length, bool (*accepted)(char)) {
  if (text.size() != length) return false;
  for (char c : text) {
    if (!accepted(c)) return false;
  }
  return true;
}

ptree errorReply(const std::string& message) {
  ptree reply;
  reply.put("message", message);
  reply.put("status", "ERROR");
  return reply;
}

// {"data": document,"status":"OK"}, or false when `text` is not JSON.
bool jsonReply(const std::string& text, ptree& reply) {
  ptree document;
  try {
    readJsonText(text, document, kOutsideJson);
  } catch (const boost::property_tree::json_parser::json_parser_error&) {
    return false;
  }
  reply.clear();
  reply.add_child("data", document);
  reply.put("status", "OK");
  return true;
}

ptree textReply(const std::string& text) {
  ptree reply;
  reply.put("data", text);
  reply.put("status", "OK");
  return reply;
}

// One question, checked and turned into its outside request.
struct Question {
  std::string error;  // set when the question is refused
  std::string url;
  std::string cacheKey;
  size_t service = kPhotos;
  bool isText = false;
  bool isPost = false;
  std::string form;
};

Question makeQuestion(const std::string& kind, const std::string& q, const InfoServiceHosts& hosts) {
  Question question;
  if (kind == "image") {
    if (!allOf(q, 6, isUpperHex)) {
      question.error = "Incorrect icao";
      return question;
    }
    question.url = "http://" + hosts.photos + "/api/ac_thumb.json?n=1&m=" + q;
    question.cacheKey = q;
  } else if (kind == "airport") {
    if (q.size() == 3) {
      if (!allOf(q, 3, isUpperAlnum)) {
        question.error = "Incorrect iata";
        return question;
      }
      question.url = "http://" + hosts.photos + "/api/ap_info.json?iata=" + q;
    } else if (q.size() == 4) {
      if (!allOf(q, 4, isUpperAlnum)) {
        question.error = "Incorrect icao";
        return question;
      }
      question.url = "http://" + hosts.photos + "/api/ap_info.json?icao=" + q;
    } else {
      question.error = "Incorrect query";
      return question;
    }
    question.cacheKey = q;
  } else if (kind == "metar") {
    if (!allOf(q, 4, isUpperAlnum)) {
      question.error = "Incorrect Airport Icao";
      return question;
    }
    question.url = "http://" + hosts.metar + "/data/observations/metar/stations/" + q + ".TXT";
    question.cacheKey = "AIRPORT" + q;
    question.service = kMetar;
    question.isText = true;
  } else if (kind == "taf") {
    if (!allOf(q, 4, isUpperAlnum)) {
      question.error = "Incorrect Airport ICAO";
      return question;
    }
    question.url = "http://" + hosts.taf + "/taf/data?ids=" + q + "&format=decoded&submit=Get+TAF+data";
    // Its own word, so that a TAF never answers an airport question for the same code.
    question.cacheKey = q + "TAF";
    question.service = kTaf;
    question.isText = true;
  } else if (kind == "notam") {
    if (!allOf(q, 4, isUpperAlnum)) {
      question.error = "Incorrect Airport ICAO";
      return question;
    }
    question.url = "https://" + hosts.notam + "/notamSearch/search";
    question.form = "searchType=0&designatorsForLocation=" + q + kNotamForm;
    question.cacheKey = q + "NOTAM";
    question.service = kNotam;
    question.isText = true;
    question.isPost = true;
  } else {
    question.error = "Incorrect api name";
  }
  return question;
}

}  // namespace

JsonProxy::JsonProxy(Application& application, boost::asio::io_context& ioService, HttpServer& httpServer,
                     ResponseCache* cache, InfoServiceSettings settings)
    : BaseCommand(application), ioService(ioService), settings(std::move(settings)),
      state(std::make_shared<InfoServiceState>()) {
  state->server = &httpServer;
  state->cache = cache;
}

JsonProxy::~JsonProxy() { stop(); }

const std::string& JsonProxy::name() const {
  static const std::string text("api");
  return text;
}

void JsonProxy::stop() {
  {
    std::unique_lock<std::shared_mutex> lock(state->live);
    state->server = nullptr;
    state->cache = nullptr;
  }
  std::map<uint64_t, InfoServiceState::Running> running;
  {
    std::lock_guard<std::mutex> lock(state->runningMutex);
    running.swap(state->running);
    state->runningPerService.fill(0);
  }
  for (const auto& request : running) {
    if (const auto client = request.second.client.lock()) client->cancel();
  }
}

size_t JsonProxy::runningRequests() {
  std::lock_guard<std::mutex> lock(state->runningMutex);
  return state->running.size();
}

std::shared_ptr<boost::asio::ssl::context> JsonProxy::tlsContext() {
  // Loading the CA store takes a while: once, at the first NOTAM question, not at every one.
  std::lock_guard<std::mutex> lock(tlsMutex);
  if (!tls) tls = HttpsClient::makeContext(settings.client.caFile);
  return tls;
}

void JsonProxy::executeAsync(const ptree& request, std::shared_ptr<HttpRequest>, HttpResponse* response) {
  const boost::optional<std::string> kind = request.get_optional<std::string>("data.api");
  const boost::optional<std::string> q = kind ? request.get_optional<std::string>("data.q") : boost::none;
  if (!kind || !q) {
    response->sendJson(errorReply("Incorrect api type"));
    return;
  }
  const Question question = makeQuestion(*kind, *q, settings.hosts);
  if (!question.error.empty()) {
    response->sendJson(errorReply(question.error));
    return;
  }

  // Until the request is registered, so that stop either sees it or refuses it.
  std::shared_lock<std::shared_mutex> live(state->live);
  if (!state->server) throw std::runtime_error("Outside services stopped");
  const std::string cached = state->cache ? state->cache->lookup(question.cacheKey) : std::string();
  if (!cached.empty()) {
    if (question.isText) {
      response->sendJson(textReply(cached));
      return;
    }
    ptree reply;
    response->sendJson(jsonReply(cached, reply) ? reply : errorReply("Invalid api reponse"));
    return;
  }

  // The slot is taken before the client is made, so that a busy service costs no client.
  uint64_t number = 0;
  {
    std::lock_guard<std::mutex> lock(state->runningMutex);
    size_t& inFlight = state->runningPerService[question.service];
    if (inFlight < settings.maxRunningPerService) {
      ++inFlight;
      number = ++state->nextRequest;
      state->running.emplace(number, InfoServiceState::Running{{}, question.service});
    }
  }
  if (number == 0) {
    response->sendJson(errorReply(kBusyMessage));
    return;
  }
  std::shared_ptr<HttpClient> client;
  try {
    if (question.isPost) {
      client = std::make_shared<HttpsClient>(ioService, settings.client, tlsContext());
    } else {
      client = std::make_shared<HttpClient>(ioService, settings.client);
    }
  } catch (...) {
    state->release(number);
    throw;
  }
  {
    std::lock_guard<std::mutex> lock(state->runningMutex);
    state->running[number].client = client;
  }
  client->requestHeaders = std::make_shared<HttpHeaders>();
  client->handler = std::make_shared<AircraftInfoResponseHandler>(
      response->id, state, question.cacheKey, question.isText, number, question.service, *kind + " " + *q);
  if (question.isPost) {
    std::static_pointer_cast<HttpsClient>(client)->post(question.url, question.form);
  } else {
    client->get(question.url);
  }
}

AircraftInfoResponseHandler::AircraftInfoResponseHandler(uint32_t responseId, std::shared_ptr<InfoServiceState> state,
                                                         std::string cacheKey, bool isText, uint64_t requestNumber,
                                                         size_t service, std::string question)
    : responseId(responseId), state(std::move(state)), cacheKey(std::move(cacheKey)), isText(isText),
      requestNumber(requestNumber), service(service), question(std::move(question)) {}

void InfoServiceState::release(uint64_t request) {
  std::lock_guard<std::mutex> lock(runningMutex);
  const auto found = running.find(request);
  if (found == running.end()) return;
  --runningPerService[found->second.service];
  running.erase(found);
}

void AircraftInfoResponseHandler::forget() { state->release(requestNumber); }

void AircraftInfoResponseHandler::logFailure(const std::string& message) {
  // A service that answered with a code (an unknown station) is not one that did not answer.
  const bool replied = message.compare(0, kReplyCodeFailure.size(), kReplyCodeFailure) == 0;
  const std::string cause = replied ? message : "failed";
  const uint32_t now = hostSeconds();
  {
    std::lock_guard<std::mutex> lock(state->runningMutex);
    InfoServiceState::LoggedFailure& last = state->loggedFailures[service];
    if (last.cause == cause && static_cast<uint32_t>(now - last.at) < kFailureLogInterval) return;
    last.cause = cause;
    last.at = now;
  }
  if (replied) {
    logInfo("Outside service answered api " + question + " with " + message);
  } else {
    logInfo("Outside request for api " + question + " failed: " + message);
  }
}

void AircraftInfoResponseHandler::onResponse(HttpClient& client) {
  const std::string& body = client.body;
  // Parsed before any lock is taken; nothing is shown or stored unless the page still waits.
  ptree reply;
  const bool parsed = isText ? (reply = textReply(body), true) : jsonReply(body, reply);
  if (!parsed) reply = errorReply("Invalid api reponse");

  forget();
  std::shared_lock<std::shared_mutex> live(state->live);
  if (!state->server) return;
  ResponseCache* cache = state->cache;
  state->server->withResponse(responseId, [&](HttpResponse& response) {
    if (!parsed) std::cout << "Cant't parse response " << body << "\n" << std::flush;
    // Stored before the reply goes, so the page's next question finds it.
    if (cache) cache->put(cacheKey, parsed ? body : std::string(), isText ? kTextLifetime : kJsonLifetime, !isText);
    response.sendJson(reply);
  });
}

void AircraftInfoResponseHandler::onError(HttpClient&, const std::string& message) {
  forget();
  logFailure(message);
  std::shared_lock<std::shared_mutex> live(state->live);
  if (!state->server) return;
  state->server->withResponse(responseId, [&](HttpResponse& response) { response.sendJson(errorReply(message)); });
  // Also when the page has gone: a failure clears what an earlier answer left, so the next
  // question goes out again.
  if (state->cache) state->cache->put(cacheKey, std::string(), isText ? kTextLifetime : kJsonLifetime, !isText);
}
