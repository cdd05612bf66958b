#include "tools/synth/iq_format.h"

namespace {

struct TypeInfo {
  SynthIqType type;
  const char* name;
  uint32_t factor;
};

const TypeInfo types[] = {
    {SynthIqType::Rtl, "rtl", 1},       {SynthIqType::Airspy10, "airspy10", 5}, {SynthIqType::Airspy6, "airspy6", 3},
    {SynthIqType::Raw10, "raw10", 5},   {SynthIqType::Raw12, "raw12", 6},       {SynthIqType::Raw20, "raw20", 10},
};

const TypeInfo& infoOf(SynthIqType type) {
  for (const TypeInfo& t : types)
    if (t.type == type) return t;
  return types[0];
}

}  // namespace

bool parseSynthIqType(const std::string& name, SynthIqType& type) {
  for (const TypeInfo& t : types) {
    if (name == t.name) {
      type = t.type;
      return true;
    }
  }
  return false;
}

const char* synthIqTypeName(SynthIqType type) { return infoOf(type).name; }

uint32_t synthOversamplingFactor(SynthIqType type) { return infoOf(type).factor; }

uint32_t synthBytesPerPair(SynthIqType type) {
  if (type == SynthIqType::Rtl) return 2;
  return synthIsRaw(type) ? 2 : 4;
}
