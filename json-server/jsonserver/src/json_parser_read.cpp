#include "json-server/jsonserver/src/json_parser_read.h"

#include <algorithm>
#include <sstream>

namespace {

using boost::property_tree::json_parser::json_parser_error;

// Counts brackets and commas outside strings; malformed texts are left to the reader.
void checkShape(const std::string& text, const JsonReadLimits& limits) {
  const size_t maxDepth = std::min(limits.maxDepth, kMaxJsonNesting);
  size_t depth = 0;
  size_t elements = 1;
  bool inString = false;
  bool escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > maxDepth) throw json_parser_error("nesting too deep", "", 0);
      if (++elements > limits.maxElements) throw json_parser_error("too many elements", "", 0);
    } else if (c == ',') {
      if (++elements > limits.maxElements) throw json_parser_error("too many elements", "", 0);
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
}

}  // namespace

void readJsonText(const std::string& text, boost::property_tree::ptree& tree, const JsonReadLimits& limits) {
  checkShape(text, limits);
  std::istringstream stream(text);
  boost::property_tree::read_json(stream, tree);
}
