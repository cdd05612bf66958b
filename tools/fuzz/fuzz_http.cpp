// libFuzzer target: the bytes a web client sends, through a real HttpSession (Beast's parser,
// the limits, keep-alive, pipelining, 100-continue, lingering close) into the real router of an
// HttpServer that is not started: Basic authentication, the embedded files, two picture
// directories on disk (one converting BMP to PNG), "/json" with getStats and googleKey over
// statistics with a few aircraft, and small test commands for the pending-reply path.
// No listening port: the session owns one end of a socket pair and the input goes into the
// other, with the io_context polled until nothing is left to do.
//
// Input: byte 0 holds flags (bit 0 authentication on, bit 1 end with a half close before the
// full one), byte 1 is a separator, and the rest is what the client sends, cut into pieces at
// the first four separators (which are dropped), each piece written after the last one's
// effects have settled.
//
// Checks besides the sanitizers: no reply carries the bytes of the file beside the picture
// directories; without the right credentials in the input, authentication lets nothing through;
// the replies read as whole HTTP messages, at most one per request and none with a body for HEAD;
// the session closes once and leaves no pending reply.

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/version.h"
#include "json-server/jsonserver/src/base_command.h"
#include "json-server/jsonserver/src/command_get_stats.h"
#include "json-server/jsonserver/src/google_key_command.h"
#include "json-server/jsonserver/src/http_response.h"
#include "json-server/jsonserver/src/http_server.h"
#include "json-server/jsonserver/src/http_session.h"
#include "tests/json-server/test_commands.h"
#include "tools/fuzz/fuzz_support.h"

using boost::property_tree::ptree;

namespace {

const char kOutsideMarker[] = "VELKARO-FUZZ-OUTSIDE-THE-PICTURE-DIRECTORIES";
const char kCredentials[] = "user:pass";
const char kCredentialsBase64[] = "dXNlcjpwYXNz";

// Asynchronous, completed at once on the poll thread (data.now) or left pending until the
// connection goes.
class LaterCommand : public BaseCommand {
 public:
  using BaseCommand::BaseCommand;
  void executeAsync(const ptree& request, std::shared_ptr<HttpRequest>, HttpResponse* response) override {
    if (const auto now = request.get_optional<std::string>("data.now")) {
      ptree reply;
      reply.put("status", "OK");
      reply.put("data", *now);
      response->sendJson(reply);
    } else if (request.get_optional<std::string>("data.fail")) {
      throw std::runtime_error("later failed");
    }
  }
  const std::string& name() const override {
    static const std::string text = "later";
    return text;
  }
  bool isAsync() const override { return true; }
};

std::string bmpFile(int width, int height, int bitsPerPixel) {
  const int rowSize = (width * (bitsPerPixel / 8) + 3) / 4 * 4;
  std::string bmp(54 + rowSize * height, '\0');
  auto put16 = [&](size_t at, unsigned value) {
    bmp[at] = static_cast<char>(value);
    bmp[at + 1] = static_cast<char>(value >> 8);
  };
  bmp[0] = 'B';
  bmp[1] = 'M';
  put16(10, 54);
  put16(14, 40);
  put16(18, static_cast<unsigned>(width));
  put16(22, static_cast<unsigned>(height));
  put16(26, 1);
  put16(28, static_cast<unsigned>(bitsPerPixel));
  for (size_t i = 54; i < bmp.size(); ++i) bmp[i] = static_cast<char>(i * 37);
  return bmp;
}

void writeFile(const std::filesystem::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
  FUZZ_CHECK(out.good());
}

struct Target {
  fuzz_support::StatsApplication stats;
  std::filesystem::path scratch;
  WebFileTable webFiles;
  std::unique_ptr<HttpServer> server;
  boost::asio::io_context io;

  Target() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/velkaro-fuzz-http-XXXXXX";
    FUZZ_CHECK(::mkdtemp(&pattern[0]) != nullptr);
    scratch = pattern;
    writeFile(scratch / "secret.txt", kOutsideMarker);
    std::filesystem::create_directory(scratch / "silhouettes");
    std::filesystem::create_directory(scratch / "pictures");
    std::filesystem::create_directory(scratch / "pictures" / "folder.jpg");
    writeFile(scratch / "silhouettes" / "A320.bmp", bmpFile(5, 3, 24));
    writeFile(scratch / "silhouettes" / "B744.bmp", bmpFile(4, 2, 32));
    writeFile(scratch / "silhouettes" / "short.bmp", bmpFile(40, 30, 24).substr(0, 300));
    writeFile(scratch / "silhouettes" / "notes.txt", "silhouettes");
    writeFile(scratch / "pictures" / "4CA123.jpg", std::string(700, 'j'));
    // Larger than one file chunk, so that the reply is streamed in pieces.
    writeFile(scratch / "pictures" / "big.png", std::string(70000, 'p'));

    webFiles["index.html"] = "<html><body>index</body></html>";
    webFiles["script.js"] = "var x = 1;";
    webFiles["style.css"] = "body { color: red }";
    webFiles["img/flags/Cuba.bmp"] = bmpFile(2, 2, 24);

    server = std::make_unique<HttpServer>(&webFiles, fuzz_support::kClock - 1000);
    server->addCommand(std::make_shared<CommandGetStats>(stats.app));
    server->addCommand(std::make_shared<GoogleKeyCommand>(stats.app));
    server->addCommand(std::make_shared<LaterCommand>(stats.app));
    server->addCommand(std::make_shared<BoomCommand>(stats.app));
    server->addStaticDirectory(silhouettesUrlPrefix, (scratch / "silhouettes").string(), true);
    server->addStaticDirectory(picturesUrlPrefix, (scratch / "pictures").string(), false);
  }
};

Target* target = nullptr;

void removeScratch() {
  if (!target) return;
  std::error_code ignored;
  std::filesystem::remove_all(target->scratch, ignored);
}

void makeNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

size_t drain(int fd, std::string& into) {
  char chunk[16384];
  size_t total = 0;
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n <= 0) return total;
    into.append(chunk, static_cast<size_t>(n));
    total += static_cast<size_t>(n);
  }
}

// Runs every handler that is ready, gives the session the poll tick the server's timer would
// give it, and takes what it sends, until nothing changes.
void settle(HttpSession& session, int peer, std::string& received) {
  for (;;) {
    target->io.restart();
    size_t handlers = target->io.poll();
    session.poll(HttpSession::Clock::now(), std::chrono::seconds(30), std::chrono::seconds(10));
    handlers += target->io.poll();
    if (handlers == 0 && drain(peer, received) == 0) return;
  }
}

// Writes all of `bytes` unless the session has gone or stopped reading; false then.
bool send(HttpSession& session, int peer, const std::string& bytes, std::string& received) {
  size_t written = 0;
  int stalls = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::send(peer, bytes.data() + written, bytes.size() - written, MSG_NOSIGNAL);
    if (n > 0) {
      written += static_cast<size_t>(n);
      stalls = 0;
    } else if ((n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) || ++stalls > 100) {
      return false;
    }
    settle(session, peer, received);
  }
  return true;
}

std::vector<std::string> pieces(const uint8_t* data, size_t size, uint8_t separator) {
  std::vector<std::string> out(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == separator && out.size() < 5) {
      out.emplace_back();
    } else {
      out.back() += static_cast<char>(data[i]);
    }
  }
  return out;
}

namespace http = boost::beast::http;

// One message from `bytes` at `offset` through the parser, which takes it in as many steps as it
// needs; false when it is cut off or broken.
template <typename Parser>
bool parseMessage(Parser& parser, const std::string& bytes, size_t& offset, boost::system::error_code& error) {
  for (;;) {
    const size_t used = parser.put(boost::asio::buffer(bytes.data() + offset, bytes.size() - offset), error);
    offset += used;
    if (error && error != http::error::need_more) return false;
    if (parser.is_done()) return true;
    if (used == 0 || offset == bytes.size()) {
      // A message without a length ends with the stream.
      parser.put_eof(error);
      return !error && parser.is_done();
    }
  }
}

// The requests in what the client sent, parsed as the session parses them, in order: true for
// HEAD. One more entry, false, for a request that is refused.
std::vector<bool> requestsAreHead(const std::string& bytes) {
  std::vector<bool> heads;
  size_t offset = 0;
  while (offset < bytes.size()) {
    HttpSession::RequestParser parser;
    HttpSession::setUpParser(parser);
    boost::system::error_code error;
    size_t headerBytes = 0;
    for (;;) {
      const size_t used = HttpSession::putRequestBytes(
          parser, boost::asio::buffer(bytes.data() + offset, bytes.size() - offset), headerBytes, error);
      offset += used;
      if (error == http::error::need_more) return heads;
      if (error) {
        heads.push_back(false);
        return heads;
      }
      if (parser.is_done()) break;
      if (used == 0) return heads;
    }
    heads.push_back(parser.get().method() == http::verb::head);
  }
  return heads;
}

// The replies must read as a sequence of whole HTTP messages, one per request at most (interim
// "100 Continue" ones aside), those to HEAD without a body.
void checkReplyFraming(const std::string& sent, const std::string& received) {
  const std::vector<bool> heads = requestsAreHead(sent);
  size_t offset = 0;
  size_t replies = 0;
  while (offset < received.size()) {
    http::response_parser<http::string_body> parser;
    parser.header_limit(1 << 20);
    parser.body_limit(1 << 24);
    parser.eager(true);
    if (replies < heads.size() && heads[replies]) parser.skip(true);
    const size_t start = offset;
    boost::system::error_code error;
    if (!parseMessage(parser, received, offset, error)) {
      std::fprintf(stderr, "reply %zu at byte %zu does not parse (%s): %s\n", replies, start,
                   error.message().c_str(), received.substr(start, 200).c_str());
      std::abort();
    }
    if (parser.get().result() == http::status::continue_) continue;
    ++replies;
  }
  if (replies > heads.size()) {
    std::fprintf(stderr, "%zu replies to %zu requests\n", replies, heads.size());
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::signal(SIGPIPE, SIG_IGN);
  target = new Target();
  std::atexit(removeScratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t flags = data[0];
  const bool auth = flags & 1;
  const bool halfClose = flags & 2;
  const std::vector<std::string> parts = pieces(data + 2, size - 2, data[1]);
  std::string joined;
  for (const std::string& piece : parts) joined += piece;
  target->server->setAuth(auth ? kCredentials : "");
  // Every input starts with a fresh failure count (all inputs come from the same peer), and a
  // few failures hold the replies, whose release timer is never waited for.
  AuthThrottleSettings throttle;
  throttle.freeFailures = 3;
  throttle.firstDelay = std::chrono::milliseconds(1);
  target->server->setAuthThrottle(throttle);

  int fds[2];
  FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
  makeNonBlocking(fds[1]);
  int closedCalls = 0;
  std::string received;
  {
    boost::asio::ip::tcp::socket socket(target->io);
    socket.assign(boost::asio::ip::tcp::v4(), fds[0]);
    auto session = std::make_shared<HttpSession>(std::move(socket), *target->server,
                                                 [&closedCalls](HttpSession&) { ++closedCalls; });
    session->start();
    for (const std::string& piece : parts) {
      if (!send(*session, fds[1], piece, received)) break;
    }
    settle(*session, fds[1], received);
    if (halfClose) {
      ::shutdown(fds[1], SHUT_WR);
      settle(*session, fds[1], received);
    }
    ::close(fds[1]);
    settle(*session, -1, received);
    session->close();
    settle(*session, -1, received);
  }
  target->io.restart();
  target->io.poll();

  // For looking at a seed: VELKARO_FUZZ_SHOW=1 velkaro_fuzz_http file
  static const bool show = std::getenv("VELKARO_FUZZ_SHOW") != nullptr;
  if (show) std::fprintf(stderr, "---- %zu bytes received\n%s\n----\n", received.size(), received.c_str());

  FUZZ_CHECK(closedCalls == 1);
  FUZZ_CHECK(target->server->pendingResponseCount() == 0);
  FUZZ_CHECK(received.empty() || received.compare(0, 9, "HTTP/1.1 ") == 0);
  FUZZ_CHECK(received.find(kOutsideMarker) == std::string::npos);
  checkReplyFraming(joined, received);
  if (auth && joined.find(kCredentialsBase64) == std::string::npos) {
    for (const char* granted : {"HTTP/1.1 200", "HTTP/1.1 304", "HTTP/1.1 404"}) {
      FUZZ_CHECK(received.find(granted) == std::string::npos);
    }
  }
  return 0;
}
