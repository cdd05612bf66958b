// The embedded web files and what every file reply shares: entity tags, dates, the
// not-modified test and content types.

#include "json-server/jsonserver/src/http_date.h"
#include "json-server/jsonserver/src/http_server.h"
#include "json-server/jsonserver/src/http_session.h"

#include <cinttypes>
#include <cstdio>

bool HttpServer::serveEmbeddedFile(const std::shared_ptr<HttpRequest>& request) {
  if (!webFiles) return false;
  std::string name = request->uri;
  if (!name.empty() && name[0] == '/') name.erase(0, 1);
  if (name.empty()) name = "index.html";
  const auto found = webFiles->find(name);
  if (found == webFiles->end()) return false;
  if (request->method != "GET" && request->method != "HEAD") {
    sendNotFound(request);
    return true;
  }
  const std::string& content = found->second;
  const int64_t now = hostSeconds();
  const std::string etag = makeEtag(startTime, content.size());
  if (isNotModified(*request, etag, startTime)) {
    sendNotModified(request, formatHttpDate(now), formatHttpDate(startTime), etag);
    return true;
  }
  // Sent as stored, whatever the request's Accept-Encoding.
  sendFileHeaders(request, mimeTypeForExtension(fileExtension(name)), content.size(), now, startTime, etag);
  if (request->method == "GET") request->connection->write(content);
  return true;
}

bool HttpServer::isNotModified(const HttpRequest& request, const std::string& etag, int64_t modified) {
  // Compared byte for byte: a quoted tag or a list of tags does not match.
  const std::string noneMatch = getRequestHeader(request, "If-None-Match");
  if (!noneMatch.empty() && noneMatch == etag) return true;
  const std::string modifiedSince = getRequestHeader(request, "If-Modified-Since");
  if (modifiedSince.empty()) return false;
  const int64_t since = parseHttpDate(modifiedSince);
  return since != 0 && since >= modified;
}

void HttpServer::sendNotModified(const std::shared_ptr<HttpRequest>& request, const std::string& date,
                                 const std::string& lastModified, const std::string& etag) {
  HttpSession& connection = *request->connection;
  connection.sendStatus(304);
  connection.sendHeader("Date", date);
  connection.sendHeader("Last-Modified", lastModified);
  connection.sendHeader("Etag", etag);
  connection.sendHeader("Connection", connectionHeaderValue(*request));
  connection.write("\r\n");
}

void HttpServer::sendFileHeaders(const std::shared_ptr<HttpRequest>& request, const std::string& contentType,
                                 uint64_t size, int64_t now, int64_t modified, const std::string& etag) {
  HttpSession& connection = *request->connection;
  connection.sendStatus(200);
  connection.sendHeader("Content-Type", contentType);
  connection.sendHeader("Content-Length", std::to_string(size));
  connection.sendHeader("Date", formatHttpDate(now));
  connection.sendHeader("Last-Modified", formatHttpDate(modified));
  connection.sendHeader("Etag", etag);
  connection.sendHeader("Connection", connectionHeaderValue(*request));
  connection.write("\r\n");
}

std::string HttpServer::makeEtag(int64_t time, uint64_t size) {
  char tag[64];
  std::snprintf(tag, sizeof tag, "%" PRIx64 ".%" PRIu64, static_cast<uint64_t>(time), size);
  return tag;
}

std::string HttpServer::formatHttpDate(int64_t time) { return formatHttpDateText(time); }

std::string HttpServer::mimeTypeForExtension(const std::string& extension) {
  static const std::pair<const char*, const char*> types[] = {
      {"html", "text/html"},  {"png", "image/png"}, {"jpg", "image/jpeg"},
      {"gif", "image/gif"},   {"jpeg", "image/jpeg"}, {"css", "text/css"},
      {"js", "application/x-javascript"},
  };
  for (const auto& type : types) {
    if (extension == type.first) return type.second;
  }
  return "text/plain";
}

std::string HttpServer::fileExtension(const std::string& path) {
  const size_t dot = path.rfind('.');
  return dot == std::string::npos ? std::string() : path.substr(dot + 1);
}
