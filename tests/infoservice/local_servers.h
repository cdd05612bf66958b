#pragma once
// Stand-ins for the outside services on 127.0.0.1: a scripted HTTP server, plain or TLS, on its own
// thread, that records every request; and certificates made by the openssl command.

#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include <openssl/ssl.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace info_test {

using boost::asio::ip::tcp;

// What the server does with one request.
struct Canned {
  std::string bytes;         // written as they are, then the connection ends
  std::string rest;          // when not empty: written 30 ms after `bytes`, in a read of its own
  bool silent = false;       // says nothing, and keeps the connection, until the server goes
  bool held = false;         // waits for release()
  std::chrono::milliseconds delay{0};  // a slow service: thinks this long before it answers
  bool closeNotify = true;   // TLS: end with a close notification rather than a bare TCP close
};

inline Canned raw(const std::string& bytes) {
  Canned canned;
  canned.bytes = bytes;
  return canned;
}
inline Canned reply(const std::string& statusLine, const std::string& headers, const std::string& body) {
  Canned canned;
  canned.bytes = statusLine + "\r\n" + headers + "\r\n" + body;
  return canned;
}
inline Canned ok(const std::string& body, const std::string& headers = "Content-Type: text/plain\r\n") {
  return reply("HTTP/1.1 200 OK", headers, body);
}

struct TlsFiles {
  std::string certificate;
  std::string key;
};

// A self-signed certificate for `name` (its own CA), in `directory`.
inline TlsFiles makeCertificate(const std::string& directory, const std::string& name) {
  TlsFiles files{directory + "/" + name + ".crt", directory + "/" + name + ".key"};
  const std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
                              " -subj /CN=" + name + " -addext subjectAltName=DNS:" + name +
                              " -keyout " + files.key + " -out " + files.certificate + " >/dev/null 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  return files;
}

inline std::string makeTempDirectory() {
  char pattern[] = "/tmp/velkaro-info-XXXXXX";
  const char* made = ::mkdtemp(pattern);
  EXPECT_NE(made, nullptr);
  return made ? made : "/tmp";
}

// Certificates for "notam.test" (the name the TLS stand-in answers as) and "other.test", made once
// for a test suite in a directory of its own.
struct SuiteCertificates {
  SuiteCertificates()
      : directory(makeTempDirectory()),
        right(makeCertificate(directory, "notam.test")),
        wrong(makeCertificate(directory, "other.test")) {}
  ~SuiteCertificates() { std::system(("rm -rf " + directory).c_str()); }
  std::string directory;
  TlsFiles right;
  TlsFiles wrong;
};

// A fixture whose suite makes its certificates once, before its first test.
class CertificateSuiteTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    certificates = new SuiteCertificates();
    directory = &certificates->directory;
    right = &certificates->right;
    wrong = &certificates->wrong;
  }
  static void TearDownTestSuite() {
    delete certificates;
    certificates = nullptr;
  }

  inline static SuiteCertificates* certificates = nullptr;
  inline static std::string* directory = nullptr;
  inline static TlsFiles* right = nullptr;
  inline static TlsFiles* wrong = nullptr;
};

class LocalServer {
 public:
  using Script = std::function<Canned(const std::string& request)>;

  explicit LocalServer(Script script, const TlsFiles* tls = nullptr)
      : script(std::move(script)), acceptor(io, tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0)) {
    if (tls) {
      context = std::make_unique<boost::asio::ssl::context>(boost::asio::ssl::context::tls_server);
      context->use_certificate_chain_file(tls->certificate);
      context->use_private_key_file(tls->key, boost::asio::ssl::context::pem);
    }
    accept();
    thread = std::thread([this] { io.run(); });
  }
  ~LocalServer() {
    work.reset();
    io.stop();
    thread.join();
  }
  LocalServer(const LocalServer&) = delete;
  LocalServer& operator=(const LocalServer&) = delete;

  tcp::endpoint endpoint() const { return acceptor.local_endpoint(); }
  uint16_t port() const { return endpoint().port(); }

  std::vector<std::string> requests() {
    std::lock_guard<std::mutex> lock(mutex);
    return received;
  }
  size_t requestCount() {
    std::lock_guard<std::mutex> lock(mutex);
    return received.size();
  }
  // The server names that TLS clients sent (empty text for none).
  std::vector<std::string> serverNames() {
    std::lock_guard<std::mutex> lock(mutex);
    return names;
  }
  bool waitForRequests(size_t count, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return received.size() >= count; });
  }
  // The most requests that were waiting for their answer at one time.
  size_t mostWaiting() {
    std::lock_guard<std::mutex> lock(mutex);
    return peakWaiting;
  }
  // Held replies go out now.
  void release() {
    boost::asio::post(io, [this] {
      for (auto& send : heldReplies) send();
      heldReplies.clear();
    });
  }

 private:
  template <class Stream>
  struct Session : std::enable_shared_from_this<Session<Stream>> {
    template <class... Args>
    explicit Session(LocalServer& server, Args&&... args)
        : server(server), stream(std::forward<Args>(args)...), pause(server.io) {}

    void readRequest() {
      auto self = this->shared_from_this();
      boost::asio::async_read_until(stream, buffer, "\r\n\r\n", [self](boost::system::error_code error, size_t end) {
        if (error) return;
        const std::string head(boost::asio::buffers_begin(self->buffer.data()),
                               boost::asio::buffers_begin(self->buffer.data()) + end);
        size_t length = 0;
        const size_t field = head.find("Content-Length: ");
        if (field != std::string::npos) length = std::strtoul(head.c_str() + field + 16, nullptr, 10);
        const size_t have = self->buffer.size() - end;
        const size_t missing = length > have ? length - have : 0;
        boost::asio::async_read(self->stream, self->buffer, boost::asio::transfer_exactly(missing),
                                [self](boost::system::error_code e, size_t) {
                                  if (!e) self->answer();
                                });
      });
    }

    void answer() {
      const std::string request(boost::asio::buffers_begin(buffer.data()), boost::asio::buffers_end(buffer.data()));
      const Canned canned = server.record(request, serverName());
      auto self = this->shared_from_this();
      if (canned.silent) {
        server.silentSessions.push_back(self);
      } else if (canned.held) {
        server.heldReplies.push_back([self, canned] { self->reply(canned); });
      } else if (canned.delay.count() > 0) {
        pause.expires_after(canned.delay);
        pause.async_wait([self, canned](boost::system::error_code) { self->reply(canned); });
      } else {
        reply(canned);
      }
    }

    void reply(const Canned& canned) {
      server.answered();
      send(canned);
    }

    void send(const Canned& canned) {
      auto self = this->shared_from_this();
      out = canned.bytes;
      boost::asio::async_write(stream, boost::asio::buffer(out), [self, canned](boost::system::error_code error, size_t) {
        if (error || canned.rest.empty()) {
          self->end(canned.closeNotify);
          return;
        }
        self->pause.expires_after(std::chrono::milliseconds(30));
        self->pause.async_wait([self, canned](boost::system::error_code) {
          Canned last = canned;
          last.bytes = canned.rest;
          last.rest.clear();
          self->send(last);
        });
      });
    }

    std::string serverName();
    void end(bool closeNotify);

    LocalServer& server;
    Stream stream;
    boost::asio::streambuf buffer;
    std::string out;
    boost::asio::steady_timer pause;
  };

  using PlainSession = Session<tcp::socket>;
  using TlsSession = Session<boost::asio::ssl::stream<tcp::socket>>;

  void accept() {
    acceptor.async_accept([this](boost::system::error_code error, tcp::socket socket) {
      if (error) return;
      if (context) {
        auto session = std::make_shared<TlsSession>(*this, std::move(socket), *context);
        session->stream.async_handshake(boost::asio::ssl::stream_base::server,
                                        [session](boost::system::error_code e) {
                                          if (!e) session->readRequest();
                                        });
      } else {
        std::make_shared<PlainSession>(*this, std::move(socket))->readRequest();
      }
      accept();
    });
  }

  Canned record(const std::string& request, const std::string& serverName) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      received.push_back(request);
      if (context) names.push_back(serverName);
      peakWaiting = std::max(peakWaiting, ++waiting);
    }
    changed.notify_all();
    return script(request);
  }
  void answered() {
    std::lock_guard<std::mutex> lock(mutex);
    --waiting;
  }

  Script script;
  std::unique_ptr<boost::asio::ssl::context> context;
  boost::asio::io_context io;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{io.get_executor()};
  tcp::acceptor acceptor;
  std::vector<std::shared_ptr<void>> silentSessions;  // server thread only
  std::vector<std::function<void()>> heldReplies;     // server thread only
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> received;
  std::vector<std::string> names;
  size_t waiting = 0;
  size_t peakWaiting = 0;
  std::thread thread;
};

template <>
inline std::string LocalServer::PlainSession::serverName() {
  return "";
}
template <>
inline std::string LocalServer::TlsSession::serverName() {
  const char* name = SSL_get_servername(stream.native_handle(), TLSEXT_NAMETYPE_host_name);
  return name ? name : "";
}
template <>
inline void LocalServer::PlainSession::end(bool) {
  boost::system::error_code ignore;
  stream.shutdown(tcp::socket::shutdown_send, ignore);
  stream.close(ignore);
}
template <>
inline void LocalServer::TlsSession::end(bool closeNotify) {
  if (!closeNotify) {
    boost::system::error_code ignore;
    stream.next_layer().close(ignore);
    return;
  }
  // The client answers the notification by closing, which ends the wait.
  auto self = this->shared_from_this();
  stream.async_shutdown([self](boost::system::error_code) {
    boost::system::error_code ignore;
    self->stream.next_layer().close(ignore);
  });
}

}  // namespace info_test
