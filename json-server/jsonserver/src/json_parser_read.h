#pragma once
// The property-tree JSON reader, made safe for texts from outside. The reader recurses once per
// nesting level, so a body of a million "[" would exhaust the thread's stack; no request of the
// page nor reply of an outside service nests more than a few levels.
//
// Its parser still includes the old boost/bind.hpp, which prints a deprecation note in every file
// unless the global placeholders are asked for.

#ifndef BOOST_BIND_GLOBAL_PLACEHOLDERS
#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#endif
#include <boost/property_tree/json_parser.hpp>

#include <cstddef>
#include <string>

constexpr size_t kMaxJsonNesting = 256;

// Parses `text` into `tree`. Throws json_parser_error for what the reader refuses and for arrays
// and objects nested deeper than kMaxJsonNesting.
void readJsonText(const std::string& text, boost::property_tree::ptree& tree);
