#include "base/files.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/test_support.h"

TEST(Files, WholeFileRoundTripAndCopy) {
  qv_test::TempDir dir;
  std::string data("a\0b\xff", 4);
  ASSERT_TRUE(write_whole_file(dir.file("x.bin"), data));
  EXPECT_EQ(read_file_text(dir.file("x.bin")), data);
  ASSERT_TRUE(copy_file(dir.file("x.bin"), dir.file("y.bin")));
  EXPECT_EQ(read_file_text(dir.file("y.bin")), data);
  std::string contents;
  EXPECT_FALSE(read_whole_file(dir.file("missing"), &contents));
  EXPECT_FALSE(write_whole_file(dir.file("no/such/dir/x"), data));
  EXPECT_TRUE(rename_file(dir.file("y.bin"), dir.file("z.bin")));
  EXPECT_TRUE(delete_file(dir.file("z.bin")));
  EXPECT_FALSE(delete_file(dir.file("z.bin")));
}

TEST(Files, TextFilesWriteCrLfLineEnds) {
  qv_test::TempDir dir;
  ASSERT_TRUE(write_text_file(dir.file("t.txt"), "a\nb\r\nc\rd\n\re"));
  EXPECT_EQ(qv_test::read_file(dir.file("t.txt")), "a\r\nb\r\nc\r\nd\r\ne");
  ASSERT_TRUE(write_text_file_with_bom(dir.file("b.txt"), "x\xEF\xBB\xBFy\n"));
  EXPECT_EQ(qv_test::read_file(dir.file("b.txt")), "\xEF\xBB\xBFxy\r\n");
}

TEST(Files, DirectoriesForAFilePath) {
  qv_test::TempDir dir;
  ASSERT_TRUE(create_directories_for(dir.path + "/out/tiles/l1/x.jpg"));
  EXPECT_TRUE(is_directory(dir.file("out/tiles/l1")));
  EXPECT_FALSE(qv_test::file_exists(dir.file("out/tiles/l1/x.jpg")));
  ASSERT_TRUE(create_directories_for(dir.path + "\\win\\.\\style\\f.txt"));
  EXPECT_TRUE(is_directory(dir.file("win/style")));
  EXPECT_TRUE(create_directory(dir.file("out")));  // existing: not a missing parent
  EXPECT_FALSE(create_directory(dir.file("none/child")));
}

TEST(Files, ListingMatchesWildcardsAndKeepsTheFolderPart) {
  qv_test::TempDir dir;
  for (const char* name : {"a.jpg", "B.JPG", "c.tif", ".dot.jpg"}) {
    ASSERT_TRUE(write_whole_file(dir.file(name), "x"));
  }
  std::vector<std::string> found = list_directory(dir.path + "/*.jpg");
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found,
            (std::vector<std::string>{dir.file(".dot.jpg"), dir.file("B.JPG"), dir.file("a.jpg")}));
  EXPECT_TRUE(list_directory(dir.path + "/*.png").empty());
  EXPECT_TRUE(list_directory(dir.path + "/missing/*").empty());
}

TEST(Files, ModulePathIsTheExecutable) {
  std::string path = module_path();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.front(), '/');
  EXPECT_EQ(module_directory(), path.substr(0, path.rfind('/') + 1));
}
