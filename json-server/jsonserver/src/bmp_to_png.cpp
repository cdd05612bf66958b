#include "json-server/jsonserver/src/bmp_to_png.h"

#include "app/logger.h"

#include <lodepng.h>

#include <cstdint>
#include <fstream>
#include <limits>
#include <new>
#include <vector>

namespace {

constexpr size_t headerSize = 54;

// The whole file, read as LodePNG's loader does; empty when it cannot be opened or read.
std::vector<unsigned char> loadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return {};
  const std::streamoff size = in.tellg();
  if (size <= 0 || static_cast<uint64_t>(size) > std::numeric_limits<size_t>::max()) return {};
  std::vector<unsigned char> buffer(static_cast<size_t>(size));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(buffer.data()), size);
  if (in.gcount() != size) return {};
  return buffer;
}

unsigned readLe16(const std::vector<unsigned char>& bytes, size_t offset) {
  return bytes[offset] | static_cast<unsigned>(bytes[offset + 1]) << 8;
}

void logEncodeError(const std::string& path, unsigned code, const char* text) {
  logError("PNG encode file " + path + " error " + std::to_string(code) + ": " + text);
}

}  // namespace

std::optional<std::string> convertBmpToPng(const std::string& path) {
  try {
    const std::vector<unsigned char> bmp = loadFile(path);
    if (bmp.size() < headerSize || bmp[0] != 'B' || bmp[1] != 'M') return std::nullopt;
    const unsigned bitsPerPixel = bmp[28];
    if (bitsPerPixel != 24 && bitsPerPixel != 32) return std::nullopt;

    // Only the low 16 bits of offset, width and height are read; a top-down BMP (negative
    // height) therefore claims far more rows than it holds and is sent unconverted.
    const uint64_t pixelOffset = readLe16(bmp, 10);
    const unsigned width = readLe16(bmp, 18);
    const unsigned height = readLe16(bmp, 22);
    // The encoder accepts a zero width or height but writes a PNG that no reader takes.
    if (width == 0 || height == 0) return std::nullopt;
    const unsigned bytesPerPixel = bitsPerPixel / 8;
    const uint64_t rowSize = (static_cast<uint64_t>(width) * bytesPerPixel + 3) / 4 * 4;
    // In 64 bits, so that no header can make the check pass by overflowing it.
    if (bmp.size() < rowSize * height + pixelOffset) return std::nullopt;

    const uint64_t imageSize = static_cast<uint64_t>(width) * height * 4;
    if (imageSize > std::numeric_limits<size_t>::max() / 2) throw std::bad_alloc();
    std::vector<unsigned char> image(static_cast<size_t>(imageSize));
    // 32-bit pixels are read in the format's own order (blue, green, red, alpha). Many writers
    // leave the fourth byte 0; a picture whose fourth bytes are all 0 is taken as opaque.
    bool anyAlpha = false;
    for (unsigned y = 0; y < height; ++y) {
      const size_t row = static_cast<size_t>(pixelOffset + static_cast<uint64_t>(height - 1 - y) * rowSize);
      for (unsigned x = 0; x < width; ++x) {
        const unsigned char* pixel = &bmp[row + static_cast<size_t>(x) * bytesPerPixel];
        unsigned char* out = &image[(static_cast<size_t>(y) * width + x) * 4];
        out[0] = pixel[2];
        out[1] = pixel[1];
        out[2] = pixel[0];
        out[3] = bytesPerPixel == 4 ? pixel[3] : 255;
        if (bytesPerPixel == 4 && pixel[3] != 0) anyAlpha = true;
      }
    }
    if (bytesPerPixel == 4 && !anyAlpha) {
      for (size_t i = 3; i < image.size(); i += 4) image[i] = 255;
    }

    std::vector<unsigned char> png;
    const unsigned error = lodepng::encode(png, image, width, height, LCT_RGBA, 8);
    if (error != 0) {
      logEncodeError(path, error, lodepng_error_text(error));
      return std::nullopt;
    }
    return std::string(png.begin(), png.end());
  } catch (const std::bad_alloc&) {
    // A huge picture on a small board: send the file as it is rather than fail the request.
    logError("PNG encode file " + path + " error: out of memory");
    return std::nullopt;
  }
}
