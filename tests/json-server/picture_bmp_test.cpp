// BMP silhouettes to PNG: the pixels of 24- and 32-bit pictures survive, and any malformed file
// is left unconverted without reading outside it.

#include <gtest/gtest.h>

#include <lodepng.h>

#include "json-server/jsonserver/src/bmp_to_png.h"
#include "tests/json-server/web_files_test_support.h"

namespace web_test {
namespace {

std::vector<Rgba> decodePng(const std::string& png, unsigned& width, unsigned& height) {
  std::vector<unsigned char> rgba;
  const unsigned error = lodepng::decode(rgba, width, height, reinterpret_cast<const unsigned char*>(png.data()),
                                         png.size(), LCT_RGBA, 8);
  EXPECT_EQ(error, 0u) << lodepng_error_text(error);
  std::vector<Rgba> pixels;
  for (size_t i = 0; i + 3 < rgba.size(); i += 4) pixels.push_back(Rgba{rgba[i], rgba[i + 1], rgba[i + 2], rgba[i + 3]});
  return pixels;
}

TEST(BmpToPngTest, PixelsOf24And32BitPicturesSurvive) {
  ScratchFolder scratch;
  struct Case {
    int width, height, bits;
    uint8_t alpha;  // 255: opaque pixels; else alpha varies per pixel
  };
  // 1 and 3 pixels wide need row padding at 24 bits (3 -> 4 and 9 -> 12 bytes).
  for (const Case c : {Case{1, 1, 24, 255}, Case{1, 3, 24, 255}, Case{3, 2, 24, 255}, Case{20, 16, 24, 255},
                       Case{3, 2, 32, 255}, Case{3, 2, 32, 40}}) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + "x" + std::to_string(c.bits));
    const std::vector<Rgba> pixels = testPixels(c.width, c.height, c.alpha);
    const std::string path = scratch.write("p.bmp", makeBmp(c.width, c.height, c.bits, pixels));
    const auto png = convertBmpToPng(path);
    ASSERT_TRUE(png);
    unsigned width = 0, height = 0;
    const std::vector<Rgba> decoded = decodePng(*png, width, height);
    EXPECT_EQ(width, static_cast<unsigned>(c.width));
    EXPECT_EQ(height, static_cast<unsigned>(c.height));
    EXPECT_TRUE(decoded == pixels);
  }
}

TEST(BmpToPngTest, ThirtyTwoBitPictureWithoutAlphaIsOpaque) {
  ScratchFolder scratch;
  std::vector<Rgba> pixels = testPixels(4, 3);
  for (auto& p : pixels) p.a = 0;
  const auto png = convertBmpToPng(scratch.write("p.bmp", makeBmp(4, 3, 32, pixels)));
  ASSERT_TRUE(png);
  unsigned width = 0, height = 0;
  for (auto& p : pixels) p.a = 255;
  EXPECT_TRUE(decodePng(*png, width, height) == pixels);
}

TEST(BmpToPngTest, MalformedFilesAreNotConverted) {
  ScratchFolder scratch;
  const std::string good = makeBmp(4, 4, 24, testPixels(4, 4));
  auto with = [&](size_t offset, uint32_t value, int count) {
    std::string bytes = good;
    putLe(bytes, offset, value, count);
    return bytes;
  };
  const std::pair<const char*, std::string> cases[] = {
      {"empty", ""},
      {"header cut short", good.substr(0, 53)},
      {"pixel rows one byte short", good.substr(0, good.size() - 1)},
      {"not BM", "XM" + good.substr(2)},
      {"8 bits per pixel", with(28, 8, 2)},
      {"16 bits per pixel", with(28, 16, 2)},
      {"huge width", with(18, 65535, 4)},
      {"huge height", with(22, 65535, 4)},
      {"huge both", with(18, 65535, 4).replace(22, 2, "\xff\xff")},
      {"negative height (top-down)", with(22, static_cast<uint32_t>(-4), 4)},
      {"pixel offset past the end", with(10, 60000, 4)},
      {"pixel offset inside the header", with(10, 0, 4) + std::string(4, '\0')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    const auto png = convertBmpToPng(scratch.write("bad.bmp", c.second));
    // Only the offset into the header still holds the pixel rows it needs: it converts garbage.
    EXPECT_EQ(png.has_value(), std::string(c.first) == "pixel offset inside the header");
  }
  EXPECT_FALSE(convertBmpToPng(scratch.path + "/missing.bmp"));
  EXPECT_FALSE(convertBmpToPng(scratch.path));  // a folder
}

TEST(BmpToPngTest, ZeroSizedPictureIsNotConverted) {
  // The encoder would take it and write a PNG that no reader accepts.
  ScratchFolder scratch;
  const std::string good = makeBmp(4, 4, 24, testPixels(4, 4));
  for (const size_t field : {size_t(18), size_t(22)}) {
    std::string bytes = good;
    putLe(bytes, field, 0, 4);
    EXPECT_FALSE(convertBmpToPng(scratch.write("zero.bmp", bytes))) << field;
  }
}

}  // namespace
}  // namespace web_test
