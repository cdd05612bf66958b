#include "tools/bench/frame_corpus.h"

#include <cmath>
#include <cstring>
#include <random>

#include "decode/cpr.h"
#include "sdr/crc.h"

namespace {

// Writes `value` into `width` bits starting at bit `first` (bit 0 = MSB of byte 0).
void putBits(uint8_t* bytes, int first, int width, uint64_t value) {
  for (int i = 0; i < width; ++i) {
    const int bit = first + i;
    const bool set = (value >> (width - 1 - i)) & 1;
    const uint8_t mask = static_cast<uint8_t>(0x80 >> (bit % 8));
    bytes[bit / 8] = set ? (bytes[bit / 8] | mask) : (bytes[bit / 8] & ~mask);
  }
}

void putParity(CorpusFrame& frame, uint32_t overlay) {
  const uint32_t n = frame.length;
  const uint32_t parity = modeSCrc(frame.bytes, n - 3) ^ overlay;
  frame.bytes[n - 3] = static_cast<uint8_t>(parity >> 16);
  frame.bytes[n - 2] = static_cast<uint8_t>(parity >> 8);
  frame.bytes[n - 1] = static_cast<uint8_t>(parity);
}

uint32_t altitudeCode13(int feet) {
  const uint32_t n = static_cast<uint32_t>((feet + 1000) / 25);
  return ((n >> 5) << 7) | (((n >> 4) & 1) << 5) | 0x10 | (n & 0x0F);
}

uint32_t altitudeCode12(int feet) {
  const uint32_t n = static_cast<uint32_t>((feet + 1000) / 25);
  return ((n >> 4) << 5) | 0x10 | (n & 0x0F);
}

// Octal digits a b c d into the interleaved identity field C1 A1 C2 A2 C4 A4 X B1 D1 B2 D2 B4 D4.
uint32_t identityCode13(int squawk) {
  const int a = (squawk >> 9) & 7, b = (squawk >> 6) & 7, c = (squawk >> 3) & 7, d = squawk & 7;
  auto bit = [](int digit, int weight) { return (digit & weight) ? 1u : 0u; };
  return bit(c, 1) << 12 | bit(a, 1) << 11 | bit(c, 2) << 10 | bit(a, 2) << 9 | bit(c, 4) << 8 |
         bit(a, 4) << 7 | bit(b, 1) << 5 | bit(d, 1) << 4 | bit(b, 2) << 3 | bit(d, 2) << 2 |
         bit(b, 4) << 1 | bit(d, 4);
}

uint64_t packCallsign(const char* text) {
  static const char alphabet[] = "#ABCDEFGHIJKLMNOPQRSTUVWXYZ##### ###############0123456789######";
  uint64_t packed = 0;
  for (int i = 0; i < 8; ++i) {
    const char c = text[i] ? text[i] : ' ';
    const char* at = std::strchr(alphabet, c);
    packed = packed << 6 | static_cast<uint64_t>(at ? at - alphabet : 32);
    if (!text[i]) --text;  // keep padding with blanks
  }
  return packed;
}

void cprEncode(double latitude, double longitude, bool odd, uint32_t& yz, uint32_t& xz) {
  const double scale = 131072.0;
  const double dlat = 360.0 / (odd ? 59 : 60);
  const double lat = std::fmod(latitude + 360.0, 360.0);
  yz = static_cast<uint32_t>(std::floor(scale * std::fmod(lat, dlat) / dlat + 0.5));
  const double rlat = dlat * (yz / scale + std::floor(lat / dlat));
  const int nl = cprNL(rlat > 270 ? rlat - 360 : rlat) - (odd ? 1 : 0);
  const double dlon = 360.0 / (nl > 1 ? nl : 1);
  const double lon = std::fmod(longitude + 360.0, 360.0);
  xz = static_cast<uint32_t>(std::floor(scale * std::fmod(lon, dlon) / dlon + 0.5));
  yz &= 0x1FFFF;
  xz &= 0x1FFFF;
}

struct Aircraft {
  uint32_t address;
  double latitude, longitude;
  double speedNorth, speedEast;  // degrees per second
  int altitude;
  int squawk;
  char callsign[9];
};

}  // namespace

std::vector<CorpusFrame> makeFrameCorpus(uint32_t aircraftCount, uint32_t frameCount, uint32_t seconds) {
  std::mt19937 random(1090);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<Aircraft> fleet(aircraftCount);
  // Blocks of European and US addresses, all inside country blocks; a few adjacent pairs.
  const uint32_t blocks[] = {0x3C0000, 0x400000, 0x480000, 0x4B0000, 0x380000, 0xA00000, 0x440000};
  for (uint32_t i = 0; i < aircraftCount; ++i) {
    Aircraft& a = fleet[i];
    a.address = blocks[i % 7] + (random() & 0x7FFF);
    if (i % 50 == 1) a.address = fleet[i - 1].address ^ 1;
    a.latitude = 50.0 + 4.0 * unit(random);
    a.longitude = 4.0 + 6.0 * unit(random);
    a.speedNorth = (unit(random) - 0.5) * 0.004;
    a.speedEast = (unit(random) - 0.5) * 0.006;
    a.altitude = 1000 + 25 * static_cast<int>(random() % 1500);
    a.squawk = static_cast<int>(random() & 07777);
    std::snprintf(a.callsign, sizeof a.callsign, "%c%c%c%04u", 'A' + static_cast<int>(random() % 26),
                  'A' + static_cast<int>(random() % 26), 'A' + static_cast<int>(random() % 26),
                  static_cast<unsigned>(random() % 10000));
  }

  std::vector<CorpusFrame> frames;
  frames.reserve(frameCount);
  for (uint32_t n = 0; n < frameCount; ++n) {
    CorpusFrame f{};
    f.timeOffset = static_cast<uint32_t>(uint64_t{n} * seconds / frameCount);
    const Aircraft& a = fleet[random() % aircraftCount];
    const double t = f.timeOffset;
    const double latitude = a.latitude + a.speedNorth * t;
    const double longitude = a.longitude + a.speedEast * t;
    const uint32_t kind = random() % 100;
    if (kind < 45) {
      // DF17: positions, velocities, identification.
      f.length = 14;
      putBits(f.bytes, 0, 5, 17);
      putBits(f.bytes, 5, 3, 5);
      putBits(f.bytes, 8, 24, a.address);
      const uint32_t me = random() % 10;
      if (me < 5) {
        const bool odd = (n & 1) != 0;
        uint32_t yz, xz;
        cprEncode(latitude, longitude, odd, yz, xz);
        putBits(f.bytes, 32, 5, 11);
        putBits(f.bytes, 40, 12, altitudeCode12(a.altitude));
        putBits(f.bytes, 53, 1, odd);
        putBits(f.bytes, 54, 17, yz);
        putBits(f.bytes, 71, 17, xz);
      } else if (me < 9) {
        const int vew = static_cast<int>(a.speedEast * 216000) ;  // knots, roughly
        const int vns = static_cast<int>(a.speedNorth * 216000);
        putBits(f.bytes, 32, 5, 19);
        putBits(f.bytes, 37, 3, 1);
        putBits(f.bytes, 43, 3, 1);
        putBits(f.bytes, 45, 1, vew < 0);
        putBits(f.bytes, 46, 10, static_cast<uint64_t>(std::abs(vew) + 1));
        putBits(f.bytes, 56, 1, vns < 0);
        putBits(f.bytes, 57, 10, static_cast<uint64_t>(std::abs(vns) + 1));
        putBits(f.bytes, 67, 1, 1);
        putBits(f.bytes, 69, 9, 1 + random() % 20);
      } else {
        putBits(f.bytes, 32, 5, 4);
        putBits(f.bytes, 37, 3, 3);
        putBits(f.bytes, 40, 48, packCallsign(a.callsign));
      }
      putParity(f, 0);
    } else if (kind < 47) {
      // DF18 (non-transponder ADS-B): airborne position.
      f.length = 14;
      putBits(f.bytes, 0, 5, 18);
      putBits(f.bytes, 8, 24, a.address);
      uint32_t yz, xz;
      const bool odd = (n & 1) != 0;
      cprEncode(latitude, longitude, odd, yz, xz);
      putBits(f.bytes, 32, 5, 12);
      putBits(f.bytes, 40, 12, altitudeCode12(a.altitude));
      putBits(f.bytes, 53, 1, odd);
      putBits(f.bytes, 54, 17, yz);
      putBits(f.bytes, 71, 17, xz);
      putParity(f, 0);
    } else if (kind < 60) {
      // DF11 all-call: mostly clean, some with an interrogator code.
      f.length = 7;
      putBits(f.bytes, 0, 5, 11);
      putBits(f.bytes, 5, 3, 5);
      putBits(f.bytes, 8, 24, a.address);
      putParity(f, kind < 57 ? 0 : 1 + random() % 15);
    } else if (kind < 72) {
      // DF4 altitude reply.
      f.length = 7;
      putBits(f.bytes, 0, 5, 4);
      putBits(f.bytes, 19, 13, altitudeCode13(a.altitude));
      putParity(f, a.address);
    } else if (kind < 80) {
      // DF5 identity reply.
      f.length = 7;
      putBits(f.bytes, 0, 5, 5);
      putBits(f.bytes, 19, 13, identityCode13(a.squawk));
      putParity(f, a.address);
    } else if (kind < 84) {
      // DF0 short air-air surveillance.
      f.length = 7;
      putBits(f.bytes, 0, 5, 0);
      putBits(f.bytes, 8, 3, 7);
      putBits(f.bytes, 13, 4, 3);
      putBits(f.bytes, 19, 13, altitudeCode13(a.altitude));
      putParity(f, a.address);
    } else if (kind < 86) {
      // DF16 long air-air surveillance.
      f.length = 14;
      putBits(f.bytes, 0, 5, 16);
      putBits(f.bytes, 8, 3, 7);
      putBits(f.bytes, 13, 4, 3);
      putBits(f.bytes, 19, 13, altitudeCode13(a.altitude));
      putBits(f.bytes, 32, 8, 0x30);
      putParity(f, a.address);
    } else if (kind < 94) {
      // DF20 Comm-B altitude reply with identification (register 2,0).
      f.length = 14;
      putBits(f.bytes, 0, 5, 20);
      putBits(f.bytes, 19, 13, altitudeCode13(a.altitude));
      putBits(f.bytes, 32, 8, 0x20);
      putBits(f.bytes, 40, 48, packCallsign(a.callsign));
      putParity(f, a.address);
    } else {
      // DF21 Comm-B identity reply with selected vertical intention (register 4,0).
      f.length = 14;
      putBits(f.bytes, 0, 5, 21);
      putBits(f.bytes, 19, 13, identityCode13(a.squawk));
      const uint32_t selected = static_cast<uint32_t>(a.altitude / 16);
      putBits(f.bytes, 32, 1, 1);
      putBits(f.bytes, 33, 12, selected);
      putBits(f.bytes, 45, 1, 1);
      putBits(f.bytes, 46, 12, selected);
      putBits(f.bytes, 58, 1, 1);
      putBits(f.bytes, 59, 12, 2132);  // 1013.2 hPa
      putBits(f.bytes, 79, 1, 1);
      putBits(f.bytes, 80, 3, 0);
      putBits(f.bytes, 85, 1, 1);
      putBits(f.bytes, 86, 2, 3);
      putParity(f, a.address);
    }
    frames.push_back(f);
  }
  return frames;
}

void addAddressParityNoise(std::vector<CorpusFrame>& frames, uint32_t percent) {
  std::mt19937 random(1091);
  const int formats[] = {0, 4, 5, 20, 21};
  for (CorpusFrame& f : frames) {
    if (random() % 100 >= percent) continue;
    const int df = formats[random() % 5];
    f.length = df >= 16 ? 14 : 7;
    for (uint8_t& byte : f.bytes) byte = static_cast<uint8_t>(random());
    putBits(f.bytes, 0, 5, static_cast<uint64_t>(df));
  }
}
