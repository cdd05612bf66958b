#pragma once
// Entry of the frame pipeline: every demodulator hands each frame to onFrame, on one thread at a
// time. Filter, decode, duplicate check, the raw feeds, the verbose line, then the decoded outputs.

#include "decode/message.h"

#include <cstdint>

class Application;

class FrameSink {
 public:
  explicit FrameSink(Application& application) : application(application) {}
  void onFrame(const uint8_t* bytes, uint32_t length, uint64_t timestamp, uint8_t signal);

 private:
  Application& application;
  Message message;  // reused frame to frame; the decoder starts each one from zero
};
