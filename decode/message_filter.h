#pragma once
// Validity filter (before decoding) and neighbour-address duplicate filter (after decoding).
// An address earns trust by clean parity-checked frames or by being heard often enough for
// long enough; address/parity formats pass only for trusted addresses.
// Used from the frame-delivering thread only: no lock.

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "decode/message.h"
#include "decode/modes_data.h"

struct IcaoFilterRecord {
  uint32_t messageCount = 0;       // frames that went through the trust test
  uint32_t confirmationCount = 0;  // clean frames with matching parity
  int32_t squawk = 0;
  bool squawkKnown = false;
  std::string callsign;
  uint32_t squawkChanges = 0;
  uint32_t callsignChanges = 0;
  uint32_t address = 0;
  uint32_t firstSeen = 0;
  uint32_t lastSeen = 0;
  uint32_t lifetime = 0;           // seconds the record survives after lastSeen
};

class IcaoFilterTable {
 public:
  static constexpr uint32_t trustedLifetime = 60;

  // Settings, copied from the options before the first frame.
  uint32_t defaultLifetime = 20;  // seconds
  uint32_t minimumTime = 60;      // seconds
  uint32_t minimumCount = 6;

  // Purges expired records at most once per second of `now`, then returns the address's
  // record, creating it when missing.
  IcaoFilterRecord& findOrInsert(uint32_t address, uint32_t now);
  // Counts one message and tests trust.
  bool isTrusted(uint32_t address, uint32_t now);
  // Counts one clean frame; true from the third one on.
  bool confirm(uint32_t address, uint32_t now);

  // Plain look-up: no purge, no insert.
  IcaoFilterRecord* find(uint32_t address);
  size_t size() const { return records.size(); }

 private:
  void purge(uint32_t now);

  std::unordered_map<uint32_t, IcaoFilterRecord> records;
  uint32_t lastPurge = 0;
};

class MessageFilter {
 public:
  bool accept(const ModesData& frame);
  // True when the decoded message is to be dropped.
  bool isDuplicate(const Message& message);
  bool checkCountry(uint32_t address);

  void setMinimumCount(uint32_t count) { table.minimumCount = count; }
  void setRecordExpiry(uint32_t seconds) { table.defaultLifetime = seconds; }
  void setCountryCheck(bool on) { countryCheck = on; }
  void setMinimumTime(uint32_t seconds) { table.minimumTime = seconds; }
  void setInterrogatorCodeFilter(bool on) { icCheck = on; }

  bool countryCheck = true;
  bool icCheck = false;  // DF11 must have a zero remainder (no interrogator code)
  IcaoFilterTable table;
};
