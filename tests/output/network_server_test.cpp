#include "output/network_server.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <atomic>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "feed_test_support.h"
#include "output/network_session.h"
#include "output/sbs_frame.h"

namespace {

using namespace feedtest;

std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out += static_cast<char>(v);
  return out;
}

// Record i of a numbered stream: its length and content depend on i only.
std::string record(uint32_t i, size_t size = 0) {
  const size_t length = size ? size : 1 + (i * 37) % 300;
  std::string out(length, '\0');
  for (size_t k = 0; k < length; ++k) out[k] = static_cast<char>((i * 131 + k * 7) & 0xFF);
  return out;
}

void broadcast(NetworkServer& server, uint32_t i, size_t size = 0) {
  const std::string r = record(i, size);
  if (i % 2) {
    server.broadcastText(r);
  } else {
    server.broadcastBytes(reinterpret_cast<const uint8_t*>(r.data()), static_cast<int32_t>(r.size()));
  }
}

// Checks a received stream against records first, first + 1, ... as it arrives.
class StreamChecker {
 public:
  explicit StreamChecker(size_t recordSize = 0) : size(recordSize) {}
  void operator()(const char* data, size_t n) {
    for (size_t k = 0; k < n; ++k) {
      if (offset == current.size()) {
        current = record(next++, size);
        offset = 0;
      }
      if (data[k] != current[offset++]) ++mismatches;
      ++total;
    }
  }
  bool atRecordEnd() const { return offset == current.size(); }
  size_t size;
  uint32_t next = 0;
  std::string current;
  size_t offset = 0;
  size_t total = 0;
  size_t mismatches = 0;
};

std::string login() { return bytes({0x10, 0x02, 0x17, 0x01, 0x10, 0x03, 0x00, 0x00}); }

std::string loginReplies() {
  std::string identification = bytes({0x26, 0x01});
  identification += "001090  SBS-3" + std::string(11, ' ') + "w";
  identification += bytes({0x00, 0x03, 0x01, 0x00, 0x00, 0x01, 0x13, 0x00});
  return wrapSbsFrame(identification) + wrapSbsFrame(bytes({0x2C, 0x80}));
}

// Past the flush delay and behind every earlier post: what was broadcast so far has been handed out.
bool settle(IoThread& ioThread) {
  std::this_thread::sleep_for(NetworkServer::flushDelay * 5);
  return ioThread.barrier();
}

class NetworkServerTest : public ::testing::Test {
 protected:
  std::shared_ptr<NetworkServer> startServer(bool sbs, const std::string& name = "Beast") {
    auto server = NetworkServer::create(ioThread.io, 0, name, sbs, boost::asio::ip::address_v4::loopback());
    server->start();
    servers.push_back(server);
    return server;
  }
  void TearDown() override {
    auto stopAll = [this] {
      for (auto& server : servers) server->stop();
    };
    if (ioThread.running()) {
      ioThread.call(stopAll);
    } else {
      stopAll();
    }
  }

  IoThread ioThread;
  std::vector<std::shared_ptr<NetworkServer>> servers;
};

TEST_F(NetworkServerTest, ClientsReceiveExactlyWhatIsBroadcastAfterTheyConnect) {
  const uint32_t since = logMark();
  auto server = startServer(false);
  ioThread.run();

  // With nobody connected a broadcast goes nowhere.
  server->broadcastText("early;\r\n");
  ASSERT_TRUE(ioThread.barrier());

  std::vector<std::unique_ptr<FeedClient>> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(std::make_unique<FeedClient>(server->boundPort()));
  ASSERT_TRUE(waitFor([&] { return server->sessionCount() == 3; }));
  for (const auto& client : clients) {
    EXPECT_TRUE(waitFor([&] { return countLogLines(since, "Connected " + client->name()) == 1; })) << client->name();
    EXPECT_TRUE(client->sendAll("bytes from the client are ignored"));
  }

  constexpr uint32_t records = 20000;  // about 3 MB: below the backlog limit even if nobody reads yet
  size_t total = 0;
  for (uint32_t i = 0; i < records; ++i) total += record(i).size();
  std::thread frameThread([&] {
    for (uint32_t i = 0; i < records; ++i) broadcast(*server, i);
  });
  for (const auto& client : clients) {
    StreamChecker checker;
    std::string got = client->read(total, 10s);
    got += client->readAvailable(20ms);
    checker(got.data(), got.size());
    EXPECT_EQ(checker.total, total);
    EXPECT_EQ(checker.mismatches, 0u);
    EXPECT_TRUE(checker.atRecordEnd());
  }
  frameThread.join();

  // A client that leaves is logged once; the others stay.
  clients[1]->closeNow();
  ASSERT_TRUE(waitFor([&] { return server->sessionCount() == 2; }));
  server->broadcastText("after;\r\n");
  EXPECT_EQ(clients[0]->read(8), "after;\r\n");
  ASSERT_TRUE(ioThread.barrier());
  EXPECT_EQ(countLogLines(since, "Disconnected " + clients[1]->name()), 1);
}

TEST_F(NetworkServerTest, SbsClientGetsDataFramesOnlyAfterItsLogin) {
  const uint32_t since = logMark();
  auto server = startServer(true, "SBS10001");
  ioThread.run();
  FeedClient client(server->boundPort());
  FeedClient silent(server->boundPort());
  ASSERT_TRUE(waitFor([&] { return server->sessionCount() == 2; }));  // counted before login

  const std::string before =
      wrapSbsFrame(bytes({0x07, 0x00, 0x01, 0x02, 0x03, 0x5D, 0x48, 0x40, 0xD6, 0x10, 0x11, 0x12}));
  server->broadcastBytes(reinterpret_cast<const uint8_t*>(before.data()), static_cast<int32_t>(before.size()));
  ASSERT_TRUE(settle(ioThread));

  // Another command is acknowledged and does not log in.
  ASSERT_TRUE(client.sendAll(bytes({0x10, 0x02, 0x05, 0x42, 0x10, 0x03, 0x00, 0x00})));
  const std::string acknowledgement = wrapSbsFrame(bytes({0x20, 0x42, 0x00}));
  EXPECT_EQ(client.read(acknowledgement.size()), acknowledgement);
  server->broadcastBytes(reinterpret_cast<const uint8_t*>(before.data()), static_cast<int32_t>(before.size()));
  ASSERT_TRUE(settle(ioThread));

  // The login arrives one byte at a time.
  for (char c : login()) {
    ASSERT_TRUE(client.sendAll(std::string(1, c)));
    std::this_thread::sleep_for(2ms);
  }
  EXPECT_EQ(client.read(loginReplies().size()), loginReplies());
  ASSERT_TRUE(waitFor([&] { return countLogLines(since, "SBS-3 LOGIN") == 1; }));

  const std::string after = wrapSbsFrame(bytes({0x09, 0x00, 0x10, 0x00, 0x00, 0x12, 0x34}));
  server->broadcastBytes(reinterpret_cast<const uint8_t*>(after.data()), static_cast<int32_t>(after.size()));
  EXPECT_EQ(client.read(after.size()), after);
  EXPECT_EQ(client.readAvailable(100ms), "");
  EXPECT_EQ(silent.readAvailable(100ms), "");
}

TEST_F(NetworkServerTest, ClientThatNeverReadsIsCutOffWhileOthersGetEverything) {
  const uint32_t since = logMark();
  auto server = startServer(false);
  ioThread.run();
  FeedClient stalled(server->boundPort(), 4096);
  FeedClient reader(server->boundPort());
  ASSERT_TRUE(waitFor([&] { return server->sessionCount() == 2; }));

  constexpr size_t recordSize = 1000;
  StreamChecker checker(recordSize);
  std::atomic<size_t> received{0};
  std::thread readerThread([&] {
    reader.readUntilClosed(
        [&](const char* d, size_t n) {
          checker(d, n);
          received += n;
        },
        60s);
  });
  // Ends the reader (the server's stop closes its connection) however the test ends.
  struct Finish {
    std::function<void()> run;
    ~Finish() { run(); }
  } finish{[&] {
    ioThread.call([&] { server->stop(); });
    readerThread.join();
  }};

  // Paced like a busy feed (about 60 MB/s), so the reading client keeps up.
  uint32_t sent = 0;
  size_t sentAtCut = 0;
  constexpr size_t cap = 100 * 1024 * 1024;
  while (sent * recordSize < cap) {
    for (int k = 0; k < 64; ++k) broadcast(*server, sent++, recordSize);
    std::this_thread::sleep_for(1ms);
    if (server->sessionCount() == 1) {
      sentAtCut = sent * recordSize;
      break;
    }
  }
  ASSERT_GT(sentAtCut, 0u) << "never cut off";
  // The backlog limit plus what the kernel buffers, not an unbounded pile.
  EXPECT_LT(sentAtCut, NetworkSession::sendQueueLimit + 32u * 1024 * 1024);
  for (int k = 0; k < 1000; ++k) broadcast(*server, sent++, recordSize);
  EXPECT_TRUE(waitFor([&] { return countLogLines(since, "Disconnected " + stalled.name()) == 1; }));

  // The stalled client finds its connection closed after a prefix of the stream.
  StreamChecker stalledChecker(recordSize);
  EXPECT_TRUE(stalled.readUntilClosed([&](const char* d, size_t n) { stalledChecker(d, n); }));
  EXPECT_EQ(stalledChecker.mismatches, 0u);
  EXPECT_LT(stalledChecker.total, sentAtCut);

  EXPECT_TRUE(waitFor([&] { return received.load() >= sent * recordSize; }, 20s));
  finish.run();
  finish.run = [] {};
  EXPECT_EQ(checker.total, sent * recordSize);
  EXPECT_EQ(checker.mismatches, 0u);
}

class GarbageTest : public NetworkServerTest, public ::testing::WithParamInterface<bool> {};

TEST_P(GarbageTest, GarbageFromClientsChangesNothingForOthers) {
  const bool sbs = GetParam();
  const uint32_t since = logMark();
  auto server = startServer(sbs, sbs ? "SBS10001" : "Beast");
  ioThread.run();

  FeedClient reader(server->boundPort());
  if (sbs) {
    ASSERT_TRUE(reader.sendAll(login()));
    ASSERT_EQ(reader.read(loginReplies().size()), loginReplies());
  }
  FeedClient random(server->boundPort());
  FeedClient halfFrame(server->boundPort());
  FeedClient overlong(server->boundPort());
  ASSERT_TRUE(waitFor([&] { return server->sessionCount() == 4; }));

  ASSERT_TRUE(halfFrame.sendAll(bytes({0x10, 0x02, 0x17, 0x01, 0x10})));
  ASSERT_TRUE(overlong.sendAll(bytes({0x10, 0x02}) + std::string(1100, 'A')));
  std::thread garbageThread([&] {
    std::mt19937 generator(1090);
    std::string chunk(64 * 1024, '\0');
    for (int i = 0; i < 160; ++i) {  // 10 MB
      for (char& c : chunk) c = static_cast<char>(generator());
      if (!random.sendAll(chunk)) break;
    }
  });

  constexpr uint32_t records = 5000;
  size_t total = 0;
  for (uint32_t i = 0; i < records; ++i) total += record(i).size();
  std::thread frameThread([&] {
    for (uint32_t i = 0; i < records; ++i) {
      broadcast(*server, i);
      if (i % 500 == 0) std::this_thread::sleep_for(1ms);
    }
  });
  StreamChecker checker;
  std::string got = reader.read(total, 20s);
  got += reader.readAvailable(20ms);
  checker(got.data(), got.size());
  frameThread.join();
  garbageThread.join();
  ASSERT_TRUE(ioThread.barrier());

  EXPECT_EQ(checker.total, total);
  EXPECT_EQ(checker.mismatches, 0u);
  EXPECT_EQ(server->sessionCount(), 4u);
  if (sbs) {
    EXPECT_EQ(halfFrame.readAvailable(100ms), "");  // no reply, no data
    EXPECT_GE(countLogLines(since, "SBS protocol buffer overflow"), 1);
  }

  // The server still takes new clients.
  FeedClient late(server->boundPort());
  ASSERT_TRUE(waitFor([&] { return server->sessionCount() == 5; }));
  if (sbs) {
    ASSERT_TRUE(late.sendAll(login()));
    EXPECT_EQ(late.read(loginReplies().size()), loginReplies());
  }
  server->broadcastText("late");
  EXPECT_EQ(late.read(4), "late");
}

INSTANTIATE_TEST_SUITE_P(PlainAndSbs, GarbageTest, ::testing::Bool());

TEST_F(NetworkServerTest, StopClosesEverythingAndTheIoServiceRunsOutOfWork) {
  auto sbsServer = startServer(true, "SBS10001");
  auto beastServer = startServer(false);
  ioThread.run();
  FeedClient loggedIn(sbsServer->boundPort());
  FeedClient notLoggedIn(sbsServer->boundPort());
  FeedClient plainA(beastServer->boundPort());
  FeedClient plainB(beastServer->boundPort());
  ASSERT_TRUE(loggedIn.sendAll(login()));
  ASSERT_EQ(loggedIn.read(loginReplies().size()), loginReplies());
  ASSERT_TRUE(waitFor([&] { return sbsServer->sessionCount() == 2 && beastServer->sessionCount() == 2; }));
  beastServer->broadcastText("data");
  ASSERT_EQ(plainA.read(4), "data");

  const uint16_t port = beastServer->boundPort();
  const uint32_t since = logMark();
  ASSERT_TRUE(ioThread.call([&] {
    sbsServer->stop();
    beastServer->stop();
  }));
  EXPECT_TRUE(ioThread.ranOutOfWork());
  EXPECT_EQ(sbsServer->sessionCount(), 0u);
  EXPECT_EQ(beastServer->sessionCount(), 0u);
  for (FeedClient* client : {&loggedIn, &notLoggedIn, &plainA, &plainB}) {
    EXPECT_TRUE(client->readUntilClosed(nullptr, 5s)) << client->name();
  }
  EXPECT_EQ(countLogLines(since, "Disconnected " + plainB.name()), 0);
  for (const std::string& line : logLinesSince(since)) EXPECT_EQ(line.find("Disconnected"), std::string::npos);

  // Broadcasts after the stop post nothing, and nothing keeps the servers alive.
  beastServer->broadcastText("late");
  ioThread.io->restart();
  EXPECT_EQ(ioThread.io->poll(), 0u);
  std::weak_ptr<NetworkServer> weakSbs = sbsServer, weakBeast = beastServer;
  servers.clear();
  sbsServer.reset();
  beastServer.reset();
  EXPECT_TRUE(weakSbs.expired());
  EXPECT_TRUE(weakBeast.expired());
  EXPECT_FALSE(FeedClient(port).isConnected());
}

// At the stop, a client that has stopped reading is closed at once instead of holding the stop
// up, while one that still takes data gets all of it, however long that takes.
class StopDrainTest : public NetworkServerTest {
 protected:
  static constexpr size_t recordSize = 1000;
  // More than the kernel takes in for a client (some MB on loopback), less than the backlog limit.
  static constexpr uint32_t records = 3500;

  std::shared_ptr<NetworkServer> serverWithBacklog(std::unique_ptr<FeedClient>& client) {
    auto server = startServer(false);
    ioThread.run();
    client = std::make_unique<FeedClient>(server->boundPort(), 4096);
    EXPECT_TRUE(waitFor([&] { return server->sessionCount() == 1; }));
    for (uint32_t i = 0; i < records; ++i) broadcast(*server, i, recordSize);
    EXPECT_TRUE(settle(ioThread));
    return server;
  }
};

TEST_F(StopDrainTest, ClientThatStoppedReadingIsClosedAtOnce) {
  std::unique_ptr<FeedClient> stalled;
  auto server = serverWithBacklog(stalled);
  ASSERT_TRUE(ioThread.call([&] { server->stop(); }));
  // Its close is the last work of the I/O thread.
  EXPECT_TRUE(ioThread.ranOutOfWork(1s)) << "a client that stopped reading held the stop up";
}

TEST_F(StopDrainTest, ClientThatKeepsReadingGetsEverything) {
  std::unique_ptr<FeedClient> slow;
  auto server = serverWithBacklog(slow);
  StreamChecker checker(recordSize);
  std::thread reader([&] {
    // About 4 MB/s: the drain takes several times the stall window.
    slow->readUntilClosed(
        [&](const char* d, size_t n) {
          checker(d, n);
          std::this_thread::sleep_for(1ms);
        },
        30s);
  });
  const auto stopped = std::chrono::steady_clock::now();
  ASSERT_TRUE(ioThread.call([&] { server->stop(); }));
  reader.join();
  EXPECT_GT(std::chrono::steady_clock::now() - stopped, NetworkSession::drainCheck * NetworkSession::drainStallChecks);
  EXPECT_EQ(checker.total, records * recordSize);
  EXPECT_EQ(checker.mismatches, 0u);
  EXPECT_TRUE(ioThread.ranOutOfWork());
}

TEST_F(NetworkServerTest, PortInUseFailsTheStartWithTheBindError) {
  auto first = startServer(false);
  const uint32_t since = logMark();
  auto second = NetworkServer::create(ioThread.io, first->boundPort(), "MSG", false,
                                      boost::asio::ip::address_v4::loopback());
  try {
    second->start();
    FAIL() << "second server started";
  } catch (const NetworkServerException& error) {
    const std::string text = error.what();
    EXPECT_EQ(text.rfind("bind: ", 0), 0u) << text;
    EXPECT_EQ(countLogLines(since, text), 1);
  }
  // The first one still serves.
  ioThread.run();
  FeedClient client(first->boundPort());
  ASSERT_TRUE(waitFor([&] { return first->sessionCount() == 1; }));
  first->broadcastText("x");
  EXPECT_EQ(client.read(1), "x");
}

TEST(KeepAlive, ProbesAfter30sEvery5sThreeTimes) {
  boost::asio::io_context io;
  boost::asio::ip::tcp::socket socket(io);
  socket.open(boost::asio::ip::tcp::v4());
  applyKeepAlive(socket);
  auto get = [&](int level, int name) {
    int value = -1;
    socklen_t length = sizeof value;
    ::getsockopt(socket.native_handle(), level, name, &value, &length);
    return value;
  };
  EXPECT_EQ(get(SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(get(IPPROTO_TCP, TCP_KEEPIDLE), 30);
  EXPECT_EQ(get(IPPROTO_TCP, TCP_KEEPINTVL), 5);
  EXPECT_EQ(get(IPPROTO_TCP, TCP_KEEPCNT), 3);
}

}  // namespace
