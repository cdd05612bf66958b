#pragma once
// The commands behind "/json". The page posts {"req": name, "data": {...}}; the router finds the
// command by name and runs it; the reply is {"status":"OK", ...the command's keys} or
// {"status":"ERROR","message": text}.
//
// Commands are made once at start-up as shared objects and registered before the web server
// starts; the registry does not change while it runs, so lookups need no lock. Everything here
// runs on the web server's poll thread, except what an asynchronous command does later.

#include <boost/property_tree/ptree.hpp>

#include <functional>
#include <map>
#include <memory>
#include <string>

class Application;
class HttpRequest;
class HttpResponse;

// Writes a finished reply tree to the client at once: the router passes a call of
// HttpServer::sendJson for the request's connection.
using JsonReplySender = std::function<void(const boost::property_tree::ptree& reply)>;

class BaseCommand : public std::enable_shared_from_this<BaseCommand> {
 public:
  explicit BaseCommand(Application& application) : application(application) {}
  virtual ~BaseCommand() = default;
  BaseCommand(const BaseCommand&) = delete;
  BaseCommand& operator=(const BaseCommand&) = delete;

  // A synchronous command fills `reply`, which already holds "status" = "OK".
  virtual void execute(const boost::property_tree::ptree& request, boost::property_tree::ptree& reply);
  // An asynchronous command completes `response` later (HttpResponse::sendJson), from any thread.
  virtual void executeAsync(const boost::property_tree::ptree& request, std::shared_ptr<HttpRequest> httpRequest,
                            HttpResponse* response);
  // The request name; a function-local static.
  virtual const std::string& name() const = 0;
  virtual bool isAsync() const = 0;

  // Runs the command on the parsed `request`. Returns 1 when the reply has been sent with `send`,
  // 2 when it is pending on `response` (asynchronous commands only; null for synchronous ones).
  // A standard exception from the command becomes {"status":"ERROR","message": its text}.
  int run(const boost::property_tree::ptree& request, const std::shared_ptr<HttpRequest>& httpRequest,
          HttpResponse* response, const JsonReplySender& send);

 protected:
  Application& application;
};

// The registry of the web server, ordered by request name.
using CommandRegistry = std::map<std::string, std::shared_ptr<BaseCommand>>;

// Inserts the command under its name. A name already taken keeps its first command; returns false then.
bool registerCommand(CommandRegistry& registry, std::shared_ptr<BaseCommand> command);
// Null when no command has that name.
std::shared_ptr<BaseCommand> findCommand(const CommandRegistry& registry, const std::string& name);

// The "/json" step up to the command: parse `body` into `request`, read "req", look the name up.
// Returns the command; or null, with `errorReply` holding the error reply to send at once
// ("Can't parse json ...", "Can't get request name ...", "Unknown request name").
// The router then, for an asynchronous command, creates and attaches the pending response and
// calls run with it (removing it again when run does not return 2); otherwise calls run with null.
std::shared_ptr<BaseCommand> resolveJsonCommand(const CommandRegistry& registry, const std::string& body,
                                                boost::property_tree::ptree& request,
                                                boost::property_tree::ptree& errorReply);
