#include "server/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <new>
#include <random>
#include <thread>
#include <unordered_map>

#include "base/files.h"
#include "server/static_files.h"

// A bound listening socket.
struct ListeningSocket {
  int socket = -1;
  sockaddr_in address = {};  // the address and port asked for
  bool secure = false;       // port suffix "s": connections are accepted and closed unserved
  bool redirect = false;     // port suffix "r": would redirect to a secure port
};

// One polling thread: its wake-up descriptor and the connections handed to it by other threads
// (under the runtime mutex).
struct EventLoop {
  int wake_fd = -1;  // eventfd: the inbox has connections
  std::vector<std::unique_ptr<Connection>> inbox;
  std::thread thread;
  ~EventLoop() {
    if (wake_fd >= 0) close(wake_fd);
  }
};

// Connections live in one of three places: in the poll set of one polling thread (owned by
// it), waiting for a complete request head or for the socket to take the rest of an answer;
// queued for a worker with a complete head; or being answered by a worker. The polling threads
// answer plain requests themselves without ever waiting on a socket, so the common case costs
// no thread switch; a worker hands a kept-alive connection back to the first polling thread,
// so that a client that is slow to send ties up no worker.
//
// The first polling thread (the master) accepts, and keeps each new connection until its first
// answer has gone out; then it deals the connection out in turn (to itself too), so that the
// busy connections spread over the polling threads. It alone closes connections to keep the
// per-address cap: a connection that has never sent a whole head is always the master's, and
// the others hand back every connection that has waited for its next head a while, well before
// it could be evicted, so that "oldest first" stays exact.
struct ServerRuntime {
  std::vector<ListeningSocket> listeners;
  std::atomic<bool> stop_flag{false};
  // Under mutex: the connections with a complete head, those handed back by the workers, the
  // open connections per client address and the running worker count.
  std::mutex mutex;
  std::condition_variable queue_not_empty;
  std::condition_variable thread_count_changed;
  int running_workers = 0;
  std::deque<std::unique_ptr<Connection>> ready;
  std::unordered_map<uint32_t, int> per_address;
  int open_connections = 0;
  std::vector<std::unique_ptr<EventLoop>> loops;  // [0] is the master
  size_t next_loop = 0;                           // the master's turn to deal out
  std::vector<std::thread> workers;
  bool stopped = false;  // stop_server has finished
};

void ServerRuntimeDeleter::operator()(ServerRuntime* runtime) const {
  std::default_delete<ServerRuntime>()(runtime);
}

void FileHandle::reset() {
  if (fd >= 0) close(fd);
  fd = -1;
}

void PendingFile::reset() {
  file.reset();
  offset = 0;
  remaining = 0;
}

namespace {

const ServerOptionRow kOptionTable[kServerOptionCount] = {
    {"cgi_pattern", "**.cgi$|**.pl$|**.php$"},
    {"cgi_environment", nullptr},
    {"put_delete_auth_file", nullptr},
    {"cgi_interpreter", nullptr},
    {"protect_uri", nullptr},
    {"authentication_domain", "localhost"},
    {"ssi_pattern", nullptr},
    {"throttle", nullptr},
    {"access_log_file", nullptr},
    {"enable_directory_listing", "yes"},
    {"error_log_file", nullptr},
    {"global_auth_file", nullptr},
    {"index_files", "index.html,index.htm,index.cgi,index.shtml,index.php,index.lp"},
    {"enable_keep_alive", "no"},
    {"access_control_list", nullptr},
    {"extra_mime_types", nullptr},
    {"listening_ports", "8080"},
    {"document_root", "."},
    {"ssl_certificate", nullptr},
    {"num_threads", "50"},
    {"run_as_user", nullptr},
    {"url_rewrite_patterns", nullptr},
    {"hide_files_patterns", nullptr},
    {"request_timeout_ms", "30000"},
};

const int kPollSliceMs = 200;  // longest wait before the stop flag is looked at again
// A request head must be complete this long after the connection opened or its previous answer
// went out (or within request_timeout_ms when that is shorter); idle kept-alive connections
// are closed after the same time.
const int kHeadDeadlineMs = 10000;
// Open connections one client address may hold. Beyond that, the address's connections that
// have waited for a head for kEvictableAfterMs make way, oldest first, so that a client that
// hoards connections only crowds itself; a burst of quick ones is let through.
const int kMaxConnectionsPerAddress = 64;
const int kEvictableAfterMs = 1000;
static_assert(kPollSliceMs < kEvictableAfterMs / 2, "waiting connections reach the master in time");
const int kMaxConnections = 4096;  // and at most the descriptor limit less a reserve
const int kDescriptorReserve = 64;
const int kAcceptsPerRound = 64;
const unsigned kMaxPollingThreads = 4;  // and at most one per processor
// A file part up to this size is copied behind its answer's head, so that head and body leave
// in one write; a larger one is sent from the file system cache as the socket takes it.
const int64_t kCopiedFilePart = 16384;
// The master writes at most this much to one connection before it looks at the others.
const int64_t kWriteTurnBytes = 1 << 20;

// Serialises writes to the log files of every server in the process.
std::mutex& log_lock() {
  static std::mutex lock;
  return lock;
}

void close_socket(int socket) {
  if (socket >= 0) close(socket);
}

std::string vformat(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[512];
  int length = vsnprintf(small, sizeof(small), format, copy);
  va_end(copy);
  if (length < 0) return std::string();
  if (static_cast<size_t>(length) < sizeof(small)) return std::string(small, length);
  std::string text(static_cast<size_t>(length) + 1, '\0');
  vsnprintf(&text[0], text.size(), format, args);
  text.resize(static_cast<size_t>(length));
  return text;
}

// Appends one line to a log file under the log lock.
void append_log_line(const std::string& file, const std::string& line) {
  std::lock_guard<std::mutex> guard(log_lock());
  FilePtr stream = open_file(file, "ab");
  if (stream) fwrite(line.data(), 1, line.size(), stream.get());
}

// The sink of start-up messages and per-request errors.
void log_server_message(const HttpServer* server, const Connection* connection,
                        const std::string& message, std::string* start_error) {
  if (start_error) *start_error = message;
  if (server->callbacks.log_message && server->callbacks.log_message(connection, message.c_str())) {
    return;
  }
  const std::string& file = server->options[kErrorLogFile];
  if (file.empty()) return;
  char prefix[96];
  snprintf(prefix, sizeof(prefix), "[%010lu] [error] [client %s] ",
           static_cast<unsigned long>(time(nullptr)), connection ? connection->remote_text : "");
  std::string line = prefix;
  if (connection && !connection->request.method.empty()) {
    line.append(connection->request.method.data(), connection->request.method.size());
    line += ' ';
    line.append(connection->request.uri.data(), connection->request.uri.size());
    line += ": ";
  }
  line += message;
  line += '\n';
  append_log_line(file, line);
}

void log_start_error(HttpServer* server, std::string* error, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void log_start_error(HttpServer* server, std::string* error, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = vformat(format, args);
  va_end(args);
  log_server_message(server, nullptr, message, error);
}

// Waits until the socket is ready for events, in slices so that a stop is noticed. Returns
// false at the deadline, on stop or on a socket error.
bool wait_socket(const Connection* connection, short events, int64_t deadline_ms) {
  for (;;) {
    if (connection->server->runtime->stop_flag.load()) return false;
    int64_t left = deadline_ms - monotonic_ms();
    if (left <= 0) return false;
    pollfd entry = {connection->socket, events, 0};
    int ready = poll(&entry, 1, static_cast<int>(left < kPollSliceMs ? left : kPollSliceMs));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

// Receives into the connection buffer; the count, 0 when the peer closed, -1 on error,
// time-out or stop.
int64_t receive_some(Connection* connection, char* data, size_t size, int64_t deadline_ms) {
  for (;;) {
    if (!wait_socket(connection, POLLIN, deadline_ms)) return -1;
    ssize_t got = recv(connection->socket, data, size, MSG_DONTWAIT);
    if (got >= 0) return got;
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
  }
}

// The throttle option: "key=limit" entries where key is "*", a subnet or a URI pattern and the
// limit a number of bytes per second with an optional k or m; the last match wins.
int64_t throttle_for(const Connection* connection) {
  std::string_view rest = connection->server->options[kThrottle];
  int64_t limit = -1;
  while (!rest.empty()) {
    size_t comma = rest.find(',');
    std::string_view entry = rest.substr(0, comma);
    rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
    size_t equals = entry.find('=');
    if (equals == std::string_view::npos) continue;
    std::string_view key = entry.substr(0, equals);
    std::string value(entry.substr(equals + 1));
    char* end = nullptr;
    double amount = strtod(value.c_str(), &end);
    if (end == value.c_str() || !(amount >= 0) || amount > 1e15) continue;
    if (*end == 'k' || *end == 'K') amount *= 1024;
    if (*end == 'm' || *end == 'M') amount *= 1048576;
    uint32_t network = 0, mask = 0;
    bool matches = key == "*" ||
                   (parse_subnet(key, &network, &mask) &&
                    (ntohl(connection->remote.sin_addr.s_addr) & mask) == network) ||
                   match_pattern(key, connection->path) > 0;
    if (matches) limit = static_cast<int64_t>(amount);
  }
  return limit;
}

// Builds the file system path of the request and the folder it must stay in; false when it
// does not fit.
bool build_file_path(Connection* connection, std::string* file_path) {
  const HttpServer* server = connection->server;
  std::string base = server->options[kDocumentRoot];
  connection->root = server->canonical_root;
  std::string_view rest = connection->path;
  // A rewrite pattern "uri_prefix=folder" maps matching request paths to another folder.
  std::string_view rewrites = server->options[kUrlRewritePatterns];
  while (!rewrites.empty()) {
    size_t comma = rewrites.find(',');
    std::string_view entry = rewrites.substr(0, comma);
    rewrites.remove_prefix(comma == std::string_view::npos ? rewrites.size() : comma + 1);
    size_t equals = entry.find('=');
    if (equals == std::string_view::npos) continue;
    int matched = match_pattern(entry.substr(0, equals), connection->path);
    if (matched > 0) {
      base = std::string(entry.substr(equals + 1));
      rest = std::string_view(connection->path).substr(static_cast<size_t>(matched));
      char resolved[PATH_MAX];
      connection->root = realpath(base.c_str(), resolved) ? resolved : "";
      break;
    }
  }
  while (!rest.empty() && rest.front() == '/' && base.size() > 1 &&
         (base.back() == '/' || base.back() == '\\')) {
    base.pop_back();
  }
  *file_path = base;
  file_path->append(rest.data(), rest.size());
  return file_path->size() <= kMaxFilePath;
}

// Finds the password file that guards a path; empty when none applies. *required is set when
// an explicitly configured file applies (it must then exist).
std::string password_file_for(const Connection* connection, const std::string& path,
                              bool* required) {
  const HttpServer* server = connection->server;
  *required = false;
  std::string_view rules = server->options[kProtectUri];
  while (!rules.empty()) {
    size_t comma = rules.find(',');
    std::string_view entry = rules.substr(0, comma);
    rules.remove_prefix(comma == std::string_view::npos ? rules.size() : comma + 1);
    size_t equals = entry.find('=');
    if (equals == std::string_view::npos) continue;
    std::string_view prefix = entry.substr(0, equals);
    if (std::string_view(connection->path).substr(0, prefix.size()) == prefix) {
      *required = true;
      return std::string(entry.substr(equals + 1));
    }
  }
  if (!server->options[kGlobalAuthFile].empty()) {
    *required = true;
    return server->options[kGlobalAuthFile];
  }
  if (server->canonical_root.empty() || path.empty()) return std::string();
  struct stat status;
  if (path_status(connection, path, &status) == 0 && S_ISDIR(status.st_mode)) {
    return path + "/.htpasswd";
  }
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string(".htpasswd")
                                    : path.substr(0, slash + 1) + ".htpasswd";
}

// Checks the request's Digest credentials against a password file's "user:domain:ha1" lines.
bool credentials_match(Connection* connection, FILE* file) {
  std::string_view header;
  DigestCredentials credentials;
  if (!find_header(connection->request, "Authorization", &header) ||
      !parse_digest_credentials(header, &credentials)) {
    return false;
  }
  if (credentials.user.empty() || credentials.response.size() != 32 || credentials.nonce.empty()) {
    return false;
  }
  const std::string& domain = connection->server->options[kAuthenticationDomain];
  std::string method(connection->request.method);
  char line[1024];
  while (fgets(line, sizeof(line), file)) {
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    size_t first = text.find(':');
    size_t second = first == std::string::npos ? first : text.find(':', first + 1);
    if (second == std::string::npos) continue;
    if (text.compare(0, first, credentials.user) != 0 || first != credentials.user.size()) {
      continue;
    }
    if (text.compare(first + 1, second - first - 1, domain) != 0 ||
        second - first - 1 != domain.size()) {
      continue;
    }
    std::string ha1 = text.substr(second + 1);
    if (equal_ignoring_case(credentials.response, digest_response(ha1, method, credentials))) {
      connection->remote_user = credentials.user;
      return true;
    }
  }
  return false;
}

bool request_authorized(Connection* connection, const std::string& path) {
  bool required = false;
  std::string file = password_file_for(connection, path, &required);
  if (file.empty()) return true;
  FilePtr stream = open_file(file, "rb");
  if (!stream) {
    // A configured password file that cannot be read locks the area instead of opening it.
    if (required) log_error(connection, "Cannot open %s: %s", file.c_str(), strerror(errno));
    return !required;
  }
  return credentials_match(connection, stream.get());
}

bool put_delete_authorized(Connection* connection) {
  const std::string& file = connection->server->options[kPutDeleteAuthFile];
  if (file.empty()) return false;
  FilePtr stream = open_file(file, "rb");
  return stream && credentials_match(connection, stream.get());
}

void send_authorization_request(Connection* connection) {
  connection->status = 401;
  connection->must_close = true;
  send_formatted(connection,
                 "HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\n"
                 "WWW-Authenticate: Digest qop=\"auth\", realm=\"%s\", nonce=\"%lu\"\r\n\r\n",
                 connection->server->options[kAuthenticationDomain].c_str(),
                 static_cast<unsigned long>(time(nullptr)));
}

// Whether the deepest existing folder of a path lies inside the document root.
bool parent_inside_root(const Connection* connection, const std::string& path) {
  std::string probe = path;
  for (;;) {
    size_t slash = probe.find_last_of('/');
    if (slash == std::string::npos) return false;
    probe.resize(slash);
    struct stat status;
    if (stat(probe.empty() ? "/" : probe.c_str(), &status) == 0) {
      return path_inside(probe.empty() ? "/" : probe, connection->root);
    }
  }
}

// Creates the missing folders of a file path; false with errno set on failure.
bool put_directories(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    std::string folder = path.substr(0, slash);
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

void handle_put(Connection* connection, const std::string& path) {
  struct stat status;
  bool existed = lstat(path.c_str(), &status) == 0;
  if (existed && S_ISDIR(status.st_mode)) {
    connection->status = 200;
    connection->must_close = true;
    send_formatted(connection, "HTTP/1.1 %d OK\r\n\r\n", connection->status);
    return;
  }
  if (!parent_inside_root(connection, path) || (existed && !path_inside(path, connection->root))) {
    send_error(connection, 404, "Not Found", "%s", "File not found");
    return;
  }
  std::string_view expect;
  bool has_expect = find_header(connection->request, "Expect", &expect);
  if (has_expect && !equal_ignoring_case(expect, "100-continue")) {
    send_error(connection, 417, "Expectation Failed", "%s", "");
    return;
  }
  if (connection->content_length < 0) {
    send_error(connection, 411, "Length Required", "%s", "");
    return;
  }
  if (!put_directories(path)) {
    send_error(connection, 500, "Internal Server Error", "put_dir(%s): %s", path.c_str(),
               strerror(errno));
    return;
  }
  FilePtr file = open_file(path, "wb");
  if (!file) {
    send_error(connection, 500, "Internal Server Error", "fopen(%s): %s", path.c_str(),
               strerror(errno));
    return;
  }
  connection->status = existed ? 200 : 201;
  std::string_view range;
  int64_t first = 0, last = 0;
  if (find_header(connection->request, "Content-Range", &range) &&
      parse_byte_range(range, &first, &last) >= 1 && first >= 0) {
    connection->status = 206;
    fseeko(file.get(), static_cast<off_t>(first), SEEK_SET);
  }
  if (has_expect) send_formatted(connection, "HTTP/1.1 100 Continue\r\n\r\n");
  char piece[8192];
  for (;;) {
    int64_t got = read_body(connection, piece, sizeof(piece));
    if (got < 0 || (got > 0 && fwrite(piece, 1, static_cast<size_t>(got), file.get()) !=
                                   static_cast<size_t>(got))) {
      send_error(connection, 577, "Internal Server Error", "%s", "");
      return;
    }
    if (got == 0) break;
  }
  connection->must_close = true;
  send_formatted(connection, "HTTP/1.1 %d OK\r\n\r\n", connection->status);
}

void handle_delete(Connection* connection, const std::string& path) {
  if (!path_inside(path, connection->root) && !parent_inside_root(connection, path)) {
    send_error(connection, 404, "Not Found", "%s", "File not found");
    return;
  }
  if (remove(path.c_str()) == 0) {
    send_error(connection, 200, "OK", "%s", "");
  } else {
    send_error(connection, 500, "Internal Server Error", "remove(%s): %s", path.c_str(),
               strerror(errno));
  }
}

// The order of decisions for one parsed request.
void handle_request(Connection* connection) {
  HttpServer* server = connection->server;
  std::string_view uri = connection->request.uri;
  size_t question = uri.find('?');
  connection->query_string =
      question == std::string_view::npos ? std::string_view() : uri.substr(question + 1);
  if (!resolve_request_path(uri.substr(0, question), &connection->path)) {
    send_error(connection, 400, "Bad Request", "Invalid URI: [%.*s]", static_cast<int>(uri.size()),
               uri.data());
    return;
  }
  std::string path;
  // Only a path below the root names a file ("*" names none), and only when it fits.
  if (connection->path.empty() || connection->path.front() != '/' ||
      !build_file_path(connection, &path)) {
    path.clear();
  }
  int64_t throttle = throttle_for(connection);
  connection->speed_limit = throttle >= 0 ? throttle : server->speed_limit.load();

  std::string_view method = connection->request.method;
  bool put_or_delete = method == "PUT" || method == "DELETE";
  if (!put_or_delete && !request_authorized(connection, path)) {
    send_authorization_request(connection);
  } else if (server->callbacks.begin_request && server->callbacks.begin_request(connection)) {
    // answered by the embedding program
  } else if (method == "OPTIONS") {
    connection->status = 200;
    send_formatted(connection,
                   "HTTP/1.1 200 OK\r\nAllow: GET, POST, HEAD, CONNECT, PUT, DELETE, "
                   "OPTIONS\r\nDAV: 1\r\n\r\n");
  } else if (server->canonical_root.empty()) {
    send_error(connection, 404, "Not Found", "%s", "Not Found");
  } else if (put_or_delete) {
    if (!put_delete_authorized(connection)) {
      send_authorization_request(connection);
    } else if (path.empty()) {
      send_error(connection, 404, "Not Found", "%s", "File not found");
    } else if (method == "PUT") {
      handle_put(connection, path);
    } else {
      handle_delete(connection, path);
    }
  } else {
    handle_static_request(connection, path);
  }
}

void write_access_log(const Connection* connection) {
  const std::string& file = connection->server->options[kAccessLogFile];
  if (file.empty()) return;
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  char date[64];
  strftime(date, sizeof(date), "%d/%b/%Y:%H:%M:%S %z", &local);
  const HttpRequest& request = connection->request;
  char counts[64];
  snprintf(counts, sizeof(counts), "\" %d %lld", connection->status,
           static_cast<long long>(connection->bytes_sent));
  std::string line = connection->remote_text;
  line += " - ";
  line += connection->remote_user.empty() ? "-" : connection->remote_user;
  line += " [";
  line += date;
  line += "] \"";
  line.append(request.method.data(), request.method.size());
  line += ' ';
  line.append(request.uri.data(), request.uri.size());
  line += " HTTP/";
  line.append(request.http_version.data(), request.http_version.size());
  line += counts;
  for (const char* name : {"Referer", "User-Agent"}) {
    std::string_view value;
    if (find_header(request, name, &value)) {
      line += " \"";
      line.append(value.data(), value.size());
      line += '"';
    } else {
      line += " -";
    }
  }
  line += '\n';
  append_log_line(file, line);
}

// Drops the body of the request just answered and moves the next request's bytes to the
// front; false when that is not possible (unknown length or a broken connection).
bool skip_to_next_request(Connection* connection) {
  if (connection->content_length < 0) return false;
  char scrap[4096];
  while (connection->body_read < connection->content_length) {
    int64_t got = read_body(connection, scrap, sizeof(scrap));
    if (got <= 0) return false;
  }
  size_t consumed = connection->head_length;
  memmove(connection->buffer, connection->buffer + consumed, connection->buffered - consumed);
  connection->buffered -= consumed;
  connection->head_length = 0;
  return true;
}

void reset_request_state(Connection* connection) {
  connection->request = HttpRequest();
  connection->path.clear();
  connection->root.clear();
  connection->query_string = std::string_view();
  connection->content_length = 0;
  connection->body_read = 0;
  connection->status = -1;
  connection->bytes_sent = 0;
  connection->must_close = false;
  connection->remote_user.clear();
  connection->speed_limit = 0;
  connection->head_length = 0;
  connection->needs_worker = false;
  connection->status_known = false;
  connection->path_file.reset();
}

int head_deadline_ms(const HttpServer* server) {
  return server->request_timeout_ms < kHeadDeadlineMs ? server->request_timeout_ms
                                                       : kHeadDeadlineMs;
}

// What became of a connection's buffered requests.
enum class Served {
  kWaitForHead,  // every complete head is answered; the connection waits for the next
  kWriteFirst,   // an answer is collected: it must go out before the next request is taken
  kToWorker,     // the current request needs a worker (nothing of it has been answered)
  kClose,        // the connection ends after what was answered
};

// Whether the master may answer the current request: one that reads no body and calls none
// of the embedding program's request callbacks (those may wait on the socket).
bool master_may_answer(const Connection* connection) {
  const HttpServer* server = connection->server;
  const std::string_view method = connection->request.method;
  return (method == "GET" || method == "HEAD") && connection->content_length == 0 &&
         !server->callbacks.begin_request && !server->callbacks.http_error;
}

// Answers the complete request heads in the buffer, one after another (pipelined ones too).
// While the connection collects its output, it stops after each collected answer.
Served serve_requests(Connection* connection) {
  HttpServer* server = connection->server;
  for (;;) {
    reset_request_state(connection);
    connection->head_length = request_head_length(connection->buffer, connection->buffered);
    if (connection->head_length == 0) return Served::kWaitForHead;
    ++connection->requests_seen;
    if (!parse_request(connection->buffer, connection->head_length, &connection->request)) {
      connection->must_close = true;
      send_error(connection, 500, "Server Error", "Bad request: [%.*s]",
                 static_cast<int>(connection->buffered), connection->buffer);
      return Served::kClose;
    }
    const HttpRequest& request = connection->request;
    // The body rule: one Content-Length or none; anything else would leave the end of the body
    // (and so the start of the next request) open to interpretation.
    BodyFraming framing = request_body_framing(request, &connection->content_length);
    if (framing == BodyFraming::kNone) {
      connection->content_length = request.method == "POST" || request.method == "PUT" ? -1 : 0;
    }
    if (framing == BodyFraming::kRefused) {
      connection->content_length = -1;
      send_error(connection, 501, "Not Implemented", "%s", "Transfer-Encoding is not supported");
    } else if (framing == BodyFraming::kMalformed) {
      connection->content_length = -1;
      send_error(connection, 400, "Bad Request", "%s", "Invalid Content-Length");
    } else if (request.uri != "*" && request.uri.front() != '/') {
      send_error(connection, 400, "Bad Request", "Invalid URI: [%.*s]",
                 static_cast<int>(request.uri.size()), request.uri.data());
    } else if (request.http_version != "1.0" && request.http_version != "1.1") {
      send_error(connection, 505, "Bad HTTP version", "Bad HTTP version: [%.*s]",
                 static_cast<int>(request.http_version.size()), request.http_version.data());
    } else if (connection->collect_output && !master_may_answer(connection)) {
      connection->needs_worker = true;
    } else {
      handle_request(connection);
      if (!connection->needs_worker) {
        if (server->callbacks.end_request) {
          server->callbacks.end_request(connection, connection->status);
        }
        write_access_log(connection);
      }
    }
    if (connection->needs_worker) {
      // Nothing of this request went out: a worker takes the same head again from the start.
      --connection->requests_seen;
      connection->output.clear();
      connection->output_file.reset();
      return Served::kToWorker;
    }
    if (server->runtime->stop_flag.load() || !should_keep_alive(connection)) {
      return Served::kClose;
    }
    if (!skip_to_next_request(connection)) return Served::kClose;
    if (connection->collect_output) return Served::kWriteFirst;
  }
}

// Lingers up to a second, sends FIN, reads what the peer still sends and closes, so that the
// peer receives the whole answer instead of a reset.
void close_gracefully(int socket) {
  linger option = {1, 1};
  setsockopt(socket, SOL_SOCKET, SO_LINGER, &option, sizeof(option));
  shutdown(socket, SHUT_WR);
  fcntl(socket, F_SETFL, fcntl(socket, F_GETFL) | O_NONBLOCK);
  char scrap[4096];
  for (int round = 0; round < 64; ++round) {
    if (recv(socket, scrap, sizeof(scrap), 0) <= 0) break;
  }
  close(socket);
}

// Counts a connection of an address as closed (under the runtime mutex).
void forget_connection_locked(ServerRuntime* runtime, const Connection* connection) {
  auto found = runtime->per_address.find(connection->remote.sin_addr.s_addr);
  if (found != runtime->per_address.end() && --found->second <= 0) {
    runtime->per_address.erase(found);
  }
  --runtime->open_connections;
}

void forget_connection(HttpServer* server, const Connection* connection) {
  std::lock_guard<std::mutex> guard(server->runtime->mutex);
  forget_connection_locked(server->runtime.get(), connection);
}

// Closes a connection from the master thread without waiting on the peer: an answer (if any)
// goes out in one attempt, unread bytes are drained so that it is not cut off by a reset.
void close_without_waiting(HttpServer* server, std::unique_ptr<Connection> connection,
                           const std::string& answer) {
  if (!answer.empty()) {
    ssize_t ignored =
        send(connection->socket, answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    (void)ignored;
  }
  // Bytes left unread would make the close a reset, which may destroy the answer on its way:
  // when there are any, the connection is half closed first and they are drained.
  char scrap[4096];
  if (recv(connection->socket, scrap, sizeof(scrap), MSG_DONTWAIT) > 0) {
    shutdown(connection->socket, SHUT_WR);
    for (int round = 0; round < 16; ++round) {
      if (recv(connection->socket, scrap, sizeof(scrap), MSG_DONTWAIT) <= 0) break;
    }
  }
  close(connection->socket);
  forget_connection(server, connection.get());
}

// Gives a connection to a polling thread and wakes it.
void hand_to_loop(ServerRuntime* runtime, size_t index, std::unique_ptr<Connection> connection) {
  EventLoop* loop = runtime->loops[index].get();
  {
    std::lock_guard<std::mutex> guard(runtime->mutex);
    loop->inbox.push_back(std::move(connection));
  }
  uint64_t one = 1;
  ssize_t ignored = write(loop->wake_fd, &one, sizeof(one));
  (void)ignored;
}

bool take_ready_connection(HttpServer* server, std::unique_ptr<Connection>* taken) {
  ServerRuntime* runtime = server->runtime.get();
  std::unique_lock<std::mutex> guard(runtime->mutex);
  runtime->queue_not_empty.wait(
      guard, [runtime] { return !runtime->ready.empty() || runtime->stop_flag.load(); });
  if (runtime->stop_flag.load() || runtime->ready.empty()) return false;
  *taken = std::move(runtime->ready.front());
  runtime->ready.pop_front();
  return true;
}

void worker_thread(HttpServer* server) {
  // A peer that leaves while a file goes out makes sendfile raise SIGPIPE, which would end the
  // process; with the signal blocked on the threads that send, the call fails with EPIPE.
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
  ServerRuntime* runtime = server->runtime.get();
  std::unique_ptr<Connection> connection;
  while (take_ready_connection(server, &connection)) {
    bool keep = serve_requests(connection.get()) == Served::kWaitForHead;
    if (keep && !runtime->stop_flag.load()) {
      connection->wait_started_ms = monotonic_ms();
      connection->read_deadline_ms = connection->wait_started_ms + head_deadline_ms(server);
      hand_to_loop(runtime, 0, std::move(connection));
    } else {
      forget_connection(server, connection.get());
      close_gracefully(connection->socket);
      connection.reset();
    }
  }
  std::lock_guard<std::mutex> guard(runtime->mutex);
  --runtime->running_workers;
  runtime->thread_count_changed.notify_all();
}

// The error answer for a connection the master gives up on, as send_error would write it.
std::string master_error_answer(int status, const char* reason, const char* text) {
  std::string body = "Error " + std::to_string(status) + ": " + reason + "\n" + text;
  return "HTTP/1.1 " + std::to_string(status) + " " + reason +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
         body;
}

// The master thread's connections waiting for a head.
using WaitingList = std::vector<std::unique_ptr<Connection>>;

// Makes room for one more connection of an address (or of any address when the server is
// full) by closing the oldest one of them that has waited for a head since before
// waited_before_ms; false when none qualifies.
bool evict_oldest(HttpServer* server, WaitingList* waiting, bool same_address, uint32_t address,
                  int64_t waited_before_ms) {
  size_t oldest = waiting->size();
  for (size_t i = 0; i < waiting->size(); ++i) {
    const Connection* candidate = (*waiting)[i].get();
    if (!candidate || candidate->writing ||
        (same_address && candidate->remote.sin_addr.s_addr != address)) {
      continue;
    }
    if (candidate->wait_started_ms > waited_before_ms) continue;
    if (oldest == waiting->size() ||
        candidate->wait_started_ms < (*waiting)[oldest]->wait_started_ms) {
      oldest = i;
    }
  }
  if (oldest == waiting->size()) return false;
  close_without_waiting(server, std::move((*waiting)[oldest]), std::string());
  return true;  // the emptied slot is removed by the master's next sweep
}

// Brings every address back to its connection cap where its waiting connections allow.
void enforce_address_caps(HttpServer* server, WaitingList* waiting) {
  std::vector<std::pair<uint32_t, int>> crowded;
  {
    std::lock_guard<std::mutex> guard(server->runtime->mutex);
    for (const auto& entry : server->runtime->per_address) {
      if (entry.second > kMaxConnectionsPerAddress) crowded.push_back(entry);
    }
  }
  const int64_t waited_before = monotonic_ms() - kEvictableAfterMs;
  for (const auto& entry : crowded) {
    for (int excess = entry.second - kMaxConnectionsPerAddress; excess > 0; --excess) {
      if (!evict_oldest(server, waiting, true, entry.first, waited_before)) break;
    }
  }
}

int connection_limit() {
  rlimit limit = {};
  int usable = kMaxConnections;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    int64_t descriptors = static_cast<int64_t>(limit.rlim_cur) - kDescriptorReserve;
    if (descriptors < usable) usable = descriptors < 16 ? 16 : static_cast<int>(descriptors);
  }
  return usable;
}

// Accepts one connection into the waiting list; false when there was none to accept.
bool accept_connection(HttpServer* server, const ListeningSocket& listener, WaitingList* waiting,
                       int limit) {
  ServerRuntime* runtime = server->runtime.get();
  sockaddr_in remote = {};
  socklen_t length = sizeof(remote);
  int socket_id = accept4(listener.socket, reinterpret_cast<sockaddr*>(&remote), &length,
                          SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (socket_id < 0) {
    // Out of descriptors: the oldest waiting connection makes way, or the attempt waits.
    if (errno == EMFILE || errno == ENFILE) {
      return evict_oldest(server, waiting, false, 0, INT64_MAX);
    }
    return false;
  }
  if (!access_allowed(server->access_rules, ntohl(remote.sin_addr.s_addr))) {
    char text[16] = {};
    inet_ntop(AF_INET, &remote.sin_addr, text, sizeof(text));
    log_server_message(server, nullptr, std::string(text) + " is not allowed to connect", nullptr);
    close(socket_id);
    return true;
  }
  if (listener.secure) {  // no secure layer: such connections are closed unserved
    close_gracefully(socket_id);
    return true;
  }
  const uint32_t address = remote.sin_addr.s_addr;
  int held = 0, total = 0;
  {
    std::lock_guard<std::mutex> guard(runtime->mutex);
    auto found = runtime->per_address.find(address);
    held = found == runtime->per_address.end() ? 0 : found->second;
    total = runtime->open_connections;
  }
  if (held >= kMaxConnectionsPerAddress) {
    evict_oldest(server, waiting, true, address, monotonic_ms() - kEvictableAfterMs);
  }
  if (total >= limit && !evict_oldest(server, waiting, false, 0, INT64_MAX)) {
    close(socket_id);
    return true;
  }
  std::unique_ptr<Connection> connection(new (std::nothrow) Connection);
  if (!connection) {
    log_server_message(server, nullptr, "Can't create new connection struct, OOM", nullptr);
    close(socket_id);
    return true;
  }
  connection->server = server;
  connection->socket = socket_id;
  connection->remote = remote;
  connection->redirect = listener.redirect;
  connection->birth_time = time(nullptr);
  connection->wait_started_ms = monotonic_ms();
  connection->read_deadline_ms = connection->wait_started_ms + head_deadline_ms(server);
  inet_ntop(AF_INET, &remote.sin_addr, connection->remote_text, sizeof(connection->remote_text));
  {
    std::lock_guard<std::mutex> guard(runtime->mutex);
    ++runtime->per_address[address];
    ++runtime->open_connections;
  }
  waiting->push_back(std::move(connection));
  return true;
}

enum class HeadState { kWaiting, kComplete, kGone };

// Reads what a waiting connection has sent. Complete: its head is in the buffer.
HeadState receive_head(HttpServer* server, std::unique_ptr<Connection>* slot) {
  Connection* connection = slot->get();
  for (;;) {
    if (request_head_length(connection->buffer, connection->buffered) > 0) {
      return HeadState::kComplete;
    }
    if (connection->buffered == sizeof(connection->buffer)) {
      close_without_waiting(server, std::move(*slot),
                            master_error_answer(500, "Server Error", "Request Too Large"));
      return HeadState::kGone;
    }
    ssize_t got = recv(connection->socket, connection->buffer + connection->buffered,
                       sizeof(connection->buffer) - connection->buffered, MSG_DONTWAIT);
    if (got > 0) {
      connection->buffered += static_cast<size_t>(got);
      continue;
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      return HeadState::kWaiting;
    }
    // The peer closed or failed: a connection that goes quiet between requests ends without
    // an answer, one that leaves in the middle of (or before) its first head gets one.
    bool answer = connection->requests_seen == 0 || connection->buffered > 0;
    close_without_waiting(
        server, std::move(*slot),
        answer ? master_error_answer(500, "Server Error", "Client closed connection") : "");
    return HeadState::kGone;
  }
}

// Whether a connection waiting to read already holds a complete head (pipelined behind an
// answer, when it changed threads).
bool holds_head(const Connection& connection) {
  return !connection.writing && connection.buffered > 0 &&
         request_head_length(connection.buffer, connection.buffered) > 0;
}

enum class WriteState { kDone, kBlocked, kFailed };

// Writes what the socket takes of a collected answer without waiting; kBlocked when the rest
// must wait for the socket (or for the master's next round, after kWriteTurnBytes).
WriteState write_collected(Connection* connection) {
  int64_t written = 0;
  for (;;) {
    const bool more_to_write = connection->output_sent < connection->output.size() ||
                               connection->output_file.remaining > 0;
    if (written >= kWriteTurnBytes && more_to_write) return WriteState::kBlocked;
    ssize_t done;
    if (connection->output_sent < connection->output.size()) {
      int more = connection->output_file.remaining > 0 ? MSG_MORE : 0;
      done = send(connection->socket, connection->output.data() + connection->output_sent,
                  connection->output.size() - connection->output_sent,
                  MSG_NOSIGNAL | MSG_DONTWAIT | more);
      if (done > 0) connection->output_sent += static_cast<size_t>(done);
    } else if (connection->output_file.remaining > 0) {
      PendingFile& file = connection->output_file;
      off_t offset = static_cast<off_t>(file.offset);
      int64_t want = file.remaining < kWriteTurnBytes ? file.remaining : kWriteTurnBytes;
      done = sendfile(connection->socket, file.file.fd, &offset, static_cast<size_t>(want));
      if (done == 0) {
        // The file shrank meanwhile: the answer is short, and only closing can end it.
        connection->close_after_write = true;
        file.reset();
        continue;
      }
      if (done > 0) {
        file.offset += done;
        file.remaining -= done;
      }
    } else {
      connection->output.clear();
      connection->output_sent = 0;
      connection->output_file.reset();
      return WriteState::kDone;
    }
    if (done > 0) {
      written += done;
      connection->read_deadline_ms = monotonic_ms() + connection->server->request_timeout_ms;
      continue;
    }
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? WriteState::kBlocked : WriteState::kFailed;
  }
}

// Answers the buffered request heads of a connection in a polling thread and writes the
// answers as far as the socket takes them. False when the connection must go to a worker
// (*slot is then still set). A connection that ends is closed and *slot emptied; so is one the
// master (master set) deals out to another polling thread after its first answer.
bool answer_in_loop(HttpServer* server, std::unique_ptr<Connection>* slot, bool master) {
  Connection* connection = slot->get();
  ServerRuntime* runtime = server->runtime.get();
  for (;;) {
    if (connection->writing) {
      WriteState state = write_collected(connection);
      if (state == WriteState::kBlocked) return true;
      connection->writing = false;
      if (state == WriteState::kFailed || connection->close_after_write ||
          runtime->stop_flag.load()) {
        close_without_waiting(server, std::move(*slot), std::string());
        return true;
      }
      connection->wait_started_ms = monotonic_ms();
      connection->read_deadline_ms = connection->wait_started_ms + head_deadline_ms(server);
      if (master && !connection->dealt) {
        connection->dealt = true;
        size_t target = runtime->next_loop++ % runtime->loops.size();
        if (target != 0) {
          hand_to_loop(runtime, target, std::move(*slot));
          return true;
        }
      }
    }
    if (request_head_length(connection->buffer, connection->buffered) == 0) return true;
    connection->collect_output = true;
    Served served = serve_requests(connection);
    connection->collect_output = false;
    switch (served) {
      case Served::kWaitForHead:
        return true;
      case Served::kToWorker:
        return false;
      case Served::kClose:
        connection->close_after_write = true;
        [[fallthrough]];
      case Served::kWriteFirst:
        connection->writing = true;
        connection->read_deadline_ms = monotonic_ms() + server->request_timeout_ms;
        break;
    }
  }
}

// A polling thread; index 0 is the master, which also accepts and keeps the address caps.
void polling_thread(HttpServer* server, size_t index) {
  // Answers go out from this thread too (see worker_thread on SIGPIPE).
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
  ServerRuntime* runtime = server->runtime.get();
  EventLoop* loop = runtime->loops[index].get();
  const bool master = index == 0;
  const int limit = connection_limit();
  WaitingList waiting;
  std::vector<pollfd> entries;
  const size_t listener_count = master ? runtime->listeners.size() : 0;
  const size_t first_connection = 1 + listener_count;
  while (!runtime->stop_flag.load()) {
    {
      std::lock_guard<std::mutex> guard(runtime->mutex);
      for (std::unique_ptr<Connection>& given : loop->inbox) {
        waiting.push_back(std::move(given));
      }
      loop->inbox.clear();
    }
    int64_t now = monotonic_ms();
    int64_t next_deadline = now + kPollSliceMs;
    entries.clear();
    entries.push_back({loop->wake_fd, POLLIN, 0});
    for (size_t i = 0; i < listener_count; ++i) {
      entries.push_back({runtime->listeners[i].socket, POLLIN, 0});
    }
    for (const std::unique_ptr<Connection>& connection : waiting) {
      entries.push_back(
          {connection->socket, static_cast<short>(connection->writing ? POLLOUT : POLLIN), 0});
      if (connection->read_deadline_ms < next_deadline) {
        next_deadline = connection->read_deadline_ms;
      }
      if (holds_head(*connection)) next_deadline = now;  // handed over with a head to answer
    }
    int wait = next_deadline > now ? static_cast<int>(next_deadline - now) : 0;
    int ready = poll(entries.data(), entries.size(), wait);
    if (ready < 0 && errno != EINTR) break;
    if (entries[0].revents & POLLIN) {
      uint64_t count = 0;
      ssize_t ignored = read(loop->wake_fd, &count, sizeof(count));
      (void)ignored;
    }
    // Heads first (they were polled; new connections are appended behind them).
    size_t polled = waiting.size();
    int handed = 0;
    for (size_t i = 0; i < polled; ++i) {
      if (!waiting[i]) continue;  // evicted meanwhile
      short events = entries[first_connection + i].revents;
      if (waiting[i]->writing) {
        if (!(events & (POLLOUT | POLLHUP | POLLERR))) continue;
      } else if (!holds_head(*waiting[i])) {
        if (!(events & (POLLIN | POLLHUP | POLLERR))) continue;
        if (receive_head(server, &waiting[i]) != HeadState::kComplete) continue;
      }
      if (!answer_in_loop(server, &waiting[i], master)) {
        std::lock_guard<std::mutex> guard(runtime->mutex);
        runtime->ready.push_back(std::move(waiting[i]));
        ++handed;
      }
    }
    // One worker per connection handed over (waking them all would only make them compete).
    for (int i = 0; i < handed; ++i) runtime->queue_not_empty.notify_one();
    for (size_t i = 0; i < listener_count; ++i) {
      if (!(entries[1 + i].revents & POLLIN)) continue;
      for (int round = 0; round < kAcceptsPerRound; ++round) {
        if (!accept_connection(server, runtime->listeners[i], &waiting, limit)) break;
      }
    }
    if (master) enforce_address_caps(server, &waiting);
    // Deadlines: a head that has not arrived in time is answered as a client gone; an answer
    // the client has not taken in time is cut off.
    now = monotonic_ms();
    for (std::unique_ptr<Connection>& connection : waiting) {
      if (!connection || connection->read_deadline_ms > now) continue;
      bool answer =
          !connection->writing && (connection->requests_seen == 0 || connection->buffered > 0);
      close_without_waiting(
          server, std::move(connection),
          answer ? master_error_answer(500, "Server Error", "Client closed connection") : "");
    }
    // Connections that will soon be evictable move to the master, which keeps the caps: half
    // the waiting time before that, and a poll slice is shorter than the other half.
    if (!master) {
      for (std::unique_ptr<Connection>& connection : waiting) {
        if (connection && !connection->writing &&
            now - connection->wait_started_ms >= kEvictableAfterMs / 2) {
          hand_to_loop(runtime, 0, std::move(connection));
        }
      }
    }
    size_t kept = 0;
    for (std::unique_ptr<Connection>& connection : waiting) {
      if (connection) waiting[kept++] = std::move(connection);
    }
    waiting.resize(kept);
  }
  for (std::unique_ptr<Connection>& connection : waiting) {
    close_socket(connection->socket);
  }
  // Connections handed over meanwhile are closed by stop_server once every thread has ended.
}

// Reads "[a.b.c.d:]port[r|s]"; false when the entry has another form.
bool parse_port_entry(std::string_view entry, ListeningSocket* listener) {
  listener->address.sin_family = AF_INET;
  listener->address.sin_addr.s_addr = htonl(INADDR_ANY);
  size_t colon = entry.find(':');
  if (colon != std::string_view::npos) {
    uint32_t network = 0, mask = 0;
    std::string_view host = entry.substr(0, colon);
    if (host.find('/') != std::string_view::npos || !parse_subnet(host, &network, &mask)) {
      return false;
    }
    listener->address.sin_addr.s_addr = htonl(network);
    entry.remove_prefix(colon + 1);
  }
  if (!entry.empty() && (entry.back() == 's' || entry.back() == 'r')) {
    listener->secure = entry.back() == 's';
    listener->redirect = entry.back() == 'r';
    entry.remove_suffix(1);
  }
  if (entry.empty() || entry.size() > 5) return false;
  int port = 0;
  for (char c : entry) {
    if (c < '0' || c > '9') return false;
    port = port * 10 + (c - '0');
  }
  if (port > 65535) return false;
  listener->address.sin_port = htons(static_cast<uint16_t>(port));
  return true;
}

bool open_listener(HttpServer* server, std::string* error) {
  std::string_view ports = server->options[kListeningPorts];
  std::string_view entry = ports.substr(0, ports.find(','));
  ListeningSocket listener;
  if (!parse_port_entry(entry, &listener)) {
    log_start_error(server, error, "%.*s: invalid port format!", static_cast<int>(entry.size()),
                    entry.data());
    return false;
  }
  std::mt19937 random(static_cast<uint32_t>(time(nullptr)) ^ static_cast<uint32_t>(getpid()));
  char port_text[16];
  snprintf(port_text, sizeof(port_text), "%.*s", static_cast<int>(entry.size()), entry.data());
  for (int attempt = 0; attempt < 10; ++attempt) {
    int socket_id = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket_id < 0) {
      log_start_error(server, error, "Can't create socket!");
      return false;
    }
    int on = 1;
    if (setsockopt(socket_id, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0) {
      close(socket_id);
      log_start_error(server, error, "Setting socket options failed!");
      return false;
    }
    // Accepted connections take these from the listening socket: TCP keep-alive probes, and
    // no delay for the last small segment of an answer.
    setsockopt(socket_id, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
    setsockopt(socket_id, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    if (bind(socket_id, reinterpret_cast<sockaddr*>(&listener.address), sizeof(listener.address)) !=
        0) {
      log_start_error(server, error, "Can't bind to port %s! Try finding another free port!",
                      port_text);
      close(socket_id);
      int port = 49152 + static_cast<int>(random() % 16383);
      listener.address.sin_port = htons(static_cast<uint16_t>(port));
      snprintf(port_text, sizeof(port_text), "%d", port);
      continue;
    }
    sockaddr_in bound = {};
    socklen_t length = sizeof(bound);
    getsockname(socket_id, reinterpret_cast<sockaddr*>(&bound), &length);
    server->bound_port = ntohs(bound.sin_port);
    // The queue of not yet accepted connections is as deep as the system allows, so that a
    // burst of clients is not left waiting for their connection attempts to be repeated.
    if (listen(socket_id, SOMAXCONN) != 0) {
      close(socket_id);
      log_start_error(server, error, "Can't listen to port %s!", port_text);
      return false;
    }
    listener.socket = socket_id;
    server->runtime->listeners.push_back(listener);
    if (error) error->clear();
    return true;
  }
  return false;
}

int option_slot(const char* name) {
  for (int i = 0; i < kServerOptionCount; ++i) {
    if (strcmp(kOptionTable[i].name, name) == 0) return i;
  }
  return -1;
}

bool apply_options(HttpServer* server, const char* const* options, std::string* error) {
  bool given[kServerOptionCount] = {};
  for (const char* const* pair = options; pair && pair[0]; pair += 2) {
    int slot = option_slot(pair[0]);
    if (slot < 0) {
      log_start_error(server, error, "Invalid option: %s", pair[0]);
      return false;
    }
    if (!pair[1]) {
      log_start_error(server, error, "%s: option value cannot be NULL", pair[0]);
      return false;
    }
    if (given[slot]) log_start_error(server, nullptr, "warning: %s: duplicate option", pair[0]);
    server->options[slot] = pair[1];
    given[slot] = true;
  }
  for (int i = 0; i < kServerOptionCount; ++i) {
    if (!given[i] && kOptionTable[i].default_value) {
      server->options[i] = kOptionTable[i].default_value;
    }
  }
  return true;
}

bool prepare_parsed_options(HttpServer* server, std::string* error) {
  server->keep_alive_enabled = option_is_yes(server->options[kEnableKeepAlive]);
  server->listing_enabled = option_is_yes(server->options[kEnableDirectoryListing]);
  char* end = nullptr;
  long timeout = strtol(server->options[kRequestTimeoutMs].c_str(), &end, 10);
  server->request_timeout_ms =
      timeout > 0 && timeout <= INT_MAX / 2 ? static_cast<int>(timeout) : 30000;
  const std::string& root = server->options[kDocumentRoot];
  if (!root.empty()) {
    char resolved[PATH_MAX];
    if (!realpath(root.c_str(), resolved)) {
      log_start_error(server, error, "Cannot open %s: %s", root.c_str(), strerror(errno));
      return false;
    }
    server->canonical_root = resolved;
  }
  return true;
}

}  // namespace

const ServerOptionRow* server_option_table() {
  return kOptionTable;
}

const std::string& server_option(const HttpServer* server, ServerOption option) {
  return server->options[option];
}

bool option_is_yes(const std::string& value) {
  return equal_ignoring_case(value, "yes");
}

int64_t monotonic_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool path_inside(const std::string& path, const std::string& base) {
  if (base.empty()) return false;
  char resolved[PATH_MAX];
  if (!realpath(path.c_str(), resolved)) return false;
  if (base == "/") return true;
  size_t length = base.size();
  return strncmp(resolved, base.c_str(), length) == 0 &&
         (resolved[length] == '\0' || resolved[length] == '/');
}

void HttpServerStopper::operator()(HttpServer* server) const {
  stop_server(server);
  std::default_delete<HttpServer>()(server);
}

void stop_server(HttpServer* server) {
  if (!server || !server->runtime || server->runtime->stopped) return;
  ServerRuntime* runtime = server->runtime.get();
  runtime->stop_flag.store(true);
  {
    std::lock_guard<std::mutex> guard(runtime->mutex);
    runtime->queue_not_empty.notify_all();
  }
  for (std::unique_ptr<EventLoop>& loop : runtime->loops) {
    if (loop->thread.joinable()) loop->thread.join();
  }
  for (std::thread& worker : runtime->workers) {
    if (worker.joinable()) worker.join();
  }
  for (ListeningSocket& listener : runtime->listeners) {
    close_socket(listener.socket);
    listener.socket = -1;
  }
  for (std::unique_ptr<Connection>& connection : runtime->ready) close_socket(connection->socket);
  runtime->ready.clear();
  for (std::unique_ptr<EventLoop>& loop : runtime->loops) {
    for (std::unique_ptr<Connection>& connection : loop->inbox) close_socket(connection->socket);
    loop->inbox.clear();
  }
  runtime->stopped = true;
}

HttpServerPtr start_server(const HttpCallbacks* callbacks, const char* const* options,
                           std::string* error) {
  std::unique_ptr<ServerRuntime, ServerRuntimeDeleter> runtime(new (std::nothrow) ServerRuntime);
  if (!runtime) return nullptr;
  HttpServerPtr server(new (std::nothrow) HttpServer);
  if (!server) return nullptr;
  server->runtime = std::move(runtime);
  memcpy(server->listing_order, kDefaultListingOrder, sizeof(server->listing_order));
  if (callbacks) server->callbacks = *callbacks;
  if (!apply_options(server.get(), options, error)) return nullptr;
  const std::string error_log = server->options[kErrorLogFile];
  if (!error_log.empty() && !open_file(error_log, "ab")) {
    std::string reason = strerror(errno);
    server->options[kErrorLogFile].clear();
    log_start_error(server.get(), error, "Cannot open %s: %s", error_log.c_str(), reason.c_str());
    return nullptr;
  }
  if (!prepare_parsed_options(server.get(), error)) return nullptr;
  if (!open_listener(server.get(), error)) return nullptr;
  if (!parse_access_list(server->options[kAccessControlList], &server->access_rules)) {
    log_start_error(server.get(), error, "subnet must be [+|-]x.x.x.x[/x]");
    return nullptr;
  }
  unsigned processors = std::thread::hardware_concurrency();
  size_t polling_threads = processors < 1 ? 1 : processors;
  if (polling_threads > kMaxPollingThreads) polling_threads = kMaxPollingThreads;
  for (size_t i = 0; i < polling_threads; ++i) {
    std::unique_ptr<EventLoop> loop(new (std::nothrow) EventLoop);
    if (loop) loop->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (!loop || loop->wake_fd < 0) {
      log_start_error(server.get(), error, "Can't create socket!");
      return nullptr;
    }
    server->runtime->loops.push_back(std::move(loop));
  }
  // Several connections are accepted per wake-up, until the listener has no more.
  for (const ListeningSocket& listener : server->runtime->listeners) {
    fcntl(listener.socket, F_SETFL, fcntl(listener.socket, F_GETFL) | O_NONBLOCK);
  }
  char* end = nullptr;
  long threads = strtol(server->options[kNumThreads].c_str(), &end, 10);
  if (threads < 1) threads = 1;
  if (threads > 1024) threads = 1024;
  for (size_t i = 0; i < polling_threads; ++i) {
    server->runtime->loops[i]->thread = std::thread(polling_thread, server.get(), i);
  }
  for (long i = 0; i < threads; ++i) {
    {
      std::lock_guard<std::mutex> guard(server->runtime->mutex);
      ++server->runtime->running_workers;
    }
    try {
      server->runtime->workers.emplace_back(worker_thread, server.get());
    } catch (const std::system_error& failure) {
      std::lock_guard<std::mutex> guard(server->runtime->mutex);
      --server->runtime->running_workers;
      server->runtime->thread_count_changed.notify_all();
      log_server_message(server.get(), nullptr,
                         "Can't start worker thread: " + std::to_string(failure.code().value()),
                         nullptr);
    }
  }
  return server;
}

void set_listing_order(HttpServer* server, const char* order) {
  std::lock_guard<std::mutex> guard(server->listing_lock);
  snprintf(server->listing_order, sizeof(server->listing_order), "%s", order);
}

int64_t send_bytes(Connection* connection, const void* data, size_t size, bool more) {
  const char* bytes = static_cast<const char*>(data);
  if (connection->collect_output) {
    connection->output.append(bytes, size);
    return static_cast<int64_t>(size);
  }
  size_t sent = 0;
  int64_t deadline = monotonic_ms() + connection->server->request_timeout_ms;
  while (sent < size) {
    ssize_t done = send(connection->socket, bytes + sent, size - sent,
                        MSG_NOSIGNAL | MSG_DONTWAIT | (more ? MSG_MORE : 0));
    if (done > 0) {
      sent += static_cast<size_t>(done);
      deadline = monotonic_ms() + connection->server->request_timeout_ms;
      continue;
    }
    if (done < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
    if (!wait_socket(connection, POLLOUT, deadline)) break;
  }
  return static_cast<int64_t>(sent);
}

int64_t send_file_range(Connection* connection, int fd, int64_t first, int64_t length) {
  if (connection->collect_output && length > 0) {
    if (length <= kCopiedFilePart) {
      size_t start = connection->output.size();
      connection->output.resize(start + static_cast<size_t>(length));
      ssize_t got = pread(fd, &connection->output[start], static_cast<size_t>(length),
                          static_cast<off_t>(first));
      connection->output.resize(start + static_cast<size_t>(got > 0 ? got : 0));
      return got > 0 ? got : 0;
    }
    // One file part per answer: the master writes an answer out before it takes the next.
    int copy = connection->output_file.file.fd < 0 ? fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
    if (copy < 0) return 0;
    connection->output_file.file.fd = copy;
    connection->output_file.offset = first;
    connection->output_file.remaining = length;
    return length;
  }
  const int64_t kMaxPiece = 1 << 20;  // bytes per call, so that a stop is noticed in between
  off_t offset = static_cast<off_t>(first);
  int64_t sent = 0;
  int64_t deadline = monotonic_ms() + connection->server->request_timeout_ms;
  while (sent < length) {
    int64_t want = length - sent < kMaxPiece ? length - sent : kMaxPiece;
    ssize_t done = sendfile(connection->socket, fd, &offset, static_cast<size_t>(want));
    if (done > 0) {
      sent += done;
      deadline = monotonic_ms() + connection->server->request_timeout_ms;
      continue;
    }
    if (done == 0) break;  // end of file
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
    if (!wait_socket(connection, POLLOUT, deadline)) break;
  }
  return sent;
}

int64_t send_formatted(Connection* connection, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = vformat(format, args);
  va_end(args);
  return send_bytes(connection, text.data(), text.size());
}

bool should_keep_alive(const Connection* connection) {
  if (connection->must_close || connection->status == 401 ||
      !connection->server->keep_alive_enabled) {
    return false;
  }
  std::string_view header;
  if (find_header(connection->request, "Connection", &header)) {
    return equal_ignoring_case(header, "keep-alive");
  }
  return connection->request.http_version == "1.1";
}

const char* keep_alive_word(const Connection* connection) {
  return should_keep_alive(connection) ? "keep-alive" : "close";
}

void send_error(Connection* connection, int status, const char* reason, const char* format, ...) {
  connection->status = status;
  HttpServer* server = connection->server;
  if (server->callbacks.http_error && server->callbacks.http_error(connection, status)) return;
  std::string body;
  if (status >= 200 && status != 204 && status != 304) {
    char first[128];
    snprintf(first, sizeof(first), "Error %d: %s\n", status, reason);
    va_list args;
    va_start(args, format);
    body = first + vformat(format, args);
    va_end(args);
  }
  // After an error the connection closes: whatever the client sends next is not trusted to
  // start a request. A body the client did not read would be taken for the next request too.
  if (status >= 400 || connection->content_length < 0 ||
      connection->body_read < connection->content_length) {
    connection->must_close = true;
  }
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason +
                     "\r\nContent-Length: " + std::to_string(body.size()) +
                     "\r\nConnection: " + keep_alive_word(connection) + "\r\n\r\n";
  // A HEAD answer carries the length of the page but not the page.
  if (connection->request.method == "HEAD") body.clear();
  head += body;
  connection->bytes_sent += static_cast<int64_t>(body.size());
  send_bytes(connection, head.data(), head.size());
}

void log_error(const Connection* connection, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = vformat(format, args);
  va_end(args);
  log_server_message(connection->server, connection, message, nullptr);
}

int64_t read_body(Connection* connection, char* data, size_t size) {
  int64_t left = connection->content_length - connection->body_read;
  if (left <= 0) return 0;
  if (static_cast<int64_t>(size) > left) size = static_cast<size_t>(left);
  size_t held = connection->buffered - connection->head_length;
  int64_t got;
  if (held > 0) {
    got = static_cast<int64_t>(held < size ? held : size);
    memcpy(data, connection->buffer + connection->head_length, static_cast<size_t>(got));
    memmove(connection->buffer + connection->head_length,
            connection->buffer + connection->head_length + got, held - static_cast<size_t>(got));
    connection->buffered -= static_cast<size_t>(got);
  } else {
    got = receive_some(connection, data, size,
                       monotonic_ms() + connection->server->request_timeout_ms);
    if (got <= 0) return -1;
  }
  connection->body_read += got;
  return got;
}
