#pragma once
// The host clock in whole seconds since 1970, the time base of frames, messages and the aircraft
// table. Tests pin it to drive simulated time.

#include <cstdint>

uint32_t hostSeconds();
// Pins the clock at `seconds`; 0 returns to the real clock.
void setHostSecondsForTest(uint32_t seconds);
