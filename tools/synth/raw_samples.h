#pragma once
// Real 12-bit samples in the Airspy's packed layout: 8 samples in three 32-bit host-order
// words, most significant bits first, so a sample may straddle two words:
//   w0 = s0[11:0] s1[11:0] s2[11:4]
//   w1 = s2[3:0] s3[11:0] s4[11:0] s5[11:8]
//   w2 = s5[7:0] s6[11:0] s7[11:0]
// Header-only, so that readers and tests can use it without linking the synthesiser.

#include <cstddef>
#include <cstdint>

constexpr size_t synthRawGroupSamples = 8;
constexpr size_t synthRawGroupWords = 3;

// Words that hold `samples` samples (a short last group is padded).
inline size_t synthPackedWords(size_t samples) {
  return (samples + synthRawGroupSamples - 1) / synthRawGroupSamples * synthRawGroupWords;
}

// Packs `count` samples (their low 12 bits) into synthPackedWords(count) words; a short
// last group is filled with `pad`, by default the zero-signal value. Returns the words written.
inline size_t packRawSamples(const uint16_t* samples, size_t count, uint32_t* words, uint16_t pad = 2048) {
  size_t w = 0;
  for (size_t i = 0; i < count; i += synthRawGroupSamples, w += synthRawGroupWords) {
    uint32_t s[synthRawGroupSamples];
    for (size_t k = 0; k < synthRawGroupSamples; ++k) s[k] = (i + k < count ? samples[i + k] : pad) & 0xFFFu;
    words[w] = s[0] << 20 | s[1] << 8 | s[2] >> 4;
    words[w + 1] = (s[2] & 0xFu) << 28 | s[3] << 16 | s[4] << 4 | s[5] >> 8;
    words[w + 2] = (s[5] & 0xFFu) << 24 | s[6] << 12 | s[7];
  }
  return w;
}

// Unpacks whole groups: `wordCount` / 3 x 8 samples (a trailing partial group is ignored).
// Returns the samples written.
inline size_t unpackRawSamples(const uint32_t* words, size_t wordCount, uint16_t* samples) {
  size_t n = 0;
  for (size_t w = 0; w + synthRawGroupWords <= wordCount; w += synthRawGroupWords, n += synthRawGroupSamples) {
    const uint32_t a = words[w], b = words[w + 1], c = words[w + 2];
    samples[n] = static_cast<uint16_t>(a >> 20);
    samples[n + 1] = static_cast<uint16_t>((a >> 8) & 0xFFF);
    samples[n + 2] = static_cast<uint16_t>((a & 0xFF) << 4 | b >> 28);
    samples[n + 3] = static_cast<uint16_t>((b >> 16) & 0xFFF);
    samples[n + 4] = static_cast<uint16_t>((b >> 4) & 0xFFF);
    samples[n + 5] = static_cast<uint16_t>((b & 0xF) << 8 | c >> 24);
    samples[n + 6] = static_cast<uint16_t>((c >> 12) & 0xFFF);
    samples[n + 7] = static_cast<uint16_t>(c & 0xFFF);
  }
  return n;
}
