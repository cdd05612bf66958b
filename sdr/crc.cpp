#include "sdr/crc.h"

#include <algorithm>

void buildModeSCrcTable(uint32_t table[256]) {
  const ModeSCrcTable built = makeModeSCrcTable();
  std::copy(std::begin(built.entries), std::end(built.entries), table);
}

namespace {

void flipBit(uint8_t* frame, int bit) { frame[bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8)); }

}  // namespace

void ErrorSyndromeTable::build() {
  if (!entries.empty()) return;
  constexpr uint32_t frameBytes = frameBits / 8;
  uint8_t frame[frameBytes] = {};
  std::vector<std::pair<uint32_t, ErrorPattern>> candidates;
  const int correctable = frameBits - firstCorrectableBit;
  candidates.reserve(static_cast<size_t>(correctable + correctable * (correctable - 1) / 2));
  for (int b = firstCorrectableBit; b < frameBits; ++b) {
    flipBit(frame, b);
    candidates.push_back({modeSCrcSyndrome(frame, frameBytes), ErrorPattern{1, b, -1}});
    for (int c = b + 1; c < frameBits; ++c) {
      flipBit(frame, c);
      candidates.push_back({modeSCrcSyndrome(frame, frameBytes), ErrorPattern{2, b, c}});
      flipBit(frame, c);
    }
    flipBit(frame, b);
  }
  // Stable sort plus unique keeps the first-built pattern of any shared syndrome.
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  candidates.erase(std::unique(candidates.begin(), candidates.end(),
                               [](const auto& a, const auto& b) { return a.first == b.first; }),
                   candidates.end());
  candidates.shrink_to_fit();
  entries = std::move(candidates);
}

const ErrorPattern* ErrorSyndromeTable::find(uint32_t syndrome) const {
  const auto it = std::lower_bound(entries.begin(), entries.end(), syndrome,
                                   [](const auto& entry, uint32_t key) { return entry.first < key; });
  if (it == entries.end() || it->first != syndrome) return nullptr;
  return &it->second;
}
