#pragma once
// The output of a real-time stream: standard output, a FIFO (created when missing) or a
// plain file. SIGPIPE is ignored; a reader that closes its end shows up as Closed.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

class SynthStreamOutput {
 public:
  enum class Result { Written, Closed, Failed, Stopped };

  // "-" is standard output.
  explicit SynthStreamOutput(std::string path);
  ~SynthStreamOutput();

  // Opens (a FIFO blocks until a reader opens it). Failed with `error` set, or Stopped when
  // `stop` was raised while waiting.
  Result open(const std::atomic<bool>& stop);
  Result write(const uint8_t* bytes, size_t length, const std::atomic<bool>& stop);
  void close();

  bool isFifo() const { return fifo; }
  const std::string& lastError() const { return error; }

 private:
  std::string path;
  int fd = -1;
  bool fifo = false;
  std::string error;
};
