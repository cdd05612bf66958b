#include "json-server/jsonserver/src/google_key_command.h"

#include "app/application.h"

const std::string& GoogleKeyCommand::name() const {
  static const std::string text("googleKey");
  return text;
}

void GoogleKeyCommand::execute(const boost::property_tree::ptree&, boost::property_tree::ptree& reply) {
  const std::string& key = application.config->googleKey;
  if (!key.empty()) {
    reply.put("key", key);
    return;
  }
  reply.put("status", "ERROR");
  reply.put("message", "No Google Maps API key provided");
}
