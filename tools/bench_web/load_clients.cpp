#include "tools/bench_web/load_clients.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int connectTo(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval timeout{10, 0};  // a stuck server ends the run instead of hanging it
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  return fd;
}

std::string requestText(const std::string& body, bool gzip) {
  std::string text = "POST /json HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n";
  if (gzip) text += "Accept-Encoding: gzip\r\n";
  text += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  text += body;
  return text;
}

bool sendAll(int fd, const std::string& text) {
  size_t sent = 0;
  while (sent < text.size()) {
    const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// Reads one reply off a keep-alive connection; `pending` keeps bytes of the next one.
bool readReply(int fd, std::string& pending, int& status, std::string& body) {
  size_t headerEnd;
  char buffer[65536];
  while ((headerEnd = pending.find("\r\n\r\n")) == std::string::npos) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    pending.append(buffer, static_cast<size_t>(n));
  }
  if (pending.compare(0, 9, "HTTP/1.1 ") != 0) return false;
  status = std::atoi(pending.c_str() + 9);
  size_t length = 0;
  const size_t field = pending.find("\r\nContent-Length: ");
  if (field != std::string::npos && field < headerEnd) length = std::strtoul(pending.c_str() + field + 18, nullptr, 10);
  const size_t total = headerEnd + 4 + length;
  while (pending.size() < total) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    pending.append(buffer, static_cast<size_t>(n));
  }
  body.assign(pending, headerEnd + 4, length);
  pending.erase(0, total);
  return true;
}

}  // namespace

std::string fetchOnce(uint16_t port, const std::string& body, bool gzip) {
  const int fd = connectTo(port);
  if (fd < 0) return std::string();
  std::string pending;
  std::string reply;
  int status = 0;
  const bool ok = sendAll(fd, requestText(body, gzip)) && readReply(fd, pending, status, reply) && status == 200;
  ::close(fd);
  return ok ? reply : std::string();
}

LoadResult runOwnClients(uint16_t port, int connections, double seconds, const BodyMaker& body, bool gzip) {
  std::atomic<uint64_t> replies{0};
  std::atomic<uint64_t> failures{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> clients;
  const auto start = Clock::now();
  for (int c = 0; c < connections; ++c) {
    clients.emplace_back([&] {
      int fd = connectTo(port);
      std::string pending;
      std::string reply;
      while (!stop.load(std::memory_order_relaxed)) {
        int status = 0;
        if (fd < 0 || !sendAll(fd, requestText(body(), gzip)) || !readReply(fd, pending, status, reply)) {
          ++failures;
          if (fd >= 0) ::close(fd);
          pending.clear();
          fd = connectTo(port);
          continue;
        }
        if (stop.load(std::memory_order_relaxed)) break;  // finished after the end: not counted
        if (status == 200) {
          ++replies;
        } else {
          ++failures;
        }
      }
      if (fd >= 0) ::close(fd);
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  const auto end = Clock::now();
  for (std::thread& client : clients) client.join();
  LoadResult result;
  result.replies = replies;
  result.failures = failures;
  result.seconds = std::chrono::duration<double>(end - start).count();
  return result;
}

bool wrkAvailable() { return std::system("command -v wrk >/dev/null 2>&1") == 0; }

LoadResult runWrk(uint16_t port, int threads, int connections, double seconds, const BodyMaker& body, bool changing,
                  bool gzip) {
  LoadResult result;
  const std::string base = "/tmp/velkaro_bench_web_" + std::to_string(::getpid());
  const std::string script = base + ".lua";
  const std::string bodyFile = base + ".json";
  const std::string headers = std::string("{[\"Content-Type\"]=\"application/json\"") +
                              (gzip ? ",[\"Accept-Encoding\"]=\"gzip\"" : "") + "}";
  {
    std::ofstream lua(script);
    if (changing) {
      // The body of a polling page changes with the table: read afresh for every request.
      lua << "local headers = " << headers << "\n"
          << "request = function()\n"
          << "  local f = io.open(\"" << bodyFile << "\", \"rb\")\n"
          << "  local body = f:read(\"*a\")\n"
          << "  f:close()\n"
          << "  return wrk.format(\"POST\", \"/json\", headers, body)\n"
          << "end\n";
    } else {
      std::string quoted;
      for (char c : body()) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
      }
      lua << "wrk.method = \"POST\"\nwrk.headers = " << headers << "\nwrk.body = \"" << quoted << "\"\n";
    }
  }
  std::atomic<bool> writing{changing};
  const auto writeBody = [&] {
    const std::string temporary = bodyFile + ".new";
    std::ofstream(temporary, std::ios::binary | std::ios::trunc) << body();
    std::rename(temporary.c_str(), bodyFile.c_str());  // readers see the old body or the new one whole
  };
  std::thread writer;
  if (changing) {
    writeBody();
    writer = std::thread([&] {
      while (writing) {
        writeBody();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    });
  }
  const std::string command = "wrk -t" + std::to_string(threads) + " -c" + std::to_string(connections) + " -d" +
                              std::to_string(static_cast<int>(seconds + 0.5)) + "s -s " + script +
                              " http://127.0.0.1:" + std::to_string(port) + "/json 2>&1";
  std::string output;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    ::pclose(pipe);
  }
  writing = false;
  if (writer.joinable()) writer.join();
  std::remove(script.c_str());
  std::remove(bodyFile.c_str());

  std::smatch match;
  // "  12345 requests in 10.00s, 1.23GB read"
  if (!std::regex_search(output, match, std::regex(R"((\d+) requests in ([0-9.]+)(m?s))"))) {
    result.error = "wrk: " + output;
    return result;
  }
  result.replies = std::stoull(match[1]);
  result.seconds = std::stod(match[2]) / (match[3] == "ms" ? 1000.0 : 1.0);
  if (std::regex_search(output, match, std::regex(R"(Non-2xx or 3xx responses: (\d+))"))) {
    const uint64_t bad = std::stoull(match[1]);
    result.failures += bad;
    result.replies -= std::min(result.replies, bad);
  }
  if (std::regex_search(output, match,
                        std::regex(R"(Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+))"))) {
    for (int i = 1; i <= 4; ++i) result.failures += std::stoull(match[i]);
  }
  return result;
}
