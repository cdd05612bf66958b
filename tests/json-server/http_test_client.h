#pragma once
// A plain-socket HTTP client for the web server tests: raw bytes in, one parsed reply out,
// every wait bounded.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace http_test {

struct Reply {
  bool complete = false;
  std::string head;  // status line and header lines, each with its CRLF, without the empty line
  std::string statusLine;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  std::string header(const std::string& name) const {
    for (const auto& h : headers) {
      if (h.first == name) return h.second;
    }
    return "";
  }
  std::vector<std::string> headerNames() const {
    std::vector<std::string> names;
    for (const auto& h : headers) names.push_back(h.first);
    return names;
  }
};

class Connection {
 public:
  // `from` picks the client's address on the loopback network (127.0.0.2 ...) for tests that need
  // clients at different addresses.
  explicit Connection(uint16_t port, const char* from = nullptr) {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (from) {
      sockaddr_in source{};
      source.sin_family = AF_INET;
      ::inet_pton(AF_INET, from, &source.sin_addr);
      if (::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof(source)) != 0) {
        ::close(fd);
        fd = -1;
        return;
      }
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
      ::close(fd);
      fd = -1;
    }
    const int one = 1;
    if (fd >= 0) ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  }
  ~Connection() {
    if (fd >= 0) ::close(fd);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool isOpen() const { return fd >= 0; }

  bool send(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }

  // Reads until `count` bytes are buffered, the peer closes, or the time is up.
  bool fill(size_t count, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (buffered.size() < count) {
      if (!readSome(deadline)) return false;
    }
    return true;
  }

  // One reply: the header block, then Content-Length bytes of body (or, without a
  // Content-Length, everything up to the close).
  Reply readReply(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    Reply reply;
    size_t end;
    while ((end = buffered.find("\r\n\r\n")) == std::string::npos) {
      if (!readSome(deadline)) return reply;
    }
    reply.head = buffered.substr(0, end + 2);
    buffered.erase(0, end + 4);
    size_t lineStart = 0;
    while (lineStart < reply.head.size()) {
      const size_t lineEnd = reply.head.find("\r\n", lineStart);
      const std::string line = reply.head.substr(lineStart, lineEnd - lineStart);
      if (lineStart == 0) {
        reply.statusLine = line;
      } else {
        const size_t colon = line.find(": ");
        reply.headers.emplace_back(line.substr(0, colon), colon == std::string::npos ? "" : line.substr(colon + 2));
      }
      lineStart = lineEnd + 2;
    }
    const std::string length = reply.header("Content-Length");
    if (!length.empty()) {
      const size_t size = std::strtoul(length.c_str(), nullptr, 10);
      while (buffered.size() < size) {
        if (!readSome(deadline)) return reply;
      }
      reply.body = buffered.substr(0, size);
      buffered.erase(0, size);
    } else {
      while (readSome(deadline)) {
      }
      if (!closedByPeer) return reply;
      reply.body = buffered;
      buffered.clear();
    }
    reply.complete = true;
    return reply;
  }

  // True when the server closes the connection within the time (reading and keeping any bytes).
  bool waitForClose(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!closedByPeer) {
      if (!readSome(deadline) && !closedByPeer) return false;
    }
    return true;
  }

  // Everything received so far that no reply has taken.
  std::string& rest() { return buffered; }
  bool peerClosed() const { return closedByPeer; }
  void shutdownSend() { ::shutdown(fd, SHUT_WR); }

 private:
  bool readSome(std::chrono::steady_clock::time_point deadline) {
    if (fd < 0 || closedByPeer) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    std::array<char, 65536> chunk;
    const ssize_t n = ::recv(fd, chunk.data(), chunk.size(), 0);
    if (n <= 0) {
      closedByPeer = true;
      return false;
    }
    buffered.append(chunk.data(), static_cast<size_t>(n));
    return true;
  }

  int fd = -1;
  std::string buffered;
  bool closedByPeer = false;
};

// One request on a fresh connection; the reply, or an incomplete one after the time is up.
inline Reply roundTrip(uint16_t port, const std::string& request,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
  Connection connection(port);
  if (!connection.send(request)) return Reply();
  return connection.readReply(timeout);
}

inline std::string post(const std::string& uri, const std::string& body, const std::string& extraHeaders = "") {
  return "POST " + uri + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Runs a shell command and gives its standard output.
inline std::string runCommand(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return output;
  std::array<char, 4096> chunk;
  size_t n;
  while ((n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0) output.append(chunk.data(), n);
  ::pclose(pipe);
  return output;
}

}  // namespace http_test
