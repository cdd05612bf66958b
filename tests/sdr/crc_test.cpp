#include "sdr/crc.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <vector>

namespace {

// Bit-by-bit polynomial division, independent of the table.
uint32_t slowCrc(const uint8_t* bytes, size_t length) {
  uint32_t reg = 0;
  for (size_t i = 0; i < length; ++i) {
    for (int bit = 7; bit >= 0; --bit) {
      const bool top = ((reg >> 23) & 1) != ((bytes[i] >> bit) & 1);
      reg = (reg << 1) & 0xFFFFFF;
      if (top) reg ^= 0xFFF409;
    }
  }
  return reg;
}

std::vector<uint8_t> frameWithBits(std::initializer_list<int> bits) {
  std::vector<uint8_t> frame(14, 0);
  for (int bit : bits) frame[bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8));
  return frame;
}

std::vector<uint8_t> fromHex(const char* hex) {
  std::vector<uint8_t> out;
  for (; hex[0] && hex[1]; hex += 2) out.push_back(static_cast<uint8_t>(std::stoul(std::string(hex, 2), nullptr, 16)));
  return out;
}

}  // namespace

TEST(ModeSCrcTable, KnownEntriesAndRebuild) {
  EXPECT_TRUE(modeSCrcTableBuilt());
  EXPECT_EQ(modeSCrcTable.entries[0], 0u);
  EXPECT_EQ(modeSCrcTable.entries[1], 0xFFF409u);
  EXPECT_EQ(modeSCrcTable.entries[2], 0x1C1Bu);
  EXPECT_EQ(modeSCrcTable.entries[128], 0x706C0u);
  uint32_t copy[256] = {};
  buildModeSCrcTable(copy);
  buildModeSCrcTable(copy);
  for (int i = 0; i < 256; ++i) {
    EXPECT_EQ(copy[i], modeSCrcTable.entries[i]) << i;
    EXPECT_LE(copy[i], 0xFFFFFFu) << i;
  }
}

TEST(ModeSCrc, MatchesBitwiseDivisionForEveryLength) {
  std::mt19937 random(7);
  std::vector<uint8_t> data(40);
  for (int round = 0; round < 50; ++round) {
    for (auto& byte : data) byte = static_cast<uint8_t>(random());
    for (uint32_t length = 0; length <= data.size(); ++length)
      ASSERT_EQ(modeSCrc(data.data(), length), slowCrc(data.data(), length)) << length;
  }
}

TEST(ModeSCrcSyndrome, ShortInputs) {
  const uint8_t bytes[] = {0xAB, 0xCD, 0xEF};
  EXPECT_EQ(modeSCrcSyndrome(nullptr, 0), 0u);
  EXPECT_EQ(modeSCrcSyndrome(bytes, 1), 0u);
  EXPECT_EQ(modeSCrcSyndrome(bytes, 2), 0u);
  EXPECT_EQ(modeSCrcSyndrome(bytes, 3), 0xABCDEFu);
}

TEST(ModeSCrcSyndrome, SingleAndDoubleBitFrames) {
  struct Case {
    std::initializer_list<int> bits;
    uint32_t syndrome;
  };
  const Case cases[] = {
      {{111}, 1}, {{110, 111}, 3}, {{88}, 0x800000}, {{87}, 0xFFF409}, {{}, 0},
  };
  for (const Case& c : cases) {
    const auto frame = frameWithBits(c.bits);
    EXPECT_EQ(modeSCrcSyndrome(frame.data(), 14), c.syndrome);
  }
}

TEST(ModeSCrcSyndrome, IntactFramesGiveZero) {
  // Real extended squitters and a short reply built with its parity appended.
  for (const char* hex : {"8D4840D6202CC371C32CE0576098", "8D40621D58C382D690C8AC2863A7"}) {
    const auto frame = fromHex(hex);
    EXPECT_EQ(modeSCrcSyndrome(frame.data(), 14), 0u) << hex;
  }
  std::vector<uint8_t> shortFrame = {0x5D, 0x48, 0x40, 0xD6, 0, 0, 0};
  const uint32_t crc = modeSCrc(shortFrame.data(), 4);
  shortFrame[4] = static_cast<uint8_t>(crc >> 16);
  shortFrame[5] = static_cast<uint8_t>(crc >> 8);
  shortFrame[6] = static_cast<uint8_t>(crc);
  EXPECT_EQ(modeSCrcSyndrome(shortFrame.data(), 7), 0u);
  // Address/parity: parity XOR address leaves the address as the syndrome.
  shortFrame[4] ^= 0x48;
  shortFrame[5] ^= 0x40;
  shortFrame[6] ^= 0xD6;
  EXPECT_EQ(modeSCrcSyndrome(shortFrame.data(), 7), 0x4840D6u);
}

class ErrorSyndromeTableTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { table.build(); }
  static ErrorSyndromeTable table;
};
ErrorSyndromeTable ErrorSyndromeTableTest::table;

TEST_F(ErrorSyndromeTableTest, HoldsEveryPatternOnce) {
  EXPECT_EQ(table.size(), 5778u);
  EXPECT_EQ(table.find(0), nullptr);
  size_t ones = 0;
  std::set<std::pair<int, int>> pairs;
  uint32_t previous = 0;
  for (const auto& [syndrome, pattern] : table.patterns()) {
    EXPECT_GT(syndrome, previous);
    previous = syndrome;
    EXPECT_GE(pattern.firstBit, 5);
    if (pattern.bitCount == 1) {
      ++ones;
      EXPECT_EQ(pattern.secondBit, -1);
    } else {
      EXPECT_EQ(pattern.bitCount, 2);
      EXPECT_LT(pattern.firstBit, pattern.secondBit);
      EXPECT_LE(pattern.secondBit, 111);
      pairs.insert({pattern.firstBit, pattern.secondBit});
    }
  }
  EXPECT_EQ(ones, 107u);
  EXPECT_EQ(pairs.size(), 5671u);
}

TEST_F(ErrorSyndromeTableTest, KnownEntriesAndMisses) {
  struct Case {
    uint32_t syndrome;
    int count, first, second;
  };
  for (const Case& c : {Case{1, 1, 111, -1}, Case{3, 2, 110, 111}, Case{0x800000, 1, 88, -1}}) {
    const ErrorPattern* pattern = table.find(c.syndrome);
    ASSERT_NE(pattern, nullptr) << c.syndrome;
    EXPECT_EQ(pattern->bitCount, c.count);
    EXPECT_EQ(pattern->firstBit, c.first);
    EXPECT_EQ(pattern->secondBit, c.second);
  }
  // A DF-field error is not in the table.
  const auto dfError = frameWithBits({0});
  EXPECT_EQ(table.find(modeSCrcSyndrome(dfError.data(), 14)), nullptr);
  EXPECT_EQ(table.find(0xFFFFFFFF), nullptr);
}

TEST_F(ErrorSyndromeTableTest, RepairedFramesHaveZeroSyndrome) {
  const auto good = fromHex("8D4840D6202CC371C32CE0576098");
  std::mt19937 random(11);
  for (int round = 0; round < 500; ++round) {
    auto frame = good;
    const int a = 5 + static_cast<int>(random() % 107);
    int b = 5 + static_cast<int>(random() % 107);
    frame[a / 8] ^= static_cast<uint8_t>(0x80 >> (a % 8));
    if (round % 2 && b != a) frame[b / 8] ^= static_cast<uint8_t>(0x80 >> (b % 8));
    const ErrorPattern* pattern = table.find(modeSCrcSyndrome(frame.data(), 14));
    ASSERT_NE(pattern, nullptr);
    for (int bit : {pattern->firstBit, pattern->secondBit})
      if (bit >= 0) frame[bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8));
    EXPECT_EQ(modeSCrcSyndrome(frame.data(), 14), 0u);
    EXPECT_EQ(frame, good);
  }
}

TEST(ErrorSyndromeTable, BuildIsIdempotent) {
  ErrorSyndromeTable table;
  EXPECT_TRUE(table.empty());
  table.build();
  table.build();
  EXPECT_EQ(table.size(), 5778u);
}
