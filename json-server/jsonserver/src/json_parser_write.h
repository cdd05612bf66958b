#pragma once
// The compact JSON writer every reply goes through. Values "true", "false" and JSON numbers
// without exponent are written bare, every other value as a string; a node without children is a
// value, so an empty list comes out as "". Line feeds in values come out as backslash, backslash,
// "n": the page splits outside texts on those two characters.

#include <boost/property_tree/json_parser/error.hpp>
#include <boost/property_tree/ptree.hpp>

#include <cstddef>
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

// A value node's text as the writer spells it: bare, or quoted and escaped.
void appendJsonValue(std::string& out, const char* value, size_t size);
// A member's key as the writer spells it, quoted and escaped, with the colon.
void appendJsonKey(std::string& out, const std::string& key);

// Large answers (the aircraft list of "flights") are cheaper written as text at once than built
// node by node: their text stands in for an empty node while the reply is written. BaseCommand::run
// holds a scope around a command and the sending of its reply; the texts go when the outermost
// scope of the thread ends. Outside a scope attachJsonText refuses, and the caller builds the nodes.
class JsonTextScope {
 public:
  JsonTextScope();
  ~JsonTextScope();
  JsonTextScope(const JsonTextScope&) = delete;
  JsonTextScope& operator=(const JsonTextScope&) = delete;
  // True while this thread holds a scope.
  static bool isOpen();
};

// Has every write of this thread below the root write `node` (no value, no children) as `text`,
// which must be JSON, while the scope lasts. The node's value becomes a marker that only this
// node is matched by. False, and nothing changed, outside a scope or for any other node.
bool attachJsonText(boost::property_tree::ptree& node, std::string text);
