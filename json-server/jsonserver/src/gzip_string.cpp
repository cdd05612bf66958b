#include "json-server/jsonserver/src/gzip_string.h"

#include <boost/iostreams/copy.hpp>
#include <boost/iostreams/device/array.hpp>
#include <boost/iostreams/device/back_inserter.hpp>
#include <boost/iostreams/filter/gzip.hpp>
#include <boost/iostreams/filtering_stream.hpp>

namespace io = boost::iostreams;

std::string gzipString(const std::string& text) {
  std::string compressed;
  {
    io::filtering_ostream out;
    out.push(io::gzip_compressor());
    out.push(io::back_inserter(compressed));
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
  }  // closing the chain writes the trailer
  return compressed;
}

std::string gunzipString(const std::string& compressed) {
  std::string text;
  io::filtering_istream in;
  in.push(io::gzip_decompressor());
  in.push(io::array_source(compressed.data(), compressed.size()));
  io::copy(in, io::back_inserter(text));
  return text;
}
