#include "infoservice/response_cache.h"

#include "app/host_clock.h"

#include <utility>

namespace {

constexpr uint32_t kPurgeInterval = 30;

}  // namespace

ResponseCache::ResponseCache() : ResponseCache(hostSeconds) {}

ResponseCache::ResponseCache(Clock clock) : clock(std::move(clock)) {}

void ResponseCache::purgeIfDue(uint32_t now) {
  // Unsigned differences: a clock set back looks like a long pause and purges what is "newer".
  if (static_cast<uint32_t>(now - lastPurge) < kPurgeInterval) return;
  lastPurge = now;
  for (auto it = entries.begin(); it != entries.end();) {
    if (static_cast<uint32_t>(now - it->second.storedAt) >= it->second.lifetime) {
      it = entries.erase(it);
    } else {
      ++it;
    }
  }
}

void ResponseCache::put(const std::string& key, const std::string& text, uint32_t lifetime, bool sliding) {
  std::lock_guard<std::mutex> lock(mutex);
  const uint32_t now = clock();
  purgeIfDue(now);
  Entry& entry = entries[key];
  entry.text = text;
  entry.storedAt = now;
  entry.lifetime = lifetime;
  entry.sliding = sliding;
}

std::string ResponseCache::lookup(const std::string& key) {
  std::string result;
  {
    std::lock_guard<std::mutex> lock(mutex);
    const uint32_t now = clock();
    purgeIfDue(now);
    const auto found = entries.find(key);
    if (found == entries.end()) return result;
    // The age is not tested here: only a purge removes an entry.
    if (found->second.sliding && !found->second.text.empty()) found->second.storedAt = now;
    result = found->second.text;
  }
  return result;
}

size_t ResponseCache::size() {
  std::lock_guard<std::mutex> lock(mutex);
  return entries.size();
}
