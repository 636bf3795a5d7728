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

TEST(DispatcherCommandLine, VersionLineAndBannerFallbacks) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;
  };
  const std::string version = "qorveltools 1.19-pr16 - 32bit (build 2018-04-04)\n";
  const std::string banner_usage = kBanner + usage_for("qorveltools");
  const Case cases[] = {
      {{"--version"}, 0, version},
      {{"--VERSION"}, 0, version},
      {{"--version", "x"}, 0, banner_usage},  // not the version request: an unknown tool word
      {{"help"}, 0, banner_usage},
      {{"help", "nosuchtool"}, 1, "ERROR: no tool is called nosuchtool\n" + banner_usage},
      {{"help", "--makepano"}, 1, "ERROR: no tool is called --makepano\n" + banner_usage},
  };
  for (const Case& c : cases) {
    const qv_test::CommandResult run = qv_test::run_qorveltools(c.args);
    EXPECT_EQ(run.status, c.status) << c.args[0];
    EXPECT_EQ(run.out, c.out) << c.args[0];
  }
}

// "help TOOL" and "TOOL --help" print the tool's own syntax text, byte for byte what the tool
// prints when called without parameters, and exit with 0; every tool word reaches its tool's
// text, and no tool starts (the server and the channels would wait for input).
TEST(DispatcherCommandLine, HelpPrintsEachToolsOwnSyntaxText) {
  const std::vector<std::string> own_text_tools = {"makepano", "maketiles", "makepreview",
                                                   "sphere2cube", "cube2sphere"};
  for (const std::string& tool : own_text_tools) {
    const qv_test::CommandResult bare = qv_test::run_qorveltools({tool});
    const qv_test::CommandResult help = qv_test::run_qorveltools({"help", tool});
    EXPECT_EQ(bare.status, 1) << tool;
    EXPECT_EQ(help.status, 0) << tool;
    EXPECT_NE(help.out.find("qorveltools "), std::string::npos) << tool;
    if (tool == "makepano") {
      // makepano's help is its syntax text followed by the stock configs and common settings.
      EXPECT_EQ(help.out.compare(0, bare.out.size(), bare.out), 0) << tool;
      EXPECT_NE(help.out.find("stock configs"), std::string::npos) << tool;
    } else {
      EXPECT_EQ(help.out, bare.out) << tool;
    }
  }
  struct Case {
    std::vector<std::string> args;
    std::string page;  // the word whose "help" output must be the same
  };
  const Case cases[] = {
      {{"help", "MakeMultires"}, "makepano"},      {{"qmakemultires", "--help"}, "makepano"},
      {{"convert", "-help"}, "maketiles"},         {{"help", "qmaketiles"}, "maketiles"},
      {{"qmakepreview", "-h"}, "makepreview"},     {{"-Transform", "--HELP"}, "sphere2cube"},
      {{"help", "spheretocube"}, "sphere2cube"},   {{"help", "qtransform"}, "sphere2cube"},
      {{"help", "qsphere2cube"}, "sphere2cube"},   {{"cubetosphere", "--help"}, "cube2sphere"},
      {{"help", "qcube2sphere"}, "cube2sphere"},   {{"help", "qencrypt"}, "encrypt"},
      {{"testingserver", "--help"}, "testserver"}, {{"ipc", "--help"}, "ipc"},
      {{"help", "ipc2"}, "ipc2"},                  {{"ping", "--help"}, "ping"},
      {{"makethumb", "-h"}, "makethumb"},
  };
  for (const Case& c : cases) {
    const qv_test::CommandResult run = qv_test::run_qorveltools(c.args);
    const qv_test::CommandResult page = qv_test::run_qorveltools({"help", c.page});
    EXPECT_EQ(run.status, 0) << c.args[0] << " " << c.args[1];
    EXPECT_EQ(page.status, 0) << c.page;
    EXPECT_FALSE(page.out.empty()) << c.page;
    EXPECT_EQ(run.out, page.out) << c.args[0] << " " << c.args[1];
  }
  // The texts of the tools that print none without parameters.
  const std::pair<std::string, std::string> texts[] = {
      {"testserver", "Syntax: testserver [-localonly] [folder]\n"},
      {"ping", "Syntax: qorveltools ping imagefile\n"},
      {"makethumb", "Syntax: qorveltools makethumb inputfile outputfile [maxwidth [maxheight]]\n"},
  };
  for (const auto& [tool, text] : texts) {
    EXPECT_EQ(qv_test::run_qorveltools({tool, "--help"}).out, text) << tool;
  }
  // "--help" among other parameters belongs to the tool.
  const qv_test::CommandResult mixed = qv_test::run_qorveltools({"ping", "x.jpg", "--help"});
  EXPECT_EQ(mixed.status, 1);
  EXPECT_EQ(mixed.out, "");
}
