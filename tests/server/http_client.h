// A small loopback HTTP client and server fixture for the server tests.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "server/http_server.h"
#include "support/test_support.h"

namespace server_test {

// One answer as received: status line, headers (names lower-cased) and body.
struct Reply {
  bool received = false;  // at least a status line arrived
  std::string raw;        // every byte received
  std::string status_line;
  int status = 0;
  std::multimap<std::string, std::string> headers;
  std::string body;
  bool closed = false;  // the server closed the connection after the answer
  std::string header(const std::string& lower_name) const;
  bool has_header(const std::string& lower_name) const;
};

// A connected socket; closes on destruction. source: a loopback address of 127/8 to connect
// from (null: the system's choice), so that tests can play several clients; destination: the
// server's address.
struct Client {
  explicit Client(int port, const char* source = nullptr,
                  const char* destination = "127.0.0.1");
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  bool connected() const { return socket >= 0; }
  bool send_text(const std::string& text);
  // Reads until the server closes or time_limit_ms passes.
  std::string read_all(int time_limit_ms = 5000);
  // Reads exactly one answer with a Content-Length (for keep-alive).
  Reply read_reply(int time_limit_ms = 5000);
  int socket = -1;
  std::string pending;  // bytes received beyond the last answer read
};

// Splits received bytes into a Reply.
Reply parse_reply(const std::string& raw);

// Sends one request on a new connection and reads until the server closes.
Reply exchange(int port, const std::string& request);
// A GET (or other method) for a target with HTTP/1.1 and optional extra header lines.
Reply request(int port, const std::string& method, const std::string& target,
              const std::string& extra_headers = "");

// A server on 127.0.0.1 with a free port over a document root; extra options are name/value
// pairs added to the defaults of the fixture.
struct TestServer {
  explicit TestServer(const std::string& root, std::vector<std::string> extra = {});
  HttpServerPtr server;
  std::string error;
  int port() const { return server ? server->bound_port : 0; }
};

}  // namespace server_test
