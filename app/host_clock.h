#pragma once
// The host clock in whole seconds since 1970, the time base of frames, messages and the aircraft
// table. Tests pin it to drive simulated time.
//
// Every reading of the calendar clock and of the local time zone is made here with the C
// library's 64-bit time, also on the 32-bit board, whose own time_t ends in January 2038.

#include "app/civil_time.h"

#include <cstdint>

// Unsigned, so that it runs on to 2106.
uint32_t hostSeconds();
// Pins the clock at `seconds`; 0 returns to the real clock.
void setHostSecondsForTest(uint32_t seconds);

// Microseconds since 1970 on the host's calendar clock (never pinned).
int64_t hostMicros();
// The local calendar time of a second, and local time minus UTC then, in the host's time zone (TZ).
CivilTime localCivilTime(int64_t unixSeconds);
int32_t localUtcOffsetAt(int64_t unixSeconds);
