#include "json-server/jsonserver/src/json_parser_read.h"

#include <sstream>

namespace {

// Counts brackets outside strings; malformed texts are left to the reader.
bool nestsTooDeep(const std::string& text) {
  size_t depth = 0;
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
      if (++depth > kMaxJsonNesting) return true;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return false;
}

}  // namespace

void readJsonText(const std::string& text, boost::property_tree::ptree& tree) {
  if (nestsTooDeep(text)) {
    throw boost::property_tree::json_parser::json_parser_error("nesting too deep", "", 0);
  }
  std::istringstream stream(text);
  boost::property_tree::read_json(stream, tree);
}
