#include <gtest/gtest.h>

#include "json-server/jsonserver/src/json_parser_read.h"
#include <boost/property_tree/ptree.hpp>

#include <sstream>
#include <string>
#include <vector>

#include "json-server/jsonserver/src/json_parser_write.h"

namespace {

using boost::property_tree::ptree;
using boost::property_tree::json_parser::write_json_internal_tiny;

// The text of {"v": value}, without the braces and the key.
std::string valueText(const std::string& value) {
  ptree tree;
  tree.push_back({"v", ptree(value)});
  const std::string text = writeJsonTinyText(tree);
  EXPECT_EQ(text.substr(0, 5), "{\"v\":");
  EXPECT_EQ(text.substr(text.size() - 2), "}\n");
  return text.substr(5, text.size() - 7);
}

TEST(JsonWriterTest, ValuesAreBareOnlyWhenTheyAreFlagsOrPlainNumbers) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"0", "0"},
      {"7", "7"},
      {"7000", "7000"},
      {"-7.25", "-7.25"},
      {"-0.5", "-0.5"},
      {"51.12345", "51.12345"},
      {"123456789012345678901234567890", "123456789012345678901234567890"},
      {"-0", "-0"},
      {"true", "true"},
      {"false", "false"},
      {"True", "\"True\""},
      {"007", "\"007\""},
      {"00", "\"00\""},
      {"0456", "\"0456\""},
      {"-", "\"-\""},
      {".", "\".\""},
      {".5", "\".5\""},
      {"5.", "\"5.\""},
      {"+5", "\"+5\""},
      {"1e+10", "\"1e+10\""},
      {"1E5", "\"1E5\""},
      {"4CA1FA", "\"4CA1FA\""},
      {"nan", "\"nan\""},
      {"-inf", "\"-inf\""},
      {" 5", "\" 5\""},
      {"5 ", "\"5 \""},
      {"1.2.3", "\"1.2.3\""},
      {"--1", "\"--1\""},
      {"", "\"\""},
  };
  for (const auto& [value, expected] : cases) EXPECT_EQ(valueText(value), expected) << value;
}

TEST(JsonWriterTest, ValueEscapesDoubleTheBackslashOfLineControlsOnly) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"A\nB", R"("A\\nB")"},
      {"\r", R"("\\r")"},
      {"\b\f", R"("\\b\\f")"},
      {"\t", R"("\u0009")"},
      {std::string("a\0b", 3), R"("a\u0000b")"},
      {"\x01\x0B\x0E\x1F", R"("\u0001\u000B\u000E\u001F")"},
      {"say \"hi\"", R"("say \"hi\"")"},
      {"a/b\\c", R"("a\/b\\c")"},
      {"\x7F", "\"\x7F\""},
      {"Zürich \xE2\x9C\x88", "\"Zürich \xE2\x9C\x88\""},
      {"\xFF\x80", "\"\xFF\x80\""},  // not UTF-8: bytes pass unchanged
  };
  for (const auto& [value, expected] : cases) EXPECT_EQ(valueText(value), expected) << value;
}

TEST(JsonWriterTest, KeysUseTheStandardEscapes) {
  ptree tree;
  tree.push_back({"a\tb\n\"/\\\x01\x7F\xC3\xA9", ptree("1")});
  EXPECT_EQ(writeJsonTinyText(tree), "{\"a\\tb\\n\\\"\\/\\\\\\u0001\x7F\xC3\xA9\":1}\n");
}

TEST(JsonWriterTest, ObjectsArraysAndEmptyNodes) {
  ptree root;
  EXPECT_EQ(writeJsonTinyText(root), "{}\n");

  root.put("status", "OK");
  EXPECT_EQ(writeJsonTinyText(root), "{\"status\":\"OK\"}\n");
  root.put("key", "abc");
  EXPECT_EQ(writeJsonTinyText(root), "{\"status\":\"OK\",\"key\":\"abc\"}\n");

  ptree list;
  for (const char* v : {"1", "x", ""}) list.push_back({"", ptree(v)});
  ptree tree;
  tree.push_back({"a", list});
  tree.push_back({"empty", ptree()});  // an empty list or object comes out as ""
  ptree nested;
  nested.push_back({"", ptree()});
  nested.push_back({"", list});
  ptree inner;
  inner.push_back({"k", ptree()});
  nested.push_back({"", inner});
  tree.push_back({"n", nested});
  EXPECT_EQ(writeJsonTinyText(tree),
            "{\"a\":[1,\"x\",\"\"],\"empty\":\"\",\"n\":[\"\",[1,\"x\",\"\"],{\"k\":\"\"}]}\n");

  // One named child among unnamed ones makes an object, whose unnamed keys are written empty.
  ptree mixed;
  mixed.push_back({"", ptree("1")});
  mixed.push_back({"b", ptree("2")});
  ptree holder;
  holder.push_back({"m", mixed});
  EXPECT_EQ(writeJsonTinyText(holder), "{\"m\":{\"\":1,\"b\":2}}\n");

  // The root is an object even when all its keys are empty.
  EXPECT_EQ(writeJsonTinyText(list), "{\"\":1,\"\":\"x\",\"\":\"\"}\n");
}

TEST(JsonWriterTest, OutputReadsBackAsTheSameTree) {
  ptree tree;
  tree.put("status", "OK");
  tree.put("stats.flights.text", "quote \" slash / back \\ tab \t");
  tree.put("stats.n", "-12.5");
  const ptree back = [&] {
    ptree t;
    std::istringstream in(writeJsonTinyText(tree));
    boost::property_tree::read_json(in, t);
    return t;
  }();
  EXPECT_EQ(back, tree);
}

TEST(JsonWriterTest, RefusesTreesJsonCannotHoldAndFailedStreams) {
  ptree rootValue("x");
  ptree valueAndChildren;
  valueAndChildren.put("a", "1");
  valueAndChildren.get_child("a").put("b", "2");
  for (const ptree* tree : {&rootValue, &valueAndChildren}) {
    std::ostringstream out;
    try {
      write_json_internal_tiny(out, *tree, "ignored.json", true);
      ADD_FAILURE() << "no exception";
    } catch (const boost::property_tree::json_parser::json_parser_error& e) {
      EXPECT_EQ(e.message(), "ptree contains data that cannot be represented in JSON format");
      EXPECT_EQ(e.filename(), "");
      EXPECT_EQ(e.line(), 0u);
    }
    EXPECT_EQ(out.str(), "");  // nothing written before the check
  }

  std::ostringstream failed;
  failed.setstate(std::ios::badbit);
  ptree ok;
  ok.put("a", "1");
  try {
    write_json_internal_tiny(failed, ok, "", false);
    ADD_FAILURE() << "no exception";
  } catch (const boost::property_tree::json_parser::json_parser_error& e) {
    EXPECT_EQ(e.message(), "write error");
  }

  // Compact whatever the pretty flag says.
  std::ostringstream out;
  write_json_internal_tiny(out, ok, "", true);
  EXPECT_EQ(out.str(), "{\"a\":1}\n");
}

}  // namespace
