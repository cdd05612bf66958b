// velkaro_embed --output FILE.cpp [--chunk N] ROOT...
// Writes the source that fills the WebFileTable with every file of the web roots.

#include "tools/embed/embed_writer.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace fs = std::filesystem;

namespace {

// Below the 65,536 characters that every compiler must accept in one string literal.
constexpr size_t defaultChunkLength = 60000;

int usage() {
  std::cerr << "usage: velkaro_embed --output FILE.cpp [--chunk N] ROOT...\n";
  return 2;
}

// Written beside the target and renamed over it, so that a failed run leaves no half file.
void writeAtomically(const fs::path& target, const std::string& text) {
  const fs::path temporary = target.string() + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) throw std::runtime_error("cannot write " + temporary.string());
  }
  fs::rename(temporary, target);
}

}  // namespace

int main(int argc, char* argv[]) {
  std::string output;
  size_t chunkLength = defaultChunkLength;
  std::vector<fs::path> roots;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if ((argument == "--output" || argument == "--chunk") && i + 1 < argc) {
      const std::string value = argv[++i];
      if (argument == "--output") output = value;
      else chunkLength = std::strtoul(value.c_str(), nullptr, 10);
    } else if (argument.compare(0, 2, "--") == 0) {
      return usage();
    } else {
      roots.emplace_back(argument);
    }
  }
  if (output.empty() || roots.empty() || chunkLength == 0) return usage();

  try {
    const std::vector<WebFile> files = collectWebFiles(roots);
    std::ostringstream source;
    writeFillSource(source, files, chunkLength);
    writeAtomically(output, source.str());
  } catch (const std::exception& e) {
    std::cerr << "velkaro_embed: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
