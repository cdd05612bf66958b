#include "infoservice/response_cache.h"

#include "app/host_clock.h"

#include <iterator>
#include <utility>

namespace {

constexpr uint32_t kPurgeInterval = 30;

}  // namespace

ResponseCache::ResponseCache() : ResponseCache(hostSeconds) {}

ResponseCache::ResponseCache(Clock clock, ResponseCacheLimits limits) : clock(std::move(clock)), limits(limits) {}

void ResponseCache::erase(Order::iterator entry) {
  heldBytes -= cost(*entry);
  index.erase(entry->key);
  order.erase(entry);
}

void ResponseCache::purgeIfDue(uint32_t now) {
  // Unsigned differences: a clock set back looks like a long pause and purges what is "newer".
  if (static_cast<uint32_t>(now - lastPurge) < kPurgeInterval) return;
  lastPurge = now;
  for (auto it = order.begin(); it != order.end();) {
    const auto next = std::next(it);
    if (static_cast<uint32_t>(now - it->storedAt) >= it->lifetime) erase(it);
    it = next;
  }
}

void ResponseCache::put(const std::string& key, const std::string& text, uint32_t lifetime, bool sliding) {
  std::lock_guard<std::mutex> lock(mutex);
  const uint32_t now = clock();
  purgeIfDue(now);
  const auto found = index.find(key);
  if (found != index.end()) erase(found->second);
  if (key.size() + text.size() > limits.maxBytes || limits.maxEntries == 0) return;
  order.push_front(Entry{key, text, now, lifetime, sliding});
  index.emplace(key, order.begin());
  heldBytes += cost(order.front());
  while (order.size() > limits.maxEntries || heldBytes > limits.maxBytes) erase(std::prev(order.end()));
}

std::string ResponseCache::lookup(const std::string& key) {
  std::string result;
  {
    std::lock_guard<std::mutex> lock(mutex);
    const uint32_t now = clock();
    purgeIfDue(now);
    const auto found = index.find(key);
    if (found == index.end()) return result;
    Entry& entry = *found->second;
    // The age is not tested here: only a purge removes an entry.
    if (entry.sliding && !entry.text.empty()) entry.storedAt = now;
    order.splice(order.begin(), order, found->second);
    result = entry.text;
  }
  return result;
}

size_t ResponseCache::size() {
  std::lock_guard<std::mutex> lock(mutex);
  return order.size();
}

size_t ResponseCache::bytes() {
  std::lock_guard<std::mutex> lock(mutex);
  return heldBytes;
}
