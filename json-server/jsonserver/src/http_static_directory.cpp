// The picture directories: files on disk under a URL prefix, silhouette BMP files as PNG.

#include "app/logger.h"
#include "json-server/jsonserver/src/bmp_to_png.h"
#include "json-server/jsonserver/src/http_server.h"
#include "json-server/jsonserver/src/http_session.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>

namespace {

// "/" and then letters, digits, "_", "." and "-" only: no second "/" and no backslash, so the
// name stays inside the directory. A link inside the directory is followed: only whoever owns
// the directory can place one there.
bool isPlainFileName(const std::string& name) {
  if (name.size() < 2 || name[0] != '/') return false;
  for (size_t i = 1; i < name.size(); ++i) {
    const char c = name[i];
    const bool letterOrDigit = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!letterOrDigit && c != '_' && c != '.' && c != '-') return false;
  }
  return true;
}

}  // namespace

int HttpServer::serveStaticFile(const StaticDirectory& directory, const std::shared_ptr<HttpRequest>& request) {
  const bool isGet = request->method == "GET";
  if (!isGet && request->method != "HEAD") {
    sendNotFound(request);
    return HTTP_DONE;
  }
  const std::string name = request->uri.substr(directory.urlPrefix.size());
  if (!isPlainFileName(name)) {
    sendNotFound(request);
    return HTTP_DONE;
  }
  const std::string path = directory.directory + name;

  // statx has 64-bit sizes and times everywhere: on the board, stat fails for a file dated after
  // 2038 (its time_t is 32 bits), and without large-file offsets for one over 2 GiB.
  struct statx status {};
  if (::statx(AT_FDCWD, path.c_str(), 0, STATX_TYPE | STATX_SIZE | STATX_MTIME, &status) != 0 ||
      !S_ISREG(status.stx_mode)) {
    sendNotFound(request);
    return HTTP_DONE;
  }
  const uint64_t size = status.stx_size;
  const int64_t modified = status.stx_mtime.tv_sec;
  const int64_t now = hostSeconds();
  const std::string etag = makeEtag(modified, size);
  if (isNotModified(*request, etag, modified)) {
    sendNotModified(request, formatHttpDate(now), formatHttpDate(modified), etag);
    return HTTP_DONE;
  }

  const std::string extension = fileExtension(path);
  // HEAD is never converted: it gets the headers of the file on disk.
  if (isGet && directory.convertBmp && extension == "bmp") {
    if (const auto png = convertBmpToPng(path)) {
      sendFileHeaders(request, "image/png", png->size(), now, modified, etag);
      request->connection->write(*png);
      return HTTP_DONE;
    }
  }

  auto file = std::make_unique<std::ifstream>(path, std::ios::binary);
  if (!*file) {
    logError("Can't open " + path);
    sendNotFound(request);
    return HTTP_DONE;
  }
  sendFileHeaders(request, mimeTypeForExtension(extension), size, now, modified, etag);
  if (!isGet) return HTTP_DONE;

  HttpResponse* response = createResponse();
  response->setFile(std::move(file));
  attachResponse(request, response);
  return HTTP_PENDING;
}
