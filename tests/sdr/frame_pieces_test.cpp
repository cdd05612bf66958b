#include "sdr/frame_pieces.h"

#include "tests/sdr/demod_signal.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// The 56 bits of `frame` from bit `first` on (zeros past its end).
Bytes bitsFrom(const Bytes& frame, uint32_t first) {
  Bytes out(7, 0);
  for (uint32_t i = 0; i < 56 && first + i < 8 * frame.size(); ++i) {
    const uint32_t bit = first + i;
    if (frame[bit / 8] >> (7 - bit % 8) & 1) out[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
  }
  return out;
}

}  // namespace

// Which later frames count as pieces of a squitter handed on at sample 1000 (factor 1: two
// samples a bit); the outer frame's parity held unless the case says otherwise.
TEST(FramePieces, APieceCarriesTheEarlierFramesBitsFromItsStart) {
  const Bytes outer = df17Frame();
  const Bytes repairedOuter = flipBits(outer, {60});  // as sliced before a repair
  struct Case {
    const char* what;
    uint64_t at;
    Bytes bytes;
    bool checked = false;
    bool outerChecked = true;
    uint32_t strength = 100;
    bool piece;
  };
  const std::vector<Case> cases = {
      {"its bits 40 bits in", 1080, bitsFrom(outer, 40), false, true, 100, true},
      {"a half bit off, read at the later bit", 1079, bitsFrom(outer, 40), false, true, 100, true},
      {"with a parity that holds", 1080, bitsFrom(outer, 40), true, true, 100, true},
      {"other bits at the same place", 1080, flipBits(bitsFrom(outer, 40), {20}), false, true, 100, false},
      {"its bits, but at another place", 1082, bitsFrom(outer, 40), false, true, 100, false},
      {"its 24 last bits, then noise", 1000 + 2 * 88, bitsFrom(outer, 88), false, true, 100, true},
      {"its 23 last bits", 1000 + 2 * 89, bitsFrom(outer, 89), false, true, 100, false},
      {"starting after its end", 1000 + 2 * 120, bitsFrom(outer, 120), false, true, 100, false},
      {"the same frame at the next sample", 1001, outer, true, true, 100, false},
      {"parity holds, the earlier one's was not tested", 1080, bitsFrom(outer, 40), true, false, 100, false},
      {"neither tested, as strong", 1080, bitsFrom(outer, 40), false, false, 112, true},
      {"neither tested, clearly stronger", 1080, bitsFrom(outer, 40), false, false, 113, false},
      {"neither tested, going on past its end", 1000 + 2 * 60, bitsFrom(outer, 60), false, false, 100, false},
      {"tested, going on past its end", 1000 + 2 * 60, bitsFrom(outer, 60), false, true, 100, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FramePieces pieces(2);
    pieces.add(1000, outer.data(), outer.data(), 14, c.outerChecked, 100);
    EXPECT_EQ(pieces.isPiece(c.at, c.bytes.data(), c.bytes.data(), static_cast<uint32_t>(c.bytes.size()), c.checked,
                             c.strength),
              c.piece);
  }
  // The bits of a frame handed on mended, with the wrong bit it was sliced with.
  FramePieces pieces(2);
  pieces.add(1000, repairedOuter.data(), outer.data(), 14, true, 100);
  const Bytes piece = bitsFrom(repairedOuter, 40);
  EXPECT_TRUE(pieces.isPiece(1080, piece.data(), piece.data(), 7, false, 100));
}
