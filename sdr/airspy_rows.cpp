// Row demodulation of the Airspy demodulator: bins, the preamble test, slicing, the CRC
// syndrome and bit repair. Runs on the pool's workers, each over its own slice of the block:
// a task writes only its own buffers and candidates, and the one history per row that the
// slice with the row's last bin leaves for the next block.

#include "sdr/airspy_demodulator.h"
#include "sdr/crc.h"

#include <algorithm>
#include <cstring>

namespace {

using I32x4 = int32_t __attribute__((vector_size(16)));
using I16x8 = int16_t __attribute__((vector_size(16)));

template <typename V, typename T>
inline V load(const T* at) {
  V v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

template <typename V>
inline V lesser(V a, V b) {
  return a < b ? a : b;
}

template <typename V>
inline bool none(V v) {
  uint64_t halves[2];
  std::memcpy(halves, &v, sizeof halves);
  return (halves[0] | halves[1]) == 0;
}

// The preamble test of the windows that start at w, w + 1, ... (one per lane): bit k of the
// result is set when window k passes. Signed lanes: 32-bit bins stay far below 2^31, and the
// 16-bit lanes are used only for bins below 2^15.
template <typename V, typename T>
inline uint32_t preambleLanes(const T* w) {
  constexpr uint32_t lanes = 16 / sizeof(T);
  const V pulses = lesser(lesser(load<V>(w), load<V>(w + 2)), lesser(load<V>(w + 7), load<V>(w + 9)));
  // Four quiet bins below all four pulses: noise nearly always fails already here.
  V pass = (load<V>(w + 1) < pulses) & (load<V>(w + 3) < pulses) & (load<V>(w + 4) < pulses) &
           (load<V>(w + 5) < pulses);
  if (none(pass)) return 0;
  pass &= (load<V>(w + 6) < pulses) & (load<V>(w + 8) < pulses) & (load<V>(w + 10) < pulses) &
          (load<V>(w + 11) < pulses) & (load<V>(w + 12) < pulses) & (load<V>(w + 13) < pulses) &
          (load<V>(w + 14) < pulses) & (load<V>(w + 15) < pulses);
  if (none(pass)) return 0;
  uint32_t mask = 0;
  for (uint32_t lane = 0; lane < lanes; ++lane) mask |= pass[lane] != 0 ? 1u << lane : 0u;
  return mask;
}

constexpr uint32_t shortBits = 56;
constexpr uint32_t longBits = 112;
constexpr uint32_t firstRepairableBit = 5;  // the DF is never changed

// Formats that may be kept: 0, 4, 5, 11, 16 ... 21 and 24.
constexpr uint32_t keptFormats = (1u << 0) | (1u << 4) | (1u << 5) | (1u << 11) | (1u << 16) | (1u << 17) |
                                 (1u << 18) | (1u << 19) | (1u << 20) | (1u << 21) | (1u << 24);
// Formats whose parity is plain (address in the clear) and that confirm their address.
constexpr uint32_t addressFormats = (1u << 11) | (1u << 17) | (1u << 18) | (1u << 19);

inline void flipBit(uint8_t* bytes, uint32_t bit) { bytes[bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8)); }

// The syndrome is linear in the bits: flipping bit k XORs the syndrome of a frame with bit k
// alone into it. So a repair is a lookup, not a CRC per trial.
struct RepairTables {
  uint32_t shortColumns[shortBits];
  uint32_t longColumns[longBits];
  // Syndrome of two flipped bits of a long frame -> the pair, the first in ascending order
  // (smaller bit, then larger) of all pairs with that syndrome. Open addressing; key 0 is free.
  static constexpr uint32_t pairBits = 14;
  static constexpr uint32_t pairSlots = 1u << pairBits;
  uint32_t pairKeys[pairSlots];
  uint8_t pairFirst[pairSlots];
  uint8_t pairSecond[pairSlots];

  static uint32_t slotOf(uint32_t key) { return (key * 0x9E3779B1u) >> (32 - pairBits); }

  RepairTables() {
    uint8_t frame[14] = {};
    for (uint32_t k = 0; k < shortBits; ++k) {
      flipBit(frame, k);
      shortColumns[k] = modeSCrcSyndrome(frame, 7);
      flipBit(frame, k);
    }
    for (uint32_t k = 0; k < longBits; ++k) {
      flipBit(frame, k);
      longColumns[k] = modeSCrcSyndrome(frame, 14);
      flipBit(frame, k);
    }
    std::fill(std::begin(pairKeys), std::end(pairKeys), 0u);
    for (uint32_t i = firstRepairableBit; i < longBits; ++i) {
      for (uint32_t j = i + 1; j < longBits; ++j) {
        const uint32_t key = longColumns[i] ^ longColumns[j];
        if (key == 0) continue;
        uint32_t slot = slotOf(key);
        while (pairKeys[slot] != 0 && pairKeys[slot] != key) slot = (slot + 1) & (pairSlots - 1);
        if (pairKeys[slot] == key) continue;  // an earlier pair has it
        pairKeys[slot] = key;
        pairFirst[slot] = static_cast<uint8_t>(i);
        pairSecond[slot] = static_cast<uint8_t>(j);
      }
    }
  }

  // The slot of the pair with this syndrome, or -1.
  int32_t findPair(uint32_t key) const {
    for (uint32_t slot = slotOf(key);; slot = (slot + 1) & (pairSlots - 1)) {
      if (pairKeys[slot] == key) return static_cast<int32_t>(slot);
      if (pairKeys[slot] == 0) return -1;
    }
  }
};

const RepairTables& repairTables() {
  static const RepairTables tables;
  return tables;
}

}  // namespace

void AirspyDemodulator::prepareRepairTables() { repairTables(); }

bool AirspyDemodulator::checkPreamble(const uint32_t* b) {
  const uint32_t m = std::min(std::min(b[0], b[2]), std::min(b[7], b[9]));
  return b[1] < m && b[3] < m && b[4] < m && b[5] < m && b[6] < m && b[8] < m && b[10] < m && b[11] < m &&
         b[12] < m && b[13] < m && b[14] < m && b[15] < m;
}

uint32_t AirspyDemodulator::syndrome(const uint8_t* bytes, uint32_t length) {
  return modeSCrcSyndrome(bytes, length);
}

// One-bit repair from bit 5 up, first match wins; then, for DF 17-19 with two FEC bits, the
// first pair. The DF 11 syndrome ignores its low 7 bits (the interrogator code), so the
// columns are compared the same way.
bool AirspyDemodulator::repair(uint8_t* bytes, uint32_t df, uint32_t value) const {
  const RepairTables& tables = repairTables();
  const bool isShort = df == 11;
  const uint32_t bits = isShort ? shortBits : longBits;
  const uint32_t mask = isShort ? 0xFFFF80u : 0xFFFFFFu;
  const uint32_t* columns = isShort ? tables.shortColumns : tables.longColumns;
  for (uint32_t k = firstRepairableBit; k < bits; ++k) {
    if ((columns[k] & mask) == value) {
      flipBit(bytes, k);
      return true;
    }
  }
  if (fecBits < 2 || isShort) return false;
  const int32_t slot = tables.findPair(value);
  if (slot < 0) return false;
  flipBit(bytes, tables.pairFirst[slot]);
  flipBit(bytes, tables.pairSecond[slot]);
  return true;
}

void AirspyDemodulator::decodeFrame(const uint32_t* data, uint64_t time, std::vector<Candidate>& out) const {
  // Bit k is 1 when the first half of its pulse position is the larger.
  const auto sliceByte = [data](uint32_t index) {
    const uint32_t* h = data + 16 * index;
    uint32_t value = 0;
    for (uint32_t j = 0; j < 8; ++j) value = (value << 1) | static_cast<uint32_t>(h[2 * j] > h[2 * j + 1]);
    return static_cast<uint8_t>(value);
  };
  Candidate candidate;
  uint8_t* bytes = candidate.bytes;
  bytes[0] = sliceByte(0);
  const uint32_t df = bytes[0] >> 3;
  if (((keptFormats >> df) & 1) == 0) return;
  const uint32_t length = df >= 16 ? 14 : 7;
  for (uint32_t i = 1; i < length; ++i) bytes[i] = sliceByte(i);
  for (uint32_t i = length; i < sizeof candidate.bytes; ++i) bytes[i] = 0;

  uint32_t value = syndrome(bytes, length);
  if (df == 11) value &= ~0x7Fu;
  const auto address = [bytes] { return (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3]; };
  std::memcpy(candidate.sliced, bytes, sizeof candidate.sliced);
  if ((addressFormats >> df) & 1) {
    candidate.checked = value == 0 || (fecBits >= 1 && repair(bytes, df, value));
    candidate.key = address();
    if (candidate.key == 0) return;
    // A frame with errors, repaired or not, only stands with an address already confirmed.
    candidate.kind = value == 0 ? confirmsAddress : needsCachedKey;
    candidate.crcClean = value == 0;
  } else {
    if (value == 0) return;  // address/parity: the syndrome is the address, never 0
    candidate.key = value;
    candidate.kind = needsCachedKey;
    candidate.crcClean = 1;
    candidate.checked = 1;
  }

  uint64_t contrast = 0;
  for (uint32_t k = 0; k < 8 * length; ++k) {
    const uint32_t a = data[2 * k], b = data[2 * k + 1];
    contrast += a > b ? a - b : b - a;
  }
  const uint64_t level = 65535u * contrast / (800u * length * p);
  candidate.level = static_cast<uint16_t>(level == 0 ? 1 : std::min<uint64_t>(level, 65535));
  candidate.contrast = static_cast<uint32_t>(contrast);  // at most 112 x 4095 x 255
  candidate.length = static_cast<uint8_t>(length);
  candidate.time = time;
  out.push_back(candidate);
}

void AirspyDemodulator::demodulateRow(DemodTask& task, uint32_t row) { demodulateRowAs<0>(task, row); }
void AirspyDemodulator::demodulateRow6(DemodTask& task, uint32_t row) { demodulateRowAs<6>(task, row); }
void AirspyDemodulator::demodulateRow10(DemodTask& task, uint32_t row) { demodulateRowAs<10>(task, row); }

// The row's bins that end in the task's slice, a chunk at a time: each chunk is formed, then
// every window that ends in it is tested, then its newest 239 bins become the next chunk's
// history. The first chunk's history comes from the slice's lead-in, and from the previous
// block for bins before this one.
template <uint32_t fixedP>
void AirspyDemodulator::demodulateRowAs(DemodTask& task, uint32_t index) {
  const uint32_t pp = fixedP != 0 ? fixedP : p;
  Row& row = rows[index];
  const uint32_t need = row.need, total = row.total;
  // Bins of this block that end before sample x.
  const auto binsBefore = [&](uint32_t x) { return x < need ? 0 : std::min(total, (x - need) / pp + 1); };
  const uint32_t first = binsBefore(task.start), end = binsBefore(task.end);
  if (first == end) return;

  // Every bin twice: in full, and in 16 bits for a preamble test of twice the lanes, used
  // where every bin of a chunk and its history fits (always, for 12-bit samples and p <= 15).
  uint32_t* const bins = task.bins.get();
  uint16_t* const narrow = task.narrowBins.get();
  uint32_t seen = 0;  // all bits of the bins in the history, or more
  uint32_t k = first >= historyBins ? first - historyBins : 0;  // the next bin to form
  uint32_t fill = 0;
  if (first < historyBins) {
    const uint32_t* saved = row.history[row.current].get() + first;
    for (; fill < historyBins - first; ++fill) {
      bins[fill] = saved[fill];
      narrow[fill] = static_cast<uint16_t>(saved[fill]);
      seen |= saved[fill];
    }
  }
  // sums[i + 1 - leadStart] holds the magnitudes up to sample i, so bin k >= 1, which ends at
  // sample need - 1 + k * p, is the difference of two entries p apart.
  const uint32_t* const sums = task.sums.get();
  uint32_t at = need - task.leadStart + (k == 0 ? 0 : (k - 1) * pp);
  uint32_t previous = sums[at];
  const auto next = [&]() {
    at += pp;
    const uint32_t value = sums[at] - previous;
    previous = sums[at];
    return value;
  };
  // Bin 0 completes the partial bin of the previous block; only a slice with lead-in from
  // sample 0 reaches back to it.
  const uint32_t bin0 = k == 0 ? row.partial + sums[need - task.leadStart] : 0;
  for (; k < first; ++k, ++fill) {
    bins[fill] = k == 0 ? bin0 : next();
    narrow[fill] = static_cast<uint16_t>(bins[fill]);
    seen |= bins[fill];
  }

  const uint64_t firstTime = clock + need;  // bin k ends at firstTime + k * pp
  uint32_t* const fresh = bins + historyBins;
  uint16_t* const freshNarrow = narrow + historyBins;
  while (k < end) {
    const uint32_t chunk = std::min(chunkBins, end - k);
    uint32_t j = 0, bits = 0;
    if (k == 0) {
      fresh[0] = bin0;
      freshNarrow[0] = static_cast<uint16_t>(bin0);
      bits = bin0;
      j = 1;
    }
    for (; j < chunk; ++j) {
      const uint32_t value = next();
      fresh[j] = value;
      freshNarrow[j] = static_cast<uint16_t>(value);
      bits |= value;
    }

    // Window t ends with fresh[t].
    const uint64_t chunkTime = firstTime + uint64_t{k} * pp;
    const auto found = [&](uint32_t t) {
      decodeFrame(bins + t + 16, chunkTime + uint64_t{t} * pp, task.candidates);
    };
    uint32_t t = 0;
    if (((seen | bits) >> 15) == 0) {
      for (; t + 8 <= chunk; t += 8) {
        for (uint32_t lanes = preambleLanes<I16x8>(narrow + t); lanes != 0; lanes &= lanes - 1) {
          found(t + static_cast<uint32_t>(__builtin_ctz(lanes)));
        }
      }
    } else {
      for (; t + 4 <= chunk; t += 4) {
        for (uint32_t lanes = preambleLanes<I32x4>(bins + t); lanes != 0; lanes &= lanes - 1) {
          found(t + static_cast<uint32_t>(__builtin_ctz(lanes)));
        }
      }
    }
    for (; t < chunk; ++t) {
      if (checkPreamble(bins + t)) found(t);
    }
    std::memmove(bins, bins + chunk, historyBins * sizeof(uint32_t));
    std::memmove(narrow, narrow + chunk, historyBins * sizeof(uint16_t));
    seen = chunk >= historyBins ? bits : seen | bits;
    k += chunk;
  }
  // The slice with the row's last bin leaves the history for the next block.
  if (end == total) std::memcpy(row.history[row.current ^ 1].get(), bins, historyBins * sizeof(uint32_t));
}
