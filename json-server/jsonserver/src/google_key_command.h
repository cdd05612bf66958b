#pragma once
// "googleKey": the map key the page needs to load its map (option "google-key").

#include "json-server/jsonserver/src/base_command.h"

#include <string>

class GoogleKeyCommand : public BaseCommand {
 public:
  explicit GoogleKeyCommand(Application& application) : BaseCommand(application) {}

  void execute(const boost::property_tree::ptree& request, boost::property_tree::ptree& reply) override;
  const std::string& name() const override;
  bool isAsync() const override { return false; }
};
