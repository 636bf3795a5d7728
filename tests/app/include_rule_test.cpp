// The layer rule of the source tree: base → memory → imageio → render → tools → makepano → ipc
// → app. A folder includes only itself and the folders to its left; server uses base only;
// nothing includes app. Checked over every source file of the project folders (tests, benchmarks
// and fuzz targets may include any layer).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

const std::vector<std::string> kLayers = {"base",     "memory", "imageio", "render",
                                          "tools",    "makepano", "ipc",   "app"};

int layer_rank(const std::string& folder) {
  for (size_t i = 0; i < kLayers.size(); ++i) {
    if (kLayers[i] == folder) return static_cast<int>(i);
  }
  return -1;
}

// Whether a file in folder may include a header of folder target.
bool include_allowed(const std::string& folder, const std::string& target) {
  if (folder == target) return true;
  if (folder == "server") return target == "base";
  if (target == "server") return folder == "app";  // the tool table names the server's entry
  const int from = layer_rank(folder);
  const int to = layer_rank(target);
  if (from < 0 || to < 0) return false;  // a project layer including server or an unknown folder
  if (target == "app") return false;
  return to < from;
}

// The project folders named by the quoted includes of a file's text, as "folder/…" paths.
std::vector<std::string> project_includes(const std::string& text) {
  std::vector<std::string> found;
  size_t at = 0;
  while ((at = text.find("#include \"", at)) != std::string::npos) {
    at += 10;
    const size_t end = text.find('"', at);
    if (end == std::string::npos) break;
    found.push_back(text.substr(at, end - at));
    at = end;
  }
  return found;
}

// The lines "file includes header" that break the rule, for the files of one folder.
std::vector<std::string> violations(const std::string& folder, const std::string& file,
                                    const std::string& text) {
  std::vector<std::string> broken;
  for (const std::string& header : project_includes(text)) {
    const size_t slash = header.find('/');
    if (slash == std::string::npos) {
      broken.push_back(file + " includes \"" + header + "\" without its folder");
      continue;
    }
    const std::string target = header.substr(0, slash);
    if (!include_allowed(folder, target)) broken.push_back(file + " includes " + header);
  }
  return broken;
}

std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(IncludeRule, TheCheckerSeesEachKindOfBreak) {
  struct Case {
    const char* folder;
    const char* text;
    bool broken;
  };
  const Case cases[] = {
      {"render", "#include \"imageio/image_file.h\"\n#include \"base/files.h\"", false},
      {"memory", "#include \"imageio/image_file.h\"", true},  // upwards
      {"tools", "#include \"app/dispatcher.h\"", true},       // nothing includes app
      {"tools", "#include \"server/http_server.h\"", true},   // server is beside the chain
      {"server", "#include \"base/files.h\"", false},
      {"server", "#include \"imageio/image_file.h\"", true},  // server uses base only
      {"app", "#include \"server/testserver.h\"", false},
      {"base", "#include \"console.h\"", true},               // every include names its folder
      {"ipc", "#include \"makepano/makepano.h\"", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(!violations(c.folder, "x.cpp", c.text).empty(), c.broken) << c.folder << ": " << c.text;
  }
}

TEST(IncludeRule, EveryProjectFileKeepsToItsLayer) {
  const std::filesystem::path root = QV_SOURCE_DIR;
  std::vector<std::string> folders = kLayers;
  folders.push_back("server");
  std::vector<std::string> broken;
  int files = 0;
  for (const std::string& folder : folders) {
    if (!std::filesystem::is_directory(root / folder)) continue;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root / folder)) {
      const std::string extension = entry.path().extension().string();
      if (extension != ".h" && extension != ".cpp") continue;
      ++files;
      const std::string name = std::filesystem::relative(entry.path(), root).string();
      for (const std::string& line : violations(folder, name, read_text(entry.path()))) {
        broken.push_back(line);
      }
    }
  }
  EXPECT_GT(files, 50);
  for (const std::string& line : broken) ADD_FAILURE() << line;
}

}  // namespace
