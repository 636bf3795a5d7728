// Path text: names, extensions, normalisation, absolute and relative paths.
#pragma once

#include <string>
#include <vector>

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

// The name of one output: the output name (or the input name when there is none) cut before
// the extension of its file name, the suffix (always when always_append, else only when the
// input name begins with the cut name), then "." and extension when one is given, else the
// name's own extension, else ".jpg".
std::string make_output_name(const std::string& output, const std::string& input,
                             const std::string& suffix, const std::string* extension,
                             bool always_append);

// Where a data file (a stock config, a template, the viewer script) named by a relative path was
// looked for, in order, and the first of those places that holds it.
struct DataFileSearch {
  std::string found;                  // the first readable match; empty when none
  std::vector<std::string> searched;  // every path tried, in the order tried
};

// The folders that hold the program's data, each with a trailing slash, without repeats: the
// executable's folder (the build tree), then ../share/qorveltools/ beside the executable's real
// folder (any install prefix, a moved package), then the share folder of the install prefix
// compiled in.
std::vector<std::string> data_folders();

// Looks for name in each data folder and in its templates/ subfolder, in that order; an
// absolute name is only tried as it is. With as_given, the name as it stands (relative to the
// current folder) is tried first. The first readable regular file wins.
DataFileSearch find_data_file(const std::string& name, bool as_given);
