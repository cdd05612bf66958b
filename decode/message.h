#pragma once
// One decoded Mode S reply or squitter. A field is meaningful only while its
// presence bit is set; readers test the bit before looking at the value.

#include <cstdint>
#include <string>

// Presence bit index of each field. The names are the message dump's labels.
enum class MessageField : int {
  CALLSIGN = 0,
  CAT = 1,
  CAT2 = 2,
  FS = 3,
  CA = 4,
  CF = 5,
  DR = 6,
  UM = 7,
  SQUAWK = 8,
  LAT = 9,
  LON = 10,
  NIC = 11,
  NUCR = 12,
  ALTITUDE = 13,
  MBIT = 14,
  QBIT = 15,
  GNSS = 16,
  VSRC = 17,
  VR = 18,
  TT = 19,
  AST = 20,
  IAS = 21,
  TAS = 22,
  GS = 23,
  PA = 24,
  ACAS = 25,
  ALRT = 26,
  SPI = 27,
  GR = 28,
  IC = 29,
  IIS = 30,
  SSC = 31,
  IFR = 32,
  TS = 33,
  RI = 34,
  CC = 35,
  CPR = 36,
  PS = 37,
  WDIR = 38,
  WSPD = 39,
  TEMP = 40,
  PRESSURE = 41,
  MCP = 42,
  MCPS = 43,
  FMS = 44,
  QNH = 45,
  FCU = 46,
  RA = 47,
  TR = 48,
  HAE = 49,
  HAB = 50,
  MACH = 51,
  HDG = 52,
  BDS20 = 53,
  BDS40 = 54,
  BDS44 = 55,
  BDS50 = 56,
  BDS60 = 57,
  BDS61 = 58,
  BDS65 = 59,
  FMT30 = 60,
  HRD = 61,
  THDG = 62,
  TTRK = 63,
  AP = 64,
  VNAV = 65,
  AHOLD = 66,
  APPR = 67,
  TCAS = 68,
  TAT = 69,
  VMI = 70,
  HDA = 71,
  HMI = 72,
  TCASRUN = 73,
  SL = 74,
};

constexpr int kMessageFieldCount = 75;   // bits 75-95 are never used
constexpr int kMessagePresenceBits = 96;

struct Message {
  // Always valid after a successful decode.
  int32_t df = 0;        // downlink format 0-31
  int32_t typeCode = 0;  // ES type code, DF 17/18/19 only
  uint32_t icao = 0;     // 24-bit address
  uint32_t time = 0;     // host seconds of the frame

  uint32_t presence[3] = {0, 0, 0};

  std::string callsign;  // at most 8 characters, trimmed
  int32_t cat = 0;
  int32_t cat2 = 0;
  int32_t fs = 0;
  int32_t ca = 0;
  int32_t cf = 0;
  int32_t dr = 0;
  int32_t um = 0;
  int32_t squawk = 0;    // four octal digits, one per nibble (7700 is 0x7700)
  double lat = 0.0;
  double lon = 0.0;
  int32_t nic = 0;
  int32_t nucr = 0;
  int32_t altitude = 0;  // feet
  int32_t mbit = 0;
  int32_t qbit = 0;
  int32_t gnss = 0;      // GNSS minus barometric height, feet
  int32_t vsrc = 0;
  int32_t vr = 0;        // feet per minute, positive up
  double tt = 0.0;       // true track, degrees
  int32_t ast = 0;
  int32_t ias = 0;       // knots
  int32_t tas = 0;       // knots
  double gs = 0.0;       // knots
  bool pa = false;
  bool acas = false;
  bool alrt = false;
  bool spi = false;
  bool gr = false;
  int32_t ic = 0;
  int32_t iis = 0;       // 1-15 II code; 16 + SI code
  bool ssc = false;
  int32_t ifr = 0;
  bool ts = false;
  int32_t ri = 0;
  bool cc = false;
  bool cpr = false;      // false even, true odd
  int32_t ps = 0;
  int32_t wdir = 0;      // degrees
  int32_t wspd = 0;      // knots
  double temp = 0.0;     // degrees Celsius
  int32_t pressure = 0;  // carried for the dump and the field table; never decoded
  int32_t mcp = 0;       // hundreds of feet
  int32_t mcps = 0;
  int32_t fms = 0;       // hundreds of feet
  int32_t qnh = 0;       // hectopascal
  int32_t fcu = 0;
  double ra = 0.0;       // roll, degrees, right wing down positive
  double tr = 0.0;       // track rate, degrees per second
  int32_t hae = 0;       // raw GNSS height field
  bool hab = false;
  int32_t mach = 0;      // Mach times 1000
  double hdg = 0.0;      // degrees
  bool hrd = false;
  int32_t thdg = 0;
  int32_t ttrk = 0;
  bool ap = false;
  bool vnav = false;
  bool ahold = false;
  bool appr = false;
  int32_t tcas = 0;
  int32_t tat = 0;
  int32_t vmi = 0;
  int32_t hda = 0;
  int32_t hmi = 0;
  bool tcasrun = false;
  int32_t sl = 0;

  // Bit n lives in word n / 32 at position n % 32. Indices outside 0-95 are ignored.
  bool hasBit(int n) const {
    return n >= 0 && n < kMessagePresenceBits && ((presence[n >> 5] >> (n & 31)) & 1u) != 0;
  }
  void setBit(int n) {
    if (n >= 0 && n < kMessagePresenceBits) presence[n >> 5] |= 1u << (n & 31);
  }
  bool has(MessageField field) const { return hasBit(static_cast<int>(field)); }
  void set(MessageField field) { setBit(static_cast<int>(field)); }
  bool empty() const { return (presence[0] | presence[1] | presence[2]) == 0; }

  // Back to the freshly created state (a callsign fits the string's inline buffer).
  void reset() { *this = Message(); }
};
