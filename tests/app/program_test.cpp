#include "support/run_program.h"

#include <gtest/gtest.h>

namespace {

TEST(Program, DeviceListWithoutReceivers) {
  const ProgramResult r = runVelkaro({"--device-list", "--beast", "30005"});
  EXPECT_EQ(r.status, 0);
  const auto texts = logTexts(r.output);
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0], "INFO     Velkaro v.20170127");
  const std::string list = r.output.substr(r.output.find('\n') + 1);
  EXPECT_EQ(list, "\nNo Available RTL devices.\n\nNo Available AirSpy devices.\n");
}

TEST(Program, ExitStatuses) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string lastLogPrefix;  // empty: the help text, nothing logged
  };
  const Case cases[] = {
      {{}, 0, ""},
      {{"--help"}, 0, ""},
      {{"-h"}, 0, ""},
      {{"--beast", "x"}, 2, "ERROR    Parse command line "},
      {{"--no-such-option"}, 2, "ERROR    Parse command line unrecognised option"},
      {{"--beast", "-1"}, 2, "ERROR    Parse command line the argument ('-1') for option '--beast' must not"},
      {{"--avr", "70000"}, 2, "ERROR    Parse command line the argument ('70000') for option '--avr' is not a"},
      {{"--location", "nan:nan"}, 2, "ERROR    Invalid --location coordinates nan:nan"},
      {{"--web-auth", "nopassword"}, 2, "ERROR    Invalid --web-auth option format"},
      {{"--input-file", "wav:x"}, 2, "ERROR    Can't parse --input-file parameters"},
      {{"--airspy-workers", "257"}, 2,
       "ERROR    Parse command line the argument ('257') for option '--airspy-workers' is not a count (0 to 255)"},
      {{"--input-file", "rtl:/nonexistent/velkaro.iq"}, 1, "INFO     Closed successfully"},
      {{"--input-file", "rtl:/"}, 1, "INFO     Closed successfully"},
      {{"--device-index", "7"}, 1, "ERROR    Can't open device: "},
      {{"--airspy", "--beast", "30005"}, 1, "ERROR    Can't open device: "},
  };
  for (const auto& c : cases) {
    std::string joined = "(none)";
    if (!c.args.empty()) joined = c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
    SCOPED_TRACE(joined);
    const ProgramResult r = runVelkaro(c.args);
    EXPECT_EQ(r.status, c.status);
    const auto texts = logTexts(r.output);
    if (c.lastLogPrefix.empty()) {
      EXPECT_TRUE(texts.empty());
      EXPECT_EQ(r.output.rfind("Velkaro v.20170127\nProgram options:\n", 0), 0u);
    } else {
      ASSERT_FALSE(texts.empty());
      EXPECT_EQ(texts.back().rfind(c.lastLogPrefix, 0), 0u) << texts.back();
    }
  }
}

}  // namespace
