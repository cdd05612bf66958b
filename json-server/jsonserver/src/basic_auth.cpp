#include "json-server/jsonserver/src/basic_auth.h"

#include <cstdint>

namespace {

int base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

bool decodeBase64(const std::string& text, std::string& decoded) {
  size_t length = text.size();
  for (int i = 0; i < 2 && length > 0 && text[length - 1] == '='; ++i) --length;
  decoded.clear();
  decoded.reserve(length * 3 / 4);
  uint32_t bits = 0;
  int bitCount = 0;
  for (size_t i = 0; i < length; ++i) {
    const int value = base64Value(text[i]);
    if (value < 0) {
      decoded.clear();
      return false;
    }
    bits = ((bits << 6) | static_cast<uint32_t>(value)) & 0xFFFFFF;
    bitCount += 6;
    if (bitCount >= 8) {
      bitCount -= 8;
      decoded += static_cast<char>((bits >> bitCount) & 0xFF);
    }
  }
  return true;
}

std::string basicAuthCredentials(const std::string& authorizationHeader) {
  static const std::string scheme = "Basic ";
  if (authorizationHeader.compare(0, scheme.size(), scheme) != 0) return std::string();
  std::string credentials;
  if (!decodeBase64(authorizationHeader.substr(scheme.size()), credentials)) return std::string();
  return credentials;
}
