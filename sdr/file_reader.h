#pragma once
// A recording of interleaved I/Q samples as a sample source: read once, as fast as the demodulator
// goes, on its own thread; the end of the file ends the run.

#include "sdr/sdr_device.h"

#include <atomic>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

class Application;

class FileReader : public SdrDevice {
 public:
  static constexpr uint32_t readBufferSize = 131072;
  // Larger than any block's pair count, so the demodulator never wraps.
  static constexpr uint32_t magnitudeRingSize = 65537;

  // rateFactor: 1 ("rtl"), 5 ("airspy10") or 3 ("airspy6"); sampleSize: bytes per I or Q value.
  FileReader(Application& application, std::string fileName, uint32_t rateFactor, uint32_t sampleSize);
  ~FileReader() override;
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  // Opens the file and starts the read thread; a file that cannot be read is reported by that thread.
  void start() override;
  // Ends the read thread after its current block and joins it.
  void stop() override;
  uint32_t oversamplingFactor() override { return factor; }
  std::unique_ptr<SdrDecoder> createDecoder(Application& application) override;

  // Converts one block; returns the number of magnitudes written.
  static uint32_t convertBlock(const unsigned char* bytes, uint32_t length, uint32_t sampleSize, uint32_t* magnitudes);

 private:
  void readThread();

  Application& application;
  std::thread reader;
  std::atomic<bool> stopFlag{false};
  std::string fileName;
  std::ifstream input;
  uint32_t factor = 1;
  uint32_t sampleSize = 1;
  std::unique_ptr<unsigned char[]> readBuffer;
  std::unique_ptr<uint32_t[]> magnitudes;
};
