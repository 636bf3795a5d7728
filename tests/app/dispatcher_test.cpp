#include "app/dispatcher.h"

#include <gtest/gtest.h>

#include "base/console.h"
#include "support/test_support.h"

namespace {

const char kBanner[] = "\nqorveltools 1.19-pr16 - 32bit (build 2018-04-04)\n";

std::string usage_for(const std::string& name) {
  return "\nSyntax: " + name +
         " [TOOL] [TOOLPARAMETERS]\n\n TOOL:\n"
         "   makepano    - make a template-based multi-resolution pano/tour\n"
         "   maketiles   - make or merge tiles\n"
         "   makepreview - make a smooth panoramic preview image\n"
         "   sphere2cube - convert a spherical to a cubical pano image\n"
         "   cube2sphere - convert a cubical to a spherical pano image\n"
         "   encrypt     - encrypt files\n\n TOOLPARAMETERS:\n"
         "   call \"qorveltools tool\" to see the parameters available for this tool\n\n\n";
}

// What the fake tools saw of their arguments.
std::vector<std::string> g_seen;
int record_arguments(int argc, char** argv) {
  g_seen.assign(argv, argv + argc);
  return 42;
}
int record_with_console(int argc, char** argv, ConsoleOps* ops) {
  g_seen.assign(argv, argv + argc);
  return ops ? 7 : 8;
}

const ToolRow kFakeTable[] = {
    {{"maketiles", "qmaketiles", "convert", nullptr}, nullptr, record_arguments},
    {{"transform", nullptr}, record_with_console},
};

int run_fake(std::vector<const char*> args) {
  g_seen.clear();
  ConsoleOps ops;
  return dispatch_tool(static_cast<int>(args.size()), const_cast<char**>(args.data()), kFakeTable,
                       std::size(kFakeTable), &ops);
}

}  // namespace

TEST(Dispatcher, ToolWordsAreNormalisedAndTheVectorShortened) {
  EXPECT_EQ(run_fake({"/bin/qv", "-CONVERT", "in.jpg", "-q"}), 42);
  EXPECT_EQ(g_seen, (std::vector<std::string>{"/bin/qv", "in.jpg", "-q"}));
  EXPECT_EQ(run_fake({"/bin/qv", "Transform"}), 7);
  EXPECT_EQ(g_seen, (std::vector<std::string>{"/bin/qv"}));
}

TEST(Dispatcher, DoubleDashOrUnknownWordsSelectNothing) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(run_fake({"/bin/qv", "--convert"}), 0);
  EXPECT_EQ(run_fake({"/bin/qv", "nonsense"}), 0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(g_seen.empty());
  EXPECT_EQ(out, kBanner + usage_for("qv") + kBanner + usage_for("qv"));
}

TEST(Dispatcher, UsageNamesTheProgramFileAfterEitherSeparator) {
  testing::internal::CaptureStdout();
  print_usage("C:\\tools/x\\qorvel.exe");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), usage_for("qorvel.exe"));
}

TEST(DispatcherCommandLine, BannerAndUsageWithoutArguments) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"--ping"}, {"unknowntool", "x"}}) {
    qv_test::CommandResult run = qv_test::run_qorveltools(args);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, kBanner + usage_for("qorveltools"));
  }
}
