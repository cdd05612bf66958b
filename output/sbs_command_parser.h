#pragma once
// Finds the framed commands that an SBS-3 client sends, one byte at a time, so a command may arrive
// split over any number of reads. No I/O: the session feeds bytes and acts on the events.
// The CRC bytes are consumed but not checked.

#include <cstddef>
#include <cstdint>

class SbsCommandParser {
 public:
  enum class Event {
    None,      // need more bytes
    Command,   // a complete frame: payload() holds its unstuffed payload
    Overflow,  // a payload filled the buffer and was dropped
  };

  static constexpr int32_t capacity = 1024;

  Event feed(uint8_t byte);

  const uint8_t* payload() const { return buffer; }
  int32_t length() const { return payloadLength; }
  int32_t state() const { return parserState; }

 private:
  void store(uint8_t byte) { buffer[payloadLength++] = byte; }

  // 0 hunting; 1 DLE seen; 2 command byte; 3 payload; 4 DLE in payload; 5 CRC high;
  // 6 DLE in CRC high; 7 CRC low; 8 DLE in CRC low.
  int32_t parserState = 0;
  int32_t payloadLength = 0;
  uint8_t buffer[capacity] = {};
};
