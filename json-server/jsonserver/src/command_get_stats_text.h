#pragma once
// The texts that the getStats replies store in their trees. The tree holds every value as text
// and the JSON writer spells it: these forms decide what goes out bare and what as a string.

#include <boost/property_tree/ptree.hpp>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <string>
#include <system_error>
#include <utility>

// General notation with `digits` significant digits, as printf's %g ("51.470001", "1e-05", "nan").
template <typename Number>
std::string generalText(Number value, int digits) {
  char text[48];
  const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::general, digits);
  return result.ec == std::errc() ? std::string(text, result.ptr) : std::string();
}

inline std::string floatText(float value) { return generalText(value, 8); }
inline std::string doubleText(double value) { return generalText(value, 17); }

// Fixed notation with exactly five decimals ("51.50000").
inline std::string doubleToText(double value) {
  char text[400];  // room for the largest double
  const int n = std::snprintf(text, sizeof text, "%.5f", value);
  return n > 0 && n < static_cast<int>(sizeof text) ? std::string(text, n) : std::string();
}

template <typename Integer>
std::string integerText(Integer value) {
  char text[24];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

inline std::string unsignedToText(uint32_t value) { return integerText(value); }
inline const char* flagText(bool value) { return value ? "true" : "false"; }

// Appends a child without a path lookup; keys are unique where this is used.
inline boost::property_tree::ptree& appendChild(boost::property_tree::ptree& parent, const std::string& key,
                                                const std::string& value = std::string()) {
  return parent.push_back(boost::property_tree::ptree::value_type(key, boost::property_tree::ptree(value)))->second;
}

// A key of the replies built per aircraft. Every tree node owns a heap container, so building a
// child from temporaries costs three of them; copying a ready-made empty child costs one.
// Appending only reads the prototype, so any thread may use a shared JsonKey.
class JsonKey {
 public:
  explicit JsonKey(const std::string& key) : prototype(key, boost::property_tree::ptree()) {}

  const std::string& text() const { return prototype.first; }
  boost::property_tree::ptree& appendTo(boost::property_tree::ptree& parent) const {
    return parent.push_back(prototype)->second;
  }
  boost::property_tree::ptree& appendTo(boost::property_tree::ptree& parent, std::string value) const {
    boost::property_tree::ptree& child = appendTo(parent);
    child.data() = std::move(value);
    return child;
  }

 private:
  boost::property_tree::ptree::value_type prototype;
};
