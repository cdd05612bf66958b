#include "app/host_clock.h"

#include <atomic>
#include <ctime>

namespace {
std::atomic<uint32_t> pinned{0};
}

uint32_t hostSeconds() {
  const uint32_t fixed = pinned.load(std::memory_order_relaxed);
  return fixed != 0 ? fixed : static_cast<uint32_t>(std::time(nullptr));
}

void setHostSecondsForTest(uint32_t seconds) { pinned.store(seconds, std::memory_order_relaxed); }
