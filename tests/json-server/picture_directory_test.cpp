// The picture directories over HTTP: silhouettes converted to PNG on GET, files streamed with
// their own tags and dates, and no request ever reaching a file outside the directory.

#include <gtest/gtest.h>

#include <lodepng.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/host_clock.h"
#include "tests/json-server/web_files_test_support.h"
#include "tests/support/file_time.h"

namespace web_test {
namespace {

using namespace std::chrono_literals;

constexpr int64_t fileTime = 1400000000;  // Tue, 13 May 2014 16:53:20 GMT

class PictureDirectoryTest : public WebServerTest {
 protected:
  void SetUp() override {
    silhouettes = scratch.path + "/silhouettes";
    pictures = scratch.path + "/pictures";
    bmp = makeBmp(3, 2, 24, testPixels(3, 2));
    writeDated("silhouettes/A320.bmp", bmp);
    writeDated("silhouettes/CAPS.BMP", bmp);
    writeDated("silhouettes/broken.bmp", bmp.substr(0, bmp.size() - 1));
    writeDated("pictures/G-ABCD.jpg", std::string(70000, 'j'));
    writeDated("pictures/plain.bmp", bmp);
    scratch.write("silhouettes/sub/inner.bmp", bmp);
    scratch.write("secret.txt", "SECRET");
    directories = {{"/img/silhouettes", silhouettes, true}, {"/img/aircrafts", pictures, false}};
  }
  void writeDated(const std::string& relative, const std::string& bytes, int64_t time = fileTime) {
    const std::string path = scratch.write(relative, bytes);
    setTime(path, time);
  }
  static void setTime(const std::string& path, int64_t time) { ASSERT_TRUE(setFileTime(path, time)); }
  static std::string closing(const std::string& uri, const std::string& method = "GET", const std::string& extra = "") {
    return get(uri, "Connection: close\r\n" + extra, method);
  }

  ScratchFolder scratch;
  std::string silhouettes, pictures, bmp;
};

TEST_F(PictureDirectoryTest, SilhouetteGetIsPngAndHeadIsTheFileOnDisk) {
  startServer(nullptr);
  const std::string etag = HttpServer::makeEtag(fileTime, bmp.size());
  const Reply png = roundTrip(port, get("/img/silhouettes/A320.bmp"));
  ASSERT_TRUE(png.complete);
  EXPECT_EQ(png.headerNames(),
            (std::vector<std::string>{"Content-Type", "Content-Length", "Date", "Last-Modified", "Etag", "Connection"}));
  EXPECT_EQ(png.header("Content-Type"), "image/png");
  EXPECT_EQ(png.header("Content-Length"), std::to_string(png.body.size()));
  EXPECT_EQ(png.header("Last-Modified"), "Tue, 13 May 2014 16:53:20 GMT");
  EXPECT_EQ(png.header("Etag"), etag);
  EXPECT_EQ(png.header("Connection"), "keep-alive");
  std::vector<unsigned char> rgba;
  unsigned width = 0, height = 0;
  ASSERT_EQ(lodepng::decode(rgba, width, height, reinterpret_cast<const unsigned char*>(png.body.data()),
                            png.body.size()),
            0u);
  EXPECT_EQ(width, 3u);
  EXPECT_EQ(height, 2u);
  EXPECT_EQ(rgba[0], testPixels(3, 2)[0].r);

  Connection head(port);
  ASSERT_TRUE(head.send(closing("/img/silhouettes/A320.bmp", "HEAD")));
  ASSERT_TRUE(head.waitForClose());
  EXPECT_NE(head.rest().find("Content-Type: text/plain\r\nContent-Length: " + std::to_string(bmp.size()) + "\r\n"),
            std::string::npos);
  EXPECT_EQ(head.rest().substr(head.rest().size() - 4), "\r\n\r\n");  // no body

  // The same tag says not modified, for the PNG as for the file.
  const Reply again = roundTrip(port, closing("/img/silhouettes/A320.bmp", "GET", "If-None-Match: " + etag + "\r\n"));
  EXPECT_EQ(again.statusLine, "HTTP/1.1 304 Not Modified");
  EXPECT_EQ(again.body, "");
}

TEST_F(PictureDirectoryTest, FilesThatAreNotConvertedGoOutUnchanged) {
  startServer(nullptr);
  const std::pair<const char*, std::string> cases[] = {
      {"/img/silhouettes/CAPS.BMP", bmp},                              // the extension in capitals
      {"/img/silhouettes/broken.bmp", bmp.substr(0, bmp.size() - 1)},  // pixel rows cut short
      {"/img/aircrafts/plain.bmp", bmp},                               // no conversion here
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    const Reply reply = roundTrip(port, closing(c.first));
    ASSERT_TRUE(reply.complete);
    EXPECT_EQ(reply.header("Content-Type"), "text/plain");
    EXPECT_TRUE(reply.body == c.second);
  }
}

TEST_F(PictureDirectoryTest, PhotoIsStreamedWithItsTagAndATouchChangesIt) {
  startServer(nullptr);
  const std::string photo = std::string(70000, 'j');
  const Reply reply = roundTrip(port, get("/img/aircrafts/G-ABCD.jpg"));
  ASSERT_TRUE(reply.complete);
  EXPECT_EQ(reply.header("Content-Type"), "image/jpeg");
  EXPECT_EQ(reply.header("Content-Length"), "70000");
  EXPECT_EQ(reply.header("Etag"), HttpServer::makeEtag(fileTime, photo.size()));
  EXPECT_TRUE(reply.body == photo);

  const std::string ifTag = "If-None-Match: " + reply.header("Etag") + "\r\n";
  EXPECT_EQ(roundTrip(port, closing("/img/aircrafts/G-ABCD.jpg", "GET", ifTag)).statusLine, "HTTP/1.1 304 Not Modified");
  const std::string ifDate = "If-Modified-Since: " + reply.header("Last-Modified") + "\r\n";
  EXPECT_EQ(roundTrip(port, closing("/img/aircrafts/G-ABCD.jpg", "GET", ifDate)).statusLine, "HTTP/1.1 304 Not Modified");

  setTime(pictures + "/G-ABCD.jpg", fileTime + 60);
  const Reply touched = roundTrip(port, closing("/img/aircrafts/G-ABCD.jpg", "GET", ifTag + ifDate));
  EXPECT_EQ(touched.statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(touched.header("Etag"), HttpServer::makeEtag(fileTime + 60, photo.size()));
  EXPECT_EQ(touched.header("Last-Modified"), "Tue, 13 May 2014 16:54:20 GMT");
  EXPECT_TRUE(eventually([&] { return server->pendingResponseCount() == 0; }));

  // curl as an outside client.
  const std::string out = scratch.path + "/fetched.jpg";
  http_test::runCommand("curl -s -o " + out + " http://127.0.0.1:" + std::to_string(port) + "/img/aircrafts/G-ABCD.jpg");
  EXPECT_TRUE(readFile(out) == photo);
}

// A picture dated after 2038 and one larger than 2 GiB (sparse): what a 32-bit time_t or off_t
// cannot hold goes out as it is on disk.
TEST_F(PictureDirectoryTest, FilesDatedPast2038OrLargerThan2GiBAreServed) {
  constexpr int64_t late = 2218104000;  // Sun, 15 Apr 2040 12:00:00 GMT
  writeDated("pictures/LATE.jpg", "late", late);
  const std::string large = scratch.write("pictures/LARGE.jpg", "");
  ASSERT_EQ(::truncate64(large.c_str(), (int64_t{1} << 31) + 1), 0);
  setTime(large, late);
  startServer(nullptr);

  const Reply reply = roundTrip(port, closing("/img/aircrafts/LATE.jpg"));
  EXPECT_EQ(reply.statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(reply.header("Last-Modified"), "Sun, 15 Apr 2040 12:00:00 GMT");
  EXPECT_EQ(reply.header("Etag"), HttpServer::makeEtag(late, 4));
  EXPECT_EQ(reply.body, "late");

  Connection head(port);  // the headers alone
  ASSERT_TRUE(head.send(closing("/img/aircrafts/LARGE.jpg", "HEAD")));
  ASSERT_TRUE(head.waitForClose());
  EXPECT_EQ(head.rest().rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << head.rest();
  EXPECT_NE(head.rest().find("\r\nContent-Length: 2147483649\r\n"), std::string::npos) << head.rest();
  EXPECT_NE(head.rest().find("\r\nEtag: " + HttpServer::makeEtag(late, 2147483649) + "\r\n"), std::string::npos);
}

// Garbage behind a request whose file is still being streamed: the file goes out whole, then
// the connection ends.
TEST_F(PictureDirectoryTest, BadRequestBehindAStreamedFileLetsTheFileFinish) {
  startServer(nullptr);
  Connection connection(port);
  ASSERT_TRUE(connection.send(get("/img/aircrafts/G-ABCD.jpg") + "GARBAGE\r\n\r\n"));
  ASSERT_TRUE(connection.waitForClose());
  const std::string all = connection.rest();
  const size_t bodyAt = all.find("\r\n\r\n");
  ASSERT_NE(bodyAt, std::string::npos);
  EXPECT_EQ(all.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_EQ(all.substr(bodyAt + 4), std::string(70000, 'j'));
}

TEST_F(PictureDirectoryTest, NoRequestLeavesTheDirectory) {
  startServer(nullptr);
  const char* const uris[] = {
      "/img/silhouettes",
      "/img/silhouettes/",
      "/img/silhouettes/.",
      "/img/silhouettes/...",
      "/img/silhouettes/sub",  // a folder
      "/img/silhouettes/sub/inner.bmp",
      "/img/silhouettes/missing.bmp",
      "/img/silhouettesA320.bmp",
      "/img/silhouettes2/A320.bmp",
      "/img/silhouettes/../secret.txt",
      "/img/silhouettes/../../secret.txt",
      "/img/silhouettes/%2e%2e/secret.txt",
      "/img/silhouettes/%2E%2E%2Fsecret.txt",
      "/img/silhouettes/..%2fsecret.txt",
      "/img/silhouettes/%2fetc%2fpasswd",
      "/img/silhouettes//etc/passwd",
      "/img/silhouettes/..%5csecret.txt",
      "/img/silhouettes/%5c..%5csecret.txt",
      "/img/silhouettes/secret.txt%00",
      "/img/silhouettes/%00../secret.txt",
      "/img/silhouettes/~/secret.txt",
      "/img/silhouettes/A320.bmp?../../secret.txt",
      "/img/aircrafts/G-ABCD.jpg/",
      "/img/aircrafts/%20G-ABCD.jpg",
  };
  for (const char* uri : uris) {
    const Reply reply = roundTrip(port, closing(uri));
    ASSERT_TRUE(reply.complete) << uri;
    EXPECT_EQ(reply.body.find("SECRET"), std::string::npos) << uri;
    if (std::string(uri).find("A320.bmp?") == std::string::npos) {
      EXPECT_EQ(reply.statusLine, "HTTP/1.1 404 Not Found") << uri;
    }
  }
  // A path ends at its first NUL: what comes after cannot lead anywhere else.
  EXPECT_EQ(roundTrip(port, closing("/img/silhouettes/A320.bmp%00/../../secret.txt")).header("Content-Type"),
            "image/png");
  // Only GET and HEAD are served.
  for (const std::string method : {"POST", "PUT", "DELETE", "OPTIONS"}) {
    const Reply reply = roundTrip(port, closing("/img/aircrafts/G-ABCD.jpg", method, "Content-Length: 0\r\n"));
    EXPECT_EQ(reply.statusLine, "HTTP/1.1 404 Not Found") << method;
    EXPECT_EQ(reply.body, "Not Found") << method;
  }
}

// A link inside the directory is followed, wherever it points: only the owner of the directory
// can place one. A dangling link is a missing file.
TEST_F(PictureDirectoryTest, LinksInsideTheDirectoryAreFollowed) {
  std::filesystem::create_symlink(scratch.path + "/secret.txt", pictures + "/linked.jpg");
  std::filesystem::create_symlink(scratch.path + "/gone.jpg", pictures + "/dangling.jpg");
  startServer(nullptr);
  EXPECT_EQ(roundTrip(port, closing("/img/aircrafts/linked.jpg")).body, "SECRET");
  EXPECT_EQ(roundTrip(port, closing("/img/aircrafts/dangling.jpg")).statusLine, "HTTP/1.1 404 Not Found");
}

TEST_F(PictureDirectoryTest, UnreadableFileIsLoggedAndNotFound) {
  const std::string path = pictures + "/G-ABCD.jpg";
  if (::geteuid() != 0) {
    ::chmod(path.c_str(), 0);
  } else {
    // Root reads every ordinary file; a write-only kernel attribute it cannot open.
    std::string unreadable;
    for (const char* candidate : {"/sys/bus/cpu/uevent", "/sys/bus/pci/rescan"}) {
      struct stat status {};
      if (unreadable.empty() && ::stat(candidate, &status) == 0 && S_ISREG(status.st_mode) && !std::ifstream(candidate)) {
        unreadable = candidate;
      }
    }
    if (unreadable.empty()) GTEST_SKIP() << "no file that root cannot read";
    std::filesystem::remove(path);
    std::filesystem::create_symlink(unreadable, path);
  }
  startServer(nullptr);
  const LogWatch log;
  EXPECT_EQ(roundTrip(port, closing("/img/aircrafts/G-ABCD.jpg")).statusLine, "HTTP/1.1 404 Not Found");
  EXPECT_NE(log.text().find("Can't open " + path), std::string::npos) << log.text();
}

TEST_F(PictureDirectoryTest, WithoutDirectoriesThePrefixesAreUnknownUrls) {
  directories.clear();
  startServer(nullptr);
  const Reply reply = roundTrip(port, closing("/img/aircrafts/G-ABCD.jpg"));
  EXPECT_EQ(reply.statusLine, "HTTP/1.1 404 Not Found");
}

// An embedded file of the same name is served first; the directories come after the table.
TEST_F(PictureDirectoryTest, EmbeddedFilesComeBeforeTheDirectories) {
  const WebFileTable table = {{"img/aircrafts/G-ABCD.jpg", "embedded"}};
  startServer(&table);
  EXPECT_EQ(roundTrip(port, closing("/img/aircrafts/G-ABCD.jpg")).body, "embedded");
  EXPECT_EQ(roundTrip(port, closing("/img/aircrafts/plain.bmp")).body, bmp);
}

}  // namespace
}  // namespace web_test
