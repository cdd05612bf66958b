// libFuzzer target: the validity filter, the decoder and the duplicate filter on any bytes.
//
// Each input is used twice. First as one frame of exactly the input's length (any length,
// as a broken demodulator or a fuzzed feed could deliver), offered a few times so that the
// filter's trust rules let it through. Then as a stream of frames: each frame takes 7 or 14
// bytes by its downlink format, followed by 3 bytes that are XORed onto the computed CRC,
// so that the fuzzer controls the syndrome (0 for clean squitters, an address for
// address/parity replies) instead of having to guess parity, and 1 byte of seconds to step
// the clock (its low three bits). The stream runs with the
// country check off and a clock that advances with the input, so aircraft build up trust,
// CPR pairs and duplicates.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "decode/message.h"
#include "decode/message_decoder.h"
#include "decode/message_filter.h"
#include "decode/modes_data.h"
#include "decode/receiver_position.h"
#include "sdr/crc.h"

namespace {

constexpr uint32_t startTime = 1500000000;

void handle(MessageFilter& filter, MessageDecoder& decoder, Message& message, const ModesData& frame) {
  if (!filter.accept(frame)) return;
  if (frame.length != 7 && frame.length != 14) return;
  if (decoder.decode(frame, message)) filter.isDuplicate(message);
}

void wholeInput(const uint8_t* data, size_t size, ReceiverPosition& position) {
  static const uint8_t none[1] = {0};
  if (size == 0) data = none;  // never hand a null pointer to memcpy
  MessageFilter filter;
  MessageDecoder decoder;
  Message message;
  const uint32_t length = size > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(size);
  for (uint32_t i = 0; i < 4; ++i) {
    ModesData frame(data, length, 200, startTime + i * 30, &position);
    handle(filter, decoder, message, frame);
  }
  // The decoder must stand any bytes of a valid length, filtered or not.
  for (uint32_t frameLength : {7u, 14u}) {
    ModesData frame(data, size < frameLength ? static_cast<uint32_t>(size) : frameLength, 1, startTime,
                    &position);
    frame.length = frameLength;  // short inputs leave zero bytes behind
    decoder.decode(frame, message);
  }
  modeSCrcSyndrome(data, length);
}

void frameStream(const uint8_t* data, size_t size, ReceiverPosition& position) {
  MessageFilter filter;
  filter.setCountryCheck(false);
  MessageDecoder decoder;
  Message message;
  uint32_t now = startTime;
  size_t offset = 0;
  while (offset < size) {
    const uint8_t first = data[offset];
    const uint32_t length = (first >> 3) >= 16 ? 14 : 7;
    if (offset + length + 4 > size) break;
    uint8_t bytes[14];
    std::memcpy(bytes, data + offset, length);
    const uint8_t* overlay = data + offset + length;
    const uint32_t parity = modeSCrc(bytes, length - 3) ^
                            ((uint32_t{overlay[0]} << 16) | (uint32_t{overlay[1]} << 8) | overlay[2]);
    bytes[length - 3] = static_cast<uint8_t>(parity >> 16);
    bytes[length - 2] = static_cast<uint8_t>(parity >> 8);
    bytes[length - 1] = static_cast<uint8_t>(parity);
    now += overlay[3] & 7;
    ModesData frame(bytes, length, first, now, &position);
    handle(filter, decoder, message, frame);
    offset += length + 4;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ReceiverPosition position;
  wholeInput(data, size, position);
  frameStream(data, size, position);
  return 0;
}
