#pragma once
// What the code under test logged: the lines the log ring holds after a mark.

#include "app/logger.h"

#include <boost/property_tree/ptree.hpp>

#include <cstdint>
#include <string>
#include <vector>

// The sequence number of the last line written so far.
inline uint32_t lastLogNumber() { return Logger::instance().nextSequenceNumber() - 1; }

// Whole lines ("date time LEVEL    text") written after line number `mark`.
inline std::vector<std::string> logLinesAfter(uint32_t mark) {
  boost::property_tree::ptree tree;
  getLogSince(tree, mark);
  std::vector<std::string> lines;
  for (const auto& entry : tree) lines.push_back(entry.second.back().second.data());
  return lines;
}
