// The server core over real loopback sockets: start-up rules, request errors, keep-alive,
// authorisation, path confinement, hostile clients, access lists, uploads and the logs.
#include "server/http_server.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

#include "http_client.h"
#include "server/md5.h"

namespace {

using qv_test::TempDir;
using qv_test::write_file;
using server_test::Client;
using server_test::exchange;
using server_test::Reply;
using server_test::request;
using server_test::TestServer;

// A document root below a temporary folder, with a secret file beside it (outside the root).
struct Site {
  TempDir temp;
  std::string root;
  Site() : root(temp.path + "/root") {
    mkdir(root.c_str(), 0755);
    write_file(temp.path + "/secret.txt", "outside the root");
    write_file(root + "/x", "the file x");
    write_file(root + "/page.html", "<p>page</p>");
  }
};

HttpServerPtr start_with(const std::vector<const char*>& pairs, std::string* error) {
  std::vector<const char*> options = pairs;
  options.push_back(nullptr);
  return start_server(nullptr, options.data(), error);
}

TEST(ServerStart, RefusesBadOptionsWithTheirMessages) {
  Site site;
  struct Case {
    std::vector<const char*> options;
    const char* message;
  } cases[] = {
      {{"no_such_option", "1"}, "Invalid option: no_such_option"},
      {{"document_root", nullptr}, "document_root: option value cannot be NULL"},
      {{"listening_ports", "80x"}, "80x: invalid port format!"},
      {{"listening_ports", "127.0.0.1:99999"}, "127.0.0.1:99999: invalid port format!"},
      {{"listening_ports", "127.0.0.1:0", "access_control_list", "+1.2.3.4/40"},
       "subnet must be [+|-]x.x.x.x[/x]"},
      {{"listening_ports", "127.0.0.1:0", "error_log_file", "/nonexistent/dir/log"},
       "Cannot open /nonexistent/dir/log: No such file or directory"},
  };
  for (const Case& c : cases) {
    std::vector<const char*> options = {"document_root", site.root.c_str()};
    options.insert(options.end(), c.options.begin(), c.options.end());
    std::string error;
    EXPECT_FALSE(start_with(options, &error));
    EXPECT_EQ(error, c.message);
  }
}

TEST(ServerStart, PortZeroBindsAFreePortAndABusyPortMovesToAHighOne) {
  Site site;
  TestServer first(site.root);
  ASSERT_TRUE(first.server) << first.error;
  EXPECT_GT(first.port(), 0);
  std::string busy = "127.0.0.1:" + std::to_string(first.port());
  TestServer second(site.root, {"listening_ports", busy});
  ASSERT_TRUE(second.server) << second.error;
  EXPECT_NE(second.port(), first.port());
  EXPECT_GE(second.port(), 49152);
  EXPECT_EQ(request(second.port(), "GET", "/x").body, "the file x");
}

TEST(RequestErrors, AnswersMalformedRequestsAndKeepsServing) {
  Site site;
  TestServer test(site.root);
  ASSERT_TRUE(test.server) << test.error;
  struct Case {
    std::string request;
    int status;
    std::string body;
  } cases[] = {
      {"GET /x HTTP/2.0\r\n\r\n", 505, "Error 505: Bad HTTP version\nBad HTTP version: [2.0]"},
      {"GET x HTTP/1.1\r\n\r\n", 400, "Error 400: Bad Request\nInvalid URI: [x]"},
      {"GET /\r\n\r\n", 500, "Error 500: Server Error\nBad request: [GET /\r\n\r\n]"},
      {"FETCH / HTTP/1.1\r\n\r\n", 500,
       "Error 500: Server Error\nBad request: [FETCH / HTTP/1.1\r\n\r\n]"},
      {"GET /x%0d%0aSet-Cookie:%20a=b HTTP/1.1\r\n\r\n", 400,
       "Error 400: Bad Request\nInvalid URI: [/x%0d%0aSet-Cookie:%20a=b]"},
      {"GET /x%00.html HTTP/1.1\r\n\r\n", 400, "Error 400: Bad Request\nInvalid URI: [/x%00.html]"},
      {"GET /x HTTP/1.1\r\nHost: a\r\n" + std::string(17000, 'h') + "\r\n\r\n", 500,
       "Error 500: Server Error\nRequest Too Large"},
  };
  for (const Case& c : cases) {
    Reply reply = exchange(test.port(), c.request);
    EXPECT_EQ(reply.status, c.status) << c.request.substr(0, 40);
    EXPECT_EQ(reply.body, c.body) << c.request.substr(0, 40);
    EXPECT_EQ(reply.header("connection"), "close");
    EXPECT_EQ(reply.header("content-length"), std::to_string(c.body.size()));
  }
  EXPECT_EQ(request(test.port(), "GET", "/x").body, "the file x");
}

TEST(KeepAlive, OffClosesAfterEachAnswerOnAsksForSeveral) {
  Site site;
  {
    TestServer test(site.root);
    ASSERT_TRUE(test.server);
    Reply reply = exchange(test.port(),
                           "GET /x HTTP/1.1\r\nConnection: keep-alive\r\n\r\n"
                           "GET /page.html HTTP/1.1\r\n\r\n");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.header("connection"), "close");
    EXPECT_EQ(reply.body, "the file x");  // the second request is never answered
  }
  TestServer test(site.root, {"enable_keep_alive", "yes"});
  ASSERT_TRUE(test.server);
  Client client(test.port());
  ASSERT_TRUE(
      client.send_text("POST /x HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello"
                       "GET /page.html HTTP/1.1\r\n\r\n"));
  Reply first = client.read_reply();
  EXPECT_EQ(first.header("connection"), "keep-alive");
  EXPECT_EQ(first.body, "the file x");
  Reply second = client.read_reply();
  EXPECT_EQ(second.body, "<p>page</p>");
  ASSERT_TRUE(client.send_text("GET /x HTTP/1.0\r\n\r\n"));
  Reply third = client.read_reply();
  EXPECT_EQ(third.header("connection"), "close");  // 1.0 without a keep-alive header
}

TEST(KeepAlive, PipelinedRequestsAreAnsweredInOrderOnOneConnection) {
  Site site;
  TestServer test(site.root, {"enable_keep_alive", "yes"});
  ASSERT_TRUE(test.server);
  Client client(test.port());
  ASSERT_TRUE(client.send_text(
      "GET /x HTTP/1.1\r\nHost: a\r\n\r\n"
      "GET /page.html HTTP/1.0\r\nConnection: keep-alive\r\n\r\n"
      "POST /page.html HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\nabc"
      "GET /page.html HTTP/1.1\r\nHost: a\r\n\r\n"));
  Reply first = client.read_reply();
  EXPECT_EQ(first.body, "the file x");
  EXPECT_EQ(first.header("connection"), "keep-alive");
  Reply second = client.read_reply();
  EXPECT_EQ(second.body, "<p>page</p>");
  EXPECT_EQ(second.header("connection"), "keep-alive");
  EXPECT_EQ(client.read_reply().body, "<p>page</p>");  // the body of the POST was skipped
  EXPECT_EQ(client.read_reply().body, "<p>page</p>");
  // The connection stays open for a request sent later, in pieces.
  ASSERT_TRUE(client.send_text("GET /x HT"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_TRUE(client.send_text("TP/1.1\r\n\r\n"));
  EXPECT_EQ(client.read_reply().body, "the file x");
}

TEST(KeepAlive, BodiesWithoutOneClearLengthAndErrorsCloseTheConnection) {
  Site site;
  TestServer test(site.root, {"enable_keep_alive", "yes"});
  ASSERT_TRUE(test.server);
  // Each request is followed by a second one that must never be answered: after a body whose
  // end is unclear, the bytes that follow cannot be trusted to start a request.
  const std::string smuggled = "GET /page.html HTTP/1.1\r\n\r\n";
  struct Case {
    std::string head;
    std::string body;
    int status;
  } cases[] = {
      {"POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n", "5\r\nhello\r\n0\r\n\r\n", 501},
      {"POST /x HTTP/1.1\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n",
       "0\r\n\r\n", 501},
      {"POST /x HTTP/1.1\r\nTransfer-Encoding: identity\r\n", "hello", 501},
      {"POST /x HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n", "hello!", 400},
      {"POST /x HTTP/1.1\r\nContent-Length: 5, 6\r\n", "hello!", 400},
      {"POST /x HTTP/1.1\r\nContent-Length: 0x5\r\n", "hello", 400},
      {"POST /x HTTP/1.1\r\nContent-Length: -5\r\n", "hello", 400},
      {"GET /missing HTTP/1.1\r\n", "", 404},  // any error closes
      {"GET x HTTP/1.1\r\n", "", 400},
  };
  for (const Case& c : cases) {
    Reply reply = exchange(test.port(), c.head + "\r\n" + c.body + smuggled);
    EXPECT_EQ(reply.status, c.status) << c.head;
    EXPECT_EQ(reply.header("connection"), "close") << c.head;
    EXPECT_EQ(reply.raw.find("<p>page</p>"), std::string::npos) << c.head;
    EXPECT_TRUE(reply.closed) << c.head;
  }
  // A repeated Content-Length with one value is one length.
  Client client(test.port());
  ASSERT_TRUE(client.send_text("POST /x HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\n"
                               "hello" + smuggled));
  EXPECT_EQ(client.read_reply().body, "the file x");
  EXPECT_EQ(client.read_reply().body, "<p>page</p>");
}

TEST(Confinement, NoEncodingOfAPathLeavesTheDocumentRoot) {
  Site site;
  symlink((site.temp.path + "/secret.txt").c_str(), (site.root + "/link_out").c_str());
  symlink(site.temp.path.c_str(), (site.root + "/dir_out").c_str());
  symlink((site.root + "/x").c_str(), (site.root + "/link_in").c_str());
  TestServer test(site.root);
  ASSERT_TRUE(test.server);
  const char* reach_x[] = {"/../x",  "//x",        "/%2e%2e/x", "/..%2fx",
                           "/..\\x", "/%5c..%5cx", "/./x",      "/link_in"};
  for (const char* target : reach_x) {
    Reply reply = request(test.port(), "GET", target);
    EXPECT_EQ(reply.status, 200) << target;
    EXPECT_EQ(reply.body, "the file x") << target;
  }
  std::string deep = "/";
  for (int i = 0; i < 300; ++i) deep += "../";
  const std::string escape[] = {"/../secret.txt",
                                "/%2e%2e/secret.txt",
                                "/%2E%2E%2Fsecret.txt",
                                "/..%5csecret.txt",
                                "/....//secret.txt",
                                "/.%2e/.%2e/secret.txt",
                                deep + "secret.txt",
                                "/link_out",
                                "/dir_out/secret.txt",
                                "/dir_out/",
                                "/" + std::string(5000, 'a'),
                                "/" + std::string(250, 'b') + "/../../secret.txt"};
  for (const std::string& target : escape) {
    Reply reply = request(test.port(), "GET", target);
    EXPECT_EQ(reply.status, 404) << target.substr(0, 60);
    EXPECT_EQ(reply.raw.find("outside the root"), std::string::npos) << target.substr(0, 60);
  }
}

TEST(Confinement, ALinkChangedAfterARequestIsJudgedAgain) {
  // Each step points a name at another place (or turns it into a link), then asks again: what
  // was served before must not vouch for what the name leads to now.
  Site site;
  mkdir((site.root + "/pictures").c_str(), 0755);
  write_file(site.root + "/pictures/y", "picture y");
  write_file(site.root + "/.hidden", "hidden text");
  mkdir((site.temp.path + "/elsewhere").c_str(), 0755);
  write_file(site.temp.path + "/elsewhere/y", "outside y");
  write_file(site.root + "/plain", "plain file");
  TestServer test(site.root, {"enable_keep_alive", "yes"});
  ASSERT_TRUE(test.server);
  struct Step {
    const char* name;       // below the root
    std::string points_to;  // link target; empty: leave the name as it is
    const char* target;
    int status;
    const char* body;
  } steps[] = {
      {"link", site.root + "/x", "/link", 200, "the file x"},
      {"link", site.temp.path + "/secret.txt", "/link", 404, nullptr},
      {"link", site.root + "/.hidden", "/link", 404, nullptr},
      {"link", site.root + "/x", "/link", 200, "the file x"},
      {"folder", site.root + "/pictures", "/folder/y", 200, "picture y"},
      {"folder", site.temp.path + "/elsewhere", "/folder/y", 404, nullptr},
      {"folder", site.root + "/pictures", "/folder/y", 200, "picture y"},
      {"plain", "", "/plain", 200, "plain file"},
      {"plain", site.temp.path + "/secret.txt", "/plain", 404, nullptr},
  };
  for (const Step& step : steps) {
    std::string name = site.root + "/" + step.name;
    if (!step.points_to.empty()) {
      unlink(name.c_str());
      ASSERT_EQ(symlink(step.points_to.c_str(), name.c_str()), 0) << name;
    }
    Reply reply = request(test.port(), "GET", step.target);
    EXPECT_EQ(reply.status, step.status) << step.target << " -> " << step.points_to;
    if (step.body) {
      EXPECT_EQ(reply.body, step.body) << step.target;
    }
    EXPECT_EQ(reply.raw.find("outside"), std::string::npos) << step.target;
    EXPECT_EQ(reply.raw.find("hidden text"), std::string::npos) << step.target;
  }
}

// A password file line for user "tour" in the default realm, and a matching Digest header.
std::string password_line(const std::string& user, const std::string& password) {
  return user + ":localhost:" + md5_hex(user + ":localhost:" + password) + "\n";
}

std::string digest_header(const std::string& method, const std::string& uri,
                          const std::string& user, const std::string& password) {
  DigestCredentials credentials;
  credentials.user = user;
  credentials.nonce = "12345";
  credentials.nc = "00000001";
  credentials.cnonce = "abcdef";
  credentials.qop = "auth";
  credentials.uri = uri;
  std::string ha1 = md5_hex(user + ":localhost:" + password);
  return "Authorization: Digest username=\"" + user +
         "\", realm=\"localhost\", nonce=\"12345\", uri=\"" + uri +
         "\", qop=auth, nc=00000001, cnonce=\"abcdef\", response=\"" +
         digest_response(ha1, method, credentials) + "\"\r\n";
}

TEST(Authorisation, FolderPasswordFileGuardsEveryFileAndIsNeverServed) {
  Site site;
  mkdir((site.root + "/private").c_str(), 0755);
  write_file(site.root + "/private/.htpasswd", password_line("tour", "secret"));
  write_file(site.root + "/private/pano.xml", "<tour/>");
  TestServer test(site.root);
  ASSERT_TRUE(test.server);

  Reply denied = request(test.port(), "GET", "/private/pano.xml");
  EXPECT_EQ(denied.status, 401);
  EXPECT_EQ(denied.header("www-authenticate")
                .rfind("Digest qop=\"auth\", realm=\"localhost\", nonce=\"", 0),
            0u);
  EXPECT_EQ(denied.header("content-length"), "0");
  EXPECT_EQ(request(test.port(), "GET", "/private/").status, 401);
  Reply wrong = request(test.port(), "GET", "/private/pano.xml",
                        digest_header("GET", "/private/pano.xml", "tour", "guess"));
  EXPECT_EQ(wrong.status, 401);
  Reply allowed = request(test.port(), "GET", "/private/pano.xml",
                          digest_header("GET", "/private/pano.xml", "tour", "secret"));
  EXPECT_EQ(allowed.status, 200);
  EXPECT_EQ(allowed.body, "<tour/>");
  for (const char* target : {"/private/.htpasswd", "/private/%2ehtpasswd", "/private//.htpasswd"}) {
    Reply reply =
        request(test.port(), "GET", target, digest_header("GET", target, "tour", "secret"));
    EXPECT_EQ(reply.status, 404) << target;
    EXPECT_EQ(reply.raw.find("localhost:"), std::string::npos) << target;
  }
  // A link with an innocent name does not reveal the password file either.
  symlink((site.root + "/private/.htpasswd").c_str(), (site.root + "/passwords").c_str());
  EXPECT_EQ(request(test.port(), "GET", "/passwords").status, 404);
  // A configured password file that is missing locks its area instead of opening it.
  TestServer guarded(site.root, {"protect_uri", "/x=" + site.temp.path + "/missing"});
  ASSERT_TRUE(guarded.server);
  EXPECT_EQ(request(guarded.port(), "GET", "/x").status, 401);
  EXPECT_EQ(request(guarded.port(), "GET", "/page.html").status, 200);
}

TEST(HostileClients, SlowOversizedAndAbandonedConnectionsDoNotStopTheServer) {
  Site site;
  TestServer test(site.root, {"request_timeout_ms", "300", "num_threads", "4"});
  ASSERT_TRUE(test.server);
  {
    // A client that sends part of a head and then waits is cut off at the time-out.
    Client slow(test.port());
    ASSERT_TRUE(slow.send_text("GET /x HTTP/1.1\r\n"));
    auto start = std::chrono::steady_clock::now();
    Reply reply = server_test::parse_reply(slow.read_all(5000));
    EXPECT_EQ(reply.status, 500);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  }
  {
    // A client dribbling one byte at a time gets no more time than the whole time-out.
    Client dribble(test.port());
    bool cut_off = false;
    for (int i = 0; i < 40 && !cut_off; ++i) {
      cut_off = !dribble.send_text("X");
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    Reply reply = server_test::parse_reply(dribble.read_all(3000));
    EXPECT_TRUE(cut_off || reply.status == 500);
  }
  // More idle connections than workers, then many opened and dropped at once.
  {
    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < 30; ++i) idle.push_back(std::make_unique<Client>(test.port()));
    for (int i = 0; i < 2000; ++i) {
      Client dropped(test.port());
      if (i % 3 == 0 && dropped.connected()) dropped.send_text("GET /x HT");
    }
  }
  Reply reply;
  for (int attempt = 0; attempt < 50 && reply.status != 200; ++attempt) {
    reply = request(test.port(), "GET", "/x");
  }
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "the file x");
}

// Whether the server has closed a client's connection (end of stream or reset waiting).
bool closed_by_server(const Client& client) {
  pollfd entry = {client.socket, POLLIN, 0};
  if (poll(&entry, 1, 0) <= 0) return false;
  char byte;
  return recv(client.socket, &byte, 1, MSG_DONTWAIT | MSG_PEEK) <= 0;
}

TEST(HostileClients, SlowHeadsTieUpNoWorker) {
  Site site;
  // Four workers, two hundred clients sending half a head each from four addresses: a normal
  // request from a fifth address is still answered at once, again and again.
  TestServer test(site.root, {"num_threads", "4", "enable_keep_alive", "yes"});
  ASSERT_TRUE(test.server);
  std::vector<std::unique_ptr<Client>> slow;
  for (int i = 0; i < 200; ++i) {
    std::string source = "127.0.0." + std::to_string(2 + i % 4);
    slow.push_back(std::make_unique<Client>(test.port(), source.c_str()));
    ASSERT_TRUE(slow.back()->connected()) << i;
    ASSERT_TRUE(slow.back()->send_text("GET /x HTTP/1.1\r\nHost: a\r\n"));
  }
  for (int probe = 0; probe < 3; ++probe) {
    auto start = std::chrono::steady_clock::now();
    Reply reply = request(test.port(), "GET", "/x");
    // A liveness bound, not a speed target: a worker held by a slow client would take the
    // head deadline (ten seconds) to come free.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << probe;
    EXPECT_EQ(reply.body, "the file x") << probe;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  int still_open = 0;
  for (const std::unique_ptr<Client>& client : slow) still_open += !closed_by_server(*client);
  EXPECT_EQ(still_open, 200);  // below the cap of one address, nobody was turned away
  // Each finishes its head and gets its answer.
  for (int i = 0; i < 200; i += 40) {
    ASSERT_TRUE(slow[i]->send_text("\r\n"));
    EXPECT_EQ(slow[i]->read_reply().body, "the file x") << i;
  }
}

TEST(HostileClients, OneAddressHoardingConnectionsOnlyCrowdsItself) {
  Site site;
  TestServer test(site.root, {"num_threads", "4"});
  ASSERT_TRUE(test.server);
  const char* hoarder = "127.0.0.9";
  std::vector<std::unique_ptr<Client>> held;
  for (int i = 0; i < 100; ++i) {
    held.push_back(std::make_unique<Client>(test.port(), hoarder));
    ASSERT_TRUE(held.back()->send_text("GET /x HTTP/1.1\r\n"));
  }
  // Once they have waited a while, the address's oldest waiting connections make way, and a
  // new request from the same address is served.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  Client probe(test.port(), hoarder);
  ASSERT_TRUE(probe.send_text("GET /x HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(server_test::parse_reply(probe.read_all()).body, "the file x");
  int closed = 0;
  for (const std::unique_ptr<Client>& client : held) closed += closed_by_server(*client);
  EXPECT_GE(closed, 100 - 64 + 1);
  EXPECT_LE(closed, 100 - 64 + 2);
  for (int i = 60; i < 100; ++i) EXPECT_FALSE(closed_by_server(*held[i])) << i;
  // Another address is not affected by that cap.
  EXPECT_EQ(request(test.port(), "GET", "/x").body, "the file x");
}

TEST(HostileClients, ClientsLeavingInTheMiddleOfAFileDoNotEndTheProcess) {
  // Browsers drop transfers they no longer want (a viewer cancelling tiles that left the view,
  // a closed page). Sending on such a connection must fail quietly, not raise SIGPIPE.
  Site site;
  write_file(site.root + "/large.bin", std::string(4 << 20, 'x'));
  TestServer test(site.root, {"num_threads", "4"});
  ASSERT_TRUE(test.server);
  for (int i = 0; i < 40; ++i) {
    Client leaving(test.port());
    ASSERT_TRUE(leaving.send_text("GET /large.bin HTTP/1.1\r\nHost: x\r\n\r\n"));
    char first[1024];
    EXPECT_GT(recv(leaving.socket, first, sizeof(first), 0), 0);
    if (i % 2) shutdown(leaving.socket, SHUT_RDWR);  // half of them say goodbye first
  }
  Reply reply;
  for (int attempt = 0; attempt < 50 && reply.status != 200; ++attempt) {
    reply = request(test.port(), "GET", "/x");
  }
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "the file x");
}

TEST(HostileClients, ClientsThatStopReadingHoldNoWorker) {
  // One worker; clients ask for a large file and never read it. Requests that need the
  // worker (a POST) and plain ones are still answered, long before any time-out.
  Site site;
  write_file(site.root + "/large.bin", std::string(8 << 20, 'x'));
  TestServer test(site.root, {"num_threads", "1", "enable_keep_alive", "yes"});
  ASSERT_TRUE(test.server);
  std::vector<std::unique_ptr<Client>> stalled;
  for (int i = 0; i < 4; ++i) {
    stalled.push_back(std::make_unique<Client>(test.port()));
    ASSERT_TRUE(stalled.back()->send_text("GET /large.bin HTTP/1.1\r\nHost: a\r\n\r\n"));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  for (int i = 0; i < 3; ++i) {
    Client client(test.port());
    ASSERT_TRUE(client.send_text("POST /x HTTP/1.1\r\nContent-Length: 0\r\n\r\n"
                                 "GET /page.html HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(client.read_reply().body, "the file x") << i;
    EXPECT_EQ(client.read_reply().body, "<p>page</p>") << i;
  }
  // The stalled clients still get their whole file once they read.
  Reply reply = stalled[0]->read_reply(20000);
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body.size(), size_t{8} << 20);
}

TEST(KeepAlive, LargeAnswersAndWorkerAnswersKeepTheirOrder) {
  // Answers larger than the socket takes at once go out in pieces; requests answered by a
  // worker (a POST) sit between them. Every answer arrives whole and in order.
  Site site;
  std::string large(4 << 20, 'a');
  for (size_t i = 0; i < large.size(); i += 4096) large[i] = static_cast<char>('b' + i % 20);
  write_file(site.root + "/large.bin", large);
  TestServer test(site.root, {"enable_keep_alive", "yes", "num_threads", "2"});
  ASSERT_TRUE(test.server);
  // Several connections in turn, so that on a machine with several processors some change
  // polling threads after their first answer, with requests still waiting behind it.
  for (int round = 0; round < 4; ++round) {
    Client client(test.port());
    ASSERT_TRUE(client.send_text(
        "GET /large.bin HTTP/1.1\r\n\r\n"
        "POST /x HTTP/1.1\r\nContent-Length: 2\r\n\r\nhi"
        "GET /large.bin HTTP/1.1\r\nRange: bytes=-5\r\n\r\n"
        "GET /large.bin HTTP/1.1\r\n\r\n"
        "GET /x HTTP/1.1\r\n\r\n"));
    EXPECT_TRUE(client.read_reply(20000).body == large) << round;
    EXPECT_EQ(client.read_reply().body, "the file x") << round;
    Reply part = client.read_reply();
    EXPECT_EQ(part.status, 206) << round;
    EXPECT_EQ(part.body, large.substr(large.size() - 5)) << round;
    EXPECT_TRUE(client.read_reply(20000).body == large) << round;
    Reply last = client.read_reply();
    EXPECT_EQ(last.body, "the file x") << round;
    EXPECT_EQ(last.header("connection"), "keep-alive") << round;
  }
  // Small answers, pipelined behind the first, on connections that change threads likewise.
  for (int round = 0; round < 4; ++round) {
    Client client(test.port());
    ASSERT_TRUE(client.send_text("GET /x HTTP/1.1\r\n\r\nGET /page.html HTTP/1.1\r\n\r\n"
                                 "GET /x HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(client.read_reply().body, "the file x") << round;
    EXPECT_EQ(client.read_reply().body, "<p>page</p>") << round;
    EXPECT_EQ(client.read_reply().body, "the file x") << round;
  }
}

TEST(AccessList, RefusedAddressesAreClosedWithoutAnswer) {
  Site site;
  TestServer refused(site.root, {"access_control_list", "-0.0.0.0/0,+10.0.0.0/8"});
  ASSERT_TRUE(refused.server);
  Reply reply = request(refused.port(), "GET", "/x");
  EXPECT_FALSE(reply.received);
  TestServer allowed(site.root, {"access_control_list", "-0.0.0.0/0,+127.0.0.1"});
  ASSERT_TRUE(allowed.server);
  EXPECT_EQ(request(allowed.port(), "GET", "/x").status, 200);
}

TEST(Methods, OptionsPutAndDelete) {
  Site site;
  write_file(site.temp.path + "/uploaders", password_line("up", "load"));
  TestServer test(site.root, {"put_delete_auth_file", site.temp.path + "/uploaders"});
  ASSERT_TRUE(test.server);
  Reply options = request(test.port(), "OPTIONS", "*");
  EXPECT_EQ(options.raw,
            "HTTP/1.1 200 OK\r\nAllow: GET, POST, HEAD, CONNECT, PUT, DELETE, OPTIONS\r\nDAV: "
            "1\r\n\r\n");

  std::string body = "uploaded";
  std::string length = "Content-Length: " + std::to_string(body.size()) + "\r\n";
  Reply anonymous =
      exchange(test.port(), "PUT /new/dir/file.txt HTTP/1.1\r\n" + length + "\r\n" + body);
  EXPECT_EQ(anonymous.status, 401);
  std::string auth = digest_header("PUT", "/new/dir/file.txt", "up", "load");
  Reply created =
      exchange(test.port(), "PUT /new/dir/file.txt HTTP/1.1\r\n" + auth + length + "\r\n" + body);
  EXPECT_EQ(created.raw, "HTTP/1.1 201 OK\r\n\r\n");
  EXPECT_EQ(qv_test::read_file(site.root + "/new/dir/file.txt"), body);
  Reply replaced = exchange(test.port(), "PUT /new/dir/file.txt HTTP/1.1\r\n" + auth +
                                             "Expect: 100-continue\r\n" + length + "\r\n" + body);
  EXPECT_EQ(replaced.raw, "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\n");
  Reply no_length = exchange(test.port(), "PUT /new/dir/file.txt HTTP/1.1\r\n" + auth + "\r\n");
  EXPECT_EQ(no_length.status, 411);
  Reply short_body = exchange(
      test.port(), "PUT /new/dir/file.txt HTTP/1.1\r\n" + auth + "Content-Length: 100\r\n\r\nabc");
  EXPECT_EQ(short_body.status, 577);
  std::string delete_auth = digest_header("DELETE", "/new/dir/file.txt", "up", "load");
  EXPECT_EQ(request(test.port(), "DELETE", "/new/dir/file.txt", delete_auth).status, 200);
  EXPECT_FALSE(qv_test::file_exists(site.root + "/new/dir/file.txt"));
  EXPECT_EQ(request(test.port(), "DELETE", "/new/dir/file.txt", delete_auth).status, 500);

  // Without a password file for them, uploads and deletions are refused.
  TestServer plain(site.root);
  ASSERT_TRUE(plain.server);
  EXPECT_EQ(request(plain.port(), "DELETE", "/x", delete_auth).status, 401);
  EXPECT_TRUE(qv_test::file_exists(site.root + "/x"));
}

TEST(Logs, AccessLineAndErrorLine) {
  Site site;
  std::string access = site.temp.path + "/access.log";
  std::string errors = site.temp.path + "/error.log";
  write_file(site.root + "/private.xml", "p");
  {
    TestServer test(site.root, {"access_log_file", access, "error_log_file", errors, "protect_uri",
                                "/private.xml=" + site.temp.path + "/none"});
    ASSERT_TRUE(test.server);
    request(test.port(), "GET", "/x", "Referer: http://r/\r\nUser-Agent: tester\r\n");
    request(test.port(), "GET", "/private.xml");
  }
  std::string log = qv_test::read_file(access);
  EXPECT_NE(log.find("127.0.0.1 - - ["), std::string::npos) << log;
  EXPECT_NE(log.find("] \"GET /x HTTP/1.1\" 200 10 \"http://r/\" \"tester\"\n"), std::string::npos)
      << log;
  EXPECT_NE(log.find("\"GET /private.xml HTTP/1.1\" 401 0 - -\n"), std::string::npos) << log;
  std::string error_log = qv_test::read_file(errors);
  EXPECT_NE(error_log.find("] [error] [client 127.0.0.1] GET /private.xml: Cannot open "),
            std::string::npos)
      << error_log;
}

}  // namespace
