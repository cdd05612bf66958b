// libFuzzer target: the "/json" body as the router handles it. The bytes are read with the
// guarded reader, the command is resolved and run (getStats and googleKey over statistics with
// a few aircraft), and every reply goes through the compact writer, as the web server sends it.
//
// Checks besides the sanitizers: every reply text reads back as JSON with a "status"; and a tree
// the reader accepts comes back unchanged through the writer and the reader (except the four
// control characters the writer spells with a doubled backslash for the page).

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>

#include "json-server/jsonserver/src/base_command.h"
#include "json-server/jsonserver/src/command_get_stats.h"
#include "json-server/jsonserver/src/google_key_command.h"
#include "json-server/jsonserver/src/json_parser_read.h"
#include "json-server/jsonserver/src/json_parser_write.h"
#include "tools/fuzz/fuzz_support.h"

using boost::property_tree::ptree;

namespace {

struct Target {
  fuzz_support::StatsApplication stats;
  CommandRegistry commands;
  Target() {
    registerCommand(commands, std::make_shared<CommandGetStats>(stats.app));
    registerCommand(commands, std::make_shared<GoogleKeyCommand>(stats.app));
  }
};

Target* target = nullptr;

ptree readBack(const std::string& text) {
  ptree tree;
  std::istringstream stream(text);
  try {
    boost::property_tree::read_json(stream, tree);
  } catch (const boost::property_tree::json_parser_error& e) {
    std::fprintf(stderr, "written text does not read back (%s): %s\n", e.what(), text.c_str());
    std::abort();
  }
  return tree;
}

void checkReply(const ptree& reply) {
  const std::string text = writeJsonTinyText(reply);
  // For looking at a seed: VELKARO_FUZZ_SHOW=1 velkaro_fuzz_json file
  static const bool show = std::getenv("VELKARO_FUZZ_SHOW") != nullptr;
  if (show) std::fprintf(stderr, "reply: %s", text.c_str());
  const ptree back = readBack(text);
  FUZZ_CHECK(back.get_optional<std::string>("status"));
}

// The tree as the writer and the reader give it back: values with a line feed, carriage
// return, backspace or form feed hold a backslash and the letter instead.
void spellAsWritten(ptree& node) {
  std::string& value = node.data();
  std::string spelled;
  for (const char c : value) {
    switch (c) {
      case '\n': spelled += "\\n"; break;
      case '\r': spelled += "\\r"; break;
      case '\b': spelled += "\\b"; break;
      case '\f': spelled += "\\f"; break;
      default: spelled += c;
    }
  }
  value = spelled;
  for (auto& child : node) spellAsWritten(child.second);
}

void roundTrip(const std::string& body) {
  ptree tree;
  try {
    readJsonText(body, tree);
  } catch (const boost::property_tree::json_parser_error&) {
    return;
  }
  // A bare value at the top is read but has no place in a reply.
  if (!tree.data().empty()) return;
  const std::string text = writeJsonTinyText(tree);
  const ptree back = readBack(text);
  spellAsWritten(tree);
  if (back != tree) {
    std::fprintf(stderr, "tree changed through the writer: %s\n", text.c_str());
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  target = new Target();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  roundTrip(body);

  ptree request;
  ptree errorReply;
  const auto command = resolveJsonCommand(target->commands, body, request, errorReply);
  if (!command) {
    checkReply(errorReply);
    return 0;
  }
  int sent = 0;
  const int result = command->run(request, nullptr, nullptr, [&](const ptree& reply) {
    ++sent;
    checkReply(reply);
  });
  FUZZ_CHECK(result == 1 && sent == 1);
  return 0;
}
