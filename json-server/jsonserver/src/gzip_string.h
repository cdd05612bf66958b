#pragma once
// gzip of whole texts through Boost.Iostreams over zlib.

#include <string>

// One gzip stream with the compressor's defaults: zlib's default level, 15-bit window, memory
// level 8, no name or comment, time 0, operating system 255.
std::string gzipString(const std::string& text);
// Decompresses one gzip stream; a malformed stream raises the decompressor's error.
std::string gunzipString(const std::string& compressed);
