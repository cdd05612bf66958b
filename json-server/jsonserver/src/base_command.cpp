#include "json-server/jsonserver/src/base_command.h"

#include "json-server/jsonserver/src/json_parser_read.h"
#include "json-server/jsonserver/src/json_parser_write.h"

#include <exception>
#include <utility>

using boost::property_tree::ptree;

void BaseCommand::execute(const ptree&, ptree&) {}

void BaseCommand::executeAsync(const ptree&, std::shared_ptr<HttpRequest>, HttpResponse*) {}

int BaseCommand::run(const ptree& request, const std::shared_ptr<HttpRequest>& httpRequest, HttpResponse* response,
                     const JsonReplySender& send) {
  ptree reply;
  if (isAsync()) {
    try {
      executeAsync(request, httpRequest, response);
      return 2;
    } catch (const std::exception& e) {
      reply.clear();
      reply.put("status", "ERROR");
      reply.put("message", e.what());
      send(reply);
      return 1;
    }
  }
  // The texts that stand in for nodes of the reply live until it has been sent.
  JsonTextScope texts;
  try {
    reply.put("status", "OK");
    execute(request, reply);
  } catch (const std::exception& e) {
    // Whatever the command had put is dropped.
    reply.clear();
    reply.put("status", "ERROR");
    reply.put("message", e.what());
  }
  send(reply);
  return 1;
}

bool registerCommand(CommandRegistry& registry, std::shared_ptr<BaseCommand> command) {
  if (!command) return false;
  const std::string name = command->name();
  return registry.emplace(name, std::move(command)).second;
}

std::shared_ptr<BaseCommand> findCommand(const CommandRegistry& registry, const std::string& name) {
  const auto it = registry.find(name);
  return it == registry.end() ? nullptr : it->second;
}

std::shared_ptr<BaseCommand> resolveJsonCommand(const CommandRegistry& registry, const std::string& body,
                                                ptree& request, ptree& errorReply) {
  errorReply.clear();
  errorReply.put("status", "ERROR");
  request.clear();
  try {
    readJsonText(body, request);
  } catch (const boost::property_tree::json_parser::json_parser_error& e) {
    request.clear();
    errorReply.put("message", std::string("Can't parse json ") + e.what());
    return nullptr;
  }
  std::string name;
  try {
    name = request.get<std::string>("req");
  } catch (const boost::property_tree::ptree_error& e) {
    errorReply.put("message", std::string("Can't get request name ") + e.what());
    return nullptr;
  }
  std::shared_ptr<BaseCommand> command = findCommand(registry, name);
  if (!command) errorReply.put("message", "Unknown request name");
  return command;
}
