#include "decode/message_filter.h"

#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/logger.h"
#include "support/log_lines.h"
#include "sdr/crc.h"

namespace {

constexpr uint32_t german = 0x3C6544;    // inside a country block
constexpr uint32_t nowhere = 0x0E1234;   // in no block
constexpr uint32_t start = 1000000;

void putParity(std::vector<uint8_t>& bytes, uint32_t parity) {
  const size_t n = bytes.size();
  bytes[n - 3] = static_cast<uint8_t>(parity >> 16);
  bytes[n - 2] = static_cast<uint8_t>(parity >> 8);
  bytes[n - 1] = static_cast<uint8_t>(parity);
}

// Parity field = CRC of the data XOR `overlay` (0 for plain parity, the address for
// address/parity formats, the interrogator code for DF11).
std::vector<uint8_t> frameBytes(int df, uint32_t addressField, size_t length, uint32_t overlay) {
  std::vector<uint8_t> bytes(length, 0);
  bytes[0] = static_cast<uint8_t>(df << 3 | 5);
  bytes[1] = static_cast<uint8_t>(addressField >> 16);
  bytes[2] = static_cast<uint8_t>(addressField >> 8);
  bytes[3] = static_cast<uint8_t>(addressField);
  if (length == 14) bytes[4] = 0x58;
  putParity(bytes, modeSCrc(bytes.data(), static_cast<uint32_t>(length - 3)) ^ overlay);
  return bytes;
}

std::vector<uint8_t> extendedSquitter(uint32_t address) { return frameBytes(17, address, 14, 0); }
std::vector<uint8_t> allCall(uint32_t address, uint32_t ic) { return frameBytes(11, address, 7, ic); }
// DF 0/4/5 (7 bytes) or 16/20/21/24 (14 bytes): the address only lives in the parity.
std::vector<uint8_t> surveillance(int df, uint32_t address, size_t length) {
  return frameBytes(df, 0x123456, length, address);
}

// `length` < 0: the vector's size.
ModesData record(const std::vector<uint8_t>& bytes, uint32_t time, int64_t length = -1) {
  const auto delivered = static_cast<uint32_t>(length < 0 ? static_cast<int64_t>(bytes.size()) : length);
  return ModesData(bytes.data(), delivered, 100, time, nullptr);
}

class MessageFilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setConsoleOutput(false, LoggingLevel::DEBUG);  // keep DEBUG lines in the ring
    logMark = lastLogNumber();
  }

  bool accept(const std::vector<uint8_t>& bytes, uint32_t time, int64_t length = -1) {
    return filter.accept(record(bytes, time, length));
  }

  // Makes `address` trusted through three clean squitters.
  void confirmAddress(uint32_t address, uint32_t time) {
    for (int i = 0; i < 3; ++i) accept(extendedSquitter(address), time);
  }

  // The only new log text since the last call, or "" when nothing was logged.
  std::string takeLog() {
    const auto lines = logLinesAfter(logMark);
    logMark = lastLogNumber();
    if (lines.empty()) return "";
    EXPECT_EQ(lines.size(), 1u);
    const std::string& line = lines.back();
    const size_t text = line.find("DEBUG    ");
    return text == std::string::npos ? line : line.substr(text + 9);
  }

  MessageFilter filter;
  uint32_t logMark = 0;
};

TEST_F(MessageFilterTest, Defaults) {
  EXPECT_TRUE(filter.countryCheck);
  EXPECT_FALSE(filter.icCheck);
  EXPECT_EQ(filter.table.defaultLifetime, 20u);
  EXPECT_EQ(filter.table.minimumTime, 60u);
  EXPECT_EQ(filter.table.minimumCount, 6u);
}

TEST_F(MessageFilterTest, ExtendedSquitterNeedsThreeCleanFrames) {
  const auto frame = extendedSquitter(german);
  EXPECT_FALSE(accept(frame, start));
  EXPECT_FALSE(accept(frame, start));
  EXPECT_EQ(takeLog(), "");  // the first two are dropped silently
  EXPECT_TRUE(accept(frame, start + 1));
  EXPECT_TRUE(accept(frame, start + 50));
  for (int df : {18, 19}) {
    const auto other = frameBytes(df, german + 2 * df, 14, 0);
    EXPECT_FALSE(accept(other, start + 50));
    EXPECT_FALSE(accept(other, start + 50));
    EXPECT_TRUE(accept(other, start + 50)) << df;
  }
  EXPECT_EQ(filter.table.find(german)->lifetime, 60u);
  EXPECT_EQ(filter.table.find(german)->confirmationCount, 4u);
}

TEST_F(MessageFilterTest, ExtendedSquitterRejections) {
  auto bad = extendedSquitter(german);
  bad[6] ^= 0x10;
  EXPECT_FALSE(accept(bad, start));
  EXPECT_EQ(takeLog(), "CRC error - Filtered");
  const auto good = extendedSquitter(german);
  EXPECT_FALSE(accept(good, start, 7));  // wrong length: silent
  EXPECT_FALSE(accept(good, start, 13));
  EXPECT_EQ(takeLog(), "");
  EXPECT_EQ(filter.table.find(german), nullptr);  // a rejected frame creates no record
}

TEST_F(MessageFilterTest, SurveillanceReplyTrustByCountAndTime) {
  struct Step {
    uint32_t offset;
    bool passes;
  };
  // Sixth reply at 50 s is too early; seventh at 60 s passes.
  const std::vector<Step> manyEarly = {{0, false},  {10, false}, {20, false}, {30, false},
                                       {40, false}, {50, false}, {60, true},  {61, true}};
  // At 60 s only the fifth reply: fails; the sixth passes.
  const std::vector<Step> fewLate = {{0, false}, {15, false}, {30, false}, {45, false},
                                     {60, false}, {61, true}};
  for (const auto& steps : {manyEarly, fewLate}) {
    MessageFilter fresh;
    const auto frame = surveillance(4, german, 7);
    for (const Step& step : steps)
      EXPECT_EQ(fresh.accept(record(frame, start + step.offset)), step.passes) << step.offset;
    EXPECT_EQ(fresh.table.find(german)->lifetime, 60u);
  }
}

TEST_F(MessageFilterTest, AddressParityFormatsPassForConfirmedAddress) {
  confirmAddress(german, start);
  for (int df : {0, 4, 5}) {
    EXPECT_TRUE(accept(surveillance(df, german, 7), start)) << df;
    EXPECT_FALSE(accept(surveillance(df, german, 14), start)) << df;
  }
  for (int df : {16, 20, 21, 24}) {
    EXPECT_TRUE(accept(surveillance(df, german, 14), start)) << df;
    EXPECT_FALSE(accept(surveillance(df, german, 7), start)) << df;
  }
  EXPECT_EQ(takeLog(), "");
  EXPECT_EQ(filter.table.find(german)->messageCount, 7u);
  // An address/parity frame of an unheard address is not trusted.
  EXPECT_FALSE(accept(surveillance(20, german + 4, 14), start));
}

TEST_F(MessageFilterTest, RecordExpiry) {
  // Untrusted: survives 20 s of silence, not 21.
  const auto frame = extendedSquitter(german);
  accept(frame, start);
  accept(frame, start + 20);
  EXPECT_TRUE(accept(frame, start + 40));  // third clean frame, record kept
  const auto other = extendedSquitter(german + 8);
  accept(other, start);
  accept(other, start + 21);  // the record was purged first: count starts again
  EXPECT_EQ(filter.table.find(german + 8)->confirmationCount, 1u);

  // Trusted: survives 60 s of silence, not 61. Any frame drives the purge.
  const uint32_t later = start + 1000;
  confirmAddress(german + 16, later);
  accept(extendedSquitter(0x400000), later + 60);
  EXPECT_NE(filter.table.find(german + 16), nullptr);
  EXPECT_TRUE(accept(surveillance(4, german + 16, 7), later + 60));
  accept(extendedSquitter(0x400000), later + 121);
  EXPECT_EQ(filter.table.find(german + 16), nullptr);
  EXPECT_FALSE(accept(surveillance(4, german + 16, 7), later + 121));
}

TEST_F(MessageFilterTest, PurgeRunsOncePerSecond) {
  accept(extendedSquitter(german), start);
  filter.table.find(german)->lifetime = 0;
  accept(extendedSquitter(0x400000), start + 1);  // purge at this second: record is 1 s old
  EXPECT_EQ(filter.table.find(german), nullptr);
  accept(extendedSquitter(german), start + 1);
  filter.table.find(german)->lastSeen = start - 5;  // would be expired, but no new second
  accept(extendedSquitter(0x400000), start + 1);
  EXPECT_NE(filter.table.find(german), nullptr);
}

TEST_F(MessageFilterTest, AllCallReplies) {
  // Clean DF11 counts as a confirmation.
  const auto clean = allCall(german, 0);
  EXPECT_FALSE(accept(clean, start));
  EXPECT_FALSE(accept(clean, start));
  EXPECT_TRUE(accept(clean, start));

  EXPECT_FALSE(accept(allCall(german, 0x7F), start));
  EXPECT_EQ(takeLog(), "DF11 CRC - Filtered");
  EXPECT_TRUE(accept(allCall(german, 0x7E), start));  // largest interrogator remainder
  EXPECT_TRUE(accept(allCall(german, 0x05), start));  // trusted address
  EXPECT_EQ(takeLog(), "");
  EXPECT_FALSE(accept(allCall(german + 2, 0x05), start));
  EXPECT_EQ(takeLog(), "Suspected DF11 Message - Filtered");
  EXPECT_FALSE(accept(clean, start, 14));  // wrong length: silent
  EXPECT_EQ(takeLog(), "");

  filter.setInterrogatorCodeFilter(true);
  EXPECT_FALSE(accept(allCall(german, 0x05), start));
  EXPECT_EQ(takeLog(), "DF11 CRC - Filtered");
  EXPECT_TRUE(accept(clean, start));
}

TEST_F(MessageFilterTest, CountryCheckAppliesToEveryFormat) {
  const std::vector<std::vector<uint8_t>> frames = {
      extendedSquitter(nowhere), allCall(nowhere, 0), allCall(nowhere, 3),
      surveillance(4, nowhere, 7), surveillance(20, nowhere, 14)};
  for (const auto& frame : frames) {
    for (int i = 0; i < 4; ++i) {
      EXPECT_FALSE(accept(frame, start));
      EXPECT_EQ(takeLog(), "Unknown Country - filtered");
    }
  }
  EXPECT_EQ(filter.table.size(), 0u);
  EXPECT_TRUE(filter.checkCountry(german));
  EXPECT_FALSE(filter.checkCountry(nowhere));
  EXPECT_EQ(takeLog(), "Unknown Country - filtered");

  filter.setCountryCheck(false);
  EXPECT_TRUE(filter.checkCountry(nowhere));
  const auto squitter = extendedSquitter(nowhere);
  accept(squitter, start);
  accept(squitter, start);
  EXPECT_TRUE(accept(squitter, start));
  EXPECT_TRUE(accept(surveillance(4, nowhere, 7), start));
}

TEST_F(MessageFilterTest, LengthsAndFormats) {
  const auto squitter = extendedSquitter(german);
  EXPECT_TRUE(accept(squitter, start, 2));  // Mode A/C always passes
  EXPECT_EQ(filter.table.size(), 0u);
  for (uint32_t length : {0u, 1u, 3u, 6u}) EXPECT_FALSE(accept(squitter, start, length)) << length;
  // Lengths beyond the record's 14 bytes never read past it.
  EXPECT_FALSE(accept(squitter, start, 15));
  EXPECT_FALSE(accept(squitter, start, 0xFFFFFFFF));
  EXPECT_EQ(takeLog(), "");

  EXPECT_FALSE(accept(frameBytes(22, german, 14, 0), start));
  EXPECT_EQ(takeLog(), "DF22 Unknown Military - Filtered");
  for (int df : {1, 2, 3, 6, 7, 8, 9, 10, 12, 13, 14, 15, 23, 25, 26, 27, 28, 29, 30, 31}) {
    EXPECT_FALSE(accept(frameBytes(df, german, 14, 0), start)) << df;
    EXPECT_EQ(takeLog(), "Unknown DF Code - Filtered") << df;
  }
  EXPECT_EQ(filter.table.size(), 0u);
}

class DuplicateFilterTest : public MessageFilterTest {
 protected:
  IcaoFilterRecord& make(uint32_t address, uint32_t confirmations, uint32_t messages) {
    IcaoFilterRecord& record = filter.table.findOrInsert(address, start);
    record.confirmationCount = confirmations;
    record.messageCount = messages;
    return record;
  }
  static Message messageOf(uint32_t address) {
    Message message;
    message.icao = address;
    return message;
  }
};

TEST_F(DuplicateFilterTest, MissingRecordOrTwin) {
  EXPECT_TRUE(filter.isDuplicate(messageOf(german)));
  EXPECT_EQ(takeLog(), "ICAO not found - filtered");
  make(german, 0, 1);
  EXPECT_FALSE(filter.isDuplicate(messageOf(german)));
  EXPECT_EQ(takeLog(), "");
}

TEST_F(DuplicateFilterTest, TwinComparison) {
  struct Case {
    const char* what;
    uint32_t confirmations, messages, squawkChanges;
    const char* callsign;
    uint32_t twinConfirmations, twinMessages, twinSquawkChanges;
    const char* twinCallsign;
    bool duplicate;
    const char* log;
  };
  const Case cases[] = {
      {"equal totals, no confirmations", 0, 5, 0, "", 0, 5, 0, "", true,
       "Messages less in comparsion with a original - filtered"},
      {"more messages", 0, 6, 0, "", 0, 5, 0, "", false, ""},
      {"fewer messages", 0, 4, 0, "", 0, 5, 0, "", true,
       "Messages less in comparsion with a original - filtered"},
      {"only we are confirmed", 1, 0, 0, "", 0, 50, 0, "", false, ""},
      {"only the twin is confirmed", 0, 50, 0, "", 1, 0, 0, "", true, "Mode-S duplicate - filtered"},
      {"both confirmed, totals decide", 3, 1, 0, "", 2, 1, 0, "", false, ""},
      {"different callsigns", 0, 1, 0, "KLM1023", 5, 50, 0, "BAW12", false, ""},
      {"same callsign", 0, 1, 0, "KLM1023", 5, 50, 0, "KLM1023", true, "Mode-S duplicate - filtered"},
      {"one callsign unknown", 0, 1, 0, "KLM1023", 5, 50, 0, "", true, "Mode-S duplicate - filtered"},
      {"more squawk changes", 5, 50, 3, "", 0, 1, 1, "", true, "Too much squawkChanges - filtered"},
      {"fewer squawk changes", 0, 1, 1, "", 5, 50, 3, "", false, ""},
      {"equal squawk changes go on", 0, 1, 2, "", 5, 50, 2, "", true, "Mode-S duplicate - filtered"},
      {"one side without squawk changes", 5, 50, 3, "", 0, 1, 0, "", false, ""},
  };
  for (const Case& c : cases) {
    MessageFilter fresh;
    filter = fresh;
    IcaoFilterRecord& record = make(german, c.confirmations, c.messages);
    record.squawkChanges = c.squawkChanges;
    record.callsign = c.callsign;
    IcaoFilterRecord& twin = make(german ^ 1, c.twinConfirmations, c.twinMessages);
    twin.squawkChanges = c.twinSquawkChanges;
    twin.callsign = c.twinCallsign;
    takeLog();
    EXPECT_EQ(filter.isDuplicate(messageOf(german)), c.duplicate) << c.what;
    EXPECT_EQ(takeLog(), c.log) << c.what;
  }
}

TEST_F(DuplicateFilterTest, EqualTwinsBothDropped) {
  make(german, 0, 3);
  make(german ^ 1, 0, 3);
  EXPECT_TRUE(filter.isDuplicate(messageOf(german)));
  EXPECT_TRUE(filter.isDuplicate(messageOf(german ^ 1)));
}

TEST_F(DuplicateFilterTest, TracksSquawkAndCallsignChanges) {
  IcaoFilterRecord& record = make(german, 3, 0);
  Message message = messageOf(german);
  message.set(MessageField::SQUAWK);
  message.squawk = 0x1000;
  filter.isDuplicate(message);  // first squawk: no change
  filter.isDuplicate(message);  // same squawk
  message.squawk = 0x7700;
  filter.isDuplicate(message);
  EXPECT_TRUE(record.squawkKnown);
  EXPECT_EQ(record.squawk, 0x7700);
  EXPECT_EQ(record.squawkChanges, 1u);

  Message named = messageOf(german);
  named.set(MessageField::CALLSIGN);
  named.callsign = "KLM1023";
  filter.isDuplicate(named);
  filter.isDuplicate(named);
  named.callsign = "KLM102";  // differs by length
  filter.isDuplicate(named);
  EXPECT_EQ(record.callsign, "KLM102");
  EXPECT_EQ(record.callsignChanges, 1u);
  // A field without its presence bit changes nothing.
  Message bare = messageOf(german);
  bare.squawk = 0x1234;
  bare.callsign = "XXX";
  filter.isDuplicate(bare);
  EXPECT_EQ(record.squawk, 0x7700);
  EXPECT_EQ(record.callsign, "KLM102");
}

}  // namespace
