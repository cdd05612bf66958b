#pragma once
// The texts outside services returned for the page's "api" requests, kept so that a repeated
// question is answered at once. Each entry lives for its lifetime after it was stored, or, when
// sliding, after it was last found. Expiry is a purge that runs from within put and lookup at
// most once per 30 s, so an entry may outlive its lifetime by up to 29 s; there is no timer.
//
// Safe from any thread: the web server's thread looks up, the I/O service's thread stores.

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>

class ResponseCache {
 public:
  // Seconds since 1970; tests give their own clock.
  using Clock = std::function<uint32_t()>;

  ResponseCache();
  explicit ResponseCache(Clock clock);
  ResponseCache(const ResponseCache&) = delete;
  ResponseCache& operator=(const ResponseCache&) = delete;

  // Stores or overwrites the entry of `key`. An empty text stores "nothing": lookups give it back
  // empty and never refresh it.
  void put(const std::string& key, const std::string& text, uint32_t lifetime, bool sliding);
  // A copy of the stored text, or empty. Refreshes a sliding entry that holds a text.
  std::string lookup(const std::string& key);
  // How many entries are held, empty ones included.
  size_t size();

 private:
  struct Entry {
    std::string text;
    uint32_t storedAt = 0;
    uint32_t lifetime = 0;
    bool sliding = false;
  };

  // Mutex held.
  void purgeIfDue(uint32_t now);

  Clock clock;
  std::mutex mutex;
  std::unordered_map<std::string, Entry> entries;
  uint32_t lastPurge = 0;  // so that the first operation purges
};
