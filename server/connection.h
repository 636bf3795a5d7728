// What a request handler sees of the HTTP/1.1 server: the option table, the server's settings
// and switches, one connection, and the helpers that send answers. The threads, the socket queue
// and the listening sockets stay inside the server core (http_server.cpp).
#pragma once

#include <netinet/in.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/http_parse.h"

// Slots of the option table, in table order.
enum ServerOption : int {
  kCgiPattern,
  kCgiEnvironment,
  kPutDeleteAuthFile,
  kCgiInterpreter,
  kProtectUri,
  kAuthenticationDomain,
  kSsiPattern,
  kThrottle,
  kAccessLogFile,
  kEnableDirectoryListing,
  kErrorLogFile,
  kGlobalAuthFile,
  kIndexFiles,
  kEnableKeepAlive,
  kAccessControlList,
  kExtraMimeTypes,
  kListeningPorts,
  kDocumentRoot,
  kSslCertificate,
  kNumThreads,
  kRunAsUser,
  kUrlRewritePatterns,
  kHideFilesPatterns,
  kRequestTimeoutMs,
  kServerOptionCount
};

// One option: its name and its default (null when it has none).
struct ServerOptionRow {
  const char* name;
  const char* default_value;
};

// The kServerOptionCount rows of the option table, in slot order.
const ServerOptionRow* server_option_table();

constexpr size_t kRequestBufferSize = 16384;  // bytes; a request head must fit in it
constexpr size_t kMaxFilePath = 4095;         // bytes of a file system path (PATH_MAX - 1)

struct Connection;

// An open file descriptor, closed when the handle is dropped or reset.
struct FileHandle {
  int fd = -1;
  FileHandle() = default;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() { reset(); }
  void reset();
};

// An open file whose bytes [offset, offset + remaining) are still to go out behind an answer's
// text; the file is closed when the part is dropped.
struct PendingFile {
  FileHandle file;
  int64_t offset = 0;
  int64_t remaining = 0;
  void reset();
};

// Optional request callbacks; every entry may be null (the testserver installs none).
struct HttpCallbacks {
  int (*begin_request)(Connection* connection) = nullptr;  // non-zero: request answered
  void (*end_request)(const Connection* connection, int status) = nullptr;
  int (*log_message)(const Connection* connection, const char* message) = nullptr;  // 1: taken
  int (*init_secure_layer)(void* context, void* user_data) = nullptr;
  int (*websocket_connect)(const Connection* connection) = nullptr;
  void (*websocket_ready)(Connection* connection) = nullptr;
  int (*websocket_data)(Connection* connection, int bits, char* data, size_t length) = nullptr;
  const char* (*open_file)(const Connection* connection, const char* path,
                           size_t* length) = nullptr;
  void (*init_script)(Connection* connection, void* state) = nullptr;
  void (*upload)(Connection* connection, const char* file_name) = nullptr;
  int (*http_error)(Connection* connection, int status) = nullptr;  // non-zero: answered
};

// The listening sockets, worker threads and socket queue of a running server (private to the
// server core).
struct ServerRuntime;
struct ServerRuntimeDeleter {
  void operator()(ServerRuntime* runtime) const;
};

// The server context. Options and the parsed forms below them are read-only while serving;
// the runtime switches are written by the embedding tool, possibly while requests run.
struct HttpServer {
  std::string options[kServerOptionCount];  // values; empty when an option has none
  HttpCallbacks callbacks;
  void* user_data = nullptr;

  // Runtime switches.
  std::atomic<int64_t> speed_limit{0};          // bytes per second per connection, 0 = off
  std::atomic<bool> no_cache{false};            // file answers carry no-cache headers, never 304
  std::atomic<bool> no_cache_text_only{false};  // no-cache only for "app…" and "text…" types
  std::atomic<bool> cors{false};                // file answers allow every origin
  int bound_port = 0;                           // the port actually bound

  // Listing order (see apply_sort_request), server-wide, changed under listing_lock.
  char listing_order[9] = {};
  std::mutex listing_lock;

  // The listening sockets, threads and socket queue: the server's own business.
  std::unique_ptr<ServerRuntime, ServerRuntimeDeleter> runtime;

  // Options in parsed form.
  std::vector<AccessRule> access_rules;
  std::string canonical_root;  // document_root with links resolved, no trailing "/"; "" = none
  int request_timeout_ms = 30000;
  bool keep_alive_enabled = false;
  bool listing_enabled = true;
};

// One client connection. The polling thread reads its request heads and answers the plain
// ones itself (GET and HEAD without a body): their answers are collected in output and written
// as the socket takes them, so that no client can make that thread wait. Requests that read a
// body, are throttled or go to the embedding program's callbacks are answered by one worker
// thread at a time, which may wait on the socket.
struct Connection {
  HttpServer* server = nullptr;
  int socket = -1;
  sockaddr_in remote = {};
  char remote_text[16] = {};  // dotted remote address
  bool secure = false;
  bool redirect = false;
  char buffer[kRequestBufferSize];
  size_t buffered = 0;            // bytes held in buffer
  size_t head_length = 0;         // bytes of the current request head at the start of buffer
  HttpRequest request;            // the current request; views into buffer
  std::string path;               // decoded and cleaned request path (no query string)
  std::string root;               // canonical folder the request's file must stay in, "" = none
  std::string_view query_string;  // after the first "?", empty when none
  int64_t content_length = 0;     // request body bytes, -1 = unknown
  int64_t body_read = 0;          // body bytes consumed so far
  int status = -1;                // status sent, -1 before an answer
  int64_t bytes_sent = 0;         // body bytes sent
  time_t birth_time = 0;
  bool must_close = false;
  std::string remote_user;
  int64_t speed_limit = 0;       // bytes per second, 0 = off
  int64_t read_deadline_ms = 0;  // monotonic milliseconds by which the request head must be in
  int64_t wait_started_ms = 0;   // monotonic milliseconds when it began to wait for a head
  int64_t requests_seen = 0;     // request heads taken from this connection so far

  // Collected answers (the polling thread's requests): while collect_output is set, the send
  // helpers append to output, and a file part larger than a copy goes into output_file.
  bool collect_output = false;
  bool needs_worker = false;      // the current request cannot be answered without waiting
  std::string output;             // answer bytes not yet written
  size_t output_sent = 0;         // bytes of output already written
  PendingFile output_file;        // file bytes to write after output
  bool writing = false;           // waits for the socket to take the rest of an answer
  bool close_after_write = false; // the connection ends once the answer is out
  bool dealt = false;             // the master has given it to a polling thread

  // The file status of one path, taken once per request (see path_status), and the file
  // itself when it was opened for that.
  mutable bool status_known = false;
  mutable int status_result = -1;
  mutable std::string status_path;
  mutable struct stat path_stat = {};
  mutable FileHandle path_file;          // the regular file at status_path, or none
  mutable bool path_file_plain = false;  // opened through no link: its path is its location
};

// stat() of a path, asked of the file system once per request: the authorisation and the file
// lookup of one request look at the same path. A regular file reached through no link is
// opened for that (and its status taken from the open file), so that the answer reads the
// file that was looked at.
int path_status(const Connection* connection, const std::string& path, struct stat* status);

// Value of an option slot (empty when it has none).
const std::string& server_option(const HttpServer* server, ServerOption option);
// Whether an option text says "yes" (any letter case).
bool option_is_yes(const std::string& value);

// Sends bytes, waiting while the peer is slow but not past the request time-out; returns the
// bytes sent (fewer when the peer stops taking data). more: further data follows at once.
// While the connection collects its output, the bytes are appended to it instead.
int64_t send_bytes(Connection* connection, const void* data, size_t size, bool more = false);
// Sends bytes [first, first + length) of an open file straight from the file system cache,
// with the same waiting rules; returns the bytes sent (fewer at end of file or when the peer
// stops taking data). While the connection collects its output, a small range is copied into
// it and a larger one is kept open as its pending file part.
int64_t send_file_range(Connection* connection, int fd, int64_t first, int64_t length);
// Formats and sends text; returns the bytes sent.
int64_t send_formatted(Connection* connection, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// "keep-alive" or "close" for the Connection header of the current answer.
const char* keep_alive_word(const Connection* connection);
bool should_keep_alive(const Connection* connection);

// Answers with an error page: "Error %d: %s\n" and the formatted text (no body for 204, 304
// and statuses below 200).
void send_error(Connection* connection, int status, const char* reason, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// Writes a line to the error log (or the log-message callback).
void log_error(const Connection* connection, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Whether the real location of an existing path lies inside base (a canonical folder path);
// links are resolved first, so a link out of base is outside.
bool path_inside(const std::string& path, const std::string& base);

// Receives request body bytes into data (buffered bytes first); returns the count, 0 at the end
// of the body, -1 when the peer breaks off.
int64_t read_body(Connection* connection, char* data, size_t size);

// Monotonic clock in milliseconds.
int64_t monotonic_ms();
