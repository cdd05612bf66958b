#pragma once
// gzip of whole texts through Boost.Iostreams over zlib.

#include <cstddef>
#include <limits>
#include <string>

// One gzip stream with the compressor's defaults: zlib's default level, 15-bit window, memory
// level 8, no name or comment, time 0, operating system 255.
std::string gzipString(const std::string& text);
// Decompresses one gzip stream; a malformed stream raises the decompressor's error, and more
// than `limit` decoded bytes a std::length_error (found out before they fill the memory).
std::string gunzipString(const std::string& compressed, size_t limit = std::numeric_limits<size_t>::max());
