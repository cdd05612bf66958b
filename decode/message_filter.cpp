#include "decode/message_filter.h"

#include "app/logger.h"
#include "decode/icao_country.h"
#include "sdr/crc.h"

namespace {

// Largest DF11 remainder that only the interrogator-code bits can produce.
constexpr uint32_t maxInterrogatorRemainder = 126;

uint32_t addressField(const uint8_t* bytes) {
  return (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | uint32_t{bytes[3]};
}

}  // namespace

void IcaoFilterTable::purge(uint32_t now) {
  for (auto it = records.begin(); it != records.end();) {
    if (now - it->second.lastSeen > it->second.lifetime) {
      it = records.erase(it);
    } else {
      ++it;
    }
  }
}

IcaoFilterRecord& IcaoFilterTable::findOrInsert(uint32_t address, uint32_t now) {
  if (now != lastPurge) {
    lastPurge = now;
    purge(now);
  }
  auto [it, inserted] = records.try_emplace(address);
  if (inserted) {
    IcaoFilterRecord& record = it->second;
    record.address = address;
    record.firstSeen = now;
    record.lastSeen = now;
    record.lifetime = defaultLifetime;
  }
  return it->second;
}

IcaoFilterRecord* IcaoFilterTable::find(uint32_t address) {
  const auto it = records.find(address);
  return it == records.end() ? nullptr : &it->second;
}

bool IcaoFilterTable::isTrusted(uint32_t address, uint32_t now) {
  IcaoFilterRecord& record = findOrInsert(address, now);
  record.lastSeen = now;
  ++record.messageCount;
  if (record.confirmationCount > 2) return true;
  if (now - record.firstSeen >= minimumTime && record.messageCount >= minimumCount) {
    record.lifetime = trustedLifetime;
    return true;
  }
  return false;
}

bool IcaoFilterTable::confirm(uint32_t address, uint32_t now) {
  IcaoFilterRecord& record = findOrInsert(address, now);
  record.lastSeen = now;
  ++record.confirmationCount;
  if (record.confirmationCount > 2) {
    record.lifetime = trustedLifetime;
    return true;
  }
  return false;
}

bool MessageFilter::checkCountry(uint32_t address) {
  if (!countryCheck || IcaoCountryTable::holds(address)) return true;
  logDebug("Unknown Country - filtered");
  return false;
}

bool MessageFilter::accept(const ModesData& frame) {
  if (frame.length == 2) return true;  // Mode A/C
  if (frame.length < 7) return false;
  const uint8_t* bytes = frame.bytes;
  const uint32_t now = frame.time;
  const int df = bytes[0] >> 3;
  switch (df) {
    case 17:
    case 18:
    case 19: {
      if (frame.length != 14) return false;
      if (modeSCrcSyndrome(bytes, 14) != 0) {
        logDebug("CRC error - Filtered");
        return false;
      }
      const uint32_t address = addressField(bytes);
      if (!checkCountry(address)) return false;
      return table.confirm(address, now);
    }
    case 11: {
      if (frame.length != 7) return false;
      const uint32_t remainder = modeSCrcSyndrome(bytes, 7);
      if (icCheck ? remainder != 0 : remainder > maxInterrogatorRemainder) {
        logDebug("DF11 CRC - Filtered");
        return false;
      }
      const uint32_t address = addressField(bytes);
      if (!checkCountry(address)) return false;
      if (remainder == 0) return table.confirm(address, now);
      if (!table.isTrusted(address, now)) {
        logDebug("Suspected DF11 Message - Filtered");
        return false;
      }
      return true;
    }
    case 0:
    case 4:
    case 5: {
      if (frame.length != 7) return false;
      const uint32_t address = modeSCrcSyndrome(bytes, 7);
      if (!checkCountry(address)) return false;
      return table.isTrusted(address, now);
    }
    case 22:
      logDebug("DF22 Unknown Military - Filtered");
      return false;
    case 16:
    case 20:
    case 21:
    case 24: {
      if (frame.length != 14) return false;
      const uint32_t address = modeSCrcSyndrome(bytes, 14);
      if (!checkCountry(address)) return false;
      return table.isTrusted(address, now);
    }
    default:
      logDebug("Unknown DF Code - Filtered");
      return false;
  }
}

bool MessageFilter::isDuplicate(const Message& message) {
  IcaoFilterRecord* record = table.find(message.icao);
  if (!record) {
    logDebug("ICAO not found - filtered");
    return true;
  }
  if (message.has(MessageField::SQUAWK)) {
    if (record->squawkKnown && record->squawk != message.squawk) ++record->squawkChanges;
    record->squawk = message.squawk;
    record->squawkKnown = true;
  }
  if (message.has(MessageField::CALLSIGN)) {
    if (!record->callsign.empty() && record->callsign != message.callsign) ++record->callsignChanges;
    record->callsign = message.callsign;
  }

  // A one-bit error in the address/parity field turns a real aircraft into its twin.
  const IcaoFilterRecord* twin = table.find(message.icao ^ 1);
  if (!twin) return false;
  if (!record->callsign.empty() && !twin->callsign.empty() && record->callsign != twin->callsign)
    return false;
  if (record->squawkChanges != 0 && twin->squawkChanges != 0) {
    if (record->squawkChanges > twin->squawkChanges) {
      logDebug("Too much squawkChanges - filtered");
      return true;
    }
    if (record->squawkChanges < twin->squawkChanges) return false;
  }
  if (record->confirmationCount != 0 && twin->confirmationCount == 0) return false;
  if (record->confirmationCount == 0 && twin->confirmationCount != 0) {
    logDebug("Mode-S duplicate - filtered");
    return true;
  }
  // Totals may wrap only after four billion frames of one address; compare in 64 bits.
  const uint64_t recordTotal = uint64_t{record->confirmationCount} + record->messageCount;
  const uint64_t twinTotal = uint64_t{twin->confirmationCount} + twin->messageCount;
  if (recordTotal > twinTotal) return false;
  logDebug("Messages less in comparsion with a original - filtered");
  return true;
}
