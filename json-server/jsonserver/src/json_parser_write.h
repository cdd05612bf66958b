#pragma once
// The compact JSON writer every reply goes through. Values "true", "false" and JSON numbers
// without exponent are written bare, every other value as a string; a node without children is a
// value, so an empty list comes out as "". Line feeds in values come out as backslash, backslash,
// "n": the page splits outside texts on those two characters.

#include <boost/property_tree/json_parser/error.hpp>
#include <boost/property_tree/ptree.hpp>

#include <ostream>
#include <string>

namespace boost {
namespace property_tree {
namespace json_parser {

// Writes `tree` as compact JSON and a newline. `filename` and `pretty` are not used: the output is
// always compact. Throws json_parser_error for a tree JSON cannot hold (a root with a value, a node
// with both a value and children) and when the stream fails.
void write_json_internal_tiny(std::ostream& stream, const ptree& tree, const std::string& filename, bool pretty);

// One node and its children; depth 0 is the root, always written as an object.
void writeJsonTinyNode(std::ostream& stream, const ptree& node, int depth);

}  // namespace json_parser
}  // namespace property_tree
}  // namespace boost

// The whole reply text, newline included.
std::string writeJsonTinyText(const boost::property_tree::ptree& tree);
