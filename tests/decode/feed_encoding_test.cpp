#include "decode/feed_encoding.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<uint8_t> fromHex(const std::string& hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    if (hex[i] == ' ') {
      --i;
      continue;
    }
    bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::string bytesOf(const std::string& hex) {
  const auto b = fromHex(hex);
  return std::string(b.begin(), b.end());
}

const std::vector<uint8_t> klm = fromHex("8D4840D6202CC371C32CE0576098");

TEST(FeedEncoding, BeastDoublesEveryEscapeAfterTheType) {
  EXPECT_EQ(encodeBeast(klm.data(), 14, 0x00001A000102ull, 0x1A),
            bytesOf("1A 33 00 00 1A 1A 00 01 02 1A 1A 8D 48 40 D6 20 2C C3 71 C3 2C E0 57 60 98"));
  const auto ac = fromHex("1A34");
  // Upper 16 bits of the timestamp are not sent; a Mode A/C reply is type '1'.
  EXPECT_EQ(encodeBeast(ac.data(), 2, 0xFFFF000000000005ull, 0xFF), bytesOf("1A 31 00 00 00 00 00 05 FF 1A 1A 34"));
  const auto shortFrame = fromHex("5D4840D6AABBCC");
  EXPECT_EQ(encodeBeast(shortFrame.data(), 7, 1, 2), bytesOf("1A 32 00 00 00 00 00 01 02 5D 48 40 D6 AA BB CC"));
}

TEST(FeedEncoding, SbsPayloadTypesTimestampAndParityResidue) {
  EXPECT_EQ(encodeSbsData(klm.data(), 14, 0x10ABCDEFull),
            bytesOf("01 00 EF CD AB 8D 48 40 D6 20 2C C3 71 C3 2C E0 00 00 00"));
  const auto ac = fromHex("1234");
  EXPECT_EQ(encodeSbsData(ac.data(), 2, 0x10), bytesOf("09 00 10 00 00 12 34"));
  // A DF 20 long frame is type 5; a short frame type 7; an address/parity residue is the address.
  auto df20 = klm;
  df20[0] = 0xA0;
  const std::string long5 = encodeSbsData(df20.data(), 14, 0);
  EXPECT_EQ(long5.size(), 19u);
  EXPECT_EQ(long5[0], 5);
  const auto df11 = fromHex("5D4840D6202CC3");
  const std::string short7 = encodeSbsData(df11.data(), 7, 0);
  EXPECT_EQ(short7.size(), 12u);
  EXPECT_EQ(short7[0], 7);
}

TEST(FeedEncoding, TextLines) {
  EXPECT_EQ(encodeAvr(klm.data(), 14), "*8D4840D6202CC371C32CE0576098;\r\n");
  EXPECT_EQ(encodeAvrMlat(klm.data(), 14, 0x00001A000102ull), "@00001A0001028D4840D6202CC371C32CE0576098;\r\n");
  EXPECT_EQ(encodeAvrMlat(klm.data(), 7, 0xFFFF123456789ABCull), "@123456789ABC8D4840D6202CC3;\r\n");
  EXPECT_EQ(encodeAvrMlatAirspy(klm.data(), 14, 0x123456, 1), "*8D4840D6202CC371C32CE0576098;00061172;01;\r\n");
  EXPECT_EQ(encodeAvrMlatAirspy(klm.data(), 14, 0x1A2B3C4D5E6Full, 5),
            "*8D4840D6202CC371C32CE0576098;6480F2B9;0A;\r\n");
  EXPECT_EQ(encodeAvrMlatAirspy(klm.data(), 2, 3, 3), "*8D48;00000003;06;\r\n");
}

}  // namespace
