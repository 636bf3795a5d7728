#include "base/files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "base/whole_files.h"

FilePtr open_file(const std::string& path, const char* mode) {
  if (mode[0] != 'r') return FilePtr(fopen(path.c_str(), mode));
  // Reading takes only regular files, checked before the open: a named pipe would hold the
  // open until a writer came, a device would never end.
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return nullptr;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return nullptr;
  }
  const bool update = strchr(mode, '+') != nullptr;
  const int fd = open(path.c_str(), (update ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (fd < 0) return nullptr;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    errno = EINVAL;
    return nullptr;
  }
  FILE* file = fdopen(fd, mode);
  if (!file) close(fd);
  return FilePtr(file);
}

bool read_whole_file(const std::string& path, std::string* contents) {
  FilePtr file = open_file(path, "rb");
  if (!file) return false;
  contents->clear();
  char buffer[65536];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, file.get())) > 0) contents->append(buffer, got);
  return !ferror(file.get());
}

std::string read_file_text(const std::string& path) {
  std::string contents;
  if (!read_whole_file(path, &contents)) contents.clear();
  return contents;
}

bool write_whole_file(const std::string& path, const void* data, size_t size) {
  PartialFile partial;
  if (!partial_file_begin(path, &partial)) return false;
  FilePtr file = open_file(partial.partial_path, "wb");
  partial_file_created(&partial);
  bool written = file != nullptr;
  if (written && size > 0) written = fwrite(data, 1, size, file.get()) == size;
  if (written) written = fflush(file.get()) == 0;
  if (file && fclose(file.release()) != 0) written = false;
  if (!written) {
    partial_file_abandon(&partial);
    return false;
  }
  return partial_file_commit(&partial);
}

bool write_whole_file(const std::string& path, const std::string& data) {
  return write_whole_file(path, data.data(), data.size());
}

bool copy_file(const std::string& from, const std::string& to) {
  std::string contents;
  if (!read_whole_file(from, &contents)) return false;
  return write_whole_file(to, contents);
}

std::string normalize_line_endings(const std::string& text) {
  // Every line end (CR LF, LF CR, lone CR, lone LF) first becomes one LF, then LF becomes CR LF.
  std::string lf;
  lf.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    bool pair = i + 1 < text.size() &&
                ((c == '\r' && text[i + 1] == '\n') || (c == '\n' && text[i + 1] == '\r'));
    if (pair) {
      lf.push_back('\n');
      ++i;
    } else {
      lf.push_back(c == '\r' ? '\n' : c);
    }
  }
  std::string out;
  out.reserve(lf.size() + lf.size() / 16);
  for (char c : lf) {
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  return out;
}

bool write_text_file(const std::string& path, const std::string& text) {
  return write_whole_file(path, normalize_line_endings(text));
}

bool write_text_file_with_bom(const std::string& path, const std::string& text) {
  static const char kBom[] = "\xEF\xBB\xBF";
  std::string cleaned;
  cleaned.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 3, kBom) == 0) {
      i += 2;
      continue;
    }
    cleaned.push_back(text[i]);
  }
  return write_text_file(path, kBom + cleaned);
}

bool delete_file(const std::string& path) {
  return unlink(path.c_str()) == 0;
}

bool rename_file(const std::string& from, const std::string& to) {
  return rename(from.c_str(), to.c_str()) == 0;
}

bool path_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

bool is_directory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool create_directory(const std::string& path) {
  if (mkdir(path.c_str(), 0755) == 0) return true;
  return errno != ENOENT;
}

bool create_directories_for(const std::string& file_path) {
  std::string path = file_path;
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  size_t last_slash = path.rfind('/');
  if (last_slash == std::string::npos) return true;
  size_t start = 0;
  while (start <= last_slash) {
    size_t slash = path.find('/', start);
    std::string part = path.substr(start, slash - start);
    if (!part.empty() && part != "." && part != "..") {
      if (!create_directory(path.substr(0, slash))) return false;
    }
    start = slash + 1;
  }
  return true;
}

std::vector<std::string> list_directory(const std::string& pattern) {
  std::vector<std::string> entries;
  size_t cut = pattern.find_last_of("/\\");
  std::string folder_part = cut == std::string::npos ? std::string() : pattern.substr(0, cut + 1);
  std::string name_pattern = cut == std::string::npos ? pattern : pattern.substr(cut + 1);
  DIR* dir = opendir(folder_part.empty() ? "." : folder_part.c_str());
  if (!dir) return entries;
  while (dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    // Wildcards match regardless of letter case, so "*.jpg" also finds "IMG.JPG".
    if (fnmatch(name_pattern.c_str(), name, FNM_CASEFOLD) == 0) {
      entries.push_back(folder_part + name);
    }
  }
  closedir(dir);
  return entries;
}

namespace {

std::string& stored_program_path() {
  static std::string path;
  return path;
}

}  // namespace

const std::string& program_path() {
  return stored_program_path();
}

void set_program_path(const char* path) {
  stored_program_path() = path ? path : "";
}

std::string module_path() {
  char buffer[4096];
  ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return program_path();
  return std::string(buffer, static_cast<size_t>(length));
}

std::string module_directory() {
  std::string path = module_path();
  size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}
