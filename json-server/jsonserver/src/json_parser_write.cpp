#include "json-server/jsonserver/src/json_parser_write.h"

#include <boost/property_tree/exceptions.hpp>
#include <boost/throw_exception.hpp>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

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
void appendEscaped(std::string& out, const char* run, const char* end, Escape escape) {
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
void appendValue(std::string& out, const char* value, size_t size) {
  if (size == 0) {
    out += "\"\"";
    return;
  }
  const char* const end = value + size;
  if ((size == 4 && std::memcmp(value, "true", 4) == 0) || (size == 5 && std::memcmp(value, "false", 5) == 0) ||
      isBareNumber(value, end)) {
    out.append(value, size);
    return;
  }
  out += '"';
  appendEscaped(out, value, end, appendValueEscape);
  out += '"';
}

// Texts written in place of their node while a reply is written on this thread.
struct AttachedText {
  const ptree* node;
  std::string marker;  // the node's value: a leading NUL and a number no other node holds
  std::string text;
};

struct AttachedTexts {
  int scopes = 0;
  uint64_t lastMarker = 0;
  std::vector<AttachedText> texts;
};

AttachedTexts& attachedTexts() {
  static thread_local AttachedTexts attached;
  return attached;
}

const std::string* attachedTextOf(const ptree& node) {
  const std::string& value = node.data();
  if (value.empty() || value[0] != '\0') return nullptr;
  for (const AttachedText& attached : attachedTexts().texts) {
    if (attached.node == &node && attached.marker == value) return &attached.text;
  }
  return nullptr;
}

void appendNode(std::string& out, const ptree& node, int depth);

void appendObject(std::string& out, const ptree& node, int depth) {
  out += '{';
  bool first = true;
  for (const auto& child : node) {
    if (!first) out += ',';
    first = false;
    appendJsonKey(out, child.first);
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
  if (depth > 0 && node.empty()) {
    if (const std::string* text = attachedTextOf(node)) {
      out += *text;
      return;
    }
  }
  // JSON has no node with both a value and members.
  if (!node.empty() && !node.data().empty()) refuseTree();
  if (depth > 0) {
    if (node.empty()) {
      appendValue(out, node.data().data(), node.data().size());
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

void appendJsonValue(std::string& out, const char* value, size_t size) { appendValue(out, value, size); }

void appendJsonKey(std::string& out, const std::string& key) {
  out += '"';
  appendEscaped(out, key.data(), key.data() + key.size(), appendKeyEscape);
  out += "\":";
}

JsonTextScope::JsonTextScope() { ++attachedTexts().scopes; }

bool JsonTextScope::isOpen() { return attachedTexts().scopes > 0; }

JsonTextScope::~JsonTextScope() {
  AttachedTexts& attached = attachedTexts();
  if (--attached.scopes == 0) attached.texts.clear();
}

bool attachJsonText(boost::property_tree::ptree& node, std::string text) {
  AttachedTexts& attached = attachedTexts();
  if (attached.scopes == 0 || !node.empty() || !node.data().empty()) return false;
  std::string marker(1, '\0');
  marker += std::to_string(++attached.lastMarker);
  node.data() = marker;
  attached.texts.push_back(AttachedText{&node, std::move(marker), std::move(text)});
  return true;
}
