#pragma once
// Slows password guessing at the web server: once an address has failed Basic authentication a
// few times, its answers are held back, longer with each further failure up to a cap, and its
// failures are logged at most once a minute. The per-address state is bounded: an address is
// forgotten some minutes after its last failure, and when the table is full the address that
// failed longest ago makes room. No I/O: the caller gives the time and does the holding.
// Poll thread only.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>

struct AuthThrottleSettings {
  uint32_t freeFailures = 5;                  // failures per address answered at once
  std::chrono::milliseconds firstDelay{500};  // the hold after them, doubled with every further failure
  std::chrono::milliseconds maxDelay{8000};
  std::chrono::seconds logInterval{60};  // at most one log line per address in this time
  std::chrono::seconds forgetAfter{600};  // without failures for this long, an address starts afresh
  size_t maxAddresses = 1024;
};

class AuthThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  // Receives the text of each warning line; by default it goes to the program's log.
  using Log = std::function<void(const std::string&)>;

  explicit AuthThrottle(const AuthThrottleSettings& settings = AuthThrottleSettings(), Log log = Log());

  // One request from `address` that carried credentials, right (`accepted`) or wrong. Returns how
  // long its answer is to be held: a right password waits as long as a wrong one would, or the
  // quicker answer would give it away; it then clears the address's count.
  std::chrono::milliseconds attempt(const std::string& address, bool accepted, Clock::time_point now);
  // Logs the counts that are due and forgets stale addresses; call it now and then.
  void sweep(Clock::time_point now);
  size_t trackedAddresses() const { return entries.size(); }

 private:
  struct Entry {
    uint32_t failures = 0;  // since the last right password, for the hold
    uint32_t unlogged = 0;  // since the last log line
    bool everLogged = false;
    Clock::time_point lastFailure;
    Clock::time_point lastLog;
  };

  std::chrono::milliseconds holdFor(uint32_t failures) const;
  void report(const std::string& address, Entry& entry, Clock::time_point now);
  void makeRoom();

  AuthThrottleSettings settings;
  Log log;
  std::unordered_map<std::string, Entry> entries;
};
