#include "json-server/jsonserver/src/http_request.h"

#include <boost/algorithm/string/predicate.hpp>

namespace {

const std::pair<std::string, std::string>* findHeader(const HttpRequest& request, const std::string& name) {
  for (const auto& header : request.headers) {
    if (boost::algorithm::iequals(header.first, name)) return &header;
  }
  return nullptr;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isSlash(char c) { return c == '/' || c == '\\'; }

}  // namespace

std::string getRequestHeader(const HttpRequest& request, const std::string& name) {
  const auto* header = findHeader(request, name);
  return header ? header->second : std::string();
}

bool hasRequestHeader(const HttpRequest& request, const std::string& name) {
  return findHeader(request, name) != nullptr;
}

bool requestKeepsAlive(const HttpRequest& request) {
  const auto* header = findHeader(request, "Connection");
  if (header) return boost::algorithm::iequals(header->second, "keep-alive");
  return request.protocolVersion == "1.1";
}

const char* connectionHeaderValue(const HttpRequest& request) {
  return requestKeepsAlive(request) ? "keep-alive" : "close";
}

std::string percentDecode(const std::string& text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const int high = hexValue(text[i + 1]);
      const int low = hexValue(text[i + 2]);
      if (high >= 0 && low >= 0) {
        decoded += static_cast<char>(high * 16 + low);
        i += 2;
        continue;
      }
    }
    decoded += text[i];
  }
  return decoded;
}

std::string normaliseRequestPath(const std::string& path) {
  // A path is text: whatever follows a decoded NUL is not part of it.
  const std::string text = path.substr(0, path.find('\0'));
  std::string result;
  result.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i++];
    result += c;
    if (!isSlash(c)) continue;
    while (i < text.size()) {
      if (isSlash(text[i])) {
        ++i;
      } else if (text[i] == '.' && i + 1 < text.size() && text[i + 1] == '.') {
        i += 2;
      } else {
        break;
      }
    }
  }
  return result;
}
