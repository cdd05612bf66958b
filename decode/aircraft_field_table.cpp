#include "decode/aircraft_field_table.h"

#include <algorithm>
#include <cmath>

namespace {

struct KeyInfo {
  const char* name;
  FieldKind kind;
};

constexpr FieldKind I = FieldKind::Integer;
constexpr FieldKind N = FieldKind::Number;
constexpr FieldKind F = FieldKind::Flag;

constexpr KeyInfo kKeys[kFieldKeyCount] = {
    {"CAT", I},  {"CAT2", I}, {"FS", I},    {"CA", I},    {"CF", I},    {"DR", I},
    {"UM", I},   {"NIC", I},  {"NUCR", I},  {"MBIT", I},  {"QBIT", I},  {"GNSS", I},
    {"VSRC", I}, {"AST", I},  {"IAS", I},   {"TAS", I},   {"PA", F},    {"ACAS", F},
    {"ALRT", F}, {"SPI", F},  {"IC", I},    {"SSC", F},   {"IFR", I},   {"TS", F},
    {"RI", I},   {"CC", F},   {"SL", I},    {"IIS", I},   {"PS", I},    {"WD", I},
    {"WS", I},   {"TEMP", N}, {"PRS", I},   {"MCP", I},   {"MCPS", I},  {"FMS", I},
    {"QNH", I},  {"FCU", I},  {"RA", N},    {"TR", N},    {"HAE", I},   {"HAB", F},
    {"MACH", I}, {"HDG", N},  {"HRD", F},   {"THDG", I},  {"TTRK", I},  {"AP", F},
    {"VNAV", F}, {"AHOLD", F}, {"APPR", F}, {"TCAS", I},  {"TCASR", F}, {"TAT", I},
    {"VMI", I},  {"HDA", I},  {"HMI", I},
};

// Where each key's value comes from in a message. TAS (15) and HDG (43) are left to the
// aircraft record, which smooths them first.
struct Source {
  int key;
  MessageField field;
  int32_t Message::*integer;
  bool Message::*flag;
  double Message::*number;
};

constexpr Source integerSource(int key, MessageField field, int32_t Message::*member) {
  return {key, field, member, nullptr, nullptr};
}
constexpr Source flagSource(int key, MessageField field, bool Message::*member) {
  return {key, field, nullptr, member, nullptr};
}
constexpr Source numberSource(int key, MessageField field, double Message::*member) {
  return {key, field, nullptr, nullptr, member};
}

using MF = MessageField;

constexpr Source kSources[] = {
    integerSource(0, MF::CAT, &Message::cat),        integerSource(1, MF::CAT2, &Message::cat2),
    integerSource(2, MF::FS, &Message::fs),          integerSource(3, MF::CA, &Message::ca),
    integerSource(4, MF::CF, &Message::cf),          integerSource(5, MF::DR, &Message::dr),
    integerSource(6, MF::UM, &Message::um),          integerSource(7, MF::NIC, &Message::nic),
    integerSource(8, MF::NUCR, &Message::nucr),      integerSource(9, MF::MBIT, &Message::mbit),
    integerSource(10, MF::QBIT, &Message::qbit),     integerSource(11, MF::GNSS, &Message::gnss),
    integerSource(12, MF::VSRC, &Message::vsrc),     integerSource(13, MF::AST, &Message::ast),
    integerSource(14, MF::IAS, &Message::ias),       flagSource(16, MF::PA, &Message::pa),
    flagSource(17, MF::ACAS, &Message::acas),        flagSource(18, MF::ALRT, &Message::alrt),
    flagSource(19, MF::SPI, &Message::spi),          integerSource(20, MF::IC, &Message::ic),
    flagSource(21, MF::SSC, &Message::ssc),          integerSource(22, MF::IFR, &Message::ifr),
    flagSource(23, MF::TS, &Message::ts),            integerSource(24, MF::RI, &Message::ri),
    flagSource(25, MF::CC, &Message::cc),            integerSource(26, MF::SL, &Message::sl),
    integerSource(27, MF::IIS, &Message::iis),       integerSource(28, MF::PS, &Message::ps),
    integerSource(29, MF::WDIR, &Message::wdir),     integerSource(30, MF::WSPD, &Message::wspd),
    numberSource(31, MF::TEMP, &Message::temp),      integerSource(32, MF::PRESSURE, &Message::pressure),
    integerSource(33, MF::MCP, &Message::mcp),       integerSource(34, MF::MCPS, &Message::mcps),
    integerSource(35, MF::FMS, &Message::fms),       integerSource(36, MF::QNH, &Message::qnh),
    integerSource(37, MF::FCU, &Message::fcu),       numberSource(38, MF::RA, &Message::ra),
    numberSource(39, MF::TR, &Message::tr),          integerSource(40, MF::HAE, &Message::hae),
    flagSource(41, MF::HAB, &Message::hab),          integerSource(42, MF::MACH, &Message::mach),
    flagSource(44, MF::HRD, &Message::hrd),          integerSource(45, MF::THDG, &Message::thdg),
    integerSource(46, MF::TTRK, &Message::ttrk),     flagSource(47, MF::AP, &Message::ap),
    flagSource(48, MF::VNAV, &Message::vnav),        flagSource(49, MF::AHOLD, &Message::ahold),
    flagSource(50, MF::APPR, &Message::appr),        integerSource(51, MF::TCAS, &Message::tcas),
    flagSource(52, MF::TCASRUN, &Message::tcasrun),  integerSource(53, MF::TAT, &Message::tat),
    integerSource(54, MF::VMI, &Message::vmi),       integerSource(55, MF::HDA, &Message::hda),
    integerSource(56, MF::HMI, &Message::hmi),
};

bool sameNumber(float a, float b) {
  if (a == b) return true;
  const float scale = std::max(std::fabs(a), std::fabs(b));
  return std::fabs(a - b) <= scale * 0x1p-23f;
}

}  // namespace

const char* fieldShortName(int key) {
  return key >= 0 && key < kFieldKeyCount ? kKeys[key].name : "";
}

FieldKind fieldKind(int key) {
  return key >= 0 && key < kFieldKeyCount ? kKeys[key].kind : FieldKind::Integer;
}

AircraftFieldTable::AircraftFieldTable() {
  for (int key = 0; key < kFieldKeyCount; ++key) records[key].kind = kKeys[key].kind;
}

FieldRecord* AircraftFieldTable::begin(int key, uint32_t time) {
  if (!valid(key)) return nullptr;
  FieldRecord& record = records[key];
  record.lastUpdate = time;
  return &record;
}

void AircraftFieldTable::stampChange(FieldRecord& record, uint32_t serial) {
  record.present = true;
  record.changedSerial = serial;
  record.staleSerial = 0;
}

void AircraftFieldTable::setInteger(int key, int32_t value, uint32_t serial, uint32_t time) {
  FieldRecord* record = begin(key, time);
  if (record == nullptr) return;
  if (record->staleSerial != 0 || !record->present || record->changedSerial == 0 ||
      record->integer != value) {
    record->integer = value;
    stampChange(*record, serial);
  }
}

void AircraftFieldTable::setNumber(int key, float value, uint32_t serial, uint32_t time) {
  FieldRecord* record = begin(key, time);
  if (record == nullptr) return;
  if (record->staleSerial != 0 || !record->present || record->changedSerial == 0 ||
      !sameNumber(record->number, value)) {
    record->number = value;
    stampChange(*record, serial);
  }
}

void AircraftFieldTable::setFlag(int key, bool value, uint32_t serial, uint32_t time) {
  FieldRecord* record = begin(key, time);
  if (record == nullptr) return;
  if (record->staleSerial != 0 || !record->present || record->changedSerial == 0 ||
      record->flag != value) {
    record->flag = value;
    stampChange(*record, serial);
  }
}

void AircraftFieldTable::applyMessage(const Message& message, uint32_t serial) {
  for (const Source& source : kSources) {
    if (!message.has(source.field)) continue;
    if (source.integer != nullptr) {
      setInteger(source.key, message.*source.integer, serial, message.time);
    } else if (source.flag != nullptr) {
      setFlag(source.key, message.*source.flag, serial, message.time);
    } else {
      setNumber(source.key, static_cast<float>(message.*source.number), serial, message.time);
    }
  }
}

bool AircraftFieldTable::isFresh(int key, uint32_t now) const {
  if (!has(key)) return false;
  return now == 0 || int64_t(now) - int64_t(records[key].lastUpdate) <= 30;
}
