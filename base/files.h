// File access by UTF-8 name, whole-file and text-file helpers, directories and listings,
// and the program's own path.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// Owner of a stdio stream: closes it when it goes out of scope.
struct FileCloser {
  void operator()(FILE* file) const {
    if (file) fclose(file);
  }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Opens a stream by UTF-8 name with a stdio mode ("rb", "wb", "ab" …); null on failure. Reading
// modes ("r…") open only regular files, checked first: a named pipe or a device gives null
// (errno EINVAL) without being opened.
FilePtr open_file(const std::string& path, const char* mode);

// Reads a whole file; false when it cannot be opened or read.
bool read_whole_file(const std::string& path, std::string* contents);
// The contents as a string, empty when unreadable.
std::string read_file_text(const std::string& path);
// Writes a whole buffer under a partial name and renames it into place (see whole_files.h);
// true when every byte was written, else false with errno telling why and no file made.
bool write_whole_file(const std::string& path, const void* data, size_t size);
bool write_whole_file(const std::string& path, const std::string& data);
bool copy_file(const std::string& from, const std::string& to);

// Any mix of CR LF, LF CR, CR and LF line ends becomes CR LF.
std::string normalize_line_endings(const std::string& text);
// Writes text with normalised line endings; true when every byte was written.
bool write_text_file(const std::string& path, const std::string& text);
// The same after removing every UTF-8 byte-order mark and putting one at the start.
bool write_text_file_with_bom(const std::string& path, const std::string& text);

bool delete_file(const std::string& path);
bool rename_file(const std::string& from, const std::string& to);
bool is_directory(const std::string& path);
// True when the name exists (any kind of file); never opens it.
bool path_exists(const std::string& path);
// True when created or when the failure was anything but a missing parent.
bool create_directory(const std::string& path);
// Creates every folder named before the last slash of a file path (backslashes count as
// slashes), skipping empty, "." and ".." parts; false when a parent is missing.
bool create_directories_for(const std::string& file_path);

// Entries matching a wildcard pattern such as "dir/*.jpg", each as the pattern's folder part
// followed by the entry name, without "." and "..", in the order the system returns them.
std::vector<std::string> list_directory(const std::string& pattern);

// The program path given at start-up (element 0 of the argument vector), empty when none.
const std::string& program_path();
void set_program_path(const char* path);
// The executable's full path, and its folder with a trailing slash.
std::string module_path();
std::string module_directory();
