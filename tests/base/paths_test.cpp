#include "base/paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/files.h"
#include "support/test_support.h"

TEST(Paths, FileNameAndExtension) {
  EXPECT_EQ(file_name_part("a/b\\c.jpg"), "c.jpg");
  EXPECT_EQ(file_name_part("plain"), "plain");
  std::string ext;
  EXPECT_FALSE(file_extension(".hidden", &ext));
  EXPECT_FALSE(file_extension("a.b/c", &ext));
  ASSERT_TRUE(file_extension("c.JPG", &ext));
  EXPECT_EQ(ext, "JPG");
  ASSERT_TRUE(file_extension("x/archive.tar.gz", &ext));
  EXPECT_EQ(ext, "gz");
}

TEST(Paths, Normalise) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"a/b/../c", "a/c"},
      {"../x", "../x"},
      {"x/../y/../z", "y/../z"},
      {"./a\\b", "a/b"},
      {"a//../b", "b"},
      {"/t/a/b/../../c", "/t/c"},
      {"../../a/../b", "../../a/../b"},  // a leading ".." stops the collapse
  };
  for (const Case& c : cases) EXPECT_EQ(normalize_path(c.in), c.out) << c.in;
}

TEST(Paths, Absolute) {
  char cwd[1024];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(absolute_path("/x/./y/../z.jpg", false), "/x/./z.jpg");
  EXPECT_EQ(absolute_path("C:\\tours\\a\\..\\b.xml", false), "C:/tours/b.xml");
  EXPECT_EQ(absolute_path("./sub/f.txt", false), std::string(cwd) + "/sub/f.txt");
  EXPECT_EQ(absolute_path("/x/y/z.jpg", true), "/x/y/");
}

TEST(Paths, Relative) {
  struct Case {
    const char* from;
    const char* to;
    const char* expected;
  };
  const Case cases[] = {
      {"C:/tours/a", "C:/tours/b/img.jpg", "../b/img.jpg"},
      {"C:/a", "D:/b/c.jpg", "D:/b/c.jpg"},
      {"/tours", "/tours/b/img.jpg", "b/img.jpg"},
      {"/tours/", "/tours/b/img.jpg", "b/img.jpg"},
      {"/x/ab", "/x/abc/f", "../abc/f"},
      {"/x/a/b", "/x/a", "../../a"},
      {"/x/a/", "/x/b", "../b"},
  };
  for (const Case& c : cases) {
    std::string result;
    ASSERT_TRUE(relative_path(c.from, c.to, &result)) << c.from << " " << c.to;
    EXPECT_EQ(result, c.expected) << c.from << " " << c.to;
  }
}

TEST(Paths, RelativeRefusesOverlongInputsWithoutOverflow) {
  std::string result;
  std::string deep = "/" + std::string(2000, 'a');
  EXPECT_FALSE(relative_path(deep, "/b/c", &result));
  EXPECT_FALSE(relative_path("/b", deep, &result));
  std::string many_levels = "/a";
  for (int i = 0; i < 400; ++i) many_levels += "/b";  // 802 characters, 401 levels to climb
  EXPECT_FALSE(relative_path(many_levels, "/z/" + std::string(300, 'q'), &result));
}

// The data folders: the executable's own, ../share/qorveltools beside it, the prefix's last;
// each with a trailing slash and none twice.
TEST(DataLookup, FoldersInOrder) {
  const std::vector<std::string> folders = data_folders();
  ASSERT_GE(folders.size(), 2u);
  ASSERT_LE(folders.size(), 3u);
  EXPECT_EQ(folders[0], module_directory());
  EXPECT_EQ(folders[1], normalize_path(module_directory() + "../share/qorveltools/"));
  EXPECT_EQ(folders[1].find(".."), std::string::npos);
  for (size_t i = 0; i < folders.size(); ++i) {
    EXPECT_EQ(folders[i].back(), '/') << folders[i];
    EXPECT_EQ(folders[i].compare(folders[i].size() - 13, 13, "/qorveltools/") == 0, i > 0);
    for (size_t j = 0; j < i; ++j) EXPECT_NE(folders[i], folders[j]);
  }
}

// Where a name is looked for and which match wins: the name as given (when asked), then each
// data folder and its templates/ subfolder; the search stops at the first regular file.
TEST(DataLookup, FirstMatchWinsAndEverySearchedPlaceIsNamed) {
  qv_test::TempDir dir;
  const std::string beside = module_directory();
  const std::string name = "qv_lookup_probe_" + std::to_string(getpid()) + ".config";
  // Files made beside the test executable, removed again at the end.
  struct Removal {
    std::vector<std::string> paths;
    ~Removal() {
      for (auto it = paths.rbegin(); it != paths.rend(); ++it) {
        if (unlink(it->c_str()) != 0) rmdir(it->c_str());
      }
    }
  } removal;
  const auto make_file = [&removal](const std::string& path) {
    ASSERT_TRUE(qv_test::write_file(path, "x"));
    removal.paths.push_back(path);
  };
  std::vector<std::string> every_place;
  for (const std::string& folder : data_folders()) {
    every_place.push_back(folder + name);
    every_place.push_back(folder + "templates/" + name);
  }

  // Nowhere: every place is named, in order; as_given puts the name itself first.
  DataFileSearch search = find_data_file(name, false);
  EXPECT_EQ(search.found, "");
  EXPECT_EQ(search.searched, every_place);
  search = find_data_file(name, true);
  EXPECT_EQ(search.found, "");
  ASSERT_EQ(search.searched.size(), every_place.size() + 1);
  EXPECT_EQ(search.searched[0], name);

  // A folder of that name is no match.
  ASSERT_EQ(mkdir((beside + name).c_str(), 0755), 0);
  removal.paths.push_back(beside + name);
  if (!is_directory(beside + "templates")) {
    ASSERT_EQ(mkdir((beside + "templates").c_str(), 0755), 0);
    removal.paths.insert(removal.paths.begin(), beside + "templates");
  }
  make_file(beside + "templates/" + name);
  search = find_data_file(name, false);
  EXPECT_EQ(search.found, beside + "templates/" + name);
  EXPECT_EQ(search.searched,
            (std::vector<std::string>{beside + name, beside + "templates/" + name}));

  // An absolute name is only tried as it stands.
  const std::string absolute = dir.file("own.config");
  make_file(absolute);
  search = find_data_file(absolute, false);
  EXPECT_EQ(search.found, absolute);
  EXPECT_EQ(search.searched, std::vector<std::string>{absolute});
  search = find_data_file(dir.file("missing.config"), true);
  EXPECT_EQ(search.found, "");
  EXPECT_EQ(search.searched, std::vector<std::string>{dir.file("missing.config")});
}
