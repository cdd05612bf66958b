// This file alone sees the C library's 64-bit time_t on the 32-bit board (glibc 2.34 and later);
// no time_t or timespec crosses its interface, so the libraries built with the 32-bit one are not
// affected.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif
#define _TIME_BITS 64

#include "app/host_clock.h"

#include <atomic>
#include <ctime>

static_assert(sizeof(std::time_t) == 8, "the host clock needs a 64-bit time_t");

namespace {
std::atomic<uint32_t> pinned{0};
}

uint32_t hostSeconds() {
  const uint32_t fixed = pinned.load(std::memory_order_relaxed);
  return fixed != 0 ? fixed : static_cast<uint32_t>(std::time(nullptr));
}

void setHostSecondsForTest(uint32_t seconds) { pinned.store(seconds, std::memory_order_relaxed); }

int64_t hostMicros() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

CivilTime localCivilTime(int64_t unixSeconds) {
  const std::time_t seconds = static_cast<std::time_t>(unixSeconds);
  std::tm local{};
  if (localtime_r(&seconds, &local) == nullptr) return civilTimeOf(unixSeconds);
  return CivilTime{local.tm_year + int64_t{1900}, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                   local.tm_min,                  local.tm_sec,     local.tm_wday};
}

int32_t localUtcOffsetAt(int64_t unixSeconds) {
  const std::time_t seconds = static_cast<std::time_t>(unixSeconds);
  std::tm local{};
  if (localtime_r(&seconds, &local) == nullptr) return 0;
  return static_cast<int32_t>(local.tm_gmtoff);
}
