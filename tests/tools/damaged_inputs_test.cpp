// Inputs that are cut short, damaged, missing or not files at all, through every tool that reads
// pixels: a cut file is refused with the decoder's reason and makes nothing; damaged data that
// the decoder can work around is made with one warning line; a name that cannot be read is
// refused with the tool's message and the system's reason on the line after, without blocking.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/test_images.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using qv_test::CommandResult;
using qv_test::run_qorveltools;
using qv_test::TempDir;

constexpr char kCutReason[] = "libjpeg - Premature end of input file\n";

std::string tour_config() {
  return fs::path(qv_test::qorveltools_binary()).parent_path().string() + "/templates/tour.config";
}

size_t count_of(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// A tool run with `input` as the image it reads (for cube2sphere: as its front face), writing
// into `out`; the names of what a successful run makes there.
struct ToolCase {
  const char* name;
  std::vector<std::string> (*args)(const std::string& input, const TempDir& faces,
                                   const TempDir& out);
};

std::vector<std::string> cube2sphere_args(const std::string& front, const TempDir& faces,
                                          const TempDir& out) {
  return {"cube2sphere",
          "-l=" + faces.file("l.jpg"),
          "-f=" + front,
          "-r=" + faces.file("r.jpg"),
          "-b=" + faces.file("b.jpg"),
          "-u=" + faces.file("u.jpg"),
          "-d=" + faces.file("d.jpg"),
          "-outsize=256x128",
          "-o=" + out.file("s.jpg")};
}

const ToolCase kTools[] = {
    {"transform",
     [](const std::string& in, const TempDir&, const TempDir& out) {
       return std::vector<std::string>{"transform", "cube", in, out.file("c.jpg"), "-outsize=64"};
     }},
    {"maketiles",
     [](const std::string& in, const TempDir&, const TempDir& out) {
       return std::vector<std::string>{"maketiles", in, out.file("t_%v_%h.jpg"), "128"};
     }},
    {"makepreview",
     [](const std::string& in, const TempDir&, const TempDir& out) {
       return std::vector<std::string>{"makepreview", in, "-size=128x64",
                                       "-o=" + out.file("p.jpg")};
     }},
    {"cube2sphere", cube2sphere_args},
    {"makethumb",
     [](const std::string& in, const TempDir&, const TempDir& out) {
       return std::vector<std::string>{"makethumb", in, out.file("thumb.jpg"), "64"};
     }},
    {"makepano",
     [](const std::string& in, const TempDir&, const TempDir& out) {
       const std::string copy = out.file("pano.jpg");
       fs::copy_file(in, copy, fs::copy_options::overwrite_existing);
       return std::vector<std::string>{"makepano", "-config=" + tour_config(), copy,
                                       "-tilesize=128"};
     }},
};

// Six pattern faces, each of them a whole JPEG of 128 x 128.
void write_faces(const TempDir& faces) {
  for (const char* name : {"l", "f", "r", "b", "u", "d"}) {
    ASSERT_TRUE(
        qv_test::write_pattern(faces.file(std::string(name) + ".jpg"), kPixelRgb8, 128, 128));
  }
}

// The panorama every case starts from: a 2:1 pattern for most tools, a square face for
// cube2sphere.
std::string write_source(const ToolCase& tool, const TempDir& dir) {
  const bool face = std::string(tool.name) == "cube2sphere";
  const std::string path = dir.file("whole.jpg");
  EXPECT_TRUE(qv_test::write_pattern(path, kPixelRgb8, face ? 128 : 512, face ? 128 : 256));
  return qv_test::read_file(path);
}

// Files in out other than the copied makepano input.
std::vector<std::string> made_files(const TempDir& out) {
  std::vector<std::string> names;
  for (const std::string& name : qv_test::list_files(out.path)) {
    if (name != "pano.jpg") names.push_back(name);
  }
  return names;
}

TEST(DamagedInputs, ACutJpegIsRefusedWithItsReasonByEveryTool) {
  TempDir faces;
  write_faces(faces);
  for (const ToolCase& tool : kTools) {
    SCOPED_TRACE(tool.name);
    TempDir dir;
    TempDir out;
    const std::string whole = write_source(tool, dir);
    const std::string cut = dir.file("cut.jpg");
    ASSERT_TRUE(qv_test::write_file(cut, whole.substr(0, whole.size() * 6 / 10)));
    const CommandResult result = run_qorveltools(tool.args(cut, faces, out));
    EXPECT_NE(result.status, 0) << result.out;
    EXPECT_NE((result.out + result.err).find(kCutReason), std::string::npos)
        << result.out << result.err;
    // No tour is made of it; tiles cut before the reader stopped are whole images.
    for (const std::string& name : made_files(out)) {
      EXPECT_EQ(name.find(".xml"), std::string::npos) << name;
      EXPECT_EQ(name.find(".html"), std::string::npos) << name;
      if (name.find(".jpg") != std::string::npos) {
        testing::internal::CaptureStdout();
        EXPECT_TRUE(qv_test::read_pixels(out.file(name)).ok) << name;
        testing::internal::GetCapturedStdout();
      }
    }
  }
}

// Two stray bytes between two header markers: the decoder skips them and says so.
TEST(DamagedInputs, DamagedDataThatDecodesIsMadeWithOneWarning) {
  TempDir faces;
  write_faces(faces);
  for (const ToolCase& tool : kTools) {
    SCOPED_TRACE(tool.name);
    TempDir dir;
    TempDir out;
    std::string data = write_source(tool, dir);
    const size_t frame = data.find("\xFF\xC0", 2);
    ASSERT_NE(frame, std::string::npos);
    data.insert(frame, "\x12\x34", 2);
    const std::string damaged = dir.file("damaged.jpg");
    ASSERT_TRUE(qv_test::write_file(damaged, data));
    const CommandResult result = run_qorveltools(tool.args(damaged, faces, out));
    const std::string text = result.out + result.err;
    EXPECT_EQ(result.status, 0) << text;
    const std::string warning =
        "WARNING: " + (std::string(tool.name) == "makepano" ? out.file("pano.jpg") : damaged) +
        " - libjpeg - Corrupt JPEG data: 2 extraneous bytes before "
        "marker 0xc0\n";
    EXPECT_EQ(count_of(text, warning), 1u) << text;
    EXPECT_EQ(count_of(text, "WARNING"), 1u) << text;
    EXPECT_FALSE(made_files(out).empty());
  }
}

// Names that are no file to read: each tool's own refusal, then the reason on the next line.
// A named pipe is refused at once instead of waiting for a writer that never comes.
TEST(DamagedInputs, UnreadableNamesAreRefusedWithTheSystemsReason) {
  TempDir faces;
  write_faces(faces);
  TempDir dir;
  ASSERT_EQ(mkfifo(dir.file("pipe.jpg").c_str(), 0600), 0);
  ASSERT_TRUE(fs::create_directory(dir.file("folder.jpg")));
  const struct {
    const char* name;
    const char* reason;
  } inputs[] = {
      {"missing.jpg", "no such file or directory"},
      {"pipe.jpg", "not a regular file"},
      {"folder.jpg", "not a regular file"},
  };
  const struct {
    const char* tool;
    std::string message;  // the tool's own line, %s standing for the input
  } tools[] = {
      {"transform", "loading error!\n"},
      {"maketiles", "ERROR: unable to open inputimage %s\n"},
      {"makepreview", "ERROR: unable to open inputimage %s\n"},
      {"cube2sphere", " - loading error!\n"},
      {"makethumb", "ERROR: unable to open inputimage %s\n"},
  };
  for (const auto& input : inputs) {
    for (const auto& tool : tools) {
      SCOPED_TRACE(std::string(tool.tool) + " " + input.name);
      const ToolCase* row = nullptr;
      for (const ToolCase& candidate : kTools) {
        if (std::string(candidate.name) == tool.tool) row = &candidate;
      }
      ASSERT_NE(row, nullptr);
      TempDir out;
      const std::string path = dir.file(input.name);
      const CommandResult result = run_qorveltools(row->args(path, faces, out));
      std::string message = tool.message;
      const size_t at = message.find("%s");
      if (at != std::string::npos) message.replace(at, 2, path);
      const std::string expected = message + "       - " + input.reason + "!\n";
      EXPECT_EQ(result.status, 1);
      EXPECT_NE((result.out + result.err).find(expected), std::string::npos)
          << result.out << result.err;
      EXPECT_EQ(made_files(out), std::vector<std::string>{});
    }
  }
}

}  // namespace
