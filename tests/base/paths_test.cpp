#include "base/paths.h"

#include <gtest/gtest.h>
#include <unistd.h>

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
