#pragma once
// Lets one writer change a group of values that a reader on another thread must see together
// (an hour's two counts, a farthest position's distance, latitude and longitude).
//
// The values are atomics: the writer stores them with release order between beginWrite and
// endWrite, the reader loads them with acquire order inside read(). A reader that saw any value
// of an unfinished write sees an odd or a changed sequence afterwards and reads again. No fences
// are needed, and every access is atomic, so the thread sanitizer sees no race.

#include <atomic>
#include <cstdint>
#include <thread>

class StatisticsSeqLock {
 public:
  // Writer side: one thread only.
  void beginWrite() { sequence.store(sequence.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed); }
  void endWrite() { sequence.store(sequence.load(std::memory_order_relaxed) + 1, std::memory_order_release); }

  // Runs `load` until it ran over no write. Writes are a few stores long, so retries are rare.
  template <typename Load>
  void read(Load load) const {
    for (;;) {
      const uint32_t before = sequence.load(std::memory_order_acquire);
      if ((before & 1) != 0) {
        std::this_thread::yield();  // the writer may have been preempted mid-write
        continue;
      }
      load();
      if (sequence.load(std::memory_order_relaxed) == before) return;
    }
  }

 private:
  std::atomic<uint32_t> sequence{0};
};
