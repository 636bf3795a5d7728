// File answers, ranges, caching switches, listings and PROPFIND over loopback sockets, and
// the lookup and table helpers behind them.
#include "server/static_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "http_client.h"

namespace {

using qv_test::TempDir;
using qv_test::write_file;
using server_test::Reply;
using server_test::request;
using server_test::TestServer;

// A tour-like folder: files of several types, a sub-folder, hidden and odd names.
struct TourFolder {
  TempDir temp;
  std::string root = temp.path;
  TourFolder() {
    write_file(root + "/tour.xml", "<qorvel/>");
    write_file(root + "/pano.JPG", std::string(1536, 'j'));
    write_file(root + "/b.png", "png");
    write_file(root + "/tour.html", "<html></html>");
    write_file(root + "/readme", "no extension");
    write_file(root + "/data.bin", std::string(1000, 'd'));
    write_file(root + "/name.", "ends with a dot");
    write_file(root + "/.hidden", "hidden");
    write_file(root + "/a<b>.txt", "markup in a name");
    mkdir((root + "/tiles").c_str(), 0755);
    mkdir((root + "/Assets").c_str(), 0755);
    write_file(root + "/tiles/t.jpg", "tile");
    std::string range;
    for (int i = 0; i < 1000; ++i) range.push_back(static_cast<char>('0' + i % 10));
    write_file(root + "/range.dat", range);
  }
};

bool ends_with(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The names of the listing rows in page order.
std::vector<std::string> listed_names(const std::string& page) {
  std::vector<std::string> names;
  const std::string marker = "<td class=\"td_name\"><a href=\"";
  for (size_t at = page.find(marker); at != std::string::npos; at = page.find(marker, at + 1)) {
    size_t open = page.find('>', at + marker.size());
    size_t close = page.find("</a>", open);
    names.push_back(page.substr(open + 1, close - open - 1));
  }
  return names;
}

TEST(FileAnswers, TestserverSwitchesSetNoCacheForTextAndValidatorsForImages) {
  TourFolder folder;
  TestServer test(folder.root);
  ASSERT_TRUE(test.server);
  test.server->no_cache = true;
  test.server->no_cache_text_only = true;
  test.server->cors = true;
  const std::string far_future = "If-Modified-Since: Fri, 01 Jan 2100 00:00:00 GMT\r\n";
  Reply xml = request(test.port(), "GET", "/tour.xml", far_future);
  EXPECT_EQ(xml.status, 200);
  EXPECT_EQ(xml.header("cache-control"), "no-cache, must-revalidate");
  EXPECT_EQ(xml.header("pragma"), "no-cache");
  EXPECT_EQ(xml.header("last-modified"), xml.header("date"));
  EXPECT_EQ(xml.header("access-control-allow-origin"), "*");
  EXPECT_EQ(xml.header("content-type"), "text/xml");
  EXPECT_EQ(xml.body, "<qorvel/>");
  EXPECT_EQ(request(test.port(), "GET", "/tour.xml", "If-None-Match: " + xml.header("etag") + "\r\n")
                .status,
            200);  // text is never answered from the browser's cache
  // Images carry validators and are kept for the session; asked again, they get a 304.
  Reply jpg = request(test.port(), "GET", "/pano.JPG");
  EXPECT_EQ(jpg.status, 200);
  EXPECT_EQ(jpg.header("cache-control"), "private, max-age=3600");
  EXPECT_FALSE(jpg.has_header("pragma"));
  EXPECT_EQ(jpg.header("access-control-allow-origin"), "*");
  EXPECT_EQ(jpg.header("content-type"), "image/jpeg");
  const std::string etag = jpg.header("etag");
  ASSERT_FALSE(etag.empty());
  struct Case {
    std::string header;
    int status;
  } cases[] = {
      {far_future, 304},
      {"If-None-Match: " + etag + "\r\n", 304},
      {"If-None-Match: \"other\", W/" + etag + "\r\n", 304},
      {"If-None-Match: *\r\n", 304},
      {"If-None-Match: \"other\"\r\n", 200},
      {"If-None-Match: \"other\"\r\n" + far_future, 200},  // the tag decides
      {"If-Modified-Since: Thu, 01 Jan 1970 00:00:01 GMT\r\n", 200},
  };
  for (const Case& c : cases) {
    Reply answer = request(test.port(), "GET", "/pano.JPG", c.header);
    EXPECT_EQ(answer.status, c.status) << c.header;
    EXPECT_EQ(answer.header("etag"), etag) << c.header;
    EXPECT_EQ(answer.header("cache-control"), "private, max-age=3600") << c.header;
    EXPECT_EQ(answer.body, c.status == 304 ? "" : std::string(1536, 'j')) << c.header;
  }
}

TEST(FileAnswers, HeadOrderAndNotModifiedWithoutTheSwitches) {
  TourFolder folder;
  struct timeval times[2] = {{1000000000, 0}, {1000000000, 0}};  // 2001-09-09 01:46:40 UTC
  utimes((folder.root + "/data.bin").c_str(), times);
  TestServer test(folder.root);
  ASSERT_TRUE(test.server);
  Reply reply = request(test.port(), "GET", "/data.bin");
  std::string head = reply.raw.substr(0, reply.raw.find("\r\n\r\n") + 4);
  std::string date = reply.header("date");
  EXPECT_EQ(head, "HTTP/1.1 200 OK\r\nDate: " + date +
                      "\r\nLast-Modified: Sun, 09 Sep 2001 01:46:40 GMT\r\nEtag: "
                      "\"3b9aca00.1000\"\r\nContent-Type: application/octet-stream\r\n"
                      "Content-Length: 1000\r\nConnection: close\r\nAccept-Ranges: bytes\r\n\r\n");
  struct Case {
    std::string header;
    int status;
  } cases[] = {
      {"If-None-Match: \"3B9ACA00.1000\"\r\n", 304},
      {"If-None-Match: \"3b9aca00.999\"\r\n", 200},
      {"If-Modified-Since: Sun, 09 Sep 2001 01:46:40 GMT\r\n", 304},
      {"If-Modified-Since: 09-Sep-2001 01:46:39\r\n", 200},
      {"If-Modified-Since: garbage\r\n", 200},
  };
  for (const Case& c : cases) {
    Reply answer = request(test.port(), "GET", "/data.bin", c.header);
    EXPECT_EQ(answer.status, c.status) << c.header;
    if (c.status == 304) {
      EXPECT_EQ(answer.body, "");
      EXPECT_EQ(answer.header("content-length"), "0");
    }
  }
  Reply head_only = request(test.port(), "HEAD", "/data.bin");
  EXPECT_EQ(head_only.header("content-length"), "1000");
  EXPECT_EQ(head_only.body, "");
}

TEST(FileAnswers, RangesFollowTheByteRangeRules) {
  TourFolder folder;
  TestServer test(folder.root);
  ASSERT_TRUE(test.server);
  std::string whole = qv_test::read_file(folder.root + "/range.dat");
  Reply plain = request(test.port(), "GET", "/range.dat");
  const std::string etag = plain.header("etag");
  const std::string modified = plain.header("last-modified");
  struct Case {
    std::string range;
    int status;
    const char* content_range;  // null: no header
    size_t first;
    size_t length;
    std::string extra = "";
  } cases[] = {
      {"bytes=0-99", 206, "bytes 0-99/1000", 0, 100},
      {"bytes=500-", 206, "bytes 500-999/1000", 500, 500},
      {"bytes=0-5000", 206, "bytes 0-999/1000", 0, 1000},
      {"bytes=999-999", 206, "bytes 999-999/1000", 999, 1},
      {"bytes=-500", 206, "bytes 500-999/1000", 500, 500},  // the last 500 bytes
      {"bytes=-5000", 206, "bytes 0-999/1000", 0, 1000},
      {"BYTES=10-19", 206, "bytes 10-19/1000", 10, 10},  // the unit in any case
      {"Bytes=-1", 206, "bytes 999-999/1000", 999, 1},
      {"bytes=0-99999999999999999999", 206, "bytes 0-999/1000", 0, 1000},
      {"bytes= 5-9 ", 206, "bytes 5-9/1000", 5, 5},
      // Unsatisfiable or malformed: 416.
      {"bytes=1000-", 416, "bytes */1000", 0, 0},
      {"bytes=99999999999999999999-", 416, "bytes */1000", 0, 0},
      {"bytes=9223372036854775807-9223372036854775807", 416, "bytes */1000", 0, 0},
      {"bytes=-0", 416, "bytes */1000", 0, 0},
      {"bytes=99-10", 416, "bytes */1000", 0, 0},
      {"bytes=abc", 416, "bytes */1000", 0, 0},
      {"bytes=", 416, "bytes */1000", 0, 0},
      {"bytes=1-2-3", 416, "bytes */1000", 0, 0},
      {"bytes=--5", 416, "bytes */1000", 0, 0},
      {"bytes=+5-9", 416, "bytes */1000", 0, 0},
      {"bytes=0-9,x", 416, "bytes */1000", 0, 0},
      {"bytes=2000-,3000-", 416, "bytes */1000", 0, 0},
      // Several ranges: the whole file, never a mix of parts.
      {"bytes=0-9,20-29", 200, nullptr, 0, 1000},
      {"bytes=2000-3000, 0-9", 200, nullptr, 0, 1000},
      // Another unit is ignored.
      {"pages=1-2", 200, nullptr, 0, 1000},
      // If-Range: the range only while the file is the one the client has a part of.
      {"bytes=0-9", 206, "bytes 0-9/1000", 0, 10, "If-Range: " + etag + "\r\n"},
      {"bytes=0-9", 206, "bytes 0-9/1000", 0, 10, "If-Range: " + modified + "\r\n"},
      {"bytes=0-9", 200, nullptr, 0, 1000, "If-Range: \"changed\"\r\n"},
  };
  for (const Case& c : cases) {
    Reply reply = request(test.port(), "GET", "/range.dat", "Range: " + c.range + "\r\n" + c.extra);
    EXPECT_EQ(reply.status, c.status) << c.range << " " << c.extra;
    EXPECT_EQ(reply.header("content-range"), c.content_range ? c.content_range : "") << c.range;
    EXPECT_EQ(reply.header("content-length"), std::to_string(c.length)) << c.range;
    EXPECT_EQ(reply.body, whole.substr(c.first, c.length)) << c.range;
  }
  // An empty file has no byte that any range could name.
  qv_test::write_file(folder.root + "/empty.dat", "");
  EXPECT_EQ(request(test.port(), "GET", "/empty.dat", "Range: bytes=-10\r\n").status, 416);
  EXPECT_EQ(request(test.port(), "GET", "/empty.dat", "Range: bytes=0-\r\n").status, 416);
}

TEST(FileAnswers, ThrottledAnswersArriveWhole) {
  TourFolder folder;
  TestServer test(folder.root, {"throttle", "/tiles/*=10k"});
  ASSERT_TRUE(test.server);
  test.server->speed_limit = 600;  // the 1000-byte file takes two one-second budgets
  Reply reply = request(test.port(), "GET", "/range.dat", "Range: bytes=100-\r\n");
  EXPECT_EQ(reply.status, 206);
  EXPECT_EQ(reply.body, qv_test::read_file(folder.root + "/range.dat").substr(100));
  EXPECT_EQ(request(test.port(), "GET", "/tiles/t.jpg").body, "tile");
}

TEST(Lookup, NamesThatAreNeverServed) {
  TourFolder folder;
  write_file(folder.root + "/bad\xff.txt", "invalid utf-8");
  write_file(folder.root + "/tail~", "odd last byte");
  TestServer test(folder.root, {"hide_files_patterns", "**.bin$"});
  ASSERT_TRUE(test.server);
  for (const char* target : {"/name.", "/.hidden", "/bad%ff.txt", "/tail~", "/data.bin",
                             "/missing.html", "/tiles/../.hidden"}) {
    EXPECT_EQ(request(test.port(), "GET", target).status, 404) << target;
  }
  FileInfo info;
  EXPECT_TRUE(lookup_file(folder.root + "//tiles\\\\t.jpg", &info));
  EXPECT_EQ(info.size, 4u);
  EXPECT_TRUE(lookup_file(folder.root + "/tiles/", &info));
  EXPECT_TRUE(info.is_directory);
  EXPECT_TRUE(lookup_file(folder.root + "/.hidden", &info) && info.is_hidden);
  EXPECT_FALSE(lookup_file(folder.root + "/name.", &info));
  EXPECT_FALSE(lookup_file(folder.root + "/bad\xff.txt", &info));
  EXPECT_FALSE(lookup_file("/dev/null", &info));
}

TEST(Folders, RedirectIndexFilesListingSwitchAndPropfind) {
  TourFolder folder;
  TestServer test(folder.root, {"index_files", "index.html,tour.html"});
  ASSERT_TRUE(test.server);
  Reply redirect = request(test.port(), "GET", "/tiles");
  EXPECT_EQ(redirect.raw, "HTTP/1.1 301 Moved Permanently\r\nLocation: /tiles/\r\n\r\n");
  Reply index = request(test.port(), "GET", "/");
  EXPECT_EQ(index.body, "<html></html>");
  EXPECT_EQ(index.header("content-type"), "text/html");

  TestServer closed(folder.root, {"enable_directory_listing", "no"});
  ASSERT_TRUE(closed.server);
  Reply denied = request(closed.port(), "GET", "/tiles/");
  EXPECT_EQ(denied.status, 403);
  EXPECT_EQ(denied.body, "Error 403: Directory Listing Denied\nDirectory listing denied");

  Reply dav = request(test.port(), "PROPFIND", "/tiles/");
  EXPECT_EQ(dav.status, 207);
  EXPECT_EQ(dav.header("content-type"), "text/xml; charset=utf-8");
  EXPECT_EQ(
      dav.body.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?><d:multistatus xmlns:d='DAV:'>\n"
                     "<d:response><d:href>/tiles/</d:href><d:propstat><d:prop><d:resourcetype>"
                     "<d:collection/></d:resourcetype>",
                     0),
      0u)
      << dav.body;
  EXPECT_NE(dav.body.find("<d:href>/tiles/t.jpg</d:href><d:propstat><d:prop><d:resourcetype>"
                          "</d:resourcetype><d:getcontentlength>4</d:getcontentlength>"),
            std::string::npos);
  EXPECT_TRUE(ends_with(dav.body, "</d:response>\n</d:multistatus>\n")) << dav.body;
  Reply shallow = request(test.port(), "PROPFIND", "/tiles/", "Depth: 0\r\n");
  EXPECT_EQ(shallow.body.find("t.jpg"), std::string::npos);
}

TEST(Folders, RewritesStayInTheirFolderAndScriptPathsServeTheScript) {
  TourFolder folder;
  TempDir other;
  write_file(other.file("shared.js"), "var shared;");
  write_file(folder.root + "/run.cgi", "#!/bin/sh");
  TestServer test(folder.root, {"url_rewrite_patterns", "/lib=" + other.path});
  ASSERT_TRUE(test.server);
  EXPECT_EQ(request(test.port(), "GET", "/lib/shared.js").body, "var shared;");
  EXPECT_EQ(request(test.port(), "GET", "/lib/../tour.xml").status,
            404);  // cleaned to /lib/tour.xml
  Reply script = request(test.port(), "GET", "/run.cgi/extra/info");
  EXPECT_EQ(script.status, 200);
  EXPECT_EQ(script.body, "#!/bin/sh");  // sent as a file, never run
  TestServer no_cgi(folder.root, {"cgi_pattern", ""});
  ASSERT_TRUE(no_cgi.server);
  EXPECT_EQ(request(no_cgi.port(), "GET", "/run.cgi/extra/info").status, 404);
}

TEST(Listing, RowsIconsOrderAndServerWideSortState) {
  TourFolder folder;
  symlink("/etc/passwd", (folder.root + "/outside_link.txt").c_str());
  TestServer test(folder.root);
  ASSERT_TRUE(test.server);
  // The first click on Type moves it to the front of the default order, ascending.
  Reply page = request(test.port(), "GET", "/?sort=type");
  EXPECT_EQ(
      page.raw.substr(0, page.raw.find("\r\n\r\n") + 4),
      "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/html; charset=utf-8\r\n\r\n");
  // Folders first by name; files without extension, then unknown extensions, then categories.
  std::vector<std::string> expected = {"Assets/",   "tiles/",         "readme",    "name.",
                                       "range.dat", "data.bin",       "tour.html", "pano.JPG",
                                       "b.png",     "a&lt;b&gt;.txt", "tour.xml"};
  EXPECT_EQ(listed_names(page.body), expected);
  std::string title = folder.root.substr(folder.root.find_last_of('/') + 1);
  EXPECT_NE(page.body.find("<title>" + title + "</title>"), std::string::npos);
  EXPECT_NE(page.body.find("<th class=\"th_type\"><a href=\"?sort=type\">Type</a><div class=\"sort "
                           "sort_dn\"></div></th>"),
            std::string::npos);
  EXPECT_NE(page.body.find("<tr class=\"tr_item hilight\"><td class=\"td_icon\"><div class=\"icon "
                           "ico_html\"></div></td><td class=\"td_name\"><a href=\"/tour.html\">"
                           "tour.html</a></td><td class=\"td_type\">HTML</td><td "
                           "class=\"td_size\">13</td>"),
            std::string::npos);
  EXPECT_NE(page.body.find("ico_img\"></div></td><td class=\"td_name\"><a href=\"/pano.JPG\">"
                           "pano.JPG</a></td><td class=\"td_type\">Image</td><td "
                           "class=\"td_size\">1.5k</td>"),
            std::string::npos);
  EXPECT_NE(page.body.find("href=\"/a%3cb%3e.txt\""), std::string::npos);
  EXPECT_NE(page.body.find("<a href=\"/tiles/\">tiles/</a></td><td class=\"td_type\"></td><td "
                           "class=\"td_size\">&nbsp;</td>"),
            std::string::npos);
  EXPECT_EQ(page.body.find("ico_pdir"), std::string::npos);  // no parent row at the top
  EXPECT_EQ(page.body.find(".hidden"), std::string::npos);
  EXPECT_EQ(page.body.find("outside_link"), std::string::npos);
  EXPECT_TRUE(ends_with(page.body, "</table>\n</div>\n</div>\n</div>\n</body>\n</html>"));

  // The second click (here with HEAD, which still gets the page, on another folder) sorts
  // descending, and every later listing keeps that order.
  Reply again = request(test.port(), "HEAD", "/tiles/?sort=type");
  EXPECT_NE(again.body.find("sort sort_up"), std::string::npos);
  EXPECT_NE(again.body.find("<a href=\"/tiles/..\">Parent directory</a>"), std::string::npos);
  Reply later = request(test.port(), "GET", "/");
  std::vector<std::string> names = listed_names(later.body);
  ASSERT_EQ(names.size(), expected.size());
  EXPECT_EQ(names[0], "Assets/");
  EXPECT_EQ(names[2], "tour.xml");
  EXPECT_EQ(names.back(), "readme");
  EXPECT_EQ(later.body.find("sort_dn"), std::string::npos);
}

TEST(Tables, MimeTypesSizesAndIcons) {
  struct MimeCase {
    const char* path;
    const char* extra;
    const char* type;
  } mime_cases[] = {
      {"/a/tour.XML", "", "text/xml"},
      {"/a/x.js", "", "application/x-javascript"},
      {"/a/x.tar.gz", "", "application/x-gunzip"},
      {"/a/x.unknown", "", "text/plain"},
      {"/a/x.webp", ".webp=image/x-own", "image/x-own"},  // the extra list comes first
      {"/a/x.jpeg", "", "image/jpeg"},
      {"/a/x.svg", "", "image/svg+xml"},
      {"/a/x.webp", "", "image/webp"},
      {"/a/x.AVIF", "", "image/avif"},
      {"/a/viewer.wasm", "", "application/wasm"},
      {"/a/module.mjs", "", "text/javascript"},
      {"/a/x.png", "", "image/png"},
      {"/a/x.css", "", "text/css"},
      {"/a/x.json", "", "text/json"},
      {".jpg", "", "text/plain"},  // the extension must be shorter than the path
  };
  for (const MimeCase& c : mime_cases) {
    EXPECT_EQ(mime_type_for(c.path, c.extra), c.type) << c.path;
  }
  EXPECT_EQ(listing_size_text(1023, false), "1023");
  EXPECT_EQ(listing_size_text(1536, false), "1.5k");
  EXPECT_EQ(listing_size_text(5u << 20, false), "5.0M");
  EXPECT_EQ(listing_size_text(3ull << 30, false), "3.0G");
  EXPECT_EQ(listing_size_text(7, true), "&nbsp;");
  struct IconCase {
    const char* name;
    const char* icon;
    bool hilight;
  } icon_cases[] = {
      {"pano.JPG", "ico_img", false},
      {"pano.png", "ico_pic", false},
      {"tour.html", "ico_html", true},
      {"tour.xml", "ico_xml", false},
      {"data.json", "ico_js", false},
      {"viewer.swf", "ico_swf", false},
      {"x.exe", "ico_def", false},
      {"noext", "ico_def", false},
      {"a.verylongextension", "ico_def", false},
  };
  for (const IconCase& c : icon_cases) {
    bool hilight = true;
    EXPECT_STREQ(listing_icon_class(c.name, false, &hilight), c.icon) << c.name;
    EXPECT_EQ(hilight, c.hilight) << c.name;
  }
}

}  // namespace
