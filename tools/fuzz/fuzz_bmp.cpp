// libFuzzer target: a silhouette file of any bytes through the BMP-to-PNG conversion, as a
// picture directory with conversion serves it. The input is written to a scratch file (the
// conversion reads a path).
//
// Checks besides the sanitizers: a file that holds a whole 24- or 32-bit picture converts; a PNG
// that comes out decodes to the header's size with the file's pixels, bottom row first in the
// file, top row first in the PNG, and a fourth byte of 0 everywhere taken as opaque.

#include <lodepng.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "json-server/jsonserver/src/bmp_to_png.h"
#include "tools/fuzz/fuzz_support.h"

namespace {

std::string* scratchFile = nullptr;

void removeScratch() {
  if (!scratchFile) return;
  std::error_code ignored;
  std::filesystem::remove_all(std::filesystem::path(*scratchFile).parent_path(), ignored);
}

unsigned le16(const uint8_t* data, size_t at) { return data[at] | static_cast<unsigned>(data[at + 1]) << 8; }

void checkPixels(const uint8_t* data, size_t size, const std::string& png) {
  const unsigned width = le16(data, 18);
  const unsigned height = le16(data, 22);
  const unsigned bytesPerPixel = data[28] / 8u;
  const size_t offset = le16(data, 10);
  const size_t rowSize = (static_cast<size_t>(width) * bytesPerPixel + 3) / 4 * 4;
  FUZZ_CHECK(offset + rowSize * height <= size);

  std::vector<unsigned char> image;
  unsigned decodedWidth = 0;
  unsigned decodedHeight = 0;
  const unsigned error = lodepng::decode(image, decodedWidth, decodedHeight,
                                         reinterpret_cast<const unsigned char*>(png.data()), png.size());
  FUZZ_CHECK(error == 0);
  FUZZ_CHECK(decodedWidth == width && decodedHeight == height);
  FUZZ_CHECK(image.size() == static_cast<size_t>(width) * height * 4);

  bool anyAlpha = false;
  if (bytesPerPixel == 4) {
    for (unsigned y = 0; y < height && !anyAlpha; ++y) {
      for (unsigned x = 0; x < width; ++x) {
        if (data[offset + y * rowSize + x * 4 + 3] != 0) {
          anyAlpha = true;
          break;
        }
      }
    }
  }
  for (unsigned y = 0; y < height; ++y) {
    const uint8_t* row = data + offset + (height - 1 - y) * rowSize;
    for (unsigned x = 0; x < width; ++x) {
      const uint8_t* in = row + x * bytesPerPixel;
      const unsigned char* out = &image[(static_cast<size_t>(y) * width + x) * 4];
      FUZZ_CHECK(out[0] == in[2] && out[1] == in[1] && out[2] == in[0]);
      FUZZ_CHECK(out[3] == (bytesPerPixel == 4 && anyAlpha ? in[3] : 255));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_support::setQuietLogging();
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/velkaro-fuzz-bmp-XXXXXX";
  FUZZ_CHECK(::mkdtemp(&pattern[0]) != nullptr);
  scratchFile = new std::string(pattern + "/picture.bmp");
  std::atexit(removeScratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  {
    std::ofstream out(*scratchFile, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    FUZZ_CHECK(out.good());
  }
  const auto png = convertBmpToPng(*scratchFile);

  // What a picture of the two depths needs: the signature, a size, and every row present.
  bool whole = size >= 54 && data[0] == 'B' && data[1] == 'M' && (data[28] == 24 || data[28] == 32);
  if (whole) {
    const uint64_t width = le16(data, 18);
    const uint64_t height = le16(data, 22);
    const uint64_t rowSize = (width * (data[28] / 8) + 3) / 4 * 4;
    whole = width > 0 && height > 0 && le16(data, 10) + rowSize * height <= size;
  }
  FUZZ_CHECK(png.has_value() == whole);
  if (png) checkPixels(data, size, *png);
  return 0;
}
