#pragma once
// A synthetic but realistically mixed stream of Mode S frames with valid parity, as a
// demodulator delivers them from a few hundred aircraft in view.

#include <cstdint>
#include <vector>

struct CorpusFrame {
  uint8_t bytes[14];
  uint32_t length;
  uint32_t timeOffset;  // seconds from the start of the corpus
};

// `aircraftCount` aircraft, `frameCount` frames over `seconds` seconds, deterministic.
std::vector<CorpusFrame> makeFrameCorpus(uint32_t aircraftCount, uint32_t frameCount, uint32_t seconds);

// Replaces about `percent` of the frames with noise the demodulator cannot tell from replies:
// address/parity formats (DF 0, 4, 5, 20, 21) with random contents, so random addresses.
void addAddressParityNoise(std::vector<CorpusFrame>& frames, uint32_t percent);
