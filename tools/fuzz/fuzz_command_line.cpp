// libFuzzer target: the command line. The input is cut at NUL bytes into the arguments after
// the program name and parsed into a fresh Config, as main does. Help and option texts go to a
// null stream, log lines only to the logger's ring.
//
// Checks besides the sanitizers: the parser answers with one of its results, and a run it lets
// go on has a password with every web user and a known sample size with every input file.

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include "app/config.h"
#include "tools/fuzz/fuzz_support.h"

namespace {

fuzz_support::NullBuffer* nullBuffer = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_support::setQuietLogging();
  nullBuffer = new fuzz_support::NullBuffer();
  std::cout.rdbuf(nullBuffer);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> arguments{"velkaro"};
  std::string current;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      arguments.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(data[i]);
    }
  }
  if (size > 0) arguments.push_back(current);
  std::vector<const char*> argv;
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  argv.push_back(nullptr);

  Config config;
  const int result = parseCommandLine(config, static_cast<int>(arguments.size()), argv.data());
  FUZZ_CHECK(result == kCommandLineGoOn || result == kCommandLineStop || result == kCommandLineError);
  if (result != kCommandLineGoOn) return 0;
  if (!config.webUser.empty()) FUZZ_CHECK(!config.webPassword.empty());
  if (!config.inputFile.empty()) FUZZ_CHECK(config.inputSampleSize == 1 || config.inputSampleSize == 2);
  return 0;
}
