#include "tour_checks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <vector>

#include "support/test_images.h"
#include "support/test_support.h"

namespace qv_test {
namespace {

namespace fs = std::filesystem;

int attribute(const std::string& text, const std::string& name, int fallback) {
  std::smatch match;
  if (!std::regex_search(text, match, std::regex(" " + name + "=\"(-?[0-9]+)\""))) return fallback;
  return std::stoi(match[1]);
}

// The url with its tile and frame placeholders ("%v", "%0h", "%00f") set.
std::string expand_numbers(const std::string& url, int column, int row, int frame) {
  std::string out;
  std::smatch match;
  std::string rest = url;
  const std::regex placeholder("%(0*)([vhf])");
  while (std::regex_search(rest, match, placeholder)) {
    out += match.prefix();
    const int value = match[2] == "v" ? row : match[2] == "f" ? frame : column;
    std::string digits = std::to_string(value);
    const size_t width = match[1].length() + 1;
    if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
    out += digits;
    rest = match.suffix();
  }
  return out + rest;
}

std::string replace_first(std::string text, const std::string& key, const std::string& value) {
  const size_t at = text.find(key);
  if (at != std::string::npos) text.replace(at, key.size(), value);
  return text;
}

std::vector<std::string> sides_of(const std::string& url) {
  if (url.find("%s") == std::string::npos) return {""};
  return {"l", "f", "r", "b", "u", "d"};
}

std::string folder_of(const std::string& path) {
  return fs::path(path).parent_path().string() + "/";
}

std::string normal(const std::string& path) {
  return fs::path(path).lexically_normal().string();
}

}  // namespace

std::set<std::string> files_below(const std::string& folder) {
  std::set<std::string> files;
  if (!fs::exists(folder)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) files.insert(entry.path().string());
  }
  return files;
}

std::set<std::string> check_tiles(const std::string& xml_path) {
  const std::string xml = read_file(xml_path);
  const std::string folder = folder_of(xml_path);
  std::set<std::string> tiles;
  const std::regex image_pattern("<image[ >][^]*?</image>");
  const std::regex level_pattern(
      "<level tiledimagewidth=\"([0-9]+)\" tiledimageheight=\"([0-9]+)\"[^>]*>([^]*?)</level>");
  const std::regex url_pattern("url=\"([^\"]*)\"");
  const std::sregex_iterator end;
  int levels = 0;
  for (std::sregex_iterator image(xml.begin(), xml.end(), image_pattern); image != end; ++image) {
    const std::string element = image->str();
    const std::string start = element.substr(0, element.find('>'));
    const int tile = attribute(start, "tilesize", 0);
    const int base = attribute(start, "baseindex", 1);
    const int frames = attribute(start, "frames", 1);
    std::vector<std::string> eyes = {""};
    std::smatch labels;
    if (std::regex_search(start, labels, std::regex("stereolabels=\"([^|]*)\\|([^\"]*)\""))) {
      eyes = {labels[1], labels[2]};
    }
    for (std::sregex_iterator it(element.begin(), element.end(), level_pattern); it != end;
         ++it) {
      ++levels;
      EXPECT_GT(tile, 0) << start;
      if (tile <= 0) break;
      const int width = std::stoi((*it)[1]);
      const int height = std::stoi((*it)[2]);
      const std::string body = (*it)[3];
      for (std::sregex_iterator u(body.begin(), body.end(), url_pattern); u != end; ++u) {
        const std::string url = (*u)[1];
        for (const std::string& eye : eyes) {
          for (const std::string& side : sides_of(url)) {
            const std::string face = replace_first(replace_first(url, "%t", eye), "%s", side);
            for (int frame = 1; frame <= frames; ++frame) {
              for (int row = 0; row * tile < height; ++row) {
                for (int column = 0; column * tile < width; ++column) {
                  const std::string path =
                      normal(folder + expand_numbers(face, column + base, row + base, frame));
                  const std::string expected =
                      std::to_string(std::min(tile, width - column * tile)) + "x" +
                      std::to_string(std::min(tile, height - row * tile));
                  EXPECT_EQ(image_size(path), expected) << path;
                  tiles.insert(path);
                }
              }
            }
          }
        }
      }
    }
  }
  EXPECT_GE(levels, 1) << xml;
  return tiles;
}

void expect_sound_tour(const std::string& xml_path, const std::string& page_path) {
  ASSERT_TRUE(fs::exists(xml_path)) << xml_path;
  const std::string lint = "xmllint --noout '" + xml_path + "' 2>&1";
  EXPECT_EQ(std::system(lint.c_str()), 0) << read_file(xml_path);

  // Every url outside the levels names existing files (a "%s" stands for the six sides).
  const std::string xml = read_file(xml_path);
  const std::string folder = folder_of(xml_path);
  const std::set<std::string> tiles = check_tiles(xml_path);
  std::set<std::string> listed = tiles;
  const std::regex url_pattern("url=\"([^\"]*)\"");
  for (std::sregex_iterator u(xml.begin(), xml.end(), url_pattern), end; u != end; ++u) {
    const std::string url = (*u)[1];
    if (url.find("%v") != std::string::npos || url.find("%h") != std::string::npos) continue;
    std::vector<std::string> eyes = {""};
    if (url.find("%t") != std::string::npos) eyes = {"1", "2"};
    for (const std::string& eye : eyes) {
      for (const std::string& side : sides_of(url)) {
        const std::string path =
            normal(folder + replace_first(replace_first(url, "%t", eye), "%s", side));
        EXPECT_TRUE(fs::is_regular_file(path)) << url << " in " << xml_path;
        listed.insert(path);
      }
    }
  }

  // The tile folders (each tile's own folder and the "NAME.tiles" folder above it) hold only
  // listed files.
  std::set<std::string> tile_folders;
  for (const std::string& tile : tiles) {
    fs::path at = fs::path(tile).parent_path();
    tile_folders.insert(at.string());
    for (; at.has_parent_path() && at != at.parent_path(); at = at.parent_path()) {
      if (at.extension() == ".tiles") tile_folders.insert(at.string());
    }
  }
  for (const std::string& tile_folder : tile_folders) {
    if (!fs::is_directory(tile_folder)) continue;
    for (const std::string& file : files_below(tile_folder)) {
      EXPECT_TRUE(listed.count(normal(file))) << "not listed in the XML: " << file;
    }
  }

  if (page_path.empty()) return;
  const std::string page = read_file(page_path);
  ASSERT_FALSE(page.empty()) << page_path;
  const std::regex page_refs("(?:src=\"|xml:\")([^\"]*)\"");
  int refs = 0;
  for (std::sregex_iterator r(page.begin(), page.end(), page_refs), end; r != end; ++r) {
    ++refs;
    const std::string path = normal(folder_of(page_path) + (*r)[1].str());
    EXPECT_TRUE(fs::is_regular_file(path)) << (*r)[1] << " in " << page_path;
  }
  EXPECT_GE(refs, 2) << page;
}

}  // namespace qv_test
