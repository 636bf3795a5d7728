// Socket-free parsers of the server: digests, request heads, path cleaning, patterns, ranges,
// dates, access lists and the listing order.
#include "server/http_parse.h"

#include <gtest/gtest.h>

#include <cstring>

#include "server/md5.h"

namespace {

TEST(Md5, KnownDigestsAcrossBlockBoundaries) {
  struct Case {
    std::string input;
    const char* digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"The quick brown fox jumps over the lazy dog", "9e107d9d372bb6826bd81d3542a419d6"},
      {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
      {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
      {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
      {std::string(1000, 'a'), "cabe45dcc9ae5b66ba86600cca6b8ba8"},
  };
  for (const Case& c : cases) EXPECT_EQ(md5_hex(c.input), c.digest) << c.input.size();
}

TEST(Digest, MatchesTheWorkedExampleOfRfc2617) {
  DigestCredentials credentials;
  ASSERT_TRUE(parse_digest_credentials(
      "Digest username=\"Mufasa\", realm=\"testrealm@host.com\", "
      "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", uri=\"/dir/index.html\", qop=auth, "
      "nc=00000001, cnonce=\"0a4f113b\", response=\"6629fae49393a05397450978507c4ef1\", "
      "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"",
      &credentials));
  EXPECT_EQ(credentials.user, "Mufasa");
  EXPECT_EQ(credentials.qop, "auth");
  EXPECT_EQ(credentials.nc, "00000001");
  std::string ha1 = md5_hex("Mufasa:testrealm@host.com:Circle Of Life");
  EXPECT_EQ(digest_response(ha1, "GET", credentials), credentials.response);
  EXPECT_FALSE(parse_digest_credentials("Basic QWxhZGRpbjpvcGVu", &credentials));
  EXPECT_TRUE(parse_digest_credentials("dIGEST username=x", &credentials));
}

TEST(RequestHead, LengthNeedsAnEmptyLine) {
  struct Case {
    const char* text;
    size_t length;
  } cases[] = {
      {"GET / HTTP/1.1\r\nHost: x\r\n\r\nrest", 27},
      {"GET / HTTP/1.1\n\nrest", 16},
      {"GET / HTTP/1.1\r\nHost: x\r\n", 0},
      {"\r\n\r\nGET / HTTP/1.0\r\n\r\n", 22},
      {"", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(request_head_length(c.text, strlen(c.text)), c.length) << c.text;
  }
}

TEST(RequestHead, ParsesMethodTargetVersionAndHeaders) {
  struct Case {
    const char* text;
    bool ok;
    const char* method;
    const char* uri;
    const char* version;
  } cases[] = {
      {"GET /a?b=c HTTP/1.1\r\n\r\n", true, "GET", "/a?b=c", "1.1"},
      {"  HEAD / HTTP/1.0\r\n\r\n", true, "HEAD", "/", "1.0"},
      {"PROPFIND /x HTTP/2.0\r\n\r\n", true, "PROPFIND", "/x", "2.0"},
      {"GET /\r\n\r\n", false, "", "", ""},               // no version
      {"GET / FOO/1.1\r\n\r\n", false, "", "", ""},       // version without HTTP/
      {"BREW /pot HTTP/1.1\r\n\r\n", false, "", "", ""},  // unknown method
      {"HTTP/1.1 200 OK\r\n\r\n", true, "HTTP/1.1", "200", "1.1"},
      {"\r\n\r\n", false, "", "", ""},
  };
  for (const Case& c : cases) {
    HttpRequest request;
    bool ok = parse_request(c.text, strlen(c.text), &request);
    EXPECT_EQ(ok, c.ok) << c.text;
    if (!ok || !c.ok) continue;
    EXPECT_EQ(request.method, c.method);
    EXPECT_EQ(request.uri, c.uri);
    EXPECT_EQ(request.http_version, c.version);
  }
  std::string text = "GET / HTTP/1.1\r\nHost:  example  \r\nX-Empty:\r\n";
  for (int i = 0; i < 80; ++i) text += "X-" + std::to_string(i) + ": v\r\n";
  text += "\r\n";
  HttpRequest request;
  ASSERT_TRUE(parse_request(text.data(), text.size(), &request));
  EXPECT_EQ(request.header_count, kMaxRequestHeaders);
  std::string_view value;
  ASSERT_TRUE(find_header(request, "HOST", &value));
  EXPECT_EQ(value, "example");
  ASSERT_TRUE(find_header(request, "x-empty", &value));
  EXPECT_EQ(value, "");
}

TEST(RequestPath, DecodingAndCleaningNeverClimbsAboveTheRoot) {
  struct Case {
    const char* uri_path;
    const char* cleaned;
  } cases[] = {
      {"/../x", "/x"},
      {"//x", "/x"},
      {"/a/../../b", "/a/b"},
      {"/%2e%2e/%2E%2E/etc/passwd", "/etc/passwd"},
      {"/..%2f..%2fetc", "/etc"},
      {"/..\\..\\etc", "/etc"},
      {"/%5c..%5c..%5cetc", "/etc"},
      {"/.../x", "/./x"},
      {"/a+b%20c", "/a+b c"},
      {"/%zz%4", "/%zz%4"},
  };
  for (const Case& c : cases) {
    std::string path;
    EXPECT_TRUE(resolve_request_path(c.uri_path, &path));
    EXPECT_EQ(path, c.cleaned) << c.uri_path;
    EXPECT_EQ(path.find("/.."), std::string::npos);
    EXPECT_EQ(path.find("\\.."), std::string::npos);
  }
}

TEST(RequestPath, ControlBytesAreRefused) {
  for (const char* target : {"/a%00b", "/a%0d%0aSet-Cookie: x", "/%7f", "/x\t"}) {
    std::string path = "stale";
    EXPECT_FALSE(resolve_request_path(target, &path)) << target;
    EXPECT_TRUE(path.empty());
  }
}

TEST(Pattern, MatchesLikeTheOptionsExpect) {
  struct Case {
    const char* pattern;
    const char* text;
    int matched;
  } cases[] = {
      {"**.htpasswd$", "/root/dir/.htpasswd", 19},
      {"**.htpasswd$", "/root/dir/.HTPASSWD", 19},
      {"**.htpasswd$", "/root/.htpasswd.bak", -1},
      {"**.cgi$|**.pl$|**.php$", "/x/run.pl", 9},
      {"**.cgi$|**.pl$|**.php$", "/x/run.py", -1},
      {"/private/*", "/private/a/b", 10},
      {"/p?ge", "/page.html", 5},
      {"", "/anything", 0},
      {"**/secret/**", "/a/secret/b", 11},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(match_pattern(c.pattern, c.text), c.matched) << c.pattern << " " << c.text;
  }
}

// Found by fuzzing: runs of stars once took time exponential in their number (13 s for this
// 68-byte input); remembered sub-results keep it polynomial.
TEST(Pattern, ManyStarsStayQuick) {
  const std::string stars(40, '*');
  EXPECT_EQ(match_pattern("***oPCj$|" + stars + "&" + stars + "$\\|*", "i/994"), 1);
  EXPECT_EQ(match_pattern(stars + "x" + stars + "y$", std::string(300, 'a') + "x"), -1);
  EXPECT_EQ(match_pattern("*a*a*a*a*a*a*a*a*b", std::string(200, 'a')), -1);
}

TEST(Numbers, ContentLengthAndRangesRefuseOverflow) {
  int64_t length = 0;
  EXPECT_TRUE(parse_content_length(" 42 ", &length));
  EXPECT_EQ(length, 42);
  EXPECT_FALSE(parse_content_length("-1", &length));
  EXPECT_FALSE(parse_content_length("12abc", &length));
  EXPECT_FALSE(parse_content_length("99999999999999999999", &length));

  struct Case {
    const char* text;
    int count;
    int64_t first;
    int64_t last;
  } cases[] = {
      {"bytes=0-99", 2, 0, 99},
      {"bytes=500-", 1, 500, 0},
      {"bytes=-500", 1, -500, 0},
      {"bytes=99999999999999999999-", 0, 0, 0},
      {"bytes=0-99999999999999999999", 0, 0, 0},
      {"bytes=9223372036854775807-9223372036854775807", 2, INT64_MAX, INT64_MAX},
      {"items=0-1", 0, 0, 0},
      {"bytes=x", 0, 0, 0},
  };
  for (const Case& c : cases) {
    int64_t first = 0, last = 0;
    EXPECT_EQ(parse_byte_range(c.text, &first, &last), c.count) << c.text;
    if (c.count >= 1) {
      EXPECT_EQ(first, c.first) << c.text;
    }
    if (c.count == 2) {
      EXPECT_EQ(last, c.last) << c.text;
    }
  }
}

TEST(RequestBody, OnlyOneClearLengthFramesABody) {
  struct Case {
    std::string headers;
    BodyFraming framing;
    int64_t length;
  } cases[] = {
      {"", BodyFraming::kNone, 0},
      {"Content-Length: 12\r\n", BodyFraming::kLength, 12},
      {"content-length: 7\r\nCONTENT-LENGTH: 7\r\n", BodyFraming::kLength, 7},
      {"Content-Length: 7, 7\r\n", BodyFraming::kLength, 7},
      {"Content-Length: 7\r\nContent-Length: 8\r\n", BodyFraming::kMalformed, 0},
      {"Content-Length: 7, 8\r\n", BodyFraming::kMalformed, 0},
      {"Content-Length: 7,\r\nContent-Length: x\r\n", BodyFraming::kMalformed, 0},
      {"Content-Length: +7\r\n", BodyFraming::kMalformed, 0},
      {"Content-Length: 99999999999999999999\r\n", BodyFraming::kMalformed, 0},
      {"Transfer-Encoding: chunked\r\n", BodyFraming::kRefused, 0},
      {"Content-Length: 3\r\nTransfer-Encoding: chunked\r\n", BodyFraming::kRefused, 0},
      {"transfer-encoding: gzip, chunked\r\n", BodyFraming::kRefused, 0},
  };
  for (const Case& c : cases) {
    std::string head = "POST / HTTP/1.1\r\n" + c.headers + "\r\n";
    HttpRequest request;
    ASSERT_TRUE(parse_request(head.data(), head.size(), &request)) << c.headers;
    int64_t length = 0;
    EXPECT_EQ(request_body_framing(request, &length), c.framing) << c.headers;
    EXPECT_EQ(length, c.length) << c.headers;
  }
}

TEST(Dates, ReadsEveryAcceptedFormAndWritesGmt) {
  const time_t expected = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
  for (const char* text : {"Sun, 06 Nov 1994 08:49:37 GMT", "06 Nov 1994 08:49:37",
                           "06/Nov/1994 08:49:37", "06-Nov-1994 08:49:37"}) {
    time_t parsed = 0;
    ASSERT_TRUE(parse_http_date(text, &parsed)) << text;
    EXPECT_EQ(parsed, expected) << text;
  }
  time_t parsed = 0;
  EXPECT_FALSE(parse_http_date("yesterday", &parsed));
  EXPECT_FALSE(parse_http_date("06 Foo 1994 08:49:37", &parsed));
  EXPECT_EQ(format_http_date(expected), "Sun, 06 Nov 1994 08:49:37 GMT");
}

TEST(AccessList, LastMatchingRuleDecides) {
  std::vector<AccessRule> rules;
  ASSERT_TRUE(parse_access_list("-0.0.0.0/0,+127.0.0.0/8,-127.0.0.2", &rules));
  EXPECT_TRUE(access_allowed(rules, 0x7f000001));
  EXPECT_FALSE(access_allowed(rules, 0x7f000002));
  EXPECT_FALSE(access_allowed(rules, 0x0a000001));
  ASSERT_TRUE(parse_access_list("+10.0.0.0/8", &rules));
  EXPECT_FALSE(access_allowed(rules, 0x7f000001));  // matches no rule
  ASSERT_TRUE(parse_access_list("", &rules));
  EXPECT_TRUE(access_allowed(rules, 0x7f000001));
  for (const char* bad : {"127.0.0.1", "+256.0.0.1", "+1.2.3", "+1.2.3.4/33", "+1.2.3.4,x"}) {
    EXPECT_FALSE(parse_access_list(bad, &rules)) << bad;
  }
}

TEST(ListingOrder, SortRequestsMoveOrFlipTheFirstKey) {
  char order[9] = "ndtdddsd";
  apply_sort_request(order, "type");
  EXPECT_STREQ(order, "tdndddsd");
  apply_sort_request(order, "type");
  EXPECT_STREQ(order, "tundddsd");
  apply_sort_request(order, "size");
  EXPECT_STREQ(order, "sdtunddd");
  apply_sort_request(order, "nonsense");
  EXPECT_STREQ(order, "sdtunddd");
  apply_sort_request(order, "dat");  // fewer than four characters
  EXPECT_STREQ(order, "sdtunddd");
}

TEST(Encoding, NamesPathsAndMarkup) {
  EXPECT_EQ(url_encode_name("a b/c%.jpg"), "a%20b%2fc%25.jpg");
  EXPECT_EQ(url_encode_name("ok._-$,;~()"), "ok._-$,;~()");
  EXPECT_EQ(url_encode_name("\xc3\xa9"), "%c3%a9");
  EXPECT_EQ(url_encode_path("/dir/a\"b/"), "/dir/a%22b/");
  EXPECT_EQ(html_escape("<a href=\"x\">&'"), "&lt;a href=&quot;x&quot;&gt;&amp;&#39;");
}

}  // namespace
