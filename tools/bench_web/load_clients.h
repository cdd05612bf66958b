#pragma once
// The client side of the web load test: keep-alive connections posting one "/json" body after
// the other, either from threads of this process or from wrk when it is installed.

#include <cstdint>
#include <functional>
#include <string>

struct LoadResult {
  uint64_t replies = 0;   // complete 200 replies
  uint64_t failures = 0;  // other statuses, broken connections, socket errors
  double seconds = 0;
  std::string error;      // the run could not be made
  double repliesPerSecond() const { return seconds > 0 ? static_cast<double>(replies) / seconds : 0; }
};

// Makes the body of the next request; called from any client thread.
using BodyMaker = std::function<std::string()>;

// One request on a new connection: the reply body (still compressed when gzip was asked), empty
// on failure.
std::string fetchOnce(uint16_t port, const std::string& body, bool gzip);

// `connections` threads, one keep-alive connection each, for `seconds`.
LoadResult runOwnClients(uint16_t port, int connections, double seconds, const BodyMaker& body, bool gzip);

bool wrkAvailable();
// wrk with `threads` threads and `connections` connections for `seconds`. A body that changes
// is written to a file every few milliseconds, which the request script reads for each request.
LoadResult runWrk(uint16_t port, int threads, int connections, double seconds, const BodyMaker& body, bool changing,
                  bool gzip);
