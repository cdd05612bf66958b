#pragma once
// The property-tree JSON reader, made safe for texts from outside. The reader recurses once per
// nesting level, so a body of a million "[" would exhaust the thread's stack; and it makes a tree
// node of some hundred bytes per value, so a body of commas would cost a hundred times its size
// in memory and keep the web thread busy. Both are bounded before the reader starts.
//
// Its parser still includes the old boost/bind.hpp, which prints a deprecation note in every file
// unless the global placeholders are asked for.

#ifndef BOOST_BIND_GLOBAL_PLACEHOLDERS
#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#endif
#include <boost/property_tree/json_parser.hpp>

#include <cstddef>
#include <string>

// No limit may let the reader nest deeper than this.
constexpr size_t kMaxJsonNesting = 256;

// What one text may hold. The value count bounds the reader's time and memory; its default fits
// the requests of the page to "/json", which hold a dozen values, and replies of outside services
// need larger counts. Within the count a nested value costs no more than a flat one, so the depth
// only guards the stack.
struct JsonReadLimits {
  size_t maxDepth = kMaxJsonNesting;  // arrays and objects inside each other; capped at kMaxJsonNesting
  // Values (scalars, arrays and objects, the root included), counted before parsing as one plus
  // every "[", "{" and "," outside strings, so an empty array or object counts one more.
  size_t maxElements = 1024;
};

// Parses `text` into `tree`. Throws json_parser_error for what the reader refuses and for texts
// beyond `limits` ("nesting too deep", "too many elements").
void readJsonText(const std::string& text, boost::property_tree::ptree& tree,
                  const JsonReadLimits& limits = JsonReadLimits());
