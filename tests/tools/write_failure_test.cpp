// Outputs that cannot be written to the end (a full disk, here a file size limit): every tool
// reports the failure with status 1 and leaves no truncated file under the output name.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

using qv_test::CommandResult;
using qv_test::corpus_file;
using qv_test::TempDir;

// Runs qorveltools with files limited to `limit` bytes; writes past it fail (SIGXFSZ ignored),
// as they do on a full disk.
CommandResult run_with_file_limit(const std::vector<std::string>& args, rlim_t limit) {
  struct sigaction ignore = {};
  struct sigaction previous = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &previous);
  rlimit saved = {};
  getrlimit(RLIMIT_FSIZE, &saved);
  const rlimit small = {limit, saved.rlim_max};
  setrlimit(RLIMIT_FSIZE, &small);
  CommandResult result = qv_test::run_qorveltools(args);
  setrlimit(RLIMIT_FSIZE, &saved);
  sigaction(SIGXFSZ, &previous, nullptr);
  return result;
}

TEST(WriteFailure, FailsTheRunAndLeavesNoTruncatedFile) {
  const std::string pano = corpus_file("pano/xplanet_earth.jpg");  // 2048 x 1024
  const std::string faces = corpus_file("pano/cube_philo_sky3/");
  TempDir out;
  const struct {
    const char* name;
    std::vector<std::string> args;
  } cases[] = {
      {"maketiles tif", {"maketiles", pano, out.file("o.tif"), "0", "-tiffcompress=none", "-q"}},
      {"maketiles jpg", {"maketiles", pano, out.file("o.jpg"), "0", "-q"}},
      {"maketiles kro", {"maketiles", pano, out.file("o.kro"), "0", "-q"}},
      {"maketiles psd", {"maketiles", pano, out.file("o.psd"), "0", "-q"}},
      {"maketiles tiles", {"maketiles", pano, out.file("%v_%h.kro"), "512", "-q"}},
      {"transform cube", {"transform", "cube", pano, out.file("c.kro"), "-outsize=256", "-q"}},
      {"transform hcube", {"transform", "hcube", pano, out.file("h.kro"), "-outsize=128", "-q"}},
      {"transform view", {"transform", "view", pano, out.file("v.kro"), "-outsize=640x480", "-q"}},
      {"makepreview", {"makepreview", pano, "-size=2048x1024", "-o=" + out.file("p.kro"), "-q"}},
      {"makethumb", {"makethumb", pano, out.file("t.jpg"), "2048"}},
      {"cube2sphere",
       {"cube2sphere", "-l=" + faces + "sky3_lf.jpg", "-f=" + faces + "sky3_ft.jpg",
        "-r=" + faces + "sky3_rt.jpg", "-b=" + faces + "sky3_bk.jpg", "-u=" + faces + "sky3_up.jpg",
        "-d=" + faces + "sky3_dn.jpg", "-outsize=1024x512", "-o=" + out.file("s.kro"), "-q"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const CommandResult result = run_with_file_limit(c.args, 64 * 1024);
    EXPECT_EQ(result.status, 1) << result.out << result.err;
    EXPECT_EQ(qv_test::list_files(out.path), std::vector<std::string>{});
    for (const std::string& name : qv_test::list_files(out.path)) {
      std::remove(out.file(name).c_str());
    }
  }
}

// An output folder that cannot hold files (here a name under a regular file, which fails for
// root too): every tool names the file, gives the system's reason on the next line, does not
// say "done." after it and ends with status 1.
TEST(WriteFailure, TheSystemsReasonIsGivenAndNothingIsDone) {
  const std::string pano = corpus_file("pano/xplanet_earth.jpg");  // 2048 x 1024
  const std::string faces = corpus_file("pano/cube_philo_sky3/");
  TempDir dir;
  ASSERT_TRUE(qv_test::write_file(dir.file("plain"), "a file, not a folder"));
  const std::string out = dir.file("plain/");
  const std::string reason = "       - not a directory!\n";
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::string message;  // the tool's line before the reason
  } cases[] = {
      {"transform cube",
       {"transform", "cube", pano, out + "c.jpg", "-outsize=64"},
       "error creating file \"" + out + "c_f.jpg\"!\n"},
      {"maketiles",
       {"maketiles", pano, out + "o.jpg", "0"},
       "ERROR: unable to create file " + out + "o.jpg\n"},
      {"makepreview",
       {"makepreview", pano, "-size=256x128", "-o=" + out + "p.jpg"},
       "ERROR: unable to create file " + out + "p.jpg\n"},
      {"makethumb",
       {"makethumb", pano, out + "t.jpg", "64"},
       "ERROR: creating file " + out + "t.jpg failed!\n"},
      {"cube2sphere",
       {"cube2sphere", "-l=" + faces + "sky3_lf.jpg", "-f=" + faces + "sky3_ft.jpg",
        "-r=" + faces + "sky3_rt.jpg", "-b=" + faces + "sky3_bk.jpg", "-u=" + faces + "sky3_up.jpg",
        "-d=" + faces + "sky3_dn.jpg", "-outsize=256x128", "-o=" + out + "s.jpg"},
       "error creating file \"" + out + "s.jpg\"!\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const CommandResult result = qv_test::run_qorveltools(c.args);
    const std::string text = result.out + result.err;
    EXPECT_EQ(result.status, 1) << text;
    const size_t reported = text.find(c.message + reason);
    ASSERT_NE(reported, std::string::npos) << text;
    // Loading steps before it may say "done."; nothing after it does.
    EXPECT_EQ(text.find("done.", reported), std::string::npos) << text;
  }
  EXPECT_EQ(qv_test::list_files(dir.path), std::vector<std::string>{"plain"});
}

}  // namespace
