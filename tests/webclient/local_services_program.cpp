// The program as it ships, but with the outside information services answered by local servers:
//   velkaro-local-services HTTP_PORT HTTPS_PORT CA_FILE [program options ...]
// The photo, airport, METAR and TAF hosts go to 127.0.0.1:HTTP_PORT, the NOTAM host to
// 127.0.0.1:HTTPS_PORT, whose certificate (for the real host name) must be in CA_FILE.
#include "app/program.h"
#include "infoservice/json_proxy.h"

#include <boost/asio/ip/address.hpp>

#include <cstdlib>
#include <iostream>
#include <string>

namespace {

bool readPort(const char* text, unsigned short& port) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value <= 0 || value > 65535) return false;
  port = static_cast<unsigned short>(value);
  return true;
}

}  // namespace

int main(int argc, char* argv[]) {
  unsigned short httpPort = 0;
  unsigned short httpsPort = 0;
  if (argc < 4 || !readPort(argv[1], httpPort) || !readPort(argv[2], httpsPort)) {
    std::cerr << "usage: velkaro-local-services HTTP_PORT HTTPS_PORT CA_FILE [program options ...]\n";
    return 2;
  }
  InfoServiceSettings services;
  const auto local = boost::asio::ip::make_address("127.0.0.1");
  auto& fixed = services.client.fixedHosts;
  for (const std::string& host : {services.hosts.photos, services.hosts.metar, services.hosts.taf}) {
    fixed[host] = {local, httpPort};
  }
  fixed[services.hosts.notam] = {local, httpsPort};
  services.client.caFile = argv[3];

  // The program sees its own name and its options only.
  argv[3] = argv[0];
  return runProgram(argc - 3, argv + 3, services);
}
