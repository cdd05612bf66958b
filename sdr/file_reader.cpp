#include "sdr/file_reader.h"

#include "app/application.h"
#include "app/logger.h"
#include "sdr/rtl_decoder.h"
#include "sdr/rtl_device.h"
#include "sdr/sdr_decoder.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

FileReader::FileReader(Application& application, std::string fileName, uint32_t rateFactor, uint32_t sampleSize)
    : application(application),
      fileName(std::move(fileName)),
      readBuffer(new unsigned char[readBufferSize]),
      magnitudes(new uint32_t[magnitudeRingSize]()) {
  factor = rateFactor;
  this->sampleSize = sampleSize == 2 ? 2 : 1;
}

FileReader::~FileReader() {
  // A thread still running would outlive the buffers it fills.
  stopFlag = true;
  wakeReader();
  if (reader.joinable()) {
    if (reader.get_id() == std::this_thread::get_id()) {
      reader.detach();
    } else {
      reader.join();
    }
  }
  closeFiles();
}

std::unique_ptr<SdrDecoder> FileReader::createDecoder(Application& owner) {
  return std::make_unique<SdrRtlDecoder>(owner);
}

void FileReader::start() {
  closeFiles();
  wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd < 0) throw SdrFilereaderException("Can't open file " + fileName);
  // Without O_NONBLOCK, opening a FIFO waits for its writer, and nothing could stop that wait.
  fd = ::open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  stopFlag = false;
  reader = std::thread([this] { readThread(); });
}

void FileReader::stop() {
  stopFlag = true;
  wakeReader();
  // The reader ends the run itself at the end of the file, but the stop step that follows runs on
  // the main thread; only the reader itself must not wait for itself.
  if (reader.joinable() && reader.get_id() != std::this_thread::get_id()) reader.join();
}

void FileReader::wakeReader() {
  if (wakeFd < 0) return;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(wakeFd, &one, sizeof one);
}

void FileReader::closeFiles() {
  if (fd >= 0) ::close(fd);
  if (wakeFd >= 0) ::close(wakeFd);
  fd = wakeFd = -1;
}

uint32_t FileReader::convertBlock(const unsigned char* bytes, uint32_t length, uint32_t sampleSize,
                                  uint32_t* out) {
  if (sampleSize == 1) {
    const uint32_t pairs = length / 2;
    for (uint32_t k = 0; k < pairs; ++k) out[k] = rtlMagnitude(bytes[2 * k], bytes[2 * k + 1]);
    return pairs;
  }
  const uint32_t pairs = length / 4;
  for (uint32_t k = 0; k < pairs; ++k) {
    const unsigned char* pair = bytes + 4 * k;
    const uint32_t i = pair[0] | static_cast<uint32_t>(pair[1]) << 8;
    const uint32_t q = pair[2] | static_cast<uint32_t>(pair[3]) << 8;
    out[k] = i * i + q * q;  // wraps modulo 2^32 for the largest values
  }
  return pairs;
}

FileReader::ReadResult FileReader::readBlock(uint32_t& n) {
  n = 0;
  if (fd < 0) return ReadResult::Failed;
  // Whole blocks, as from a file on disk, so a FIFO's short reads do not change what is decoded.
  while (n < readBufferSize) {
    // Wait first: a FIFO whose writer has not come yet reads as its end, but polls as nothing yet.
    pollfd waits[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    if (::poll(waits, 2, -1) < 0 && errno != EINTR) return ReadResult::Failed;
    if (stopFlag) return ReadResult::Stopped;
    if (waits[0].revents == 0) continue;
    const ssize_t got = ::read(fd, readBuffer.get() + n, readBufferSize - n);
    if (got > 0) {
      n += static_cast<uint32_t>(got);
    } else if (got == 0) {
      return ReadResult::EndOfFile;
    } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
      return ReadResult::Failed;
    }
  }
  return ReadResult::Data;
}

void FileReader::readThread() {
  bool failed = false;
  while (!stopFlag) {
    uint32_t n = 0;
    const ReadResult result = readBlock(n);
    if (result == ReadResult::Stopped) break;
    if (result == ReadResult::Failed) {
      // An unopened file, a directory or a read error; what was read before it has been decoded.
      logError("Error read file " + fileName);
      failed = true;
      break;
    }
    if (n >= 2 * sampleSize) {
      const uint32_t pairs = convertBlock(readBuffer.get(), n, sampleSize, magnitudes.get());
      application.decoder->process(magnitudes.get(), 0, pairs, magnitudeRingSize);
    }
    if (result == ReadResult::EndOfFile) break;
  }
  stopFlag = true;
  if (failed) application.setExitStatus(1);
  application.stop();
}
