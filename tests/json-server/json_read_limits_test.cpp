// The bounds of the JSON reader: nesting depth and value count, checked before the reader
// builds any node, with request-sized defaults and larger limits for bigger documents.

#include <gtest/gtest.h>

#include "json-server/jsonserver/src/json_parser_read.h"

namespace {

using boost::property_tree::ptree;

// "[1,1,...]" holding `count` values besides the array itself.
std::string flatArray(size_t count) {
  std::string text = "[";
  for (size_t i = 0; i < count; ++i) text += i ? ",1" : "1";
  return text + "]";
}

std::string nested(size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// Empty when the text is read, else the reader's error text.
std::string readError(const std::string& text, const JsonReadLimits& limits = JsonReadLimits()) {
  ptree tree;
  try {
    readJsonText(text, tree, limits);
  } catch (const boost::property_tree::json_parser::json_parser_error& e) {
    return e.what();
  }
  return "";
}

const std::string kTooMany = "<unspecified file>: too many elements";
const std::string kTooDeep = "<unspecified file>: nesting too deep";

TEST(JsonReadLimitsTest, DefaultsBoundValuesAndNesting) {
  const struct {
    std::string text;
    std::string error;
  } cases[] = {
      {R"({"req":"getStats","data":{"statsType":"flights","index":3}})", ""},
      {flatArray(1023), ""},  // with the array: 1024 values
      {flatArray(1024), kTooMany},
      {"[" + std::string(5000, ' ') + "]", ""},  // blanks cost nothing
      {"[[],[],[]]", ""},
      {nested(256), ""},
      {nested(257), kTooDeep},
      {std::string(1000000, '['), kTooDeep},
      {std::string(1000000, ','), kTooMany},
      // Inside strings brackets and commas are text, an escaped quote included.
      {"[\"" + std::string(100000, ',') + std::string(1000, '[') + "\"]", ""},
      {"[\"\\\"" + std::string(2000, ',') + "\"]", ""},
      {"[\"\\\\\"" + std::string(2000, ',') + "]", kTooMany},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(readError(c.text), c.error) << c.text.substr(0, 60);
  }
}

TEST(JsonReadLimitsTest, LimitsAreTheCallersChoiceUpToTheStackSafeDepth) {
  const JsonReadLimits small{2, 4};
  EXPECT_EQ(readError("[[1,2]]", small), "");
  EXPECT_EQ(readError("[[[1]]]", small), kTooDeep);
  EXPECT_EQ(readError("[[1,2,3]]", small), kTooMany);

  // A document from an outside service may be far larger than a request.
  JsonReadLimits large;
  large.maxElements = 1000000;
  ptree tree;
  readJsonText("{\"list\":" + flatArray(200000) + "}", tree, large);
  EXPECT_EQ(tree.get_child("list").size(), 200000u);

  large.maxDepth = 100000;
  EXPECT_EQ(readError(nested(kMaxJsonNesting), large), "");
  EXPECT_EQ(readError(nested(kMaxJsonNesting + 1), large), kTooDeep);
}

}  // namespace
