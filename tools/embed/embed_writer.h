#pragma once
// The pieces of the web-file embedder: which files a web root holds, and the C++ source that
// carries them (gzip, then base64, cut into chunks).

#include <cstddef>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

struct WebFile {
  std::string name;  // relative to its root, "/"-separated: "img/flags/Cuba.bmp"
  std::filesystem::path path;
};

// Every regular file under the roots (symbolic links followed), sorted by name. Entries whose
// name begins with "." are left out, and so is everything below them. When two roots hold the
// same name the first root's file wins. Throws std::runtime_error for a root that is not a
// directory or a name that cannot be served.
std::vector<WebFile> collectWebFiles(const std::vector<std::filesystem::path>& roots);

// One gzip stream (best compression, no name, time 0), so that the output depends on the
// content alone.
std::string gzipBytes(const std::string& bytes);
// Standard alphabet with "=" fill, no line breaks.
std::string base64Encode(const std::string& bytes);
// A C++ string literal for any bytes: printable ASCII as it is, everything else escaped.
std::string cppStringLiteral(const std::string& bytes);

// The source that defines fillWebFileTable. A chunk never exceeds `chunkLength` characters.
void writeFillSource(std::ostream& out, const std::vector<WebFile>& files, size_t chunkLength);
