#pragma once
// One received frame as a demodulator delivered it.

#include <cstdint>
#include <cstring>

class ReceiverPosition;

struct ModesData {
  uint8_t bytes[14] = {};  // a copy of the frame; only the first `length` bytes are meaningful
  // 2 (Mode A/C), 7 or 14 from a demodulator; any other value is kept as delivered so that
  // readers reject it, and then only bytes[0..13] exist.
  uint32_t length = 0;
  uint8_t signal = 0;      // 0-255 as delivered
  uint32_t time = 0;       // host clock, whole seconds since 1970
  ReceiverPosition* receiverPosition = nullptr;

  ModesData() = default;
  // Copies at most 14 bytes: a longer delivery is cut, so nothing reads past the frame.
  ModesData(const uint8_t* frame, uint32_t frameLength, uint8_t level, uint32_t seconds,
            ReceiverPosition* position)
      : length(frameLength), signal(level), time(seconds), receiverPosition(position) {
    std::memcpy(bytes, frame, frameLength < sizeof bytes ? frameLength : sizeof bytes);
  }
};
