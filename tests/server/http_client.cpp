#include "http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace server_test {

namespace {

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string lowered(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

std::string Reply::header(const std::string& lower_name) const {
  auto found = headers.find(lower_name);
  return found == headers.end() ? std::string() : found->second;
}

bool Reply::has_header(const std::string& lower_name) const {
  return headers.count(lower_name) > 0;
}

Client::Client(int port, const char* source, const char* destination) {
  socket = ::socket(AF_INET, SOCK_STREAM, 0);
  if (source) {
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, source, &local.sin_addr);
    if (bind(socket, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
      close(socket);
      socket = -1;
      return;
    }
  }
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, destination, &address.sin_addr);
  if (connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(socket);
    socket = -1;
  }
}

Client::~Client() {
  if (socket >= 0) close(socket);
}

bool Client::send_text(const std::string& text) {
  size_t sent = 0;
  while (sent < text.size()) {
    ssize_t done = send(socket, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (done <= 0) return false;
    sent += static_cast<size_t>(done);
  }
  return true;
}

std::string Client::read_all(int time_limit_ms) {
  std::string data;
  int64_t deadline = now_ms() + time_limit_ms;
  char buffer[65536];
  while (now_ms() < deadline) {
    pollfd entry = {socket, POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(deadline - now_ms())) <= 0) break;
    ssize_t got = recv(socket, buffer, sizeof(buffer), 0);
    if (got <= 0) break;
    data.append(buffer, static_cast<size_t>(got));
  }
  return data;
}

Reply Client::read_reply(int time_limit_ms) {
  std::string data;
  data.swap(pending);
  int64_t deadline = now_ms() + time_limit_ms;
  char buffer[4096];
  while (now_ms() < deadline) {
    size_t end = data.find("\r\n\r\n");
    if (end != std::string::npos) {
      Reply head = parse_reply(data.substr(0, end + 4));
      size_t length = static_cast<size_t>(atoll(head.header("content-length").c_str()));
      if (data.size() >= end + 4 + length) {
        pending = data.substr(end + 4 + length);  // the start of the next answer
        return parse_reply(data.substr(0, end + 4 + length));
      }
    }
    pollfd entry = {socket, POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(deadline - now_ms())) <= 0) break;
    ssize_t got = recv(socket, buffer, sizeof(buffer), 0);
    if (got <= 0) break;
    data.append(buffer, static_cast<size_t>(got));
  }
  return parse_reply(data);
}

Reply parse_reply(const std::string& raw) {
  Reply reply;
  reply.raw = raw;
  size_t end = raw.find("\r\n\r\n");
  size_t line_end = raw.find("\r\n");
  if (line_end == std::string::npos) return reply;
  reply.received = true;
  reply.status_line = raw.substr(0, line_end);
  if (reply.status_line.size() > 12) reply.status = atoi(reply.status_line.c_str() + 9);
  size_t position = line_end + 2;
  size_t head_end = end == std::string::npos ? raw.size() : end;
  while (position < head_end) {
    size_t next = raw.find("\r\n", position);
    if (next == std::string::npos || next > head_end) next = head_end;
    std::string line = raw.substr(position, next - position);
    size_t colon = line.find(':');
    if (colon != std::string::npos) {
      size_t value = line.find_first_not_of(' ', colon + 1);
      reply.headers.emplace(lowered(line.substr(0, colon)),
                            value == std::string::npos ? "" : line.substr(value));
    }
    position = next + 2;
  }
  if (end != std::string::npos) reply.body = raw.substr(end + 4);
  return reply;
}

Reply exchange(int port, const std::string& request_text) {
  Client client(port);
  if (!client.connected() || !client.send_text(request_text)) return Reply();
  shutdown(client.socket, SHUT_WR);  // the request is complete: the server sees its end
  Reply reply = parse_reply(client.read_all());
  reply.closed = true;
  return reply;
}

Reply request(int port, const std::string& method, const std::string& target,
              const std::string& extra_headers) {
  return exchange(
      port, method + " " + target + " HTTP/1.1\r\nHost: localhost\r\n" + extra_headers + "\r\n");
}

TestServer::TestServer(const std::string& root, std::vector<std::string> extra) {
  std::vector<std::string> pairs = {"document_root", root,          "listening_ports",
                                    "127.0.0.1:0",   "num_threads", "8"};
  pairs.insert(pairs.end(), extra.begin(), extra.end());
  std::vector<const char*> options;
  for (const std::string& text : pairs) options.push_back(text.c_str());
  options.push_back(nullptr);
  server = start_server(nullptr, options.data(), &error);
}

}  // namespace server_test
