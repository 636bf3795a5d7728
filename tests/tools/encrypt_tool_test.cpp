// The encrypt tool on the command line: it refuses, says why, and leaves the files alone.
#include "tools/encrypt_tool.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

TEST(EncryptTool, RefusesAndChangesNothing) {
  qv_test::TempDir dir;
  const std::string tour = "<tour><scene name=\"a\"/></tour>\n";
  ASSERT_TRUE(qv_test::write_file(dir.file("tour.xml"), tour));
  for (const char* word : {"encrypt", "qencrypt", "-Encrypt"}) {
    for (bool with_file : {true, false}) {
      std::vector<std::string> args = {word};
      if (with_file) args.push_back(dir.file("tour.xml"));
      const qv_test::CommandResult result = qv_test::run_qorveltools(args);
      EXPECT_EQ(result.status, 1) << word;
      EXPECT_EQ(result.out, std::string(kEncryptUnavailable) + "\n") << word;
      EXPECT_EQ(result.err, "") << word;
    }
  }
  EXPECT_EQ(qv_test::read_file(dir.file("tour.xml")), tour);
  EXPECT_EQ(qv_test::list_files(dir.path), std::vector<std::string>{"tour.xml"});
}

TEST(EncryptTool, ReportsIntoTheResultText) {
  char program[] = "qorveltools";
  char file[] = "tour.xml";
  char* argv[] = {program, file, nullptr};
  std::string result;
  EXPECT_EQ(encrypt_run(2, argv, &result), 1);
  EXPECT_EQ(result, kEncryptUnavailable);
  EXPECT_EQ(result.compare(0, 7, "ERROR: "), 0);
}

}  // namespace
