#include <gtest/gtest.h>

#include "json-server/jsonserver/src/json_parser_read.h"
#include <boost/property_tree/ptree.hpp>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/application.h"
#include "json-server/jsonserver/src/base_command.h"
#include "json-server/jsonserver/src/google_key_command.h"
#include "json-server/jsonserver/src/json_parser_write.h"

namespace {

using boost::property_tree::ptree;

// A command whose behaviour the test chooses.
class ScriptedCommand : public BaseCommand {
 public:
  ScriptedCommand(Application& application, std::string commandName, bool async)
      : BaseCommand(application), commandName(std::move(commandName)), async(async) {}

  void execute(const ptree& request, ptree& reply) override {
    ++executed;
    reply.put("partial", "dropped on failure");
    if (!throwText.empty()) throw std::runtime_error(throwText);
    reply.put("echo", request.get<std::string>("data.x", "none"));
  }
  void executeAsync(const ptree&, std::shared_ptr<HttpRequest>, HttpResponse* response) override {
    ++executed;
    seenResponse = response;
    if (!throwText.empty()) throw std::logic_error(throwText);
  }
  const std::string& name() const override { return commandName; }
  bool isAsync() const override { return async; }

  std::string commandName;
  bool async;
  std::string throwText;
  int executed = 0;
  HttpResponse* seenResponse = nullptr;
};

struct Router {
  explicit Router(Application& app) {
    sync = std::make_shared<ScriptedCommand>(app, "echo", false);
    async = std::make_shared<ScriptedCommand>(app, "later", true);
    EXPECT_TRUE(registerCommand(registry, sync));
    EXPECT_TRUE(registerCommand(registry, async));
  }

  // The "/json" step as the server runs it, with the reply texts collected.
  int post(const std::string& body, HttpResponse* pending = nullptr) {
    ptree request;
    ptree error;
    const std::shared_ptr<BaseCommand> command = resolveJsonCommand(registry, body, request, error);
    const JsonReplySender send = [this](const ptree& reply) { replies.push_back(writeJsonTinyText(reply)); };
    if (!command) {
      send(error);
      return 1;
    }
    return command->run(request, nullptr, command->isAsync() ? pending : nullptr, send);
  }

  CommandRegistry registry;
  std::shared_ptr<ScriptedCommand> sync;
  std::shared_ptr<ScriptedCommand> async;
  std::vector<std::string> replies;
};

TEST(JsonCommandTest, EnvelopeErrorsOfTheRouter) {
  Application app;
  Router router(app);
  struct Case {
    std::string body;
    std::string replyPrefix;
  };
  const std::vector<Case> cases = {
      {"", "{\"status\":\"ERROR\",\"message\":\"Can't parse json <unspecified file>(1): "},
      {"{\"req\":", "{\"status\":\"ERROR\",\"message\":\"Can't parse json "},
      {"not json", "{\"status\":\"ERROR\",\"message\":\"Can't parse json "},
      // The reader would recurse once per level until the stack runs out.
      {std::string(1000000, '['),
       "{\"status\":\"ERROR\",\"message\":\"Can't parse json <unspecified file>: nesting too deep\"}\n"},
      {"{\"data\":{}}", "{\"status\":\"ERROR\",\"message\":\"Can't get request name No such node (req)\"}\n"},
      {"{\"req\":\"nothing\",\"data\":{}}", "{\"status\":\"ERROR\",\"message\":\"Unknown request name\"}\n"},
      {"{\"req\":\"Echo\"}", "{\"status\":\"ERROR\",\"message\":\"Unknown request name\"}\n"},
      {"{\"req\":{\"a\":1}}", "{\"status\":\"ERROR\",\"message\":\"Unknown request name\"}\n"},
  };
  for (const Case& c : cases) {
    router.replies.clear();
    EXPECT_EQ(router.post(c.body), 1) << c.body.substr(0, 40);
    ASSERT_EQ(router.replies.size(), 1u);
    EXPECT_EQ(router.replies[0].substr(0, c.replyPrefix.size()), c.replyPrefix) << c.body.substr(0, 40);
  }
  EXPECT_EQ(router.sync->executed + router.async->executed, 0);

  // Nesting the page could send, and brackets inside a string, are fine.
  router.replies.clear();
  EXPECT_EQ(router.post("{\"req\":\"echo\",\"data\":{\"x\":2,\"d\":" + std::string(250, '[') +
                        std::string(250, ']') + "}}"),
            1);
  EXPECT_EQ(router.replies.at(0), "{\"status\":\"OK\",\"partial\":\"dropped on failure\",\"echo\":2}\n");
  router.replies.clear();
  EXPECT_EQ(router.post("{\"req\":\"echo\",\"data\":{\"x\":\"" + std::string(1000, '[') + "\"}}"), 1);
  EXPECT_EQ(router.replies.at(0), "{\"status\":\"OK\",\"partial\":\"dropped on failure\",\"echo\":\"" +
                                      std::string(1000, '[') + "\"}\n");
}

TEST(JsonCommandTest, RunPutsStatusFirstAndTurnsExceptionsIntoErrors) {
  Application app;
  Router router(app);
  EXPECT_EQ(router.post("{\"req\":\"echo\",\"data\":{\"x\":\"7\"}}"), 1);
  // "data" missing still reaches the command.
  EXPECT_EQ(router.post("{\"req\":\"echo\"}"), 1);
  router.sync->throwText = "broken \"thing\"";
  EXPECT_EQ(router.post("{\"req\":\"echo\",\"data\":{}}"), 1);
  ASSERT_EQ(router.replies.size(), 3u);
  EXPECT_EQ(router.replies[0], "{\"status\":\"OK\",\"partial\":\"dropped on failure\",\"echo\":7}\n");
  EXPECT_EQ(router.replies[1], "{\"status\":\"OK\",\"partial\":\"dropped on failure\",\"echo\":\"none\"}\n");
  EXPECT_EQ(router.replies[2], "{\"status\":\"ERROR\",\"message\":\"broken \\\"thing\\\"\"}\n");
}

TEST(JsonCommandTest, AsynchronousCommandsGoPendingOrAnswerTheirExceptionAtOnce) {
  Application app;
  Router router(app);
  auto* pending = reinterpret_cast<HttpResponse*>(0x1000);  // never dereferenced
  EXPECT_EQ(router.post("{\"req\":\"later\",\"data\":{}}", pending), 2);
  EXPECT_EQ(router.async->seenResponse, pending);
  EXPECT_TRUE(router.replies.empty());

  router.async->throwText = "no TLS";
  EXPECT_EQ(router.post("{\"req\":\"later\",\"data\":{}}", pending), 1);
  ASSERT_EQ(router.replies.size(), 1u);
  EXPECT_EQ(router.replies[0], "{\"status\":\"ERROR\",\"message\":\"no TLS\"}\n");
}

TEST(JsonCommandTest, RegistryKeepsTheFirstCommandOfAName) {
  Application app;
  Router router(app);
  auto second = std::make_shared<ScriptedCommand>(app, "echo", true);
  EXPECT_FALSE(registerCommand(router.registry, second));
  EXPECT_EQ(findCommand(router.registry, "echo"), router.sync);
  EXPECT_EQ(findCommand(router.registry, "missing"), nullptr);
  EXPECT_FALSE(registerCommand(router.registry, nullptr));
}

TEST(JsonCommandTest, GoogleKeyAnswersTheKeyOrAnError) {
  for (const std::string key : {"", "AIza/key"}) {
    Application app;
    app.config->googleKey = key;
    CommandRegistry registry;
    registerCommand(registry, std::make_shared<GoogleKeyCommand>(app));
    ptree request;
    ptree error;
    auto command = resolveJsonCommand(registry, "{\"req\":\"googleKey\"}", request, error);
    ASSERT_NE(command, nullptr);
    EXPECT_FALSE(command->isAsync());
    std::string text;
    command->run(request, nullptr, nullptr, [&](const ptree& reply) { text = writeJsonTinyText(reply); });
    EXPECT_EQ(text, key.empty() ? "{\"status\":\"ERROR\",\"message\":\"No Google Maps API key provided\"}\n"
                                : "{\"status\":\"OK\",\"key\":\"AIza\\/key\"}\n");
  }
}

}  // namespace
