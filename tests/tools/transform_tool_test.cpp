// The transform tool from the command line: names and sizes of every mode, option and config
// rules, messages and exit statuses of bad input, and the in-file comment.
#include "base/paths.h"
#include "tools/transform_tool.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "imageio/image_file.h"
#include "support/test_images.h"
#include "support/test_support.h"

namespace {

using qv_test::CommandResult;
using qv_test::run_qorveltools;

constexpr double kPiValue = 3.14159265358979323846;

// A smooth panorama (colour continuous over the sphere) of width × height.
bool write_pano(const std::string& path, int width, int height, PixelFormat format = kPixelRgb8) {
  ImageProps props;
  image_default_props(&props);
  props.jpeg_quality = 95;
  ImageFilePtr file = image_create_write(format, path, width, height, props);
  if (!file) return false;
  const int channels = format == kPixelGray8 ? 1 : 3;
  std::vector<uint8_t> row(static_cast<size_t>(file->bytes_per_row));
  for (int y = 0; y < height; ++y) {
    const double latitude = kPiValue / 2 - (y + 0.5) / height * kPiValue;
    for (int x = 0; x < width; ++x) {
      const double longitude = (x + 0.5) / width * 2 * kPiValue - kPiValue;
      const double d[3] = {std::cos(latitude) * std::sin(longitude), std::sin(latitude),
                           -std::cos(latitude) * std::cos(longitude)};
      for (int c = 0; c < channels; ++c) {
        row[x * channels + c] = static_cast<uint8_t>(std::lround(128 + 120 * d[c]));
      }
    }
    if (!image_write_row(file.get(), row.data())) return false;
  }
  return image_close(std::move(file));
}

struct Size {
  int width = 0;
  int height = 0;
  bool operator==(const Size& other) const {
    return width == other.width && height == other.height;
  }
};

Size image_size(const std::string& path) {
  ImageFilePtr file = image_open_read(path, nullptr);
  if (!file) return {};
  return {file->width, file->height};
}

// The luminance sampling factors of a baseline JPEG's first component.
int jpeg_luma_sampling(const std::string& path) {
  const std::string data = qv_test::read_file(path);
  for (size_t i = 2; i + 11 < data.size(); ++i) {
    if (static_cast<uint8_t>(data[i]) == 0xFF &&
        (static_cast<uint8_t>(data[i + 1]) == 0xC0 || static_cast<uint8_t>(data[i + 1]) == 0xC2)) {
      return static_cast<uint8_t>(data[i + 11]);  // 0x11 = 1 × 1, 0x22 = 2 × 2
    }
  }
  return -1;
}

// The quantisation tables of a JPEG (its DQT segments), which follow the quality.
std::string jpeg_tables(const std::string& path) {
  const std::string data = qv_test::read_file(path);
  std::string tables;
  for (size_t i = 2; i + 4 < data.size();) {
    if (static_cast<uint8_t>(data[i]) != 0xFF) break;
    const int marker = static_cast<uint8_t>(data[i + 1]);
    const size_t length =
        (static_cast<uint8_t>(data[i + 2]) << 8) | static_cast<uint8_t>(data[i + 3]);
    if (marker == 0xDB) tables += data.substr(i + 4, length - 2);
    if (marker == 0xDA) break;
    i += 2 + length;
  }
  return tables;
}

// Mean absolute difference of two RGB images of the same size; -1 when unreadable or sizes differ.
double mean_difference(const std::string& a, const std::string& b) {
  const qv_test::Pixels pa = qv_test::read_pixels(a);
  const qv_test::Pixels pb = qv_test::read_pixels(b);
  if (!pa.ok || !pb.ok || pa.bytes.size() != pb.bytes.size()) return -1;
  double sum = 0;
  for (size_t i = 0; i < pa.bytes.size(); ++i) sum += std::abs(pa.bytes[i] - pb.bytes[i]);
  return sum / pa.bytes.size();
}

class TransformTool : public ::testing::Test {
 protected:
  void SetUp() override {
    pano = dir.file("pano.jpg");
    ASSERT_TRUE(write_pano(pano, 400, 200));
  }
  CommandResult run(std::vector<std::string> args) { return run_qorveltools(args); }
  qv_test::TempDir dir;
  std::string pano;
};

TEST_F(TransformTool, CubeWritesSixFacesInOrderWithNaturalOrEvenSize) {
  CommandResult result = run({"transform", "cube", pano, dir.file("out.jpg")});
  ASSERT_EQ(result.status, 0) << result.out;
  EXPECT_NE(result.out.find("\nqorvel sphere2cube / transform tool 1.19-pr16 - 32bit (build "),
            std::string::npos);
  EXPECT_NE(result.out.find("loading inputimage ...\n"), std::string::npos);
  EXPECT_NE(result.out.find("done. (input imagesize 400x200)\n"), std::string::npos);
  EXPECT_NE(result.out.find("making cube files... 6x127x127\n"), std::string::npos);
  size_t last = 0;
  for (const char* face :
       {"up...     ", "left...   ", "front...  ", "right...  ", "back...   ", "down...   "}) {
    const size_t at = result.out.find(std::string("making ") + face);
    ASSERT_NE(at, std::string::npos) << face;
    EXPECT_GT(at, last);
    last = at;
  }
  EXPECT_NE(result.out.find("100%   \rdone.\n"), std::string::npos);
  for (const char* suffix : {"_u", "_l", "_f", "_r", "_b", "_d"}) {
    EXPECT_EQ(image_size(dir.file(std::string("out") + suffix + ".jpg")), (Size{127, 127}));
  }
  EXPECT_EQ(qv_test::list_files(dir.path).size(), 7u);

  struct Case {
    int width;
    bool even;
    int size;
  };
  for (const Case& c : {Case{400, true, 128}, Case{405, false, 129}, Case{405, true, 130}}) {
    ASSERT_TRUE(write_pano(dir.file("p.kro"), c.width, 200));
    std::vector<std::string> args = {"sphere2cube", "cube", dir.file("p.kro"), dir.file("e.kro"),
                                     "-q"};
    if (c.even) args.push_back("-even");
    ASSERT_EQ(run(args).status, 0);
    EXPECT_EQ(image_size(dir.file("e_f.kro")), (Size{c.size, c.size})) << c.width;
  }
}

TEST_F(TransformTool, StripsAndGridsWithJpegRoundingAndNames) {
  ASSERT_TRUE(write_pano(dir.file("pano.kro"), 400, 200));
  struct Case {
    const char* mode;
    const char* output;
    const char* written;
    Size size;
    const char* message;
  };
  const Case cases[] = {
      {"hcube", "strip.jpg", "strip.jpg", {768, 128}, "making horizontal cubestrip... 768x128\n"},
      {"hcube", "strip.kro", "strip.kro", {762, 127}, "making horizontal cubestrip... 762x127\n"},
      {"vcube", "v.JPEG", "v.JPEG", {128, 768}, "making vertical cubestrip... 128x768\n"},
      {"cube32", "g.kro", "g.kro", {381, 254}, "making 3x2 cubestrip... 381x254\n"},
      {"cube3x2", "g.kro", "g.kro", {381, 254}, "making 3x2 cubestrip... 381x254\n"},
      {"CUBE23", "g.kro", "g.kro", {254, 381}, "making 2x3 cubestrip... 254x381\n"},
      {"cube2x3", "pano.kro", "pano_cubestrip.kro", {254, 381}, "making 2x3 cubestrip"},
  };
  for (const Case& c : cases) {
    CommandResult result = run({"qtransform", c.mode, dir.file("pano.kro"), dir.file(c.output)});
    ASSERT_EQ(result.status, 0) << c.mode;
    EXPECT_NE(result.out.find(c.message), std::string::npos) << result.out;
    EXPECT_EQ(image_size(dir.file(c.written)), c.size) << c.mode << " " << c.output;
  }
  // JPEG strips force 4:4:4 sampling whatever was asked; faces keep the option's sampling.
  ASSERT_EQ(run({"transform", "hcube", pano, dir.file("s.jpg"), "-jpegsubsamp=420", "-q"}).status,
            0);
  EXPECT_EQ(jpeg_luma_sampling(dir.file("s.jpg")), 0x11);
  ASSERT_EQ(run({"transform", "cube", pano, dir.file("c.jpg"), "-jpegsubsamp=420", "-q"}).status,
            0);
  EXPECT_EQ(jpeg_luma_sampling(dir.file("c_f.jpg")), 0x22);
}

TEST_F(TransformTool, ViewSizesNamesAndDirections) {
  CommandResult result = run({"transform", "view", pano, dir.file("pano")});
  ASSERT_EQ(result.status, 0) << result.out;
  EXPECT_NE(result.out.find("making view... 133x100\n"), std::string::npos);
  EXPECT_EQ(image_size(dir.file("pano_view.jpg")), (Size{133, 100}));

  ASSERT_EQ(run({"transform", "view", pano, dir.file("v.kro"), "-outsize=80x60", "-q"}).status, 0);
  EXPECT_EQ(image_size(dir.file("v.kro")), (Size{80, 60}));

  // -lookat=90,0,0 shows the right-hand side: the view equals a right view made the legacy way.
  ASSERT_EQ(
      run({"transform", "view", pano, dir.file("a.kro"), "-outsize=64x48", "-lookat=90", "-q"})
          .status,
      0);
  ASSERT_EQ(run({"transform", "view", pano, dir.file("b.kro"), "0", "90", "0", "90",
                 "-outsize=64x48", "-q"})
                .status,
            0);
  const double same = mean_difference(dir.file("a.kro"), dir.file("b.kro"));
  EXPECT_GE(same, 0);
  EXPECT_LT(same, 0.05);
  ASSERT_EQ(run({"transform", "view", pano, dir.file("c.kro"), "-outsize=64x48", "-q"}).status, 0);
  EXPECT_GT(mean_difference(dir.file("a.kro"), dir.file("c.kro")), 10);
}

// A negative number is a value, not an option: the legacy view angles may be negative.
TEST_F(TransformTool, LegacyViewAnglesMayBeNegative) {
  for (const char* angle : {"-30", "30"}) {
    const CommandResult result =
        run({"transform", "view", pano, dir.file(std::string(angle) + ".kro"), angle, "0", "0",
             "90", "-outsize=64x48", "-q"});
    ASSERT_EQ(result.status, 0) << angle << " " << result.out;
  }
  EXPECT_GT(mean_difference(dir.file("-30.kro"), dir.file("30.kro")), 10);
}

TEST_F(TransformTool, LookatAndRotateTurnTheCube) {
  ASSERT_EQ(run({"transform", "cube", pano, dir.file("plain.kro"), "-outsize=48", "-q"}).status, 0);
  ASSERT_EQ(run({"transform", "cube", pano, dir.file("turned.kro"), "-outsize=48", "-lookat=90,0,0",
                 "-q"})
                .status,
            0);
  const double turned = mean_difference(dir.file("turned_f.kro"), dir.file("plain_r.kro"));
  EXPECT_GE(turned, 0);
  EXPECT_LT(turned, 0.05);
  ASSERT_EQ(run({"transform", "cube", pano, dir.file("r.kro"), "-outsize=48",
                 "-rotate=yxz,10,20,-5", "-q"})
                .status,
            0);
  ASSERT_EQ(
      run({"transform", "cube", pano, dir.file("l.kro"), "-outsize=48", "-lookat=20,10,5", "-q"})
          .status,
      0);
  for (const char* side : {"_f", "_u", "_b"}) {
    const double same = mean_difference(dir.file(std::string("r") + side + ".kro"),
                                        dir.file(std::string("l") + side + ".kro"));
    EXPECT_GE(same, 0);
    EXPECT_LT(same, 0.05) << side;
  }
}

TEST_F(TransformTool, BadArgumentsStopWithTheirMessages) {
  const std::string out = dir.file("o.jpg");
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"view", pano, out, "-outsize=800"}, "invalid or bad argument: -outsize=800\n"},
      {{"cube", pano, out, "-outsize=0"}, "invalid or bad argument: -outsize=0\n"},
      {{"view", pano, out, "-fov=180"}, "invalid or bad argument: -fov=180\n"},
      {{"view", pano, out, "-fov=0"}, "invalid or bad argument: -fov=0\n"},
      {{"view", pano, out, "0", "0", "0", "179.5"}, "ERROR: view mode - too large fov value!\n"},
      {{"view", pano, out, "0", "0", "0", "0"}, "ERROR: view mode - too small fov value!\n"},
      {{"cube", pano, out, "-lookat=10,20,0", "-rotate=XYZ,0,0,0"},
       "ERROR: -lookat and -rotate can't be used together!\n"},
      {{"cube", pano, out, "-rotate=abc,1,2,3"}, "ERROR: invalid rotation order!\n"},
      {{"cube", pano, out, "-rotate=XYZ,1,2"}, "invalid or bad argument: -rotate=XYZ,1,2\n"},
      {{"cube", pano, out, "-lookat=x"}, "invalid or bad argument: -lookat=x\n"},
      {{"cube", pano, out, "-jpegquality=101"}, "invalid or bad argument: -jpegquality=101\n"},
      {{"cube", pano, out, "-jpegsubsamp=421"}, "invalid or bad argument: -jpegsubsamp=421\n"},
      {{"cube", pano, out, "-tiffcompress=lzma"}, "invalid or bad argument: -tiffcompress=lzma\n"},
      {{"cube", pano, out, "-profile=keep"}, "invalid or bad argument: -profile=keep\n"},
      {{"cube", pano, out, "-Bogus"}, "invalid or bad argument: -Bogus\n"},
      {{"cube", pano, out, "third"}, "invalid or bad argument: third\n"},
      {{"cube", pano, out, "-config=" + dir.file("none.config")},
       "ERROR: loading config - \"" + dir.file("none.config") + "\" - failed!\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"transform"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    CommandResult result = run(args);
    EXPECT_EQ(result.status, 1) << c.message;
    EXPECT_EQ(result.out, c.message);
  }
  EXPECT_EQ(qv_test::list_files(dir.path), std::vector<std::string>{"pano.jpg"});

  for (std::vector<std::string> args :
       {std::vector<std::string>{"transform"}, std::vector<std::string>{"transform", "cube"}}) {
    CommandResult result = run(args);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out.find("\nqorvel sphere2cube / transform tool "), 0u);
    EXPECT_NE(result.out.find("\n\nSyntax:\n   qorveltools transform MODE inputfile outputfile "
                              "[options]\n"),
              std::string::npos);
    EXPECT_NE(result.out.find("  jpg/jpeg, tif/tiff/btf/tf8/bigtiff, psd/psb, kro (8 or 16bit, "
                              "RGB or RGBA)\n"),
              std::string::npos);
  }
}

TEST_F(TransformTool, BadInputsAreRejectedWithoutOutputs) {
  ASSERT_TRUE(write_pano(dir.file("gray.jpg"), 400, 200, kPixelGray8));
  ASSERT_TRUE(write_pano(dir.file("tall.kro"), 100, 99));
  ASSERT_TRUE(qv_test::write_file(dir.file("text.jpg"), "not an image"));
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const std::string out = dir.file("o.jpg");
  const Case cases[] = {
      {{"cube", dir.file("missing.jpg"), out, "-q"},
       "loading error!\n       - no such file or directory!\n\n"},
      {{"cube", dir.file("text.jpg"), out, "-q"},
       "loading error - not a jpeg, tiff, psd/psb, kro or png file!\n\n"},
      {{"cube", "-q", "-fast"}, "loading error!\n\n"},
      {{"cube", dir.file("gray.jpg"), out, "-q"},
       "loading error - only 8 or 16 bit RGB or RGBA format supported!\n\n"},
      {{"cube", dir.file("tall.kro"), out, "-q"},
       "loading error - not a spherical or cylindrical image!\n\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"transform"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    CommandResult result = run(args);
    EXPECT_EQ(result.status, 1) << c.message;
    EXPECT_EQ(result.out, c.message);
  }
  EXPECT_EQ(qv_test::list_files(dir.path).size(), 4u);  // the inputs only

  // 100 × 98 is a partial panorama, accepted.
  ASSERT_TRUE(write_pano(dir.file("band.kro"), 100, 98));
  EXPECT_EQ(run({"transform", "cube", dir.file("band.kro"), dir.file("band_out.kro"), "-q"}).status,
            0);
  EXPECT_EQ(image_size(dir.file("band_out_u.kro")), (Size{32, 32}));

  // An output folder that does not exist: each face reports, the run fails.
  CommandResult result = run({"transform", "cube", pano, dir.file("nowhere/o.jpg"), "-outsize=16"});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.out.find("error creating file \"" + dir.file("nowhere/o_u.jpg") +
                            "\"!\n       - no such file or directory!\n\n"),
            std::string::npos);
  EXPECT_FALSE(qv_test::file_exists(dir.file("nowhere")));

  // A face whose name is taken by a folder: reported, the other faces still made, no temporary
  // file left beside it, the run fails.
  qv_test::TempDir folder;
  ASSERT_EQ(mkdir(folder.file("x_f.kro").c_str(), 0755), 0);
  result = run({"transform", "cube", pano, folder.file("x.kro"), "-outsize=16"});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.out.find("error creating file \"" + folder.file("x_f.kro") +
                            "\"!\n       - is a directory!\n\n"),
            std::string::npos);
  EXPECT_EQ(
      qv_test::list_files(folder.path),
      (std::vector<std::string>{"x_b.kro", "x_d.kro", "x_f.kro", "x_l.kro", "x_r.kro", "x_u.kro"}));

  // A view or a strip that cannot be made fails the run as well.
  for (const char* mode : {"view", "hcube"}) {
    const char* size = mode[0] == 'v' ? "-outsize=16x12" : "-outsize=16";
    result = run({"transform", mode, pano, dir.file("nowhere/v.jpg"), size, "-q"});
    EXPECT_EQ(result.status, 1) << mode;
    EXPECT_EQ(result.out, "error creating file \"" + dir.file("nowhere/v.jpg") +
                              "\"!\n       - no such file or directory!\n\n")
        << mode;
  }
}

// 16-bit sources give 16-bit RGB faces, 8-bit RGBA sources 8-bit RGB faces (alpha ignored).
TEST_F(TransformTool, OutputDepthFollowsTheSource) {
  ASSERT_TRUE(qv_test::write_pattern(dir.file("wide.kro"), kPixelRgba16, 200, 100));
  ASSERT_TRUE(qv_test::write_pattern(dir.file("alpha.kro"), kPixelRgba8, 200, 100));
  ASSERT_EQ(run({"transform", "cube", dir.file("wide.kro"), dir.file("w.kro"), "-q"}).status, 0);
  ASSERT_EQ(run({"transform", "cube", dir.file("alpha.kro"), dir.file("a.kro"), "-q"}).status, 0);
  const qv_test::Pixels wide = qv_test::read_pixels(dir.file("w_f.kro"));
  const qv_test::Pixels alpha = qv_test::read_pixels(dir.file("a_f.kro"));
  ASSERT_TRUE(wide.ok);
  ASSERT_TRUE(alpha.ok);
  EXPECT_EQ(wide.format, kPixelRgb16);
  EXPECT_EQ(alpha.format, kPixelRgb8);
  EXPECT_EQ(wide.width, 64);
}

TEST_F(TransformTool, ConfigSectionAndPrecedence) {
  const std::string config = dir.file("my.config");
  ASSERT_TRUE(qv_test::write_file(config,
                                  "[other]\ncubesize=10\n"
                                  "[Convert SPHERE to CUBE]\r\n"
                                  "# comment line\n"
                                  "cubesize=40   \n"
                                  "OutputFormat=kro\n"
                                  "noequals\n"
                                  "[next]\ncubesize=20\n"));
  // Options after -config override it, options before are overridden.
  ASSERT_EQ(run({"transform", "cube", pano, dir.file("a.jpg"), "-config=" + config, "-q"}).status,
            0);
  EXPECT_EQ(image_size(dir.file("a_f.kro")), (Size{40, 40}));
  ASSERT_EQ(
      run({"transform", "cube", pano, dir.file("b.jpg"), "-config=" + config, "-outsize=24", "-q"})
          .status,
      0);
  EXPECT_EQ(image_size(dir.file("b_f.kro")), (Size{24, 24}));
  ASSERT_EQ(
      run({"transform", "cube", pano, dir.file("c.jpg"), "-outsize=24", "-config=" + config, "-q"})
          .status,
      0);
  EXPECT_EQ(image_size(dir.file("c_f.kro")), (Size{40, 40}));

  // The config's quality (92 when not set) replaces an earlier -jpegquality; a later one wins.
  const std::string jpeg_config = dir.file("jpeg.config");
  ASSERT_TRUE(qv_test::write_file(jpeg_config,
                                  "[Convert SPHERE to CUBE]\noutputformat=jpg\ncubesize=16\n"));
  ASSERT_EQ(
      run({"transform", "cube", pano, dir.file("q50.jpg"), "-outsize=16", "-jpegquality=50", "-q"})
          .status,
      0);
  ASSERT_EQ(
      run({"transform", "cube", pano, dir.file("q92.jpg"), "-outsize=16", "-jpegquality=92", "-q"})
          .status,
      0);
  ASSERT_EQ(run({"transform", "cube", pano, dir.file("before.jpg"), "-jpegquality=50",
                 "-config=" + jpeg_config, "-q"})
                .status,
            0);
  ASSERT_EQ(run({"transform", "cube", pano, dir.file("after.jpg"), "-config=" + jpeg_config,
                 "-jpegquality=50", "-q"})
                .status,
            0);
  ASSERT_NE(jpeg_tables(dir.file("q50_f.jpg")), jpeg_tables(dir.file("q92_f.jpg")));
  EXPECT_EQ(jpeg_tables(dir.file("before_f.jpg")), jpeg_tables(dir.file("q92_f.jpg")));
  EXPECT_EQ(jpeg_tables(dir.file("after_f.jpg")), jpeg_tables(dir.file("q50_f.jpg")));

  // cubeformat turns a cube run into a strip run.
  const std::string strip_config = dir.file("strip.config");
  ASSERT_TRUE(qv_test::write_file(
      strip_config, "[Convert SPHERE to CUBE]\ncubeformat=HCUBE\noutputformat=kro\ncubesize=20\n"));
  CommandResult result =
      run({"transform", "cube", pano, dir.file("s.jpg"), "-config=" + strip_config});
  ASSERT_EQ(result.status, 0);
  EXPECT_NE(result.out.find("making horizontal cubestrip... 120x20\n"), std::string::npos);
  EXPECT_EQ(image_size(dir.file("s.kro")), (Size{120, 20}));
}

TEST_F(TransformTool, QuietVerboseIpcAndComment) {
  CommandResult quiet = run({"transform", "cube", pano, dir.file("q.jpg"), "-q"});
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.out, "");
  EXPECT_EQ(quiet.err, "");

  const std::string comment = "qorvel;spheretocube;spheresize=400x200;cubesize=127;";
  EXPECT_NE(qv_test::read_file(dir.file("q_f.jpg")).find(comment), std::string::npos);
  ASSERT_EQ(run({"transform", "cube", pano, dir.file("n.jpg"), "-q", "-dontsavespheresize"}).status,
            0);
  EXPECT_EQ(qv_test::read_file(dir.file("n_f.jpg")).find("qorvel;"), std::string::npos);

  CommandResult verbose =
      run({"transform", "cube", pano, dir.file("v.jpg"), "-outsize=16", "-verbose"});
  EXPECT_EQ(verbose.status, 0);
  EXPECT_NE(verbose.out.find("done. ("), verbose.out.rfind("sec)    \n"));

  CommandResult ipc = run({"transform", "cube", pano, dir.file("i.jpg"), "-outsize=16", "-ipc"});
  EXPECT_EQ(ipc.status, 0);
  EXPECT_EQ(ipc.out.find("progress="), 0u) << ipc.out;
  EXPECT_NE(ipc.out.find("progress=100.000000"), std::string::npos);
  EXPECT_EQ(ipc.out.find("done"), std::string::npos);

  CommandResult in_process =
      run({"transform", "cube6", pano, dir.file("m.jpg"), "-outsize=16", "-makemultirescall"});
  EXPECT_EQ(in_process.status, 0);
  EXPECT_NE(in_process.out.find("   2/7 making up image... 100%        \r"), std::string::npos);
  EXPECT_NE(in_process.out.find("   7/7 making down image... "), std::string::npos);
  EXPECT_EQ(in_process.out.find("making cube files"), std::string::npos);
  EXPECT_NE(in_process.out.find("   done.                                   \n"),
            std::string::npos);

  CommandResult meminfo = run({"transform", "-meminfo"});
  EXPECT_EQ(meminfo.status, 0);
  EXPECT_EQ(meminfo.out.find("totalmem:  "), 0u);
  EXPECT_NE(meminfo.out.find(" MB\navailmem:  "), std::string::npos);
}

// Real panoramas of the corpus (JPEG, PNG, partial, RGBA) and what happens to an ICC profile.
TEST(TransformCorpus, RealPanoramasAndProfileModes) {
  qv_test::TempDir dir;
  for (const char* name : {"pano/xplanet_earth.jpg", "pano/stellarium_grossmugl_partial.png",
                           "pano/stellarium_mars_spirit.png", "pano/goexif_has-lens-info.jpg"}) {
    CommandResult result = run_qorveltools(
        {"transform", "cube", qv_test::corpus_file(name), dir.file("c.jpg"), "-outsize=32", "-q"});
    EXPECT_EQ(result.status, 0) << name << result.out;
    EXPECT_EQ(image_size(dir.file("c_d.jpg")), (Size{32, 32})) << name;
  }
  const std::string source = qv_test::corpus_file("pano/gimphelp_little_planet-equirect.jpg");
  CommandResult verbose =
      run_qorveltools({"transform", "cube", source, dir.file("v.jpg"), "-outsize=32", "-verbose"});
  EXPECT_NE(verbose.out.find("have ICC profile: Viseo223DX - size=1388 byte\n"), std::string::npos);
  struct Case {
    const char* mode;
    size_t profile_size;
  };
  for (const Case& c :
       {Case{"copy", 1388}, Case{"srgb", 491}, Case{"convert", 0}, Case{"skip", 0}}) {
    const std::string out = dir.file(std::string("p_") + c.mode + ".jpg");
    ASSERT_EQ(run_qorveltools({"transform", "cube", source, out, "-outsize=32", "-q",
                               std::string("-profile=") + c.mode})
                  .status,
              0);
    const std::unique_ptr<ImageInfo> info =
        image_probe(dir.file(std::string("p_") + c.mode + "_f.jpg"));
    ASSERT_TRUE(info) << c.mode;
    EXPECT_EQ(info->icc.size(), c.profile_size) << c.mode;
  }
  // Converting to sRGB changes the pixels, copying keeps them.
  EXPECT_GT(mean_difference(dir.file("p_convert_f.jpg"), dir.file("p_copy_f.jpg")), 0.5);
  EXPECT_LT(mean_difference(dir.file("p_skip_f.jpg"), dir.file("p_copy_f.jpg")), 0.01);
}

TEST(TransformNames, OutputNameRules) {
  const std::string jpg = "jpg";
  struct Case {
    const char* output;
    const char* input;
    const char* suffix;
    const std::string* extension;
    bool always;
    const char* expected;
  };
  const Case cases[] = {
      {"out.jpg", "pano.jpg", "_f", nullptr, true, "out_f.jpg"},
      {"strip.tif", "pano.tif", "_cubestrip", nullptr, false, "strip.tif"},
      {"pano.tif", "pano.tif", "_cubestrip", nullptr, false, "pano_cubestrip.tif"},
      {"", "pano.tif", "_view", nullptr, false, "pano_view.tif"},
      {"v", "pano.jpg", "_view", nullptr, false, "v.jpg"},
      {"out.tif", "pano.tif", "_u", &jpg, true, "out_u.jpg"},
      {"dir.d/out", "pano.tif", "_u", nullptr, true, "dir.d/out_u.jpg"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(make_output_name(c.output, c.input, c.suffix, c.extension, c.always), c.expected);
  }
  EXPECT_EQ(transform_mode_for_word("Cube6"), 2);
  EXPECT_EQ(transform_mode_for_word("cube2x3"), 6);
  EXPECT_EQ(transform_mode_for_word("pano.jpg"), 0);
}

}  // namespace
