#include "server/static_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace {

// One row of the MIME table.
struct MimeRow {
  const char* extension;  // with its dot
  const char* mime_type;
  const char* category;
};

const MimeRow kMimeTable[] = {
    {".html", "text/html", "HTML"},
    {".htm", "text/html", "HTML"},
    {".shtm", "text/html", "HTML"},
    {".shtml", "text/html", "HTML"},
    {".css", "text/css", "CSS"},
    {".js", "application/x-javascript", "Javascript"},
    {".mjs", "text/javascript", "Javascript"},
    {".wasm", "application/wasm", "Javascript"},
    {".ico", "image/x-icon", "Image"},
    {".gif", "image/gif", "Image"},
    {".jpe", "image/jpeg", "Image"},
    {".jpg", "image/jpeg", "Image"},
    {".jpeg", "image/jpeg", "Image"},
    {".png", "image/png", "Image"},
    {".tif", "image/tiff", "Image"},
    {".tiff", "image/tiff", "Image"},
    {".svg", "image/svg+xml", "Image"},
    {".webp", "image/webp", "Image"},
    {".avif", "image/avif", "Image"},
    {".bmp", "image/bmp", "Image"},
    {".pcx", "image/pcx", "Image"},
    {".tga", "image/tga", "Image"},
    {".txt", "text/plain", "Text"},
    {".ini", "text/plain", "Text"},
    {".config", "text/plain", "Text"},
    {".conf", "text/plain", "Text"},
    {".skin", "text/plain", "Text"},
    {".c", "text/plain", "Text"},
    {".h", "text/plain", "Text"},
    {".cpp", "text/plain", "Text"},
    {".hpp", "text/plain", "Text"},
    {".as", "text/plain", "Text"},
    {".bat", "text/plain", "Text"},
    {".sh", "text/plain", "Text"},
    {".wav", "audio/x-wav", "Audio"},
    {".mp3", "audio/x-mp3", "Audio"},
    {".mid", "audio/mid", "Audio"},
    {".m3u", "audio/x-mpegurl", "Audio"},
    {".ogg", "audio/ogg", "Audio"},
    {".oga", "audio/ogg", "Audio"},
    {".flac", "audio/flac", "Audio"},
    {".anx", "audio/annodex", "Audio"},
    {".ram", "audio/x-pn-realaudio", "Audio"},
    {".m4a", "audio/mp4a-latm", "Audio"},
    {".mpga", "audio/mpeg", "Audio"},
    {".mp2", "audio/mpeg", "Audio"},
    {".xml", "text/xml", "XML"},
    {".json", "text/json", "JSON"},
    {".xslt", "application/xml", "Document"},
    {".xsl", "application/xml", "Document"},
    {".doc", "application/msword", "Document"},
    {".xls", "application/excel", "Document"},
    {".rtf", "application/rtf", "Document"},
    {".pdf", "application/pdf", "PDF"},
    {".exe", "application/octet-stream", "Application"},
    {".zip", "application/x-zip-compressed", "Archive"},
    {".tgz", "application/x-tar-gz", "Archive"},
    {".tar", "application/x-tar", "Archive"},
    {".gz", "application/x-gunzip", "Archive"},
    {".arj", "application/x-arj-compressed", "Archive"},
    {".rar", "application/x-arj-compressed", "Archive"},
    {".7z", "application/x-7z-compressed", "Archive"},
    {".swf", "application/x-shockwave-flash", "Flash"},
    {".ogx", "application/ogg", "Video"},
    {".mpg", "video/mpeg", "Video"},
    {".mov", "video/quicktime", "Video"},
    {".webm", "video/webm", "Video"},
    {".mpeg", "video/mpeg", "Video"},
    {".mp4", "video/mp4", "Video"},
    {".m4v", "video/x-m4v", "Video"},
    {".asf", "video/x-ms-asf", "Video"},
    {".avi", "video/x-msvideo", "Video"},
    {".ogv", "video/ogg", "Video"},
    {".flv", "video/x-flv", "Video"},
    {".f4v", "video/x-flv", "Video"},
    {".bin", "application/octet-stream", "Binary"},
    {".dll", "application/octet-stream", "Binary"},
};

// Icon classes of the listing by table category.
struct IconRow {
  const char* category;
  const char* icon_class;
};

const IconRow kIconTable[] = {
    {"Flash", "ico_swf"},     {"HTML", "ico_html"}, {"XML", "ico_xml"},   {"CSS", "ico_css"},
    {"Javascript", "ico_js"}, {"JSON", "ico_js"},   {"Image", "ico_pic"}, {"Text", "ico_txt"},
    {"Audio", "ico_snd"},     {"PDF", "ico_pdf"},   {"Video", "ico_mov"}, {"Document", "ico_doc"},
    {"Archive", "ico_zip"},
};

const char kPasswordFileName[] = ".htpasswd";  // any path ending so is never served
const size_t kMaxExtension = 12;  // bytes of an extension with its dot, for type and icon
const size_t kFilePiece = 8192;   // bytes read and sent at a time
// Files that may be cached while the no-cache switch is on (images for the testserver) are kept
// by the browser for an hour, a testing session, and then revalidated with their validators.
const char kSessionCacheLine[] = "Cache-Control: private, max-age=3600\r\n";

struct DirCloser {
  void operator()(DIR* dir) const {
    if (dir) closedir(dir);
  }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// Owner of a file descriptor: closes it when it goes out of scope.
struct FileDescriptor {
  int fd = -1;
  explicit FileDescriptor(int opened) : fd(opened) {}
  ~FileDescriptor() {
    if (fd >= 0) close(fd);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
};

// One entry of a folder as the listing shows it.
struct ListingEntry {
  std::string name;
  bool is_directory = false;
  uint64_t size = 0;
  time_t modification_time = 0;
};

bool ends_with_ignoring_case(std::string_view text, std::string_view suffix) {
  return text.size() > suffix.size() &&
         equal_ignoring_case(text.substr(text.size() - suffix.size()), suffix);
}

// Strict UTF-8: no overlong forms, no surrogates, nothing beyond U+10FFFF.
bool valid_utf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    int extra;
    uint32_t code;
    if (lead >= 0xc2 && lead <= 0xdf) {
      extra = 1;
      code = lead & 0x1f;
    } else if (lead >= 0xe0 && lead <= 0xef) {
      extra = 2;
      code = lead & 0x0f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
      extra = 3;
      code = lead & 0x07;
    } else {
      return false;
    }
    if (i + static_cast<size_t>(extra) >= text.size()) return false;
    for (int k = 1; k <= extra; ++k) {
      unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xc0) != 0x80) return false;
      code = code << 6 | (next & 0x3f);
    }
    if ((extra == 2 && code < 0x800) || (extra == 3 && code < 0x10000) || code > 0x10ffff ||
        (code >= 0xd800 && code <= 0xdfff)) {
      return false;
    }
    i += static_cast<size_t>(extra) + 1;
  }
  return true;
}

bool is_name_end_byte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

// The MIME row of an extension (from the last dot of a name, at most kMaxExtension bytes).
const MimeRow* mime_row_for_name(std::string_view name, std::string_view* extension) {
  size_t dot = name.find_last_of('.');
  if (dot == std::string_view::npos) return nullptr;
  *extension = name.substr(dot);
  if (extension->size() > kMaxExtension) return nullptr;
  for (const MimeRow& row : kMimeTable) {
    if (equal_ignoring_case(*extension, row.extension)) return &row;
  }
  return nullptr;
}

// Whether a path relative to the root has a part beginning with a dot ("." alone aside).
bool has_hidden_part(std::string_view relative) {
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string_view::npos) end = relative.size();
    std::string_view part = relative.substr(start, end - start);
    if (!part.empty() && part.front() == '.' && part != ".") return true;
    start = end + 1;
  }
  return false;
}

// Whether a file system path must never be served or listed.
bool must_hide(const HttpServer* server, const std::string& path) {
  const std::string& patterns = server->options[kHideFilesPatterns];
  const size_t name_length = sizeof(kPasswordFileName) - 1;
  return (path.size() >= name_length &&
          equal_ignoring_case(std::string_view(path).substr(path.size() - name_length),
                              kPasswordFileName)) ||
         (!patterns.empty() && match_pattern(patterns, path) > 0);
}

// Whether the real location of a file (links resolved) lies inside the request's folder and
// is not hidden there (a link named innocently may point at a hidden or password file).
bool location_servable(const Connection* connection, const std::string& location) {
  const std::string& root = connection->root;
  if (root.empty() || location.empty() || location.front() != '/') return false;
  size_t length = root == "/" ? 0 : root.size();
  if (root != "/" && (location.compare(0, length, root) != 0 ||
                      (location.size() > length && location[length] != '/'))) {
    return false;
  }
  return !has_hidden_part(std::string_view(location).substr(length)) &&
         !must_hide(connection->server, location);
}

// Resolves a path and checks its real location as above.
bool resolved_path_servable(const Connection* connection, const std::string& path) {
  char resolved[PATH_MAX];
  if (connection->root.empty() || !realpath(path.c_str(), resolved)) return false;
  return location_servable(connection, resolved);
}

// Checks the real location of a file already open, as the kernel recorded it when the links
// of its path were followed. This judges the very file that is then sent (a link changed
// afterwards cannot swap it), at one call instead of one per path part. Where the system does
// not tell the location (no /proc, or the file was removed meanwhile), the path is resolved.
// Only regular files are servable; info takes the open file's size and date.
// location_is_path: the file was opened through no link at all, so its path is its location.
// known: the open file's status when it has been taken already.
bool open_file_servable(const Connection* connection, int fd, const std::string& path,
                        bool location_is_path, const struct stat* known, FileInfo* info) {
  struct stat status;
  if (known) {
    status = *known;
  } else if (fstat(fd, &status) != 0) {
    return false;
  }
  if (!S_ISREG(status.st_mode)) return false;
  info->size = static_cast<uint64_t>(status.st_size);
  info->modification_time = status.st_mtime;
  if (location_is_path) return location_servable(connection, path);
  char link[48];
  snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
  char location[PATH_MAX];
  ssize_t length = readlink(link, location, sizeof(location) - 1);
  static const char kRemoved[] = " (deleted)";
  const size_t removed_length = sizeof(kRemoved) - 1;
  if (length <= 0 || length >= static_cast<ssize_t>(sizeof(location) - 1) ||
      location[0] != '/' ||
      (static_cast<size_t>(length) >= removed_length &&
       memcmp(location + length - removed_length, kRemoved, removed_length) == 0)) {
    return resolved_path_servable(connection, path);
  }
  return location_servable(connection, std::string(location, static_cast<size_t>(length)));
}

void send_open_file(Connection* connection, int fd, const std::string& path,
                    const FileInfo& info);

// Whether a path is absolute and has no "." or ".." part and no repeated or trailing slash:
// when none of its parts is a link, it is then its own real location.
bool plain_absolute_path(std::string_view path) {
  if (path.empty() || path.front() != '/' || (path.size() > 1 && path.back() == '/')) {
    return false;
  }
  size_t start = 1;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    std::string_view part = path.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return path.size() == 1;
    start = end + 1;
  }
  return true;
}

// Opens a file for reading, without waiting, only when no part of its path is a link (the
// kernel refuses links while it follows the path). -1 otherwise, or where the system cannot.
int open_through_no_link(const std::string& path) {
  static std::atomic<bool> unavailable{false};
  if (unavailable.load(std::memory_order_relaxed)) return -1;
  open_how how = {};
  how.flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  long fd = syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof(how));
  if (fd < 0 && (errno == ENOSYS || errno == EPERM)) {
    unavailable.store(true, std::memory_order_relaxed);
  }
  return static_cast<int>(fd);
}

// Whether answers of this type may be kept by the browser: always without the no-cache switch;
// with it, only when it is limited to text and this is not text ("app…" or "text…" types).
bool may_be_cached(const HttpServer* server, const std::string& mime) {
  if (!server->no_cache.load()) return true;
  if (!server->no_cache_text_only.load()) return false;
  return mime.compare(0, 3, "app") != 0 && mime.compare(0, 4, "text") != 0;
}

// Whether an If-None-Match list ("*" or entity tags, weak ones with "W/") names this tag.
bool entity_tag_listed(std::string_view list, const std::string& etag) {
  while (!list.empty()) {
    size_t comma = list.find(',');
    std::string_view tag = list.substr(0, comma);
    list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
    while (!tag.empty() && (tag.front() == ' ' || tag.front() == '\t')) tag.remove_prefix(1);
    while (!tag.empty() && (tag.back() == ' ' || tag.back() == '\t')) tag.remove_suffix(1);
    if (tag.substr(0, 2) == "W/") tag.remove_prefix(2);
    if (tag == "*" || equal_ignoring_case(tag, etag)) return true;
  }
  return false;
}

bool not_modified(const Connection* connection, const FileInfo& info, const std::string& etag,
                  const std::string& mime) {
  if (!may_be_cached(connection->server, mime)) return false;
  std::string_view value;
  // With both validators, the entity tag decides.
  if (find_header(connection->request, "If-None-Match", &value)) {
    return entity_tag_listed(value, etag);
  }
  time_t since = 0;
  return find_header(connection->request, "If-Modified-Since", &value) &&
         parse_http_date(value, &since) && info.modification_time <= since;
}

std::string entity_tag(const FileInfo& info);

// If-Range: the range applies only while the file still has the validator the client holds
// (its entity tag, or its exact Last-Modified date).
bool range_still_wanted(const Connection* connection, const FileInfo& info) {
  std::string_view value;
  if (!find_header(connection->request, "If-Range", &value)) return true;
  if (!value.empty() && (value.front() == '"' || value.substr(0, 2) == "W/")) {
    return value == entity_tag(info);
  }
  return value == format_http_date(info.modification_time);
}

// The 304 answer: no body, and the validators and caching lines a 200 would have carried.
void send_not_modified(Connection* connection, const FileInfo& info) {
  HttpServer* server = connection->server;
  connection->status = 304;
  send_formatted(connection,
                 "HTTP/1.1 304 Not Modified\r\nDate: %s\r\nLast-Modified: %s\r\nEtag: %s\r\n%s%s"
                 "Content-Length: 0\r\nConnection: %s\r\n\r\n",
                 format_http_date(time(nullptr)).c_str(),
                 format_http_date(info.modification_time).c_str(), entity_tag(info).c_str(),
                 server->no_cache.load() ? kSessionCacheLine : "",
                 server->cors.load() ? "Access-Control-Allow-Origin: *\r\n" : "",
                 keep_alive_word(connection));
}

std::string entity_tag(const FileInfo& info) {
  char text[64];
  snprintf(text, sizeof(text), "\"%lx.%" PRId64 "\"",
           static_cast<unsigned long>(info.modification_time), static_cast<int64_t>(info.size));
  return text;
}

// Sends file bytes [first, first + length): straight from the file system cache without a
// speed limit, else in pieces within per-second budgets.
void send_file_data(Connection* connection, int fd, int64_t first, int64_t length) {
  int64_t limit = connection->speed_limit;
  if (limit <= 0) {
    connection->bytes_sent += send_file_range(connection, fd, first, length);
    return;
  }
  char piece[kFilePiece];
  int64_t budget_used = 0;
  while (length > 0) {
    size_t want = static_cast<size_t>(length < static_cast<int64_t>(sizeof(piece))
                                          ? length
                                          : static_cast<int64_t>(sizeof(piece)));
    if (limit > 0) {
      if (budget_used >= limit) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        budget_used = 0;
      }
      if (static_cast<int64_t>(want) > limit - budget_used) {
        want = static_cast<size_t>(limit - budget_used);
      }
    }
    ssize_t got = pread(fd, piece, want, static_cast<off_t>(first));
    if (got <= 0) break;
    int64_t sent = send_bytes(connection, piece, static_cast<size_t>(got), length > got);
    connection->bytes_sent += sent;
    if (sent != got) break;
    if (static_cast<size_t>(got) < want) break;
    first += got;
    length -= got;
    budget_used += got;
  }
}

// Reads a folder's entries for a listing; false when it cannot be read (errno set).
bool read_listing_entries(const Connection* connection, const std::string& directory,
                          std::vector<ListingEntry>* entries) {
  DirPtr dir(opendir(directory.c_str()));
  if (!dir) return false;
  const HttpServer* server = connection->server;
  std::string base = directory;
  if (base.empty() || base.back() != '/') base += '/';
  while (dirent* item = readdir(dir.get())) {
    std::string_view name = item->d_name;
    if (name.empty() || name.front() == '.') continue;  // ".", ".." and hidden entries
    std::string full = base + item->d_name;
    if (must_hide(server, full)) continue;
    struct stat status;
    if (lstat(full.c_str(), &status) != 0) continue;
    if (S_ISLNK(status.st_mode) &&
        (!resolved_path_servable(connection, full) || stat(full.c_str(), &status) != 0)) {
      continue;
    }
    ListingEntry entry;
    entry.name = item->d_name;
    entry.is_directory = S_ISDIR(status.st_mode);
    entry.size = static_cast<uint64_t>(status.st_size);
    entry.modification_time = status.st_mtime;
    entries->push_back(std::move(entry));
  }
  return true;
}

int compare_ignoring_case(std::string_view a, std::string_view b) {
  size_t common = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < common; ++i) {
    int x = tolower(static_cast<unsigned char>(a[i]));
    int y = tolower(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// The type key of a file: files without an extension first, then files whose extension has
// no table entry (by extension), then by category and extension. A total order, so that the
// sort is well defined for any mix of names.
int compare_types(const ListingEntry& a, const ListingEntry& b) {
  size_t dot_a = a.name.find_last_of('.');
  size_t dot_b = b.name.find_last_of('.');
  bool has_a = dot_a != std::string::npos;
  bool has_b = dot_b != std::string::npos;
  if (has_a != has_b) return has_a ? 1 : -1;
  if (!has_a) return 0;
  std::string_view extension_a, extension_b;
  const MimeRow* row_a = mime_row_for_name(a.name, &extension_a);
  const MimeRow* row_b = mime_row_for_name(b.name, &extension_b);
  std::string_view category_a = row_a ? row_a->category : "";
  std::string_view category_b = row_b ? row_b->category : "";
  int result = compare_ignoring_case(category_a, category_b);
  if (result != 0) return result;
  return compare_ignoring_case(std::string_view(a.name).substr(dot_a + 1),
                               std::string_view(b.name).substr(dot_b + 1));
}

int compare_by_key(const ListingEntry& a, const ListingEntry& b, char key) {
  switch (key) {
    case 'n':
      return compare_ignoring_case(a.name, b.name);
    case 't':
      return compare_types(a, b);
    case 's':
      return a.size == b.size ? 0 : (a.size < b.size ? -1 : 1);
    case 'd':
      return a.modification_time == b.modification_time
                 ? 0
                 : (a.modification_time < b.modification_time ? -1 : 1);
    default:
      return 0;
  }
}

// Directories first (by name, descending when the order holds "nu"), then files by the keys.
bool listing_before(const ListingEntry& a, const ListingEntry& b, const char* order) {
  if (a.is_directory != b.is_directory) return a.is_directory;
  if (a.is_directory) {
    int result = compare_ignoring_case(a.name, b.name);
    return strstr(order, "nu") ? result > 0 : result < 0;
  }
  for (int pair = 0; pair < 4; ++pair) {
    int result = compare_by_key(a, b, order[pair * 2]);
    if (order[pair * 2 + 1] == 'u') result = -result;
    if (result != 0) return result < 0;
  }
  return false;
}

const char* sort_class(const char* order, char key) {
  if (order[0] != key) return "";
  return order[1] == 'u' ? " sort_up" : " sort_dn";
}

std::string local_listing_date(time_t time) {
  struct tm fields;
  localtime_r(&time, &fields);
  char text[64];
  strftime(text, sizeof(text), "%Y-%m-%d&nbsp;%H:%M", &fields);
  return text;
}

std::string string_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string string_printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int length = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(length > 0 ? static_cast<size_t>(length) + 1 : 1, '\0');
  if (length > 0) vsnprintf(&text[0], text.size(), format, args);
  va_end(args);
  text.resize(length > 0 ? static_cast<size_t>(length) : 0);
  return text;
}

void send_propfind_entry(std::string* out, const std::string& href, bool is_directory,
                         uint64_t size, time_t modification_time) {
  *out += string_printf(
      "<d:response><d:href>%s</d:href><d:propstat><d:prop><d:resourcetype>%s</d:resourcetype>"
      "<d:getcontentlength>%" PRId64
      "</d:getcontentlength><d:getlastmodified>%s"
      "</d:getlastmodified></d:prop><d:status>HTTP/1.1 200 OK</d:status></d:propstat>"
      "</d:response>\n",
      html_escape(url_encode_path(href)).c_str(), is_directory ? "<d:collection/>" : "",
      static_cast<int64_t>(size), format_http_date(modification_time).c_str());
}

void send_propfind(Connection* connection, const std::string& path, const FileInfo& info) {
  connection->status = 207;
  connection->must_close = true;
  std::string body = "<?xml version=\"1.0\" encoding=\"utf-8\"?><d:multistatus xmlns:d='DAV:'>\n";
  send_propfind_entry(&body, connection->path, info.is_directory, info.size,
                      info.modification_time);
  std::string_view depth;
  bool shallow = find_header(connection->request, "Depth", &depth) && depth == "0";
  std::vector<ListingEntry> entries;
  if (info.is_directory && connection->server->listing_enabled && !shallow &&
      read_listing_entries(connection, path, &entries)) {
    for (const ListingEntry& entry : entries) {
      send_propfind_entry(&body, connection->path + entry.name, entry.is_directory, entry.size,
                          entry.modification_time);
    }
  }
  body += "</d:multistatus>\n";
  send_formatted(connection,
                 "HTTP/1.1 207 Multi-Status\r\nConnection: close\r\n"
                 "Content-Type: text/xml; charset=utf-8\r\n\r\n");
  connection->bytes_sent += send_bytes(connection, body.data(), body.size());
}

// Replaces a folder path by its first existing index file; false when there is none.
bool find_index_file(const Connection* connection, std::string* path, FileInfo* info) {
  std::string folder = *path;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  std::string_view names = connection->server->options[kIndexFiles];
  while (!names.empty()) {
    size_t comma = names.find(',');
    std::string_view name = names.substr(0, comma);
    names.remove_prefix(comma == std::string_view::npos ? names.size() : comma + 1);
    if (name.empty()) continue;
    std::string candidate = folder + "/" + std::string(name);
    if (candidate.size() > kMaxFilePath) continue;
    FileInfo found;
    if (lookup_file(candidate, &found) && !found.is_directory &&
        resolved_path_servable(connection, candidate)) {
      *path = candidate;
      *info = found;
      return true;
    }
  }
  return false;
}

// A missing path below an existing script matching the CGI pattern names that script.
bool split_script_path(const Connection* connection, std::string* path, FileInfo* info) {
  const std::string& pattern = connection->server->options[kCgiPattern];
  if (pattern.empty()) return false;
  for (size_t slash = path->find_last_of('/'); slash != std::string::npos && slash > 0;
       slash = path->find_last_of('/', slash - 1)) {
    std::string candidate = path->substr(0, slash);
    FileInfo found;
    if (match_pattern(pattern, candidate) > 0 && lookup_file(candidate, &found) &&
        !found.is_directory) {
      *path = candidate;
      *info = found;
      return true;
    }
  }
  return false;
}

}  // namespace

int path_status(const Connection* connection, const std::string& path, struct stat* status) {
  if (!connection->status_known || connection->status_path != path) {
    connection->path_file.reset();
    connection->path_file_plain = false;
    // Only a path without links is opened before it is known to name a regular file: links
    // might lead to a device, which must not even be opened.
    int fd = plain_absolute_path(path) ? open_through_no_link(path) : -1;
    if (fd >= 0 && fstat(fd, &connection->path_stat) == 0) {
      connection->status_result = 0;
      if (S_ISREG(connection->path_stat.st_mode)) {
        connection->path_file.fd = fd;
        connection->path_file_plain = true;
        fd = -1;
      }
    } else {
      connection->status_result = stat(path.c_str(), &connection->path_stat);
    }
    if (fd >= 0) close(fd);
    connection->status_path = path;
    connection->status_known = true;
  }
  *status = connection->path_stat;
  return connection->status_result;
}

namespace {

// lookup_file, with the path's status asked through the request when there is one.
bool lookup_path(const Connection* connection, const std::string& path, FileInfo* info);

}  // namespace

bool lookup_file(const std::string& path, FileInfo* info) {
  return lookup_path(nullptr, path, info);
}

namespace {

bool lookup_path(const Connection* connection, const std::string& path, FileInfo* info) {
  *info = FileInfo();
  if (path.empty() || path.size() > kMaxFilePath) return false;
  std::string unified;
  unified.reserve(path.size());
  for (size_t i = 0; i < path.size(); ++i) {
    char c = path[i] == '\\' ? '/' : path[i];
    if (c == '/' && i > 0 && !unified.empty() && unified.back() == '/') continue;
    unified.push_back(c);
  }
  if (!valid_utf8(unified)) return false;
  struct stat status;
  int result = connection ? path_status(connection, unified, &status)
                          : stat(unified.c_str(), &status);
  if (result != 0) return false;
  info->is_directory = S_ISDIR(status.st_mode);
  if (!info->is_directory && !S_ISREG(status.st_mode)) return false;  // devices, pipes, sockets
  std::string_view name = unified;
  while (name.size() > 1 && name.back() == '/') name.remove_suffix(1);
  size_t slash = name.find_last_of('/');
  if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
  if (!info->is_directory && !is_name_end_byte(unified.back())) return false;
  info->is_hidden = !name.empty() && name.front() == '.';
  info->modification_time = status.st_mtime;
  info->size = static_cast<uint64_t>(status.st_size);
  return true;
}

}  // namespace

std::string mime_type_for(std::string_view path, std::string_view extra_mime_types) {
  while (!extra_mime_types.empty()) {
    size_t comma = extra_mime_types.find(',');
    std::string_view entry = extra_mime_types.substr(0, comma);
    extra_mime_types.remove_prefix(comma == std::string_view::npos ? extra_mime_types.size()
                                                                   : comma + 1);
    size_t equals = entry.find('=');
    if (equals == std::string_view::npos || equals == 0) continue;
    if (ends_with_ignoring_case(path, entry.substr(0, equals))) {
      return std::string(entry.substr(equals + 1));
    }
  }
  for (const MimeRow& row : kMimeTable) {
    if (ends_with_ignoring_case(path, row.extension)) return row.mime_type;
  }
  return "text/plain";
}

const char* mime_category_for(std::string_view name) {
  std::string_view extension;
  const MimeRow* row = mime_row_for_name(name, &extension);
  return row ? row->category : "";
}

std::string listing_size_text(uint64_t size, bool is_directory) {
  if (is_directory) return "&nbsp;";
  char text[32];
  double value = static_cast<double>(size);
  if (size < 1024) {
    snprintf(text, sizeof(text), "%d", static_cast<int>(size));
  } else if (size < 1024 * 1024) {
    snprintf(text, sizeof(text), "%.1fk", value / 1024.0);
  } else if (size < 1024ull * 1024 * 1024) {
    snprintf(text, sizeof(text), "%.1fM", value / (1024.0 * 1024.0));
  } else {
    snprintf(text, sizeof(text), "%.1fG", value / (1024.0 * 1024.0 * 1024.0));
  }
  return text;
}

const char* listing_icon_class(std::string_view name, bool is_directory, bool* hilight) {
  *hilight = false;
  if (is_directory) return "ico_dir";
  std::string_view extension;
  const MimeRow* row = mime_row_for_name(name, &extension);
  if (!row) return "ico_def";
  if (strcmp(row->category, "Image") == 0 &&
      (equal_ignoring_case(extension, ".jpg") || equal_ignoring_case(extension, ".jpeg"))) {
    return "ico_img";
  }
  for (const IconRow& icon : kIconTable) {
    if (strcmp(icon.category, row->category) == 0) {
      *hilight = strcmp(row->category, "HTML") == 0;
      return icon.icon_class;
    }
  }
  return "ico_def";
}

void handle_static_request(Connection* connection, std::string path) {
  HttpServer* server = connection->server;
  FileInfo info;
  bool found = lookup_path(connection, path, &info) || split_script_path(connection, &path, &info);
  if (found) {
    for (char& c : path) {
      if (c == '\\') c = '/';
    }
  }
  // A file is opened before it is judged, and the open file is what is judged and sent. It is
  // opened without waiting: a pipe put in its place meanwhile is refused, not waited on. A path
  // without links is its own location; one with links is judged where the links lead.
  FileDescriptor file(-1);
  bool location_is_path = false;
  const struct stat* known = nullptr;
  if (found && !info.is_directory) {
    if (connection->status_known && connection->path_file.fd >= 0 &&
        connection->status_path == path) {
      // Opened when the path was first looked at.
      std::swap(file.fd, connection->path_file.fd);
      location_is_path = connection->path_file_plain;
      known = &connection->path_stat;
    } else {
      if (plain_absolute_path(path)) file.fd = open_through_no_link(path);
      location_is_path = file.fd >= 0;
      if (file.fd < 0) file.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    }
  }
  bool servable =
      found && (file.fd >= 0 ? open_file_servable(connection, file.fd, path, location_is_path,
                                                  known, &info)
                             : resolved_path_servable(connection, path));
  if (!servable) {
    send_error(connection, 404, "Not Found", "%s", "File not found");
    return;
  }
  if (must_hide(server, path) || has_hidden_part(connection->path)) {
    send_error(connection, 404, "Not Found", "%s", "File not found");
    return;
  }
  if (info.is_directory && (connection->path.empty() || connection->path.back() != '/')) {
    connection->status = 301;
    connection->must_close = true;
    send_formatted(connection, "HTTP/1.1 301 Moved Permanently\r\nLocation: %s/\r\n\r\n",
                   url_encode_path(connection->path).c_str());
    return;
  }
  if (connection->request.method == "PROPFIND") {
    send_propfind(connection, path, info);
    return;
  }
  if (info.is_directory && find_index_file(connection, &path, &info)) {
    // the index file is answered like any file
  }
  if (!info.is_directory) {
    if (not_modified(connection, info, entity_tag(info),
                     mime_type_for(path, server->options[kExtraMimeTypes]))) {
      send_not_modified(connection, info);
    } else if (file.fd >= 0) {
      send_open_file(connection, file.fd, path, info);
    } else {
      send_file(connection, path, info);  // an index file, or one that could not be opened
    }
  } else if (!server->listing_enabled) {
    send_error(connection, 403, "Directory Listing Denied", "%s", "Directory listing denied");
  } else {
    send_listing(connection, path);
  }
}

void send_file(Connection* connection, const std::string& path, const FileInfo& info) {
  if (connection->collect_output && connection->speed_limit > 0) {
    connection->needs_worker = true;  // a throttled answer waits between its pieces
    return;
  }
  FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.fd < 0) {
    send_error(connection, 500, "Internal Server Error", "fopen(%s): %s", path.c_str(),
               strerror(errno));
    return;
  }
  send_open_file(connection, file.fd, path, info);
}

namespace {

// Sends an open file as send_file does.
void send_open_file(Connection* connection, int fd, const std::string& path,
                    const FileInfo& info) {
  if (connection->collect_output && connection->speed_limit > 0) {
    connection->needs_worker = true;
    return;
  }
  HttpServer* server = connection->server;
  std::string mime = mime_type_for(path, server->options[kExtraMimeTypes]);
  int64_t size = static_cast<int64_t>(info.size);
  int64_t first = 0;
  int64_t length = size;
  int status = 200;
  const char* reason = "OK";
  char range_line[128] = "";
  std::string_view range;
  ByteRange wanted;
  if (find_header(connection->request, "Range", &range) && range_still_wanted(connection, info)) {
    wanted = resolve_byte_range(range, size);
  }
  if (wanted.answer == RangeAnswer::kUnsatisfiable) {
    connection->status = 416;
    send_formatted(connection,
                   "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes "
                   "*/%" PRId64 "\r\nContent-Length: 0\r\nConnection: %s\r\n\r\n",
                   size, keep_alive_word(connection));
    return;
  }
  if (wanted.answer == RangeAnswer::kPart) {
    status = 206;
    reason = "Partial Content";
    first = wanted.first;
    length = wanted.length;
    snprintf(range_line, sizeof(range_line),
             "Content-Range: bytes %" PRId64 "-%" PRId64 "/%" PRId64 "\r\n", first,
             first + length - 1, size);
  }
  connection->status = status;
  std::string date = format_http_date(time(nullptr));
  std::string last_modified = format_http_date(info.modification_time);
  const char* no_cache_lines = "";
  if (!may_be_cached(server, mime)) {
    last_modified = date;
    no_cache_lines = "Cache-Control: no-cache, must-revalidate\r\nPragma: no-cache\r\n";
  } else if (server->no_cache.load()) {
    no_cache_lines = kSessionCacheLine;
  }
  const char* cors_line = server->cors.load() ? "Access-Control-Allow-Origin: *\r\n" : "";
  bool head_only = connection->request.method == "HEAD";
  std::string head = string_printf(
      "HTTP/1.1 %d %s\r\nDate: %s\r\nLast-Modified: %s\r\nEtag: %s\r\n%s%s"
      "Content-Type: %s\r\nContent-Length: %" PRId64
      "\r\nConnection: %s\r\nAccept-Ranges: bytes\r\n%s\r\n",
      status, reason, date.c_str(), last_modified.c_str(), entity_tag(info).c_str(),
      no_cache_lines, cors_line, mime.c_str(), length, keep_alive_word(connection), range_line);
  // The head waits for the first body bytes, so that a small file goes out in one packet.
  send_bytes(connection, head.data(), head.size(), !head_only && length > 0);
  if (head_only) return;
  int64_t before = connection->bytes_sent;
  send_file_data(connection, fd, first, length);
  // A file that shrank meanwhile leaves the answer short: only closing can end it then.
  if (connection->bytes_sent - before != length) connection->must_close = true;
}

}  // namespace

void send_listing(Connection* connection, const std::string& directory) {
  HttpServer* server = connection->server;
  std::vector<ListingEntry> entries;
  if (!read_listing_entries(connection, directory, &entries)) {
    send_error(connection, 500, "Cannot open directory", "Error: opendir(%s): %s",
               directory.c_str(), strerror(errno));
    return;
  }
  char order[9];
  {
    std::lock_guard<std::mutex> guard(server->listing_lock);
    size_t sort = connection->query_string.find("sort=");
    if (sort != std::string_view::npos) {
      apply_sort_request(server->listing_order, connection->query_string.substr(sort + 5, 4));
    }
    memcpy(order, server->listing_order, sizeof(order));
  }
  std::stable_sort(entries.begin(), entries.end(),
                   [&order](const ListingEntry& a, const ListingEntry& b) {
                     return listing_before(a, b, order);
                   });

  std::string_view title = directory;
  while (title.size() > 1 && title.back() == '/') title.remove_suffix(1);
  size_t slash = title.find_last_of('/');
  if (slash != std::string_view::npos && title.size() > 1) title.remove_prefix(slash + 1);
  std::string href_base = html_escape(url_encode_path(connection->path));

  std::string page = string_printf(
      "<!DOCTYPE html>\n<html>\n<head>\n<title>%s</title>\n</head>\n<body>\n<div "
      "class=\"page\">\n<div class=\"pageinner\">\n<div class=\"listingcontainer\">\n<table "
      "class=\"listing\">\n<tr><th class=\"th_name\" colspan=\"2\"><a "
      "href=\"?sort=name\">Name</a><div class=\"sort%s\"></div></th><th class=\"th_type\"><a "
      "href=\"?sort=type\">Type</a><div class=\"sort%s\"></div></th><th class=\"th_size\"><a "
      "href=\"?sort=size\">Size</a><div class=\"sort%s\"></div></th><th class=\"th_date\"><div "
      "class=\"sort%s\"></div><a href=\"?sort=date\">Last&nbsp;Modified</a></th></tr>\n",
      html_escape(title).c_str(), sort_class(order, 'n'), sort_class(order, 't'),
      sort_class(order, 's'), sort_class(order, 'd'));
  if (connection->path != "/") {
    page += string_printf(
        "<tr class=\"tr_item\"><td class=\"td_icon\"><div class=\"icon ico_pdir\"></div></td><td "
        "class=\"td_name\"><a href=\"%s%s\">%s</a></td><td class=\"td_type\">%s</td><td "
        "class=\"td_size\">%s</td><td class=\"td_date\">%s</td></tr>\n",
        href_base.c_str(), "..", "Parent directory", "&nbsp;", "&nbsp;", "&nbsp;");
  }
  for (const ListingEntry& entry : entries) {
    bool hilight = false;
    const char* icon = listing_icon_class(entry.name, entry.is_directory, &hilight);
    const char* separator = entry.is_directory ? "/" : "";
    std::string name = html_escape(entry.name);
    page += string_printf(
        "<tr class=\"tr_item%s\"><td class=\"td_icon\"><div class=\"icon %s\"></div></td><td "
        "class=\"td_name\"><a href=\"%s%s%s\">%s%s</a></td><td class=\"td_type\">%s</td><td "
        "class=\"td_size\">%s</td><td class=\"td_date\">%s</td></tr>\n",
        hilight ? " hilight" : "", icon, href_base.c_str(), url_encode_name(entry.name).c_str(),
        separator, name.c_str(), separator, entry.is_directory ? "" : mime_category_for(entry.name),
        listing_size_text(entry.size, entry.is_directory).c_str(),
        local_listing_date(entry.modification_time).c_str());
  }
  page += "</table>\n</div>\n</div>\n</div>\n</body>\n</html>";
  connection->status = 200;
  connection->must_close = true;
  send_formatted(connection,
                 "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/html; "
                 "charset=utf-8\r\n\r\n");
  connection->bytes_sent += send_bytes(connection, page.data(), page.size());
}
