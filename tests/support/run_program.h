#pragma once
// Runs the velkaro executable with arguments and collects its standard output and exit status.

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

struct ProgramResult {
  int status = -1;
  std::string output;
};

inline std::string shellQuote(const std::string& arg) {
  std::string quoted = "'";
  for (char c : arg) {
    if (c == '\'') quoted += "'\\''";
    else quoted += c;
  }
  return quoted + "'";
}

inline ProgramResult runVelkaro(const std::vector<std::string>& args) {
  std::string command = shellQuote(VELKARO_BINARY);
  for (const auto& a : args) command += " " + shellQuote(a);
  command += " 2>/dev/null </dev/null";
  ProgramResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return result;
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) result.output.append(buffer.data(), n);
  const int raw = pclose(pipe);
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return result;
}

// The log lines of an output without their time stamps: "INFO     text".
inline std::vector<std::string> logTexts(const std::string& output) {
  std::vector<std::string> texts;
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    const std::string line = output.substr(start, end - start);
    if (line.size() >= 25 && line[4] == '-' && line[23] == ' ') texts.push_back(line.substr(25));
    start = end + 1;
  }
  return texts;
}
