#include "tools/synth/stream_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

SynthStreamOutput::SynthStreamOutput(std::string path) : path(std::move(path)) { std::signal(SIGPIPE, SIG_IGN); }

SynthStreamOutput::~SynthStreamOutput() { close(); }

SynthStreamOutput::Result SynthStreamOutput::open(const std::atomic<bool>& stop) {
  close();
  if (path == "-") {
    fd = STDOUT_FILENO;
    return Result::Written;
  }
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (errno != ENOENT || ::mkfifo(path.c_str(), 0644) != 0) {
      error = "cannot create FIFO " + path + ": " + std::strerror(errno);
      return Result::Failed;
    }
    fifo = true;
  } else {
    fifo = S_ISFIFO(st.st_mode);
  }
  while (!stop) {
    fd = ::open(path.c_str(), O_WRONLY | (fifo ? 0 : O_CREAT | O_TRUNC), 0644);
    if (fd >= 0) return Result::Written;
    if (errno != EINTR) {
      error = "cannot open " + path + ": " + std::strerror(errno);
      return Result::Failed;
    }
  }
  return Result::Stopped;
}

SynthStreamOutput::Result SynthStreamOutput::write(const uint8_t* bytes, size_t length, const std::atomic<bool>& stop) {
  while (length > 0) {
    if (stop) return Result::Stopped;
    const ssize_t n = ::write(fd, bytes, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EPIPE) return Result::Closed;
      error = std::string("write failed: ") + std::strerror(errno);
      return Result::Failed;
    }
    bytes += n;
    length -= static_cast<size_t>(n);
  }
  return Result::Written;
}

void SynthStreamOutput::close() {
  if (fd >= 0 && fd != STDOUT_FILENO) ::close(fd);
  fd = -1;
}
