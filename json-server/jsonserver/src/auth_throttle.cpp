#include "json-server/jsonserver/src/auth_throttle.h"

#include "app/logger.h"

#include <algorithm>
#include <iterator>
#include <utility>

AuthThrottle::AuthThrottle(const AuthThrottleSettings& settings, Log log) : settings(settings), log(std::move(log)) {
  if (!this->log) this->log = [](const std::string& text) { logMessage(LoggingLevel::WARNING, text); };
}

std::chrono::milliseconds AuthThrottle::holdFor(uint32_t failures) const {
  if (failures <= settings.freeFailures) return std::chrono::milliseconds(0);
  std::chrono::milliseconds hold = settings.firstDelay;
  for (uint32_t n = settings.freeFailures + 1; n < failures && hold.count() > 0 && hold < settings.maxDelay; ++n) hold *= 2;
  return std::min(hold, settings.maxDelay);
}

std::chrono::milliseconds AuthThrottle::attempt(const std::string& address, bool accepted, Clock::time_point now) {
  auto found = entries.find(address);
  if (found != entries.end() && now - found->second.lastFailure >= settings.forgetAfter) {
    // Stale: what it still owes the log goes out (its last line is older than the forget time).
    if (found->second.unlogged > 0) report(address, found->second, now);
    entries.erase(found);
    found = entries.end();
  }
  if (found == entries.end()) {
    if (accepted) return std::chrono::milliseconds(0);
    if (entries.size() >= settings.maxAddresses) makeRoom();
    found = entries.emplace(address, Entry()).first;
  }
  Entry& entry = found->second;
  const std::chrono::milliseconds hold = holdFor(entry.failures + 1);
  if (accepted) {
    entry.failures = 0;
    if (entry.unlogged == 0) entries.erase(found);
    return hold;
  }
  ++entry.failures;
  ++entry.unlogged;
  entry.lastFailure = now;
  if (!entry.everLogged || now - entry.lastLog >= settings.logInterval) report(address, entry, now);
  return hold;
}

void AuthThrottle::sweep(Clock::time_point now) {
  for (auto it = entries.begin(); it != entries.end();) {
    Entry& entry = it->second;
    if (entry.unlogged > 0 && now - entry.lastLog >= settings.logInterval) report(it->first, entry, now);
    const bool stale = entry.unlogged == 0 && (entry.failures == 0 || now - entry.lastFailure >= settings.forgetAfter);
    it = stale ? entries.erase(it) : std::next(it);
  }
}

void AuthThrottle::report(const std::string& address, Entry& entry, Clock::time_point now) {
  log("HTTP authentication failed " + std::to_string(entry.unlogged) + (entry.unlogged == 1 ? " time" : " times") +
      " from " + address);
  entry.unlogged = 0;
  entry.everLogged = true;
  entry.lastLog = now;
}

void AuthThrottle::makeRoom() {
  auto oldest = entries.begin();
  for (auto it = entries.begin(); it != entries.end(); ++it) {
    if (it->second.lastFailure < oldest->second.lastFailure) oldest = it;
  }
  // What it has not logged yet is dropped: at most a minute's worth, the sweep logs older counts.
  if (oldest != entries.end()) entries.erase(oldest);
}
