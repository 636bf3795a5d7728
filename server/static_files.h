// What the server does with a request for a file or a folder below the document root: path
// lookup, the 404/301/403/304 decisions, file answers with ranges, the MIME table, folder
// listings with sortable columns, and WebDAV PROPFIND answers.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "server/connection.h"

// What lookup_file found. A path exists when modification_time is not 0.
struct FileInfo {
  bool is_directory = false;
  bool is_hidden = false;        // the name begins with a dot
  time_t modification_time = 0;  // seconds since 1970-01-01 UTC
  uint64_t size = 0;
};

// Looks a path up. Separators are unified and runs of them collapsed; invalid UTF-8, and
// files (not folders) whose name does not end in a letter, digit, "_" or "-", are not found.
bool lookup_file(const std::string& path, FileInfo* info);

// The MIME type of a path from the extra list ("ext=type,…") or the table; "text/plain" when
// neither knows the extension.
std::string mime_type_for(std::string_view path, std::string_view extra_mime_types);

// The MIME table category ("Image", "HTML", …) of a file name's extension (from its last dot,
// at most 12 characters with the dot); empty when the table has no such extension.
const char* mime_category_for(std::string_view name);

// Listing helpers: the size column text, and the icon class (hilight set for HTML files).
std::string listing_size_text(uint64_t size, bool is_directory);
const char* listing_icon_class(std::string_view name, bool is_directory, bool* hilight);

// Handles a GET, HEAD, POST or PROPFIND for the file system path of the current request.
void handle_static_request(Connection* connection, std::string path);

// Sends a file with the head of a 200 or 206 answer (ranges, no-cache, cross-origin).
void send_file(Connection* connection, const std::string& path, const FileInfo& info);

// Sends the HTML listing of a folder, ordered by the server's listing order.
void send_listing(Connection* connection, const std::string& directory);
