#pragma once
// A recording of interleaved I/Q samples as a sample source: read once, as fast as the demodulator
// goes, on its own thread; the end of the file ends the run.
//
// The file may be a FIFO fed by a live process, which can stall or not be opened by its writer
// yet. The file is therefore opened without blocking and every wait for data also waits for the
// stop, so a stop never has to wait for the writer.

#include "sdr/sdr_device.h"

#include <atomic>
#include <cstdint>
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
  // Ends the read thread after its current block and joins it; a wait for data ends at once.
  void stop() override;
  uint32_t oversamplingFactor() override { return factor; }
  std::unique_ptr<SdrDecoder> createDecoder(Application& application) override;

  // Converts one block; returns the number of magnitudes written.
  static uint32_t convertBlock(const unsigned char* bytes, uint32_t length, uint32_t sampleSize, uint32_t* magnitudes);

 private:
  enum class ReadResult { Data, EndOfFile, Failed, Stopped };

  void readThread();
  // Fills the buffer up to a whole block unless the file ends first; n is the byte count read.
  ReadResult readBlock(uint32_t& n);
  void wakeReader();
  void closeFiles();

  Application& application;
  std::thread reader;
  std::atomic<bool> stopFlag{false};
  std::string fileName;
  int fd = -1;
  int wakeFd = -1;  // an eventfd the stop writes to
  uint32_t factor = 1;
  uint32_t sampleSize = 1;
  std::unique_ptr<unsigned char[]> readBuffer;
  std::unique_ptr<uint32_t[]> magnitudes;
};
