#include "decode/icao_country.h"
#include "decode/magnetic_declination.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

TEST(IcaoCountryTable, RowsAreSortedDisjointAlignedBlocks) {
  ASSERT_EQ(IcaoCountryTable::rowCount, 190u);
  for (size_t i = 0; i < IcaoCountryTable::rowCount; ++i) {
    const IcaoCountryRow& row = IcaoCountryTable::rows[i];
    const uint32_t size = row.lastAddress - row.firstAddress + 1;
    EXPECT_TRUE(size == 1024 || size == 4096 || size == 32768 || size == 262144 || size == 1048576)
        << row.name;
    EXPECT_EQ(row.firstAddress % size, 0u) << row.name;
    if (i > 0) {
      EXPECT_GT(row.firstAddress, IcaoCountryTable::rows[i - 1].lastAddress) << row.name;
    }
    // The flag is the name with blanks as underscores, except the two ICAO blocks.
    std::string flag = row.name;
    for (char& c : flag)
      if (c == ' ') c = '_';
    if (flag.rfind("ICAO_", 0) == 0) flag = "ICAO";
    EXPECT_EQ(row.flag, flag + ".bmp");
  }
}

TEST(IcaoCountryTable, Lookups) {
  struct Case {
    uint32_t address;
    const char* name;
    const char* flag;
  };
  const Case cases[] = {
      {0x3C6544, "Germany", "Germany.bmp"},
      {0x010070, "Egypt", "Egypt.bmp"},
      {0xF00123, "ICAO_(1)", "ICAO.bmp"},
      {0xF093FF, "ICAO_(2)", "ICAO.bmp"},
      {0x008000, "South Africa", "South_Africa.bmp"},
      {0x038ABC, "Cote d'Ivoire", "Cote_d'Ivoire.bmp"},
      {0x004000, "Zimbabwe", "Zimbabwe.bmp"},  // first address of the first row
      {0x0043FF, "Zimbabwe", "Zimbabwe.bmp"},  // its last address
      {0xAFFFFF, "United States", "United_States.bmp"},
      {0x501C00, "Croatia", "Croatia.bmp"},
      // No block: before the first row, in gaps, after the last row, beyond 24 bits.
      {0x000000, "", ""},
      {0x003FFF, "", ""},
      {0x004400, "", ""},
      {0x0E1234, "", ""},
      {0x200FFF, "", ""},
      {0x518000, "", ""},
      {0xF08000, "", ""},
      {0xF09400, "", ""},
      {0xFFFFFF, "", ""},
      {0x01004000, "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(icaoCountryName(c.address), c.name) << std::hex << c.address;
    EXPECT_STREQ(icaoCountryFlag(c.address), c.flag) << std::hex << c.address;
    EXPECT_EQ(IcaoCountryTable::holds(c.address), *c.name != '\0') << std::hex << c.address;
  }
}

TEST(IcaoCountryTable, SearchAgreesWithScanAroundEveryBoundary) {
  auto scan = [](uint32_t address) -> const IcaoCountryRow* {
    for (size_t i = 0; i < IcaoCountryTable::rowCount; ++i) {
      const IcaoCountryRow& row = IcaoCountryTable::rows[i];
      if (row.firstAddress <= address && address <= row.lastAddress) return &row;
    }
    return nullptr;
  };
  for (size_t i = 0; i < IcaoCountryTable::rowCount; ++i) {
    const IcaoCountryRow& row = IcaoCountryTable::rows[i];
    for (uint32_t address : {row.firstAddress - 1, row.firstAddress, row.lastAddress, row.lastAddress + 1})
      EXPECT_EQ(IcaoCountryTable::find(address), scan(address)) << std::hex << address;
  }
}

namespace {
int gridAt(int latitude, int longitude) {
  return MagneticDeclinationGrid::values[latitude + 90][longitude + 180];
}
}  // namespace

TEST(MagneticDeclinationGrid, LayoutRules) {
  for (int row = 0; row < MagneticDeclinationGrid::rows; ++row) {
    EXPECT_EQ(MagneticDeclinationGrid::values[row][0], 0) << row;
    for (int column = 0; column < MagneticDeclinationGrid::columns; ++column) {
      const int value = MagneticDeclinationGrid::values[row][column];
      ASSERT_GE(value, -1799) << row << "," << column;
      ASSERT_LE(value, 1800) << row << "," << column;
    }
  }
  // Column 360 is a real value (the same meridian as column 0 would be).
  EXPECT_NE(MagneticDeclinationGrid::values[90][360], 0);
}

// The grid comes from another model epoch than the reference values; a degree of secular
// drift covers the difference, while sign, scale and layout errors would not fit.
TEST(MagneticDeclinationGrid, TellingPointsWithinEpochDrift) {
  struct Point {
    int latitude, longitude, tenths;
  };
  const Point points[] = {
      {0, 0, -52},    {51, 0, -5},    {51, -1, -8},  {40, -74, -127}, {-34, 151, 125},
      {37, -122, 133}, {60, 10, 27},  {90, 0, -35},  {-90, 0, -303},  {0, 180, 96},
  };
  for (const Point& p : points)
    EXPECT_LE(std::abs(gridAt(p.latitude, p.longitude) - p.tenths), 10) << p.latitude << "," << p.longitude;
  // The north-pole row wraps through due south between its fourth and fifth columns.
  const int rowStart[] = {0, 1774, 1784, 1794, -1795, -1785};
  for (int column = 1; column < 6; ++column) {
    const int value = MagneticDeclinationGrid::values[180][column];
    int difference = std::abs(value - rowStart[column]);
    if (difference > 1800) difference = 3600 - difference;
    EXPECT_LE(difference, 10) << column;
  }
}

TEST(MagneticDeclination, LookupTruncatesAndRejects) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    float latitude, longitude;
    int row, column;  // -1: outside the grid, 0 expected
  };
  const Case cases[] = {
      {51.9f, -0.4f, 141, 180},   {-0.7f, 0.0f, 90, 180},    {40.7f, -73.9f, 130, 107},
      {90.0f, 180.0f, 180, 360},  {-90.0f, -179.5f, 0, 1},   {-90.9f, 0.0f, 0, 180},
      {90.9f, 180.9f, 180, 360},  {37.0f, -180.0f, 127, 0},  {10.0f, -180.9f, 100, 0},
      {91.0f, 0.0f, -1, -1},      {-91.0f, 0.0f, -1, -1},    {0.0f, 181.0f, -1, -1},
      {0.0f, -181.0f, -1, -1},    {nan, 0.0f, -1, -1},       {0.0f, nan, -1, -1},
      {inf, 0.0f, -1, -1},        {0.0f, -inf, -1, -1},      {1e30f, 1e30f, -1, -1},
  };
  for (const Case& c : cases) {
    const float expected =
        c.row < 0 ? 0.0f : static_cast<float>(MagneticDeclinationGrid::values[c.row][c.column] * 0.1);
    EXPECT_EQ(magneticDeclination(c.latitude, c.longitude), expected) << c.latitude << "," << c.longitude;
  }
  EXPECT_EQ(magneticDeclination(0.0f, -180.0f), 0.0f);
  EXPECT_NEAR(magneticDeclination(51.9f, -0.4f), -0.5f, 1.0f);
  EXPECT_NEAR(magneticDeclination(-0.7f, 0.0f), -5.2f, 1.0f);
}
