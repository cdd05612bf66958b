// libFuzzer target: what an SBS-3 client sends. Three uses of each input:
//  - the bytes through the command parser, each command answered as the session answers it
//    (replies, framed), with the parser's bounds checked after every byte;
//  - the same bytes into a real session over a socket pair: what it sends back must be exactly
//    those framed replies, in order;
//  - the input as a payload: framed, it must parse back to itself, and its CRC must check.

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "output/network_session.h"
#include "output/sbs_command_parser.h"
#include "output/sbs_frame.h"
#include "output/sbs_replies.h"
#include "tools/fuzz/fuzz_support.h"

namespace {

// The framed replies the session owes for these bytes.
std::string expectedReplies(const uint8_t* data, size_t size) {
  SbsCommandParser parser;
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    const SbsCommandParser::Event event = parser.feed(data[i]);
    FUZZ_CHECK(parser.length() >= 0 && parser.length() <= SbsCommandParser::capacity);
    FUZZ_CHECK(parser.state() >= 0 && parser.state() <= 8);
    if (event != SbsCommandParser::Event::Command) continue;
    FUZZ_CHECK(parser.length() >= 1 && parser.payload()[0] != sbsDle);
    const std::vector<std::string> replies = sbsRepliesTo(parser.payload(), parser.length());
    FUZZ_CHECK(replies.size() == (isSbsLogin(parser.payload(), parser.length()) ? 2u : 1u));
    for (const std::string& reply : replies) {
      const size_t before = out.size();
      appendSbsFrame(out, reinterpret_cast<const uint8_t*>(reply.data()), reply.size());
      FUZZ_CHECK(out.size() - before <= sbsFramedSizeLimit(reply.size()));
    }
  }
  return out;
}

void makeNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Reads what is there; false once the other side has closed.
bool drain(int fd, std::string& into) {
  char chunk[4096];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0) {
      into.append(chunk, static_cast<size_t>(n));
      continue;
    }
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
}

void runIdle(boost::asio::io_context& io, int peer, std::string& received) {
  for (;;) {
    io.restart();
    const size_t handlers = io.poll();
    const size_t before = received.size();
    drain(peer, received);
    if (handlers == 0 && received.size() == before) return;
  }
}

std::string sessionReplies(const uint8_t* data, size_t size) {
  static boost::asio::io_context io;
  int fds[2];
  FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
  makeNonBlocking(fds[1]);
  std::string received;
  {
    auto session = NetworkSession::create(io, nullptr, true);
    session->socket().assign(boost::asio::ip::tcp::v4(), fds[0]);
    session->start();
    // In two writes, the cut chosen by the first byte, so commands also arrive split.
    const size_t cut = size == 0 ? 0 : data[0] % (size + 1);
    for (const auto& [from, length] : {std::pair<size_t, size_t>{0, cut}, {cut, size - cut}}) {
      size_t written = 0;
      int stalls = 0;
      while (written < length && stalls < 100) {
        const ssize_t n = ::send(fds[1], data + from + written, length - written, MSG_NOSIGNAL);
        if (n > 0) {
          written += static_cast<size_t>(n);
          stalls = 0;
        } else {
          ++stalls;  // a session that has closed or stopped reading fails the comparison below
        }
        runIdle(io, fds[1], received);
      }
    }
    runIdle(io, fds[1], received);
    session->close();
    runIdle(io, fds[1], received);
  }
  ::close(fds[1]);
  return received;
}

void framedPayload(const uint8_t* data, size_t size) {
  const std::string frame = wrapSbsFrame(data, size);
  FUZZ_CHECK(frame.size() <= sbsFramedSizeLimit(size));
  const uint16_t crc = sbsCrc16(data, size);
  std::vector<uint8_t> checked(data, data + size);
  checked.push_back(static_cast<uint8_t>(crc >> 8));
  checked.push_back(static_cast<uint8_t>(crc));
  FUZZ_CHECK(sbsCrc16(checked.data(), checked.size()) == 0);

  SbsCommandParser parser;
  int commands = 0;
  for (const char c : frame) {
    if (parser.feed(static_cast<uint8_t>(c)) != SbsCommandParser::Event::Command) continue;
    ++commands;
    FUZZ_CHECK(static_cast<size_t>(parser.length()) == size);
    FUZZ_CHECK(std::memcmp(parser.payload(), data, size) == 0);
  }
  // The parser takes no empty payload, none that starts with DLE and none that fills its buffer.
  const bool acceptable = size >= 1 && data[0] != sbsDle && size < static_cast<size_t>(SbsCommandParser::capacity);
  FUZZ_CHECK(commands == (acceptable ? 1 : 0));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_support::setQuietLogging();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string expected = expectedReplies(data, size);
  const std::string received = sessionReplies(data, size);
  if (received != expected) {
    std::fprintf(stderr, "session sent %zu bytes, the parser and replies give %zu\n", received.size(),
                 expected.size());
    std::abort();
  }
  framedPayload(data, size);
  return 0;
}
