#pragma once
// The data items of an aircraft: one record per key 0-56, each taken from one field of the
// decoded messages (or derived from several), shown on the web page under its short name.

#include <cstdint>

#include "decode/message.h"

enum class FieldKind : uint8_t { Integer = 0, Number = 1, Flag = 2 };

constexpr int kFieldKeyCount = 57;

// Keys the aircraft record writes itself rather than straight from a message field.
enum FieldKey : int {
  kFieldTas = 15,
  kFieldWindDirection = 29,
  kFieldWindSpeed = 30,
  kFieldTemperature = 31,
  kFieldMach = 42,
  kFieldHeading = 43,
  kFieldHeadingReference = 44,
};

struct FieldRecord {
  FieldKind kind = FieldKind::Integer;
  bool present = false;  // written at least once
  int32_t integer = 0;   // kind Integer
  float number = 0;      // kind Number
  bool flag = false;     // kind Flag
  uint32_t changedSerial = 0;
  uint32_t lastUpdate = 0;
  uint32_t staleSerial = 0;
};

// The short name of a key, "" for any other key.
const char* fieldShortName(int key);
// The kind of a key; Integer for any other key.
FieldKind fieldKind(int key);

class AircraftFieldTable {
 public:
  AircraftFieldTable();

  // False for keys outside 0-56 and for keys never written.
  bool has(int key) const { return valid(key) && records[key].present; }
  // Precondition: 0 <= key < kFieldKeyCount.
  const FieldRecord& operator[](int key) const { return records[key]; }
  FieldRecord& operator[](int key) { return records[key]; }

  // The write rule of a tracked value; numbers compare equal within one part in 2^23.
  // Keys outside 0-56 are ignored.
  void setInteger(int key, int32_t value, uint32_t serial, uint32_t time);
  void setNumber(int key, float value, uint32_t serial, uint32_t time);
  void setFlag(int key, bool value, uint32_t serial, uint32_t time);

  // Every field of the message that has a key, except TAS and HDG, which the aircraft record
  // smooths before it writes them.
  void applyMessage(const Message& message, uint32_t serial);

  // Present and updated at most 30 s before `now` (any age when `now` is 0).
  bool isFresh(int key, uint32_t now) const;

 private:
  static bool valid(int key) { return key >= 0 && key < kFieldKeyCount; }
  FieldRecord* begin(int key, uint32_t time);
  static void stampChange(FieldRecord& record, uint32_t serial);

  FieldRecord records[kFieldKeyCount];
};
