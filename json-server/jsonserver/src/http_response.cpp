#include "json-server/jsonserver/src/http_response.h"

#include "json-server/jsonserver/src/json_parser_write.h"

#include <boost/property_tree/ptree.hpp>

HttpResponse::HttpResponse(uint32_t id, std::function<void()> wake) : id(id), wake(std::move(wake)) {}

HttpResponse::~HttpResponse() = default;

void HttpResponse::addHeader(const std::string& name, const std::string& value) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    headers.emplace_back(name, value);
  }
}

void HttpResponse::sendJson(const boost::property_tree::ptree& tree) {
  std::string text = writeJsonTinyText(tree);
  {
    // All in one hold: the poll thread never sees the status without its headers and body.
    std::lock_guard<std::mutex> lock(mutex);
    status = 200;
    headers.emplace_back("Content-Type", "application/json");
    headers.emplace_back("Content-Length", std::to_string(text.size()));
    bodyPieces.push_back(std::move(text));
    finished = true;
  }
  notify();
}

void HttpResponse::setStatus(int code) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    status = code;
  }
  notify();
}

void HttpResponse::addBody(std::string piece) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    bodyPieces.push_back(std::move(piece));
  }
  notify();
}

void HttpResponse::finish() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    finished = true;
  }
  notify();
}

void HttpResponse::setFile(std::unique_ptr<std::ifstream> stream) {
  file = std::move(stream);
  isFile = file != nullptr;
}

void HttpResponse::notify() {
  if (wake) wake();
}
