#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "output/sbs_command_parser.h"
#include "output/sbs_frame.h"
#include "output/sbs_replies.h"

namespace {

std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out += static_cast<char>(v);
  return out;
}

struct ParseResult {
  std::vector<std::string> commands;
  int overflows = 0;
};

ParseResult parseAll(const std::string& input, SbsCommandParser& parser) {
  ParseResult result;
  for (char c : input) {
    switch (parser.feed(static_cast<uint8_t>(c))) {
      case SbsCommandParser::Event::Command:
        result.commands.emplace_back(reinterpret_cast<const char*>(parser.payload()),
                                     static_cast<size_t>(parser.length()));
        break;
      case SbsCommandParser::Event::Overflow:
        ++result.overflows;
        break;
      case SbsCommandParser::Event::None:
        break;
    }
  }
  return result;
}

ParseResult parseAll(const std::string& input) {
  SbsCommandParser parser;
  return parseAll(input, parser);
}

TEST(SbsFrame, MatchesKnownCrcsAndStuffing) {
  const std::string check = "123456789";
  EXPECT_EQ(sbsCrc16(reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0x31C3);

  const std::string longFrame = bytes({0x01, 0x00, 0xEF, 0xCD, 0xAB, 0x8D, 0x48, 0x40, 0xD6, 0x20, 0x2C, 0xC3,
                                       0x71, 0xC3, 0x2C, 0xE0, 0x00, 0x00, 0x00});
  EXPECT_EQ(wrapSbsFrame(longFrame), bytes({0x10, 0x02}) + longFrame + bytes({0x10, 0x03, 0x53, 0x2E}));

  // The 0x10 inside the payload is doubled.
  EXPECT_EQ(wrapSbsFrame(bytes({0x09, 0x00, 0x10, 0x00, 0x00, 0x12, 0x34})),
            bytes({0x10, 0x02, 0x09, 0x00, 0x10, 0x10, 0x00, 0x00, 0x12, 0x34, 0x10, 0x03, 0x3C, 0x50}));
}

TEST(SbsFrame, DoublesDleInTheCrc) {
  // Find two-byte payloads whose CRC has 0x10 as high or low byte.
  int checked = 0;
  for (int a = 0; a < 256 && checked < 2; ++a) {
    for (int b = 0; b < 256; ++b) {
      const uint8_t payload[] = {static_cast<uint8_t>(a), static_cast<uint8_t>(b)};
      const uint16_t crc = sbsCrc16(payload, 2);
      if ((crc >> 8) != 0x10 && (crc & 0xFF) != 0x10) continue;
      if (a == 0x10 || b == 0x10) continue;
      std::string expected = bytes({0x10, 0x02, a, b, 0x10, 0x03});
      for (int part : {crc >> 8, crc & 0xFF}) {
        expected += static_cast<char>(part);
        if (part == 0x10) expected += '\x10';
      }
      EXPECT_EQ(wrapSbsFrame(payload, 2), expected);
      // And the parser takes the framed command back.
      const ParseResult parsed = parseAll(expected);
      ASSERT_EQ(parsed.commands.size(), 1u);
      EXPECT_EQ(parsed.commands[0], bytes({a, b}));
      ++checked;
      break;
    }
  }
  EXPECT_EQ(checked, 2);
}

TEST(SbsCommandParser, FramesAndBrokenFrames) {
  struct Case {
    const char* what;
    std::string input;
    std::vector<std::string> commands;
  };
  const std::vector<Case> cases = {
      {"login", bytes({0x10, 0x02, 0x17, 0x01, 0x10, 0x03, 0xAA, 0xBB}), {bytes({0x17, 0x01})}},
      {"other command", bytes({0x10, 0x02, 0x05, 0x42, 0x10, 0x03, 0x00, 0x00}), {bytes({0x05, 0x42})}},
      {"wrong crc is not checked", bytes({0x10, 0x02, 0x05, 0x42, 0x10, 0x03, 0x12, 0x34}), {bytes({0x05, 0x42})}},
      {"doubled dle in payload", bytes({0x10, 0x02, 0x05, 0x10, 0x10, 0x42, 0x10, 0x03, 0x11, 0x22}),
       {bytes({0x05, 0x10, 0x42})}},
      {"doubled dle in both crc bytes", bytes({0x10, 0x02, 0x05, 0x42, 0x10, 0x03, 0x10, 0x10, 0x10, 0x10}),
       {bytes({0x05, 0x42})}},
      {"single command byte", bytes({0x10, 0x02, 0x05, 0x10, 0x03, 0x01, 0x02}), {bytes({0x05})}},
      {"command byte 0x10 is dropped", bytes({0x10, 0x02, 0x10, 0x10, 0x03, 0x00, 0x00}), {}},
      {"payload of a dropped 0x10 command is not taken for a frame",
       bytes({0x10, 0x02, 0x10, 0x10, 0x02, 0x17, 0x01, 0x10, 0x03, 0x00, 0x00}), {}},
      {"dle stx after stx starts the frame again",
       bytes({0x10, 0x02, 0x10, 0x02, 0x05, 0x07, 0x10, 0x03, 0x00, 0x00}), {bytes({0x05, 0x07})}},
      {"lone dle in payload", bytes({0x10, 0x02, 0x05, 0x10, 0x42, 0x10, 0x03, 0x00, 0x00}), {}},
      {"lone dle as crc high byte", bytes({0x10, 0x02, 0x05, 0x42, 0x10, 0x03, 0x10, 0x55, 0x66}), {}},
      {"lone dle as crc low byte", bytes({0x10, 0x02, 0x05, 0x42, 0x10, 0x03, 0x55, 0x10, 0x66}), {}},
      {"no stx", bytes({0x10, 0x05, 0x17, 0x01, 0x10, 0x03, 0x00, 0x00}), {}},
      {"garbage before a frame", bytes({0x41, 0x10, 0x41, 0x03, 0x10, 0x02, 0x17, 0x02, 0x10, 0x03, 0x00, 0x00}),
       {bytes({0x17, 0x02})}},
      {"two frames back to back",
       bytes({0x10, 0x02, 0x17, 0x01, 0x10, 0x03, 0x00, 0x00, 0x10, 0x02, 0x05, 0x07, 0x10, 0x03, 0x00, 0x00}),
       {bytes({0x17, 0x01}), bytes({0x05, 0x07})}},
      {"half a frame", bytes({0x10, 0x02, 0x17, 0x01, 0x10}), {}},
  };
  for (const Case& c : cases) {
    const ParseResult result = parseAll(c.input);
    EXPECT_EQ(result.commands, c.commands) << c.what;
    EXPECT_EQ(result.overflows, 0) << c.what;
  }
}

TEST(SbsCommandParser, SplitInputKeepsItsState) {
  SbsCommandParser parser;
  const std::string login = bytes({0x10, 0x02, 0x17, 0x01, 0x10, 0x03, 0xAA, 0xBB});
  EXPECT_TRUE(parseAll(login.substr(0, 5), parser).commands.empty());
  const ParseResult rest = parseAll(login.substr(5), parser);
  ASSERT_EQ(rest.commands.size(), 1u);
  EXPECT_EQ(rest.commands[0], bytes({0x17, 0x01}));
}

TEST(SbsCommandParser, OverlongPayloadIsDroppedWithOneOverflow) {
  const std::string start = bytes({0x10, 0x02});
  const std::string end = bytes({0x10, 0x03, 0x00, 0x00});
  const std::string login = bytes({0x10, 0x02, 0x17, 0x01, 0x10, 0x03, 0x00, 0x00});

  // 1100 bytes without an end, then a good frame.
  SbsCommandParser parser;
  ParseResult result = parseAll(start + std::string(1100, 'A') + login, parser);
  EXPECT_EQ(result.overflows, 1);
  ASSERT_EQ(result.commands.size(), 1u);
  EXPECT_EQ(result.commands[0], bytes({0x17, 0x01}));

  // A payload of exactly the buffer size is dropped too; one byte less is taken.
  result = parseAll(start + std::string(1024, 'A') + end);
  EXPECT_EQ(result.overflows, 1);
  EXPECT_TRUE(result.commands.empty());
  result = parseAll(start + std::string(1023, 'A') + end);
  EXPECT_EQ(result.overflows, 0);
  ASSERT_EQ(result.commands.size(), 1u);
  EXPECT_EQ(result.commands[0].size(), 1023u);

  // Doubled DLEs count once: 1023 payload bytes sent as 2046.
  result = parseAll(start + "A" + std::string(2044, '\x10') + end);
  EXPECT_EQ(result.overflows, 0);
  ASSERT_EQ(result.commands.size(), 1u);
  EXPECT_EQ(result.commands[0], "A" + std::string(1022, '\x10'));

  // The byte that finds the buffer full may start the next frame itself.
  result = parseAll(start + std::string(1024, 'A') + login);
  EXPECT_EQ(result.overflows, 1);
  EXPECT_EQ(result.commands.size(), 1u);
}

TEST(SbsReplies, LoginAndOtherCommands) {
  const uint8_t login[] = {0x17, 0x01};
  const std::vector<std::string> loginReplies = sbsRepliesTo(login, 2);
  ASSERT_EQ(loginReplies.size(), 2u);
  const std::string& identification = loginReplies[0];
  ASSERT_EQ(identification.size(), 35u);
  EXPECT_EQ(identification.substr(0, 2), bytes({0x26, 0x01}));
  for (int i = 2; i < 8; ++i) EXPECT_TRUE(identification[i] >= '0' && identification[i] <= '9') << i;
  EXPECT_EQ(identification.substr(8, 18), "  SBS-3" + std::string(11, ' '));
  EXPECT_EQ(identification.substr(26), bytes({0x77, 0x00, 0x03, 0x01, 0x00, 0x00, 0x01, 0x13, 0x00}));
  EXPECT_EQ(loginReplies[1], bytes({0x2C, 0x80}));
  // The identifier is fixed.
  const uint8_t secondLogin[] = {0x17, 0x09, 0x55};
  EXPECT_EQ(sbsRepliesTo(secondLogin, 3)[0].substr(2), identification.substr(2));

  const uint8_t other[] = {0x05, 0x42, 0x99};
  EXPECT_EQ(sbsRepliesTo(other, 3), std::vector<std::string>{bytes({0x20, 0x42, 0x00})});
  // Nothing to echo: 0.
  EXPECT_EQ(sbsRepliesTo(other, 1), std::vector<std::string>{bytes({0x20, 0x00, 0x00})});
  EXPECT_EQ(sbsRepliesTo(login, 1)[0][1], '\0');
}

}  // namespace
