#pragma once
// The texts that the getStats replies store in their trees. The tree holds every value as text
// and the JSON writer spells it: these forms decide what goes out bare and what as a string.

#include <boost/property_tree/ptree.hpp>

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <system_error>
#include <utility>

// Room for the text of any float or integer below.
constexpr size_t kNumberTextSize = 64;

// General notation with `digits` significant digits, as printf's %g ("51.470001", "1e-05", "nan");
// writes nothing when the text does not fit. Returns the size written.
template <typename Number>
size_t formatGeneral(char* text, Number value, int digits, size_t capacity = kNumberTextSize) {
  const auto result = std::to_chars(text, text + capacity, value, std::chars_format::general, digits);
  return result.ec == std::errc() ? static_cast<size_t>(result.ptr - text) : 0;
}

// Fixed notation with exactly five decimals ("51.50000"); nothing when it does not fit.
inline size_t formatFixed5(char* text, double value, size_t capacity = kNumberTextSize) {
  const int n = std::snprintf(text, capacity, "%.5f", value);
  return n > 0 && static_cast<size_t>(n) < capacity ? static_cast<size_t>(n) : 0;
}

template <typename Integer>
size_t formatInteger(char* text, Integer value) {
  return static_cast<size_t>(std::to_chars(text, text + kNumberTextSize, value).ptr - text);
}

template <typename Number>
std::string generalText(Number value, int digits) {
  char text[kNumberTextSize];
  return std::string(text, formatGeneral(text, value, digits));
}

inline std::string floatText(float value) { return generalText(value, 8); }
inline std::string doubleText(double value) { return generalText(value, 17); }

inline std::string doubleToText(double value) {
  char text[400];  // room for the largest double
  return std::string(text, formatFixed5(text, value, sizeof text));
}

template <typename Integer>
std::string integerText(Integer value) {
  char text[kNumberTextSize];
  return std::string(text, formatInteger(text, value));
}

inline std::string unsignedToText(uint32_t value) { return integerText(value); }
inline const char* flagText(bool value) { return value ? "true" : "false"; }

// Appends a child without a path lookup; keys are unique where this is used.
inline boost::property_tree::ptree& appendChild(boost::property_tree::ptree& parent, const std::string& key,
                                                const std::string& value = std::string()) {
  return parent.push_back(boost::property_tree::ptree::value_type(key, boost::property_tree::ptree(value)))->second;
}
