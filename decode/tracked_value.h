#pragma once
// A value the web page shows, stamped with the aircraft table's update serial at its last change.
// The page asks for everything changed after the serial it saw last; the stale serial records
// when the web replies found the value too old, so that they can tell the page it is gone.
// Guarded by the aircraft table's mutex like everything else in an aircraft record.

#include <cstdint>

template <typename T>
struct TrackedValue {
  T value{};
  uint32_t changedSerial = 0;  // 0 = never set
  uint32_t lastUpdate = 0;     // host seconds
  uint32_t staleSerial = 0;    // 0 = not stale

  bool isSet() const { return changedSerial != 0; }

  // Returns true when the write counts as a change: a new value, or the first write, or a write
  // over a stale value (which the page has been told is gone). An unchanged value keeps its serial.
  bool set(const T& v, uint32_t serial, uint32_t time) {
    lastUpdate = time;
    if (staleSerial != 0 || changedSerial == 0 || !(value == v)) {
      value = v;
      changedSerial = serial;
      staleSerial = 0;
      return true;
    }
    return false;
  }

  // Counts as a change whatever the value (the message count moves with every message).
  void stamp(const T& v, uint32_t serial, uint32_t time) {
    value = v;
    changedSerial = serial;
    staleSerial = 0;
    lastUpdate = time;
  }

  // At flight end. A zero the page already holds keeps its serial, so it is not sent again.
  void clear() {
    lastUpdate = 0;
    if (value == T{} && changedSerial != 0 && staleSerial == 0) return;
    value = T{};
    changedSerial = 0;
    staleSerial = 0;
  }
};

// A value sent whenever it changed after the page's serial; it never goes stale.
template <typename T>
struct SerialValue {
  T value{};
  uint32_t changedSerial = 0;
};
