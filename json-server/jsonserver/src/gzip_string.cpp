#include "json-server/jsonserver/src/gzip_string.h"

#include <boost/iostreams/copy.hpp>
#include <boost/iostreams/device/array.hpp>
#include <boost/iostreams/filter/gzip.hpp>
#include <boost/iostreams/filtering_stream.hpp>

#include <zlib.h>

#include <stdexcept>

namespace io = boost::iostreams;

namespace {

// One deflate state per thread, reset for every text: setting one up costs more than
// compressing a small reply. The parameters are those of the Boost.Iostreams gzip compressor, so
// the bytes are the same as its output.
class GzipStream {
 public:
  GzipStream() {
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
      throw std::runtime_error("gzip: no deflate state");
    }
  }
  ~GzipStream() { deflateEnd(&stream); }
  GzipStream(const GzipStream&) = delete;
  GzipStream& operator=(const GzipStream&) = delete;

  std::string compress(const std::string& text) {
    if (deflateReset(&stream) != Z_OK) throw std::runtime_error("gzip: reset failed");
    gz_header header{};
    header.os = 255;  // unknown; time 0, no name, no comment
    deflateSetHeader(&stream, &header);
    // The bound leaves room for everything in one call.
    std::string compressed(deflateBound(&stream, static_cast<uLong>(text.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(&compressed[0]);
    stream.avail_out = static_cast<uInt>(compressed.size());
    if (deflate(&stream, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("gzip: deflate failed");
    compressed.resize(stream.total_out);
    return compressed;
  }

 private:
  z_stream stream{};
};

// Takes the decoded bytes until there are too many: a small bomb must not fill the memory before
// it is found out.
class BoundedSink {
 public:
  using char_type = char;
  using category = io::sink_tag;
  BoundedSink(std::string& text, size_t limit) : text(&text), limit(limit) {}
  std::streamsize write(const char* bytes, std::streamsize count) {
    if (static_cast<size_t>(count) > limit - text->size()) throw std::length_error("decoded text too large");
    text->append(bytes, static_cast<size_t>(count));
    return count;
  }

 private:
  std::string* text;
  size_t limit;
};

}  // namespace

std::string gzipString(const std::string& text) {
  static thread_local GzipStream stream;
  return stream.compress(text);
}

std::string gunzipString(const std::string& compressed, size_t limit) {
  std::string text;
  io::filtering_istream in;
  in.push(io::gzip_decompressor());
  in.push(io::array_source(compressed.data(), compressed.size()));
  io::copy(in, BoundedSink(text, limit));
  return text;
}
