#include "json-server/jsonserver/src/web_file_table.h"

#include "json-server/jsonserver/src/basic_auth.h"
#include "json-server/jsonserver/src/gzip_string.h"

#include <stdexcept>

void addWebFile(WebFileTable& table, const char* name, const char* const* chunks) {
  std::string text;
  for (const char* const* chunk = chunks; *chunk != nullptr; ++chunk) text += *chunk;
  std::string compressed;
  if (!decodeBase64(text, compressed)) throw std::runtime_error(std::string("bad base64 in web file ") + name);
  table.emplace(name, gunzipString(compressed));  // keeps an earlier file of the same name
}

const WebFileTable& webFileTable() {
  // Filled on first use; the initialiser below makes that first use happen before main, and
  // being a local static it is also safe for any other initialiser that gets here first.
  static const WebFileTable table = [] {
    WebFileTable files;
    fillWebFileTable(files);
    return files;
  }();
  return table;
}

namespace {

const bool webFilesFilledBeforeMain = (webFileTable(), true);

}  // namespace
