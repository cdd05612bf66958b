#pragma once
// Small "/json" commands for driving the web server in tests and fuzzing: "echo" (synchronous,
// answers data.x) and "boom" (throws after putting a value, which the error reply must drop).

#include <boost/property_tree/ptree.hpp>

#include <stdexcept>
#include <string>

#include "json-server/jsonserver/src/base_command.h"

class EchoCommand : public BaseCommand {
 public:
  using BaseCommand::BaseCommand;
  void execute(const boost::property_tree::ptree& request, boost::property_tree::ptree& reply) override {
    reply.put("x", request.get<std::string>("data.x", ""));
  }
  const std::string& name() const override {
    static const std::string text = "echo";
    return text;
  }
  bool isAsync() const override { return false; }
};

class BoomCommand : public BaseCommand {
 public:
  using BaseCommand::BaseCommand;
  void execute(const boost::property_tree::ptree&, boost::property_tree::ptree& reply) override {
    reply.put("partial", "1");
    throw std::runtime_error("boom text");
  }
  const std::string& name() const override {
    static const std::string text = "boom";
    return text;
  }
  bool isAsync() const override { return false; }
};
