// The embedding of the web root: the generator's output, compiled for real, decodes to every
// file byte for byte, and so does the table the program fills before main.

#include <gtest/gtest.h>

#include <boost/iostreams/filter/gzip.hpp>

#include <random>
#include <set>
#include <sstream>

#include "json-server/jsonserver/src/gzip_string.h"
#include "json-server/jsonserver/src/web_file_table.h"
#include "tests/json-server/web_files_test_support.h"
#include "web_files_build.h"

namespace web_test {
namespace {

namespace fs = std::filesystem;

// The files a web root holds, walked independently of the generator: hidden entries left out,
// links followed, the first root winning a name.
std::map<std::string, std::string> filesOfRoots(const std::vector<std::string>& roots) {
  std::map<std::string, std::string> files;
  for (const auto& root : roots) {
    auto it = fs::recursive_directory_iterator(root, fs::directory_options::follow_directory_symlink);
    for (; it != fs::recursive_directory_iterator(); ++it) {
      if (it->path().filename().string()[0] == '.') {
        if (it->is_directory()) it.disable_recursion_pending();
        continue;
      }
      if (!fs::is_regular_file(it->path())) continue;
      files.emplace(fs::relative(it->path(), root).generic_string(), readFile(it->path().string()));
    }
  }
  return files;
}

std::string run(const std::string& command, int& status) {
  const std::string output = http_test::runCommand(command + " 2>&1; echo \"exit:$?\"");
  const size_t mark = output.rfind("exit:");
  if (mark == std::string::npos) {
    status = -1;  // the shell never ran
    return output;
  }
  status = std::atoi(output.c_str() + mark + 5);
  return output.substr(0, mark);
}

TEST(WebFileTableTest, HoldsEveryFileOfTheWebRootsByteForByte) {
  const auto expected = filesOfRoots({VELKARO_WEB_ROOT_LIST});
  ASSERT_FALSE(expected.empty());
  EXPECT_TRUE(expected.count("index.html"));
  const WebFileTable& table = webFileTable();
  ASSERT_EQ(table.size(), expected.size());
  for (const auto& file : expected) {
    const auto found = table.find(file.first);
    ASSERT_NE(found, table.end()) << file.first;
    EXPECT_TRUE(found->second == file.second) << file.first;
  }
}

TEST(WebFileTableTest, AddWebFileJoinsChunksDecodesAndKeepsTheFirstContent) {
  const std::string content = "<html>\n" + std::string(3000, 'x') + "\x01\xff";
  std::string base64;
  {
    // The gzip stream of the content, base64-encoded by hand for independence from the tool.
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::string gz = gzipString(content);
    for (size_t i = 0; i < gz.size(); i += 3) {
      uint32_t v = static_cast<uint8_t>(gz[i]) << 16;
      if (i + 1 < gz.size()) v |= static_cast<uint8_t>(gz[i + 1]) << 8;
      if (i + 2 < gz.size()) v |= static_cast<uint8_t>(gz[i + 2]);
      base64 += alphabet[v >> 18];
      base64 += alphabet[(v >> 12) & 63];
      base64 += i + 1 < gz.size() ? alphabet[(v >> 6) & 63] : '=';
      base64 += i + 2 < gz.size() ? alphabet[v & 63] : '=';
    }
  }
  // Cut anywhere, even inside a group of four characters or between the two "=".
  for (const size_t cut : {size_t(1), size_t(5), base64.size() / 2, base64.size() - 1}) {
    SCOPED_TRACE(cut);
    const std::string first = base64.substr(0, cut), second = base64.substr(cut);
    const char* const chunks[] = {first.c_str(), second.c_str(), nullptr};
    WebFileTable table;
    addWebFile(table, "index.html", chunks);
    EXPECT_TRUE(table.at("index.html") == content);
  }

  WebFileTable table;
  const std::string one = base64;
  const char* const chunks[] = {one.c_str(), nullptr};
  addWebFile(table, "a", chunks);
  const char* const empty[] = {nullptr};
  EXPECT_THROW(addWebFile(table, "b", empty), boost::iostreams::gzip_error);  // no stream at all
  const char* const bad[] = {"H4sI*AAA", nullptr};
  EXPECT_THROW(addWebFile(table, "c", bad), std::runtime_error);
  const char* const notGzip[] = {"aGVsbG8=", nullptr};  // "hello"
  EXPECT_THROW(addWebFile(table, "d", notGzip), boost::iostreams::gzip_error);
  // A name already there keeps its first content.
  addWebFile(table, "a", chunks);
  EXPECT_EQ(table.size(), 1u);
  EXPECT_TRUE(table.at("a") == content);
}

// The generator on a root of awkward files, its output compiled with a driver that prints the
// chunks it sees; the real addWebFile then decodes them.
TEST(WebFileGeneratorTest, OutputCompilesAndDecodesToEveryFile) {
  ScratchFolder scratch;
  std::mt19937 random(7);
  std::string binary(200000, '\0');
  for (auto& c : binary) c = static_cast<char>(random());
  scratch.write("root/index.html", "<html></html>\n");
  scratch.write("root/empty.txt", "");
  scratch.write("root/q\"uote?s'.js", "//\"?\?=\n");
  scratch.write("root/a b/\xc3\xa9t\xc3\xa9.css", "body{}");
  scratch.write("root/d/e/f.bin", binary);
  scratch.write("root/.hidden", "not served");
  scratch.write("root/.git/config", "not served");
  scratch.write("root/9/1", "digit names");
  scratch.write("second/index.html", "loses to the first root");
  scratch.write("second/img/flags/Cuba.bmp", "BM only in the second root");
  fs::create_symlink(scratch.path + "/root/index.html", scratch.path + "/root/link.html");

  const std::string out = scratch.path + "/out.cpp";
  int status = 0;
  std::string output = run(std::string(VELKARO_EMBED_BINARY) + " --chunk 1000 --output " + out + " " + scratch.path +
                               "/root " + scratch.path + "/second",
                           status);
  ASSERT_EQ(status, 0) << output;

  scratch.write("driver.cpp", R"(
#include "json-server/jsonserver/src/web_file_table.h"
#include <cstdio>
#include <cstring>
void addWebFile(WebFileTable& table, const char* name, const char* const* chunks) {
  std::string line;
  size_t longest = 0, count = 0;
  for (; chunks[count]; ++count) {
    line += chunks[count];
    if (std::strlen(chunks[count]) > longest) longest = std::strlen(chunks[count]);
  }
  std::printf("%zu %zu %zu %s %s\n", std::strlen(name), count, longest, name, line.c_str());
  table[name];
}
int main() { WebFileTable table; fillWebFileTable(table); }
)");
  output = run(std::string(VELKARO_CXX_COMPILER) + " -std=c++17 -Wall -Wextra -Werror -I" VELKARO_SOURCE_DIR " -o " +
                   scratch.path + "/driver " + scratch.path + "/driver.cpp " + out + " && " VELKARO_PROGRAM_EMULATOR +
                   scratch.path + "/driver",
               status);
  ASSERT_EQ(status, 0) << output;

  std::map<std::string, std::string> decoded;
  std::istringstream lines(output);
  size_t nameLength, chunkCount, longest;
  while (lines >> nameLength >> chunkCount >> longest) {
    lines.get();
    std::string name(nameLength, '\0'), text;
    lines.read(&name[0], static_cast<std::streamsize>(nameLength));
    lines >> text;
    EXPECT_LE(longest, 1000u) << name;
    EXPECT_EQ(chunkCount, (text.size() + 999) / 1000) << name;
    const char* const chunks[] = {text.c_str(), nullptr};
    WebFileTable table;
    addWebFile(table, name.c_str(), chunks);
    decoded[name] = table.at(name);
  }
  const std::map<std::string, std::string> expected = {
      {"index.html", "<html></html>\n"},
      {"empty.txt", ""},
      {"q\"uote?s'.js", "//\"?\?=\n"},
      {"a b/\xc3\xa9t\xc3\xa9.css", "body{}"},
      {"d/e/f.bin", binary},
      {"9/1", "digit names"},
      {"link.html", "<html></html>\n"},
      {"img/flags/Cuba.bmp", "BM only in the second root"},
  };
  EXPECT_TRUE(decoded == expected);
  EXPECT_EQ(decoded.size(), expected.size());
}

TEST(WebFileGeneratorTest, BadRootsAndUnservableNamesFailTheBuild) {
  ScratchFolder scratch;
  scratch.write("root/ok.html", "x");
  scratch.write("bad/back\\slash.js", "x");
  scratch.write("bad2/new\nline.js", "x");
  const std::string out = scratch.path + "/out.cpp";
  for (const std::string root : {"missing", "root/ok.html", "bad", "bad2"}) {
    SCOPED_TRACE(root);
    int status = 0;
    const std::string output =
        run(std::string(VELKARO_EMBED_BINARY) + " --output " + out + " '" + scratch.path + "/" + root + "'", status);
    EXPECT_NE(status, 0);
    EXPECT_NE(output.find("velkaro_embed: "), std::string::npos) << output;
    EXPECT_FALSE(fs::exists(out));
  }
}

}  // namespace
}  // namespace web_test
