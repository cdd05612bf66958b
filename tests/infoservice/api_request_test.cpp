// The "api" request end to end: the page's POST to "/json" on a started web server, the command,
// the outside request to stand-in services on 127.0.0.1, the reply and the cache.

#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <atomic>
#include <cstdio>
#include <chrono>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/application.h"
#include "app/logger.h"
#include "infoservice/json_proxy.h"
#include "infoservice/response_cache.h"
#include "json-server/jsonserver/src/command_get_stats.h"
#include "json-server/jsonserver/src/gzip_string.h"
#include "json-server/jsonserver/src/http_server.h"
#include "tests/infoservice/client_support.h"
#include "tests/infoservice/local_servers.h"
#include "tests/json-server/http_test_client.h"

namespace {

using namespace info_test;
using boost::property_tree::ptree;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr uint32_t T = 1700000000;

const char kPhotoJson[] =
    "{\"status\":200,\"count\":1,\"data\":[{\"image\":\"https://img.test/1.jpg\",\"photographer\":\"A. Spotter\"}]}";
const char kAirportJson[] = "{\"icao\":\"EIDW\",\"iata\":\"DUB\",\"name\":\"Dublin Airport\",\"status\":200}";
const char kMetar[] = "2024/01/01 12:00\nEIDW 011200Z 27010KT CAVOK 08/03 Q1020\n";
const char kTaf[] = "<pre>TAF EIDW 011100Z 0112/0212 27012KT 9999 FEW030</pre>";
const char kNotams[] = "{\"notamList\":[{\"icaoMessage\":\"A0001/24 NOTAMN\"}]}";

ptree parse(const std::string& text) {
  ptree tree;
  std::istringstream stream(text);
  boost::property_tree::read_json(stream, tree);
  return tree;
}

std::string firstLine(const std::string& request) { return request.substr(0, request.find("\r\n")); }

const std::string kBusyReply = std::string("{\"message\":\"") + kBusyMessage + "\",\"status\":\"ERROR\"}\n";

// The log lines about "api" questions written since `index`.
std::vector<std::string> apiLogSince(uint32_t index) {
  ptree lines;
  getLogSince(lines, index);
  std::vector<std::string> texts;
  for (const auto& line : lines) {
    const std::string text = line.second.back().second.data();
    if (text.find(" api ") != std::string::npos) texts.push_back(text);
  }
  return texts;
}

size_t residentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "VmRSS:") == 0) return std::stoul(line.substr(6));
  }
  return 0;
}

size_t openDescriptors() {
  size_t count = 0;
  if (DIR* directory = ::opendir("/proc/self/fd")) {
    while (::readdir(directory)) ++count;
    ::closedir(directory);
  }
  return count;
}

std::string askBody(const std::string& data) { return "{\"req\":\"api\",\"data\":" + data + "}"; }
std::string question(const std::string& kind, const std::string& q) {
  return askBody("{\"api\":\"" + kind + "\",\"q\":\"" + q + "\"}");
}

class ApiRequestTest : public CertificateSuiteTest {
 protected:
  ApiRequestTest() {
    settings.hosts.photos = "photos.test";
    settings.hosts.metar = "metar.test";
    settings.hosts.taf = "taf.test";
    settings.hosts.notam = "notam.test";
    for (const char* host : {"photos.test", "metar.test", "taf.test"}) settings.client.fixedHosts[host] = services.endpoint();
    settings.client.fixedHosts["notam.test"] = notams.endpoint();
    settings.client.caFile = right->certificate;
    settings.client.requestTimeout = std::chrono::milliseconds(500);
  }
  ~ApiRequestTest() override {
    if (proxy) proxy->stop();
    server.stop();
  }

  void start() {
    proxy = std::make_shared<JsonProxy>(app, io.io, server, &cache, settings);
    server.addCommand(std::make_shared<CommandGetStats>(app));
    server.addCommand(proxy);
    server.start(0);
    ASSERT_NE(server.listeningPort(), 0);
  }

  // The reply text to one "/json" request on a fresh connection.
  std::string ask(const std::string& body) {
    http_test::Connection connection(server.listeningPort());
    if (!connection.send(http_test::post("/json", body))) return "(not sent)";
    const http_test::Reply reply = connection.readReply(std::chrono::milliseconds(5000));
    return reply.complete ? reply.body : "(no reply)";
  }
  std::string ask(const std::string& kind, const std::string& q) { return ask(question(kind, q)); }

  // What the stand-ins answer; tests replace it.
  Canned answer(const std::string& request) {
    std::lock_guard<std::mutex> lock(mutex);
    if (script) return script(request);
    const std::string line = firstLine(request);
    const std::string json = "Content-Type: application/json\r\n";
    if (line == "GET /api/ac_thumb.json?n=1&m=4CA1FA HTTP/1.0") return ok(kPhotoJson, json);
    if (line == "GET /api/ap_info.json?iata=DUB HTTP/1.0") return ok(kAirportJson, json);
    if (line == "GET /api/ap_info.json?icao=EIDW HTTP/1.0") return ok(kAirportJson, json);
    if (line == "GET /data/observations/metar/stations/EIDW.TXT HTTP/1.0") return ok(kMetar);
    if (line == "GET /taf/data?ids=EIDW&format=decoded&submit=Get+TAF+data HTTP/1.0") return ok(kTaf, "Content-Type: text/html\r\n");
    if (line == "POST /notamSearch/search HTTP/1.0" && request.find("designatorsForLocation=EIDW&") != std::string::npos) {
      return ok(kNotams, json);
    }
    return reply("HTTP/1.0 404 Not Found", "", "no such page");
  }
  void setScript(std::function<Canned(const std::string&)> replacement) {
    std::lock_guard<std::mutex> lock(mutex);
    script = std::move(replacement);
  }
  size_t outsideRequests() { return services.requestCount() + notams.requestCount(); }

  std::atomic<uint32_t> now{T};
  ResponseCache cache{[this] { return now.load(); }};
  Application app;
  IoThread io;
  std::mutex mutex;
  std::function<Canned(const std::string&)> script;
  LocalServer services{[this](const std::string& request) { return answer(request); }};
  LocalServer notams{[this](const std::string& request) { return answer(request); }, right};
  InfoServiceSettings settings;
  HttpServer server;
  std::shared_ptr<JsonProxy> proxy;
};

TEST_F(ApiRequestTest, EveryKindAsksItsServiceAndAnswersWithItsResult) {
  start();
  struct Case {
    const char* kind;
    const char* q;
    const char* firstLine;
    const char* host;
    std::string reply;
  };
  const std::vector<Case> cases = {
      {"image", "4CA1FA", "GET /api/ac_thumb.json?n=1&m=4CA1FA HTTP/1.0", "photos.test",
       "{\"data\":{\"status\":200,\"count\":1,\"data\":[{\"image\":\"https:\\/\\/img.test\\/1.jpg\","
       "\"photographer\":\"A. Spotter\"}]},\"status\":\"OK\"}\n"},
      {"airport", "DUB", "GET /api/ap_info.json?iata=DUB HTTP/1.0", "photos.test",
       "{\"data\":{\"icao\":\"EIDW\",\"iata\":\"DUB\",\"name\":\"Dublin Airport\",\"status\":200},\"status\":\"OK\"}\n"},
      {"airport", "EIDW", "GET /api/ap_info.json?icao=EIDW HTTP/1.0", "photos.test",
       "{\"data\":{\"icao\":\"EIDW\",\"iata\":\"DUB\",\"name\":\"Dublin Airport\",\"status\":200},\"status\":\"OK\"}\n"},
      {"metar", "EIDW", "GET /data/observations/metar/stations/EIDW.TXT HTTP/1.0", "metar.test",
       "{\"data\":\"2024\\/01\\/01 12:00\\\\nEIDW 011200Z 27010KT CAVOK 08\\/03 Q1020\\\\n\",\"status\":\"OK\"}\n"},
      {"taf", "EIDW", "GET /taf/data?ids=EIDW&format=decoded&submit=Get+TAF+data HTTP/1.0", "taf.test",
       "{\"data\":\"<pre>TAF EIDW 011100Z 0112\\/0212 27012KT 9999 FEW030<\\/pre>\",\"status\":\"OK\"}\n"},
      {"notam", "EIDW", "POST /notamSearch/search HTTP/1.0", "notam.test",
       "{\"data\":\"{\\\"notamList\\\":[{\\\"icaoMessage\\\":\\\"A0001\\/24 NOTAMN\\\"}]}\",\"status\":\"OK\"}\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.kind) + " " + c.q);
    LocalServer& service = std::string(c.kind) == "notam" ? notams : services;
    const size_t before = service.requestCount();
    EXPECT_EQ(ask(c.kind, c.q), c.reply);
    ASSERT_EQ(service.requestCount(), before + 1);
    const std::string request = service.requests().back();
    EXPECT_EQ(firstLine(request), c.firstLine);
    EXPECT_THAT(request, HasSubstr(std::string("\r\nHost: ") + c.host + "\r\n"));
  }
  // The NOTAM search: its form, and the name the TLS hello carried.
  const std::string post = notams.requests().back();
  const std::string form = post.substr(post.find("\r\n\r\n") + 4);
  EXPECT_EQ(form.size(), 740u);
  EXPECT_THAT(form, StartsWith("searchType=0&designatorsForLocation=EIDW&designatorForAccountable=&latDegrees=&"));
  EXPECT_THAT(form, HasSubstr("&flightPathResultsType=All+NOTAMs&archiveDate=&"));
  EXPECT_THAT(form, ::testing::EndsWith("&predefinedAbraka=&predefinedDabra=&flightPathAddlBuffer="));
  EXPECT_THAT(post, HasSubstr("\r\nContent-Length: 740\r\n"));
  EXPECT_EQ(notams.serverNames(), std::vector<std::string>{"notam.test"});
}

TEST_F(ApiRequestTest, RefusedQuestionsAnswerAtOnceWithoutAnOutsideRequest) {
  start();
  struct Case {
    std::string data;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"{\"api\":\"metar\"}", "Incorrect api type"},
      {"{\"q\":\"EIDW\"}", "Incorrect api type"},
      {"{\"api\":\"weather\",\"q\":\"EIDW\"}", "Incorrect api name"},
      {"{\"api\":\"Metar\",\"q\":\"EIDW\"}", "Incorrect api name"},
      {"{\"api\":\"image\",\"q\":\"4ca1fa\"}", "Incorrect icao"},
      {"{\"api\":\"image\",\"q\":\"4CA1FG\"}", "Incorrect icao"},
      {"{\"api\":\"image\",\"q\":\"4CA1F\"}", "Incorrect icao"},
      {"{\"api\":\"airport\",\"q\":\"DuB\"}", "Incorrect iata"},
      {"{\"api\":\"airport\",\"q\":\"EIdW\"}", "Incorrect icao"},
      {"{\"api\":\"airport\",\"q\":\"EIDWX\"}", "Incorrect query"},
      {"{\"api\":\"airport\",\"q\":\"\"}", "Incorrect query"},
      {"{\"api\":\"metar\",\"q\":\"EID\"}", "Incorrect Airport Icao"},
      {"{\"api\":\"metar\",\"q\":\"eidw\"}", "Incorrect Airport Icao"},
      {"{\"api\":\"taf\",\"q\":\"EI W\"}", "Incorrect Airport ICAO"},
      {"{\"api\":\"notam\",\"q\":\"EIDWW\"}", "Incorrect Airport ICAO"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.data);
    EXPECT_EQ(ask(askBody(c.data)), std::string("{\"message\":\"") + c.message + "\",\"status\":\"ERROR\"}\n");
  }
  EXPECT_EQ(outsideRequests(), 0u);
  EXPECT_EQ(cache.size(), 0u);
}

TEST_F(ApiRequestTest, WeatherTextIsCachedForTenMinutesFromItsStore) {
  start();
  const std::string first = ask("metar", "EIDW");
  EXPECT_THAT(first, StartsWith("{\"data\":\"2024"));
  now = T + 300;
  EXPECT_EQ(ask("metar", "EIDW"), first);
  now = T + 599;
  EXPECT_EQ(ask("metar", "EIDW"), first);
  EXPECT_EQ(services.requestCount(), 1u);
  now = T + 630;
  EXPECT_EQ(ask("metar", "EIDW"), first);
  EXPECT_EQ(services.requestCount(), 2u);
}

TEST_F(ApiRequestTest, PictureStaysCachedWhileAskedForWithinSixHours) {
  start();
  const std::string first = ask("image", "4CA1FA");
  for (uint32_t hour : {5u, 10u, 15u}) {
    now = T + hour * 3600;
    EXPECT_EQ(ask("image", "4CA1FA"), first) << hour;
  }
  EXPECT_EQ(services.requestCount(), 1u);
  now = T + 21 * 3600 + 30;  // six hours and a purge after it was last asked for
  EXPECT_EQ(ask("image", "4CA1FA"), first);
  EXPECT_EQ(services.requestCount(), 2u);
}

TEST_F(ApiRequestTest, KindsAskingAboutOneCodeKeepApartInTheCache) {
  start();
  const std::string airport = ask("airport", "EIDW");
  const std::string metar = ask("metar", "EIDW");
  const std::string taf = ask("taf", "EIDW");
  const std::string notam = ask("notam", "EIDW");
  EXPECT_EQ(outsideRequests(), 4u);
  EXPECT_EQ(ask("taf", "EIDW"), taf);
  EXPECT_EQ(ask("airport", "EIDW"), airport);
  EXPECT_EQ(ask("notam", "EIDW"), notam);
  EXPECT_EQ(ask("metar", "EIDW"), metar);
  EXPECT_EQ(outsideRequests(), 4u);
  EXPECT_EQ(cache.size(), 4u);
}

TEST_F(ApiRequestTest, CachedJsonThatDoesNotParseAnswersInvalidAndStays) {
  start();
  cache.put("4CA1FA", "<html>", 21600, true);
  EXPECT_EQ(ask("image", "4CA1FA"), "{\"message\":\"Invalid api reponse\",\"status\":\"ERROR\"}\n");
  EXPECT_EQ(services.requestCount(), 0u);
  EXPECT_EQ(cache.lookup("4CA1FA"), "<html>");
}

TEST_F(ApiRequestTest, OutsideReplyThatIsNotJsonIsReportedAndAskedAgainNextTime) {
  setScript([](const std::string&) { return ok("<html>busy</html>", "Content-Type: text/html\r\n"); });
  start();
  testing::internal::CaptureStdout();
  const std::string answer = ask("airport", "DUB");
  const std::string console = testing::internal::GetCapturedStdout();
  EXPECT_EQ(answer, "{\"message\":\"Invalid api reponse\",\"status\":\"ERROR\"}\n");
  EXPECT_THAT(console, HasSubstr("Cant't parse response <html>busy</html>\n"));
  EXPECT_EQ(cache.lookup("DUB"), "");
  ask("airport", "DUB");
  EXPECT_EQ(services.requestCount(), 2u);
}

TEST_F(ApiRequestTest, FailedRequestsAnswerTheClientsTextAndAreAskedAgain) {
  start();
  struct Case {
    Canned canned;
    std::string message;
  };
  Canned silent;
  silent.silent = true;
  const std::vector<Case> cases = {
      {reply("HTTP/1.1 503 Service Unavailable", "", "<html>down</html>"), "HTTP response code: 503"},
      {silent, "Read error Connection timed out"},
      {ok("garbage", "Content-Encoding: gzip\r\n"), "Error gzip decode"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    setScript([canned = c.canned](const std::string&) { return canned; });
    const size_t before = services.requestCount();
    EXPECT_EQ(ask("metar", "EGLL"), "{\"message\":\"" + c.message + "\",\"status\":\"ERROR\"}\n");
    EXPECT_EQ(ask("metar", "EGLL"), "{\"message\":\"" + c.message + "\",\"status\":\"ERROR\"}\n");
    EXPECT_EQ(services.requestCount(), before + 2);
  }
  EXPECT_EQ(cache.lookup("AIRPORTEGLL"), "");
}

// An unknown station (the service answers 404) is not a service that did not answer.
TEST_F(ApiRequestTest, WeatherReplyCodeAndNoAnswerReadDifferentlyInTheLog) {
  setScript([](const std::string& request) {
    if (request.find("EGLL") != std::string::npos) {
      Canned silent;
      silent.silent = true;
      return silent;
    }
    return reply("HTTP/1.1 404 Not Found", "", "<html>no such station</html>");
  });
  start();
  const uint32_t since = Logger::instance().nextSequenceNumber() - 1;
  EXPECT_EQ(ask("metar", "ZZZZ"), "{\"message\":\"HTTP response code: 404\",\"status\":\"ERROR\"}\n");
  EXPECT_EQ(ask("taf", "EGLL"), "{\"message\":\"Read error Connection timed out\",\"status\":\"ERROR\"}\n");
  // The same failure again at once: answered, but not logged a second time.
  EXPECT_EQ(ask("metar", "YYYY"), "{\"message\":\"HTTP response code: 404\",\"status\":\"ERROR\"}\n");
  const std::vector<std::string> lines = apiLogSince(since);
  ASSERT_EQ(lines.size(), 2u) << ::testing::PrintToString(lines);
  EXPECT_THAT(lines[0], HasSubstr("Outside service answered api metar ZZZZ with HTTP response code: 404"));
  EXPECT_THAT(lines[1], HasSubstr("Outside request for api taf EGLL failed: Read error Connection timed out"));
}

// Each service has a few requests in flight; the next question is told at once to come back.
TEST_F(ApiRequestTest, QuestionsBeyondAServicesRequestsInFlightAreBusyAndNotCached) {
  setScript([](const std::string& request) {
    if (request.find("ap_info") != std::string::npos) return ok(kAirportJson, "Content-Type: application/json\r\n");
    if (request.find("m=") == std::string::npos) return ok(kMetar);
    Canned late = ok(kPhotoJson, "Content-Type: application/json\r\n");
    late.held = true;
    return late;
  });
  start();
  std::vector<std::unique_ptr<http_test::Connection>> pages;
  const std::vector<std::string> codes = {"4CA000", "4CA001", "4CA002", "4CA003"};
  for (const std::string& code : codes) {
    pages.push_back(std::make_unique<http_test::Connection>(server.listeningPort()));
    ASSERT_TRUE(pages.back()->send(http_test::post("/json", question("image", code))));
  }
  ASSERT_TRUE(services.waitForRequests(codes.size()));
  EXPECT_EQ(ask("image", "4CA004"), kBusyReply);
  EXPECT_EQ(ask("airport", "DUB"), kBusyReply);  // the same service
  EXPECT_THAT(ask("metar", "EIDW"), StartsWith("{\"data\":\"2024"));  // another one
  EXPECT_EQ(services.requestCount(), codes.size() + 1);
  EXPECT_EQ(cache.lookup("4CA004"), "");

  services.release();
  for (auto& page : pages) EXPECT_THAT(page->readReply().body, StartsWith("{\"data\":{\"status\":200,"));
  for (int i = 0; i < 200 && proxy->runningRequests() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  setScript({});
  EXPECT_THAT(ask("airport", "DUB"), StartsWith("{\"data\":{\"icao\":\"EIDW\""));
}

// Thousands of distinct questions from pages, 50 at a time, against a slow service: the program
// keeps its memory, descriptors and requests in flight bounded, answers every question, and the
// page's other requests are not held up.
TEST_F(ApiRequestTest, ThousandsOfDistinctQuestionsStayBoundedAndGetStatsAnswersMeanwhile) {
  setScript([](const std::string& request) {
    const bool json = request.find("/api/") != std::string::npos;
    Canned slow = json ? ok(kPhotoJson, "Content-Type: application/json\r\n") : ok(kMetar);
    slow.delay = std::chrono::milliseconds(100);
    return slow;
  });
  settings.client.requestTimeout = std::chrono::milliseconds(5000);
  start();
  constexpr int kQuestions = 3000;
  constexpr int kAtATime = 50;
  constexpr size_t kInFlight = 4;  // the program's bound per service
  const size_t descriptorsBefore = openDescriptors();

  std::atomic<bool> done{false};
  std::atomic<long> slowestStats{0};
  std::atomic<int> statsAnswered{0};
  std::thread stats([&] {
    while (!done) {
      const auto begin = std::chrono::steady_clock::now();
      const std::string answer = ask("{\"req\":\"getStats\",\"data\":{\"statsType\":\"ver\"}}");
      const long took = static_cast<long>(
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin).count());
      if (answer.rfind("{\"status\":\"OK\"", 0) == 0) ++statsAnswered;
      if (took > slowestStats) slowestStats = took;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });

  int data = 0;
  int busy = 0;
  int other = 0;
  size_t residentAfterWarmUp = 0;
  size_t mostDescriptors = 0;
  for (int first = 0; first < kQuestions; first += kAtATime) {
    if (first == 10 * kAtATime) residentAfterWarmUp = residentKiB();
    std::vector<std::unique_ptr<http_test::Connection>> pages;
    for (int i = first; i < first + kAtATime; ++i) {
      char code[8];
      const bool picture = i % 2 == 0;
      std::snprintf(code, sizeof(code), picture ? "%06X" : "%04X", static_cast<unsigned>(i));
      pages.push_back(std::make_unique<http_test::Connection>(server.listeningPort()));
      ASSERT_TRUE(pages.back()->send(http_test::post("/json", question(picture ? "image" : "metar", code))));
    }
    mostDescriptors = std::max(mostDescriptors, openDescriptors());
    for (auto& page : pages) {
      const std::string body = page->readReply(std::chrono::milliseconds(10000)).body;
      if (body.rfind("{\"data\":", 0) == 0) {
        ++data;
      } else if (body == kBusyReply) {
        ++busy;
      } else {
        ++other;
        ADD_FAILURE() << body;
      }
    }
  }
  done = true;
  stats.join();
  for (int i = 0; i < 300 && proxy->runningRequests() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));

  EXPECT_EQ(data + busy, kQuestions);
  EXPECT_EQ(other, 0);
  EXPECT_GE(data, 2 * kQuestions / kAtATime);  // both services answered in every round
  EXPECT_LE(services.mostWaiting(), 2 * kInFlight);
  EXPECT_EQ(cache.size(), static_cast<size_t>(data));
  EXPECT_EQ(proxy->runningRequests(), 0u);
  EXPECT_GT(statsAnswered.load(), 10);
  EXPECT_LT(slowestStats.load(), 1000);
  // Each round's connections and no more, each with both its ends in this process: the pages' to
  // the web server, and the outside ones to the stand-in.
  EXPECT_LE(mostDescriptors, descriptorsBefore + 2 * kAtATime + 2 * 2 * kInFlight + 16);
  for (int i = 0; i < 100 && openDescriptors() > descriptorsBefore + 4; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_LE(openDescriptors(), descriptorsBefore + 4);
  EXPECT_LT(residentKiB(), residentAfterWarmUp + 16 * 1024);
  std::printf("%d questions: %d answered with data, %d busy; slowest getStats %ld ms; resident %zu KiB after "
              "warm-up, %zu KiB at the end; at most %zu descriptors (%zu before)\n",
              kQuestions, data, busy, slowestStats.load(), residentAfterWarmUp, residentKiB(), mostDescriptors,
              descriptorsBefore);
}

TEST_F(ApiRequestTest, GzipReplyIsDecodedBeforeItIsAnsweredAndStored) {
  setScript([](const std::string&) { return ok(gzipString(kMetar), "Content-Encoding: gzip\r\n"); });
  start();
  EXPECT_EQ(ask("metar", "EIDW"),
            "{\"data\":\"2024\\/01\\/01 12:00\\\\nEIDW 011200Z 27010KT CAVOK 08\\/03 Q1020\\\\n\",\"status\":\"OK\"}\n");
  EXPECT_EQ(cache.lookup("AIRPORTEIDW"), kMetar);
}

// The page gives up (its connection closes) while the service is still thinking.
TEST_F(ApiRequestTest, ResultAfterThePendingReplyHasGoneIsDropped) {
  setScript([](const std::string& request) {
    // EGLL fails, EIDW succeeds; both late.
    Canned late = request.find("EGLL") != std::string::npos ? reply("HTTP/1.0 500 Oops", "", "") : ok(kMetar);
    late.held = true;
    return late;
  });
  start();
  std::vector<std::unique_ptr<http_test::Connection>> pages;
  for (const char* code : {"EIDW", "EGLL"}) {
    pages.push_back(std::make_unique<http_test::Connection>(server.listeningPort()));
    ASSERT_TRUE(pages.back()->send(http_test::post("/json", question("metar", code))));
  }
  ASSERT_TRUE(services.waitForRequests(2));
  pages.clear();
  for (int i = 0; i < 200 && server.pendingResponseCount() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(server.pendingResponseCount(), 0u);
  // Stored by another request meanwhile: the late failure clears it.
  cache.put("AIRPORTEGLL", "stored meanwhile", 600, false);

  services.release();
  for (int i = 0; i < 200 && proxy->runningRequests() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(proxy->runningRequests(), 0u);
  EXPECT_EQ(cache.lookup("AIRPORTEIDW"), "");  // a success nobody waited for is not stored
  EXPECT_EQ(cache.lookup("AIRPORTEGLL"), "");

  setScript({});
  EXPECT_THAT(ask("metar", "EIDW"), StartsWith("{\"data\":\"2024"));
  EXPECT_EQ(services.requestCount(), 3u);
}

TEST_F(ApiRequestTest, ManyQuestionsWaitingOutsideDoNotHoldUpGetStats) {
  setScript([](const std::string& request) {
    Canned late = ok(kPhotoJson, "Content-Type: application/json\r\n");
    late.held = request.find("m=") != std::string::npos;
    return late;
  });
  constexpr int kPages = 40;
  settings.maxRunningPerService = kPages;
  start();
  std::vector<std::unique_ptr<http_test::Connection>> pages;
  for (int i = 0; i < kPages; ++i) {
    char code[7];
    std::snprintf(code, sizeof(code), "4CA%03X", i);
    pages.push_back(std::make_unique<http_test::Connection>(server.listeningPort()));
    ASSERT_TRUE(pages.back()->send(http_test::post("/json", question("image", code))));
  }
  ASSERT_TRUE(services.waitForRequests(kPages));
  EXPECT_EQ(proxy->runningRequests(), static_cast<size_t>(kPages));

  const auto begin = std::chrono::steady_clock::now();
  const std::string stats = ask("{\"req\":\"getStats\",\"data\":{\"statsType\":\"ver\"}}");
  const auto waited = std::chrono::steady_clock::now() - begin;
  EXPECT_THAT(stats, StartsWith("{\"status\":\"OK\",\"stats\":{\"version\":"));
  EXPECT_LT(waited, std::chrono::milliseconds(1000));

  services.release();
  int answered = 0;
  for (auto& page : pages) {
    const http_test::Reply reply = page->readReply(std::chrono::milliseconds(5000));
    answered += reply.complete && reply.body.rfind("{\"data\":{\"status\":200,\"count\":1,", 0) == 0;
  }
  EXPECT_EQ(answered, kPages);
  EXPECT_EQ(cache.size(), static_cast<size_t>(kPages));
}

TEST_F(ApiRequestTest, NotamServerWithACertificateForAnotherNameIsRefused) {
  LocalServer impostor([](const std::string&) { return ok(kNotams); }, wrong);
  settings.client.fixedHosts["notam.test"] = impostor.endpoint();
  settings.client.caFile = wrong->certificate;  // trusted, but for other.test
  start();
  const ptree answer = parse(ask("notam", "EIDW"));
  EXPECT_EQ(answer.get<std::string>("status"), "ERROR");
  EXPECT_THAT(answer.get<std::string>("message"), StartsWith("Connect host notam.test:"));
  EXPECT_THAT(answer.get<std::string>("message"), HasSubstr("certificate verify failed"));
  EXPECT_EQ(impostor.requestCount(), 0u);
}

TEST_F(ApiRequestTest, TlsClientThatCannotBeMadeAnswersTheCommandError) {
  settings.client.caFile = *directory + "/missing.pem";
  start();
  // More times than the service has requests in flight: each failure frees its place.
  for (int i = 0; i < 6; ++i) {
    const std::string answer = ask("notam", "EIDW");
    EXPECT_THAT(answer, StartsWith("{\"status\":\"ERROR\",\"message\":\"")) << i;
  }
  EXPECT_EQ(proxy->runningRequests(), 0u);
  EXPECT_EQ(notams.requestCount(), 0u);
  EXPECT_EQ(server.pendingResponseCount(), 0u);
  EXPECT_EQ(cache.size(), 0u);
}

TEST_F(ApiRequestTest, StopEndsRunningRequestsAndDropsTheirResults) {
  setScript([](const std::string&) {
    Canned late = ok(kMetar);
    late.held = true;
    return late;
  });
  start();
  http_test::Connection page(server.listeningPort());
  ASSERT_TRUE(page.send(http_test::post("/json", question("metar", "EIDW"))));
  ASSERT_TRUE(services.waitForRequests(1));
  proxy->stop();
  EXPECT_EQ(proxy->runningRequests(), 0u);
  services.release();
  // The cancelled client closed its connection: nothing arrives, nothing is stored.
  EXPECT_FALSE(page.readReply(std::chrono::milliseconds(300)).complete);
  EXPECT_EQ(cache.size(), 0u);
}

}  // namespace
