#include "sdr/file_reader.h"

#include "app/application.h"
#include "app/logger.h"
#include "sdr/rtl_decoder.h"
#include "sdr/rtl_device.h"
#include "sdr/sdr_decoder.h"

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
  if (reader.joinable()) {
    if (reader.get_id() == std::this_thread::get_id()) {
      reader.detach();
    } else {
      reader.join();
    }
  }
}

std::unique_ptr<SdrDecoder> FileReader::createDecoder(Application& owner) {
  return std::make_unique<SdrRtlDecoder>(owner);
}

void FileReader::start() {
  try {
    input.open(fileName, std::ios::in | std::ios::binary);
  } catch (const std::exception&) {
    throw SdrFilereaderException("Can't open file " + fileName);
  }
  stopFlag = false;
  reader = std::thread([this] { readThread(); });
}

void FileReader::stop() {
  stopFlag = true;
  // The reader ends the run itself at the end of the file, but the stop step that follows runs on
  // the main thread; only the reader itself must not wait for itself.
  if (reader.joinable() && reader.get_id() != std::this_thread::get_id()) reader.join();
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

void FileReader::readThread() {
  while (!stopFlag) {
    input.read(reinterpret_cast<char*>(readBuffer.get()), readBufferSize);
    const auto n = static_cast<uint32_t>(input.gcount());
    // An unopened file fails without reaching its end, and so does a read error.
    if (!input.is_open() || input.bad() || (input.fail() && !input.eof())) {
      logError("Error read file " + fileName);
      break;
    }
    if (n >= 2 * sampleSize) {
      const uint32_t pairs = convertBlock(readBuffer.get(), n, sampleSize, magnitudes.get());
      application.decoder->process(magnitudes.get(), 0, pairs, magnitudeRingSize);
    }
    if (input.eof()) break;
  }
  stopFlag = true;
  application.stop();
}
