#pragma once
// The texts outside services returned for the page's "api" requests, kept so that a repeated
// question is answered at once. Each entry lives for its lifetime after it was stored, or, when
// sliding, after it was last found. Expiry is a purge that runs from within put and lookup at
// most once per 30 s, so an entry may outlive its lifetime by up to 29 s; there is no timer.
//
// Bounded in entries and in bytes (key and text), since every distinct question of any page adds
// one: when a store goes over either bound, the least recently stored or found entries go first.
// A text larger than the whole byte bound is not kept.
//
// Safe from any thread: the web server's thread looks up, the I/O service's thread stores.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

struct ResponseCacheLimits {
  // Sized for the board: a picture or airport reply is a few hundred bytes, a TAF or NOTAM text a
  // few kilobytes, so the byte bound is what a page full of NOTAM look-ups meets first.
  size_t maxEntries = 4096;
  size_t maxBytes = 4 * 1024 * 1024;
};

class ResponseCache {
 public:
  // Seconds since 1970; tests give their own clock.
  using Clock = std::function<uint32_t()>;

  ResponseCache();
  explicit ResponseCache(Clock clock, ResponseCacheLimits limits = ResponseCacheLimits());
  ResponseCache(const ResponseCache&) = delete;
  ResponseCache& operator=(const ResponseCache&) = delete;

  // Stores or overwrites the entry of `key`. An empty text stores "nothing": lookups give it back
  // empty and never refresh it.
  void put(const std::string& key, const std::string& text, uint32_t lifetime, bool sliding);
  // A copy of the stored text, or empty. Refreshes a sliding entry that holds a text.
  std::string lookup(const std::string& key);
  // How many entries are held, empty ones included, and the bytes they count.
  size_t size();
  size_t bytes();

 private:
  struct Entry {
    std::string key;
    std::string text;
    uint32_t storedAt = 0;
    uint32_t lifetime = 0;
    bool sliding = false;
  };
  // Most recently used first.
  using Order = std::list<Entry>;

  static size_t cost(const Entry& entry) { return entry.key.size() + entry.text.size(); }

  // Mutex held.
  void purgeIfDue(uint32_t now);
  void erase(Order::iterator entry);

  Clock clock;
  const ResponseCacheLimits limits;
  std::mutex mutex;
  Order order;
  std::unordered_map<std::string, Order::iterator> index;
  size_t heldBytes = 0;
  uint32_t lastPurge = 0;  // so that the first operation purges
};
