#include "json-server/jsonserver/src/json_parser_write.h"

#include <boost/property_tree/exceptions.hpp>
#include <boost/throw_exception.hpp>

#include <algorithm>

namespace {

using boost::property_tree::ptree;

const char kHexDigits[] = "0123456789ABCDEF";

void appendUnicodeEscape(std::string& out, unsigned char c) {
  out += "\\u00";
  out += kHexDigits[c >> 4];
  out += kHexDigits[c & 0x0F];
}

// Bytes that need an escape in a value or a key: the controls, the double quote, slash and backslash.
bool needsEscape(unsigned char c) { return c < 0x20 || c == '"' || c == '/' || c == '\\'; }

// Control characters the page reads as text are doubled backslashes: it splits outside texts on
// a backslash followed by "n".
void appendValueEscape(std::string& out, unsigned char c) {
  switch (c) {
    case 0x08: out += "\\\\b"; break;
    case 0x0C: out += "\\\\f"; break;
    case 0x0A: out += "\\\\n"; break;
    case 0x0D: out += "\\\\r"; break;
    case '"': out += "\\\""; break;
    case '/': out += "\\/"; break;
    case '\\': out += "\\\\"; break;
    default: appendUnicodeEscape(out, c);
  }
}

void appendKeyEscape(std::string& out, unsigned char c) {
  switch (c) {
    case 0x08: out += "\\b"; break;
    case 0x0C: out += "\\f"; break;
    case 0x0A: out += "\\n"; break;
    case 0x0D: out += "\\r"; break;
    case 0x09: out += "\\t"; break;
    case '"': out += "\\\""; break;
    case '/': out += "\\/"; break;
    case '\\': out += "\\\\"; break;
    default: appendUnicodeEscape(out, c);
  }
}

// Copies the runs of plain bytes whole.
template <typename Escape>
void appendEscaped(std::string& out, const std::string& text, Escape escape) {
  const char* run = text.data();
  const char* const end = run + text.size();
  for (const char* p = run; p != end; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (!needsEscape(c)) continue;
    out.append(run, p);
    escape(out, c);
    run = p + 1;
  }
  out.append(run, end);
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// A JSON number without exponent: -?(0|[1-9][0-9]*)(\.[0-9]+)?
bool isBareNumber(const char* p, const char* end) {
  if (p != end && *p == '-') ++p;
  if (p == end) return false;
  if (*p == '0') {
    ++p;
  } else if (isDigit(*p)) {
    while (p != end && isDigit(*p)) ++p;
  } else {
    return false;
  }
  if (p == end) return true;
  if (*p != '.') return false;
  ++p;
  if (p == end || !isDigit(*p)) return false;
  while (p != end && isDigit(*p)) ++p;
  return p == end;
}

// Escaping never makes or breaks a bare value (true, false and numbers hold no escaped byte), so
// the form is chosen on the raw text.
void appendValue(std::string& out, const std::string& value) {
  if (value.empty()) {
    out += "\"\"";
    return;
  }
  if (value == "true" || value == "false" || isBareNumber(value.data(), value.data() + value.size())) {
    out += value;
    return;
  }
  out += '"';
  appendEscaped(out, value, appendValueEscape);
  out += '"';
}

void appendNode(std::string& out, const ptree& node, int depth);

void appendObject(std::string& out, const ptree& node, int depth) {
  out += '{';
  bool first = true;
  for (const auto& child : node) {
    if (!first) out += ',';
    first = false;
    out += '"';
    appendEscaped(out, child.first, appendKeyEscape);
    out += "\":";
    appendNode(out, child.second, depth + 1);
  }
  out += '}';
}

[[noreturn]] void refuseTree() {
  BOOST_THROW_EXCEPTION(boost::property_tree::json_parser::json_parser_error(
      "ptree contains data that cannot be represented in JSON format", "", 0));
}

// The text is only handed on once the whole tree has been written, so refusing a node midway
// leaves nothing written.
void appendNode(std::string& out, const ptree& node, int depth) {
  // JSON has no node with both a value and members.
  if (!node.empty() && !node.data().empty()) refuseTree();
  if (depth > 0) {
    if (node.empty()) {
      appendValue(out, node.data());
      return;
    }
    bool array = true;
    for (const auto& child : node) {
      if (!child.first.empty()) {
        array = false;
        break;
      }
    }
    if (array) {
      out += '[';
      bool first = true;
      for (const auto& child : node) {
        if (!first) out += ',';
        first = false;
        appendNode(out, child.second, depth + 1);
      }
      out += ']';
      return;
    }
  }
  appendObject(out, node, depth);
}

void appendTree(std::string& out, const ptree& tree) {
  if (!tree.data().empty()) refuseTree();
  appendNode(out, tree, 0);
  out += '\n';
}

// Reply texts of one thread are much alike in size: reserving the last size avoids regrowing a
// text of tens of kilobytes for every reply.
std::string treeText(const ptree& tree) {
  static thread_local size_t sizeHint = 256;
  std::string text;
  text.reserve(sizeHint);
  appendTree(text, tree);
  sizeHint = std::max<size_t>(256, text.size() + text.size() / 8);
  return text;
}

}  // namespace

namespace boost {
namespace property_tree {
namespace json_parser {

void write_json_internal_tiny(std::ostream& stream, const ptree& tree, const std::string& /*filename*/,
                              bool /*pretty*/) {
  const std::string text = treeText(tree);
  stream.write(text.data(), static_cast<std::streamsize>(text.size()));
  stream.flush();
  if (stream.fail()) BOOST_THROW_EXCEPTION(json_parser_error("write error", "", 0));
}

void writeJsonTinyNode(std::ostream& stream, const ptree& node, int depth) {
  std::string text;
  appendNode(text, node, depth);
  stream.write(text.data(), static_cast<std::streamsize>(text.size()));
}

}  // namespace json_parser
}  // namespace property_tree
}  // namespace boost

std::string writeJsonTinyText(const boost::property_tree::ptree& tree) { return treeText(tree); }
