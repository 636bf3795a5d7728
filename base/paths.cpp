#include "base/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include "base/files.h"

// The data folder of the install prefix (CMAKE_INSTALL_FULL_DATADIR), given by the build.
#ifndef QV_INSTALL_DATADIR
#define QV_INSTALL_DATADIR "/usr/local/share"
#endif

namespace {

constexpr char kDataFolderName[] = "qorveltools";
constexpr char kTemplatesFolderName[] = "templates/";

// A regular file that can be opened for reading (a folder of the same name does not count).
bool is_readable_file(const std::string& path) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
  return open_file(path, "rb") != nullptr;
}

constexpr size_t kPathLimit = 1024;

bool has_drive_prefix(const std::string& path) {
  return path.size() >= 3 &&
         ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
         path[1] == ':' && (path[2] == '/' || path[2] == '\\');
}

std::string current_directory() {
  char buffer[kPathLimit + 1];
  if (!getcwd(buffer, sizeof buffer)) return ".";
  return buffer;
}

}  // namespace

std::string file_name_part(const std::string& path) {
  size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

bool file_extension(const std::string& path, std::string* extension) {
  std::string name = file_name_part(path);
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return false;
  *extension = name.substr(dot + 1);
  return true;
}

std::string normalize_path(const std::string& path) {
  std::string text = path;
  for (char& c : text) {
    if (c == '\\') c = '/';
  }
  if (text.compare(0, 2, "./") == 0) text.erase(0, 2);
  for (;;) {
    size_t p = text.find("/../", 1);
    if (p == std::string::npos) break;
    size_t d = text.rfind('/', p - 1);
    if (d == std::string::npos) {
      std::string first = text.substr(0, p);
      if (first != ".." && first != ".") text.erase(0, p + 4);
      break;
    }
    if (d + 1 < p) {
      text.erase(d + 1, p + 4 - (d + 1));
    } else {
      text.erase(d, 1);
    }
  }
  return text;
}

std::string absolute_path(const std::string& path, bool directory_only) {
  std::string text = path;
  if (text.compare(0, 2, "./") == 0 || text.compare(0, 2, ".\\") == 0) text.erase(0, 2);
  bool rooted = (!text.empty() && (text[0] == '/' || text[0] == '\\')) || has_drive_prefix(text);
  if (!rooted) text = current_directory() + "/" + text;
  for (char& c : text) {
    if (c == '\\') c = '/';
  }
  text = normalize_path(text);
  if (directory_only) {
    size_t cut = text.rfind('/');
    if (cut != std::string::npos) text.erase(cut + 1);
  }
  return text;
}

bool relative_path(const std::string& from, const std::string& target, std::string* result) {
  std::string a = absolute_path(from, false);
  std::string b = absolute_path(target, false);
  if (a.size() < 3 || a.size() > kPathLimit || b.size() < 3 || b.size() > kPathLimit) return false;
  if (a[0] != b[0]) {
    *result = b;
    return true;
  }
  size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
  if (i == a.size()) {
    if (i < b.size() && b[i] == '/') {
      *result = b.substr(i + 1);
      return true;
    }
    if (a[i - 1] == '/') {
      *result = b.substr(i);
      return true;
    }
  }
  size_t levels = 1;
  for (size_t k = i; k + 1 < a.size(); ++k) {
    if (a[k] == '/') ++levels;
  }
  while (i > 0 && a[i - 1] != '/') --i;
  if (3 * levels + (b.size() - i) > kPathLimit) return false;
  std::string out;
  for (size_t k = 0; k < levels; ++k) out += "../";
  *result = out + b.substr(i);
  return true;
}

std::string make_output_name(const std::string& output, const std::string& input,
                             const std::string& suffix, const std::string* extension,
                             bool always_append) {
  const std::string& name = output.empty() ? input : output;
  std::string own_extension;
  const bool has_own = file_extension(name, &own_extension);
  std::string result = has_own ? name.substr(0, name.size() - own_extension.size() - 1) : name;
  if (always_append || input.compare(0, result.size(), result) == 0) result += suffix;
  if (extension) return result + "." + *extension;
  if (has_own) return result + "." + own_extension;
  return result + ".jpg";
}

std::vector<std::string> data_folders() {
  std::vector<std::string> folders;
  const auto add = [&folders](const std::string& folder) {
    if (folder.empty()) return;
    for (const std::string& known : folders) {
      if (known == folder) return;
    }
    folders.push_back(folder);
  };
  // module_directory() reads /proc/self/exe, so a symbolic link to the executable leads to the
  // real install, wherever the link lives.
  const std::string beside_executable = module_directory();
  add(beside_executable);
  if (!beside_executable.empty()) {
    add(normalize_path(beside_executable + "../share/" + kDataFolderName + "/"));
  }
  add(std::string(QV_INSTALL_DATADIR) + "/" + kDataFolderName + "/");
  return folders;
}

DataFileSearch find_data_file(const std::string& name, bool as_given) {
  DataFileSearch search;
  const auto try_path = [&search](const std::string& path) {
    if (!search.found.empty()) return;
    search.searched.push_back(path);
    if (is_readable_file(path)) search.found = path;
  };
  if (name.empty()) return search;
  if (as_given || name[0] == '/') try_path(name);
  if (name[0] == '/') return search;
  for (const std::string& folder : data_folders()) {
    try_path(folder + name);
    try_path(folder + kTemplatesFolderName + name);
  }
  return search;
}
