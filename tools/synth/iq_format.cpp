#include "tools/synth/iq_format.h"

bool parseSynthIqType(const std::string& name, SynthIqType& type) {
  if (name == "rtl") type = SynthIqType::Rtl;
  else if (name == "airspy10") type = SynthIqType::Airspy10;
  else if (name == "airspy6") type = SynthIqType::Airspy6;
  else return false;
  return true;
}

const char* synthIqTypeName(SynthIqType type) {
  switch (type) {
    case SynthIqType::Rtl: return "rtl";
    case SynthIqType::Airspy10: return "airspy10";
    case SynthIqType::Airspy6: return "airspy6";
  }
  return "rtl";
}

uint32_t synthOversamplingFactor(SynthIqType type) {
  switch (type) {
    case SynthIqType::Rtl: return 1;
    case SynthIqType::Airspy10: return 5;
    case SynthIqType::Airspy6: return 3;
  }
  return 1;
}

uint32_t synthBytesPerPair(SynthIqType type) { return type == SynthIqType::Rtl ? 2 : 4; }
