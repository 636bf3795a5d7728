// Path text: names, extensions, normalisation, absolute and relative paths.
#pragma once

#include <string>

// The text after the last slash or backslash (the whole text when there is none).
std::string file_name_part(const std::string& path);
// The text after the last "." of the file name part; false when there is none or when the dot
// is the name's first character.
bool file_extension(const std::string& path, std::string* extension);
// Backslashes become slashes, a leading "./" goes, and "dir/../" pairs collapse.
std::string normalize_path(const std::string& path);
// The path made absolute against the current folder, normalised; with directory_only, cut
// after its last slash.
std::string absolute_path(const std::string& path, bool directory_only);
// The path of target relative to folder from; false when either is shorter than 3 or longer
// than 1024 characters, or the result would exceed 1024 characters.
bool relative_path(const std::string& from, const std::string& target, std::string* result);
