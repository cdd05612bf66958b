#include "decode/msg_line.h"

#include "app/civil_time.h"
#include "app/host_clock.h"
#include "decode/message.h"

#include <cstdio>

int msgType(const Message& m) {
  switch (m.df) {
    case 17:
    case 18:
    case 19: {
      const int tc = m.typeCode;
      if (tc >= 1 && tc <= 4) return 1;
      if (tc >= 5 && tc <= 8) return 2;
      if (tc == 0 || (tc >= 9 && tc <= 18) || (tc >= 20 && tc <= 22)) return 3;
      if (tc == 19) return 4;
      if (tc == 28) return 6;
      return 0;
    }
    case 4:
    case 20: return 5;
    case 5:
    case 21: return 6;
    case 0:
    case 16: return 7;
    case 11: return 8;
    default: return 0;
  }
}

MsgTime msgTimeAt(int64_t unixMillis, bool localTime) {
  int64_t seconds = unixMillis / 1000;
  int millisecond = static_cast<int>(unixMillis % 1000);
  if (millisecond < 0) {
    millisecond += 1000;
    --seconds;
  }
  const CivilTime t = localTime ? localCivilTime(seconds) : civilTimeOf(seconds);
  return {static_cast<int>(t.year), t.month, t.day, t.hour, t.minute, t.second, millisecond};
}

MsgTime msgTimeNow(bool localTime) { return msgTimeAt(hostMicros() / 1000, localTime); }

bool writeMsgLine(bool localTime, const Message& message, std::string& out) {
  if (msgType(message) == 0) return false;
  return formatMsgLine(message, msgTimeNow(localTime), out);
}

namespace {

void appendFormatted(std::string& out, const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  out += text;
}

void appendFlag(std::string& out, const Message& m, MessageField field, bool value) {
  out += ',';
  if (m.has(field)) out += value ? "-1" : "0";
}

}  // namespace

bool formatMsgLine(const Message& m, const MsgTime& t, std::string& out) {
  const int type = msgType(m);
  if (type == 0) return false;
  char head[160];
  char stamp[48];
  std::snprintf(stamp, sizeof stamp, "%04d/%02d/%02d,%02d:%02d:%02d.%03d", t.year, t.month, t.day, t.hour,
                t.minute, t.second, t.millisecond);
  std::snprintf(head, sizeof head, "MSG,%d,0,0,%06X,0,%s,%s,", type, m.icao & 0xFFFFFFu, stamp, stamp);
  std::string line(head);
  if (type == 1 && m.has(MessageField::CALLSIGN)) line += m.callsign;
  line += ',';
  if (m.has(MessageField::ALTITUDE)) {
    line += std::to_string(m.altitude);
  } else if (type == 2) {
    line += '0';
  }
  line += ',';
  if (m.has(MessageField::GS)) appendFormatted(line, "%.1f", m.gs);
  line += ',';
  if ((type == 2 || type == 4) && m.has(MessageField::TT)) appendFormatted(line, "%.1f", m.tt);
  line += ',';
  if (m.has(MessageField::LAT)) appendFormatted(line, "%.6f", m.lat);
  line += ',';
  if (m.has(MessageField::LON)) appendFormatted(line, "%.6f", m.lon);
  line += ',';
  if (m.has(MessageField::VR)) line += std::to_string(m.vr);
  line += ',';
  if (m.has(MessageField::SQUAWK)) {
    char squawk[16];
    std::snprintf(squawk, sizeof squawk, "%04X", static_cast<unsigned>(m.squawk) & 0xFFFFu);
    line += squawk;
  }
  appendFlag(line, m, MessageField::ALRT, m.alrt);
  appendFlag(line, m, MessageField::PA, m.pa);
  appendFlag(line, m, MessageField::SPI, m.spi);
  appendFlag(line, m, MessageField::GR, m.gr);
  line += "\r\n";
  out = std::move(line);
  return true;
}

namespace {

// One dumped field: exactly one of the member pointers is set.
struct DumpField {
  MessageField field;
  const char* label;
  int32_t Message::*integer;
  double Message::*real;
  bool Message::*flag;
};

constexpr DumpField I(MessageField f, const char* label, int32_t Message::*p) { return {f, label, p, nullptr, nullptr}; }
constexpr DumpField D(MessageField f, const char* label, double Message::*p) { return {f, label, nullptr, p, nullptr}; }
constexpr DumpField B(MessageField f, const char* label, bool Message::*p) { return {f, label, nullptr, nullptr, p}; }

using F = MessageField;
using M = Message;

// The dump order; CALLSIGN, SQUAWK and IIS are written by hand around this table.
const DumpField afterSquawk[] = {
    D(F::LAT, "LAT", &M::lat),       D(F::LON, "LON", &M::lon),      I(F::NIC, "NIC", &M::nic),
    I(F::NUCR, "NUCR", &M::nucr),    I(F::ALTITUDE, "ALTITUDE", &M::altitude),
    I(F::MBIT, "MBIT", &M::mbit),    I(F::QBIT, "QBIT", &M::qbit),   I(F::GNSS, "GNSS", &M::gnss),
    I(F::VSRC, "VSRC", &M::vsrc),    I(F::VR, "VR", &M::vr),         D(F::TT, "TT", &M::tt),
    I(F::AST, "AST", &M::ast),       I(F::IAS, "IAS", &M::ias),      I(F::TAS, "TAS", &M::tas),
    D(F::GS, "GS", &M::gs),          B(F::PA, "PA", &M::pa),         B(F::ACAS, "ACAS", &M::acas),
    B(F::ALRT, "ALRT", &M::alrt),    B(F::SPI, "SPI", &M::spi),      B(F::GR, "GR", &M::gr),
    I(F::IC, "IC", &M::ic),
};
const DumpField afterIis[] = {
    B(F::SSC, "SSC", &M::ssc),       I(F::IFR, "IFR", &M::ifr),      B(F::TS, "TS", &M::ts),
    I(F::RI, "RI", &M::ri),          B(F::CC, "CC", &M::cc),         I(F::SL, "SL", &M::sl),
    I(F::PS, "PS", &M::ps),          B(F::CPR, "CPR", &M::cpr),      I(F::WDIR, "WDIR", &M::wdir),
    I(F::WSPD, "WSPD", &M::wspd),    D(F::TEMP, "TEMP", &M::temp),   I(F::PRESSURE, "PRESSURE", &M::pressure),
    I(F::MCP, "MCP", &M::mcp),       I(F::MCPS, "MCPS", &M::mcps),   I(F::FMS, "FMS", &M::fms),
    I(F::QNH, "QNH", &M::qnh),       I(F::FCU, "FCU", &M::fcu),      D(F::RA, "RA", &M::ra),
    D(F::TR, "TR", &M::tr),          I(F::MACH, "MACH", &M::mach),   D(F::HDG, "HDG", &M::hdg),
    I(F::HAE, "HAE", &M::hae),       B(F::HAB, "HAB", &M::hab),      B(F::HRD, "HRD", &M::hrd),
    I(F::THDG, "THDG", &M::thdg),    I(F::TTRK, "TTRK", &M::ttrk),   B(F::AP, "AP", &M::ap),
    B(F::VNAV, "VNAV", &M::vnav),    B(F::AHOLD, "AHOLD", &M::ahold), B(F::APPR, "APPR", &M::appr),
    I(F::TCAS, "TCAS", &M::tcas),    I(F::TAT, "TAT", &M::tat),      I(F::VMI, "VMI", &M::vmi),
    I(F::HDA, "HDA", &M::hda),       I(F::HMI, "HMI", &M::hmi),      B(F::TCASRUN, "TCASRUN", &M::tcasrun),
};

const struct {
  MessageField field;
  const char* label;
} registerMarkers[] = {{F::BDS20, " BDS20"}, {F::BDS40, " BDS40"}, {F::BDS44, " BDS44"}, {F::BDS50, " BDS50"},
                       {F::BDS60, " BDS60"}, {F::BDS61, " BDS61"}, {F::BDS65, " BDS65"}, {F::FMT30, " FMT30"}};

void appendLabel(std::string& out, const char* label) {
  out += ' ';
  out += label;
  out += ' ';
}

void appendFields(std::string& out, const Message& m, const DumpField* begin, const DumpField* end) {
  for (const DumpField* f = begin; f != end; ++f) {
    if (!m.has(f->field)) continue;
    appendLabel(out, f->label);
    if (f->integer) {
      out += std::to_string(m.*(f->integer));
    } else if (f->real) {
      appendFormatted(out, "%G", m.*(f->real));
    } else {
      out += (m.*(f->flag)) ? '1' : '0';
    }
  }
}

void appendInt(std::string& out, const char* label, int32_t value) {
  appendLabel(out, label);
  out += std::to_string(value);
}

}  // namespace

std::string dumpMessage(const Message& m) {
  char head[48];
  std::string out = "DF" + std::to_string(m.df);
  if (m.df == 17 || m.df == 18 || m.df == 19) out += " Type " + std::to_string(m.typeCode);
  std::snprintf(head, sizeof head, " ICAO: %06X", m.icao & 0xFFFFFFu);
  out += head;
  if (m.has(F::CALLSIGN)) {
    appendLabel(out, "CALLSIGN");
    out += m.callsign;
  }
  if (m.has(F::CAT)) appendInt(out, "CAT", m.cat);
  if (m.has(F::CAT2)) appendInt(out, "CAT2", m.cat2);
  if (m.has(F::FS)) appendInt(out, "FS", m.fs);
  if (m.has(F::CA)) appendInt(out, "CA", m.ca);
  if (m.has(F::CF)) appendInt(out, "CF", m.cf);
  if (m.has(F::DR)) appendInt(out, "DR", m.dr);
  if (m.has(F::UM)) appendInt(out, "UM", m.um);
  if (m.has(F::SQUAWK)) {
    char squawk[16];
    std::snprintf(squawk, sizeof squawk, "%04X", static_cast<unsigned>(m.squawk) & 0xFFFFu);
    appendLabel(out, "SQUAWK");
    out += squawk;
  }
  appendFields(out, m, std::begin(afterSquawk), std::end(afterSquawk));
  if (m.has(F::IIS)) {
    if (m.iis < 16) {
      appendInt(out, "II", m.iis);
    } else {
      appendInt(out, "SI", m.iis - 16);
    }
  }
  appendFields(out, m, std::begin(afterIis), std::end(afterIis));
  for (const auto& marker : registerMarkers) {
    if (m.has(marker.field)) out += marker.label;
  }
  out += " TIMESTAMP " + std::to_string(m.time);
  return out;
}
