// Every image tool on the inputs the image layer reads differently now, through the built
// binary: CMYK and YCCK JPEG files, refused files with their reason, skybox face names, and tile
// rows of more TIFF or PSD files than the process may keep open.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "cmyk_jpeg_files.h"
#include "imageio/color_profile.h"
#include "imageio/image_file.h"
#include "support/test_images.h"
#include "support/test_support.h"

namespace {

using qv_test::CommandResult;
using qv_test::corpus_file;
using qv_test::read_pixels;
using qv_test::run_qorveltools;
using qv_test::TempDir;

// Writes the RGB TIFF of a CMYK JPEG's samples converted by the formula; hinted: decoded as the
// readers decode for a load hint that keeps the size (the fast settings); halved: decoded at 1/2
// as the readers decode for a scale request.
bool write_formula_copy(const std::string& jpeg, const std::string& tiff, bool hinted = false,
                        bool halved = false) {
  const qv_test::CmykPixels cmyk =
      halved ? qv_test::decode_cmyk(jpeg, 2, false) : qv_test::decode_cmyk(jpeg, hinted ? 1 : 0);
  const std::vector<uint8_t> rgb = qv_test::cmyk_formula(cmyk.samples);
  const int width = cmyk.width;
  return qv_test::write_samples(
      tiff, kPixelRgb8, width, cmyk.height, qv_test::default_props(),
      [&](int x, int y, int c) { return rgb[(size_t(y) * width + x) * 3 + c]; });
}

// Writes the test picture as a CMYK (or YCCK) JPEG and, beside it, its formula copy.
bool write_cmyk_and_rgb(const std::string& jpeg, const std::string& tiff, int width, int height,
                        bool ycck, const std::vector<uint8_t>& icc = {}) {
  const auto sample = [&](int x, int y, int c) {
    return qv_test::picture_sample(x, y, c, width, height);
  };
  return qv_test::write_cmyk_jpeg(jpeg, width, height, ycck, 92, icc, sample) &&
         write_formula_copy(jpeg, tiff);
}

// Both images can be read and hold the same pixels.
void expect_same_pixels(const std::string& a, const std::string& b) {
  const qv_test::Pixels first = read_pixels(a);
  const qv_test::Pixels second = read_pixels(b);
  ASSERT_TRUE(first.ok) << a;
  ASSERT_TRUE(second.ok) << b;
  EXPECT_EQ(first.width, second.width) << a;
  EXPECT_EQ(first.height, second.height) << a;
  EXPECT_EQ(first.format, second.format) << a;
  EXPECT_TRUE(first.bytes == second.bytes) << a << " and " << b << " differ";
}

void expect_run(const std::vector<std::string>& args) {
  const CommandResult result = run_qorveltools(args);
  EXPECT_EQ(result.status, 0) << args[0] << ": " << result.out << result.err;
}

const char* const kSides = "lfrbud";

// Each tool makes from a CMYK or YCCK JPEG exactly what it makes from the RGB image the formula
// gives (written losslessly as TIFF): the same pixels in every output.
TEST(ImageInputs, CmykJpegGivesEveryToolItsRgbPixels) {
  for (bool ycck : {false, true}) {
    SCOPED_TRACE(ycck ? "YCCK" : "CMYK");
    TempDir dir;
    const std::string c = dir.file("c.jpg"), r = dir.file("r.tif");
    ASSERT_TRUE(write_cmyk_and_rgb(c, r, 160, 80, ycck));
    // The thumbnail reader decodes JPEG files with the fast settings of a load hint.
    ASSERT_TRUE(write_formula_copy(c, dir.file("h.tif"), true));
    expect_run({"makethumb", c, dir.file("c_thumb.jpg"), "100"});
    expect_run({"makethumb", dir.file("h.tif"), dir.file("r_thumb.jpg"), "100"});
    for (const char* n : {"c", "r"}) {
      const std::string in = dir.file(std::string(n) + (n[0] == 'c' ? ".jpg" : ".tif"));
      const std::string out = dir.file(n);
      expect_run({"transform", "cube", in, out + "_cube.tif", "-q"});
      expect_run({"transform", "view", in, out + "_view.jpg", "-q", "-outsize=64x48"});
      expect_run({"maketiles", in, out + "_%v_%h.tif", "64", "-quiet"});
      expect_run({"makepreview", in, "-o=" + out + "_preview.jpg", "-size=128x64", "-q"});
    }
    const std::string c_out = dir.file("c"), r_out = dir.file("r");
    for (const char* suffix :
         {"_thumb.jpg", "_view.jpg", "_1_1.tif", "_1_3.tif", "_2_2.tif", "_preview.jpg"}) {
      expect_same_pixels(c_out + suffix, r_out + suffix);
    }
    for (const char* side : {"_l", "_f", "_r", "_b", "_u", "_d"}) {
      expect_same_pixels(c_out + "_cube" + side + ".tif", r_out + "_cube" + side + ".tif");
    }
    // Six CMYK faces make the sphere their RGB copies make. The preview's faces of 16 pixels
    // are read from them at 1/2, which the copies of the halved faces reproduce.
    for (int side = 0; side < 6; ++side) {
      const std::string letter(1, kSides[side]);
      ASSERT_TRUE(write_cmyk_and_rgb(dir.file("fc_" + letter + ".jpg"),
                                     dir.file("fr_" + letter + ".tif"), 48, 48, ycck));
      ASSERT_TRUE(write_formula_copy(dir.file("fc_" + letter + ".jpg"),
                                     dir.file("fh_" + letter + ".tif"), false, true));
    }
    expect_run({"cube2sphere", dir.file("fc_*.jpg"), "-o=" + dir.file("fc.tif"), "-q"});
    expect_run({"cube2sphere", dir.file("fr_*.tif"), "-o=" + dir.file("fr.tif"), "-q"});
    expect_same_pixels(dir.file("fc.tif"), dir.file("fr.tif"));
    std::vector<std::string> preview = {"makepreview"}, reference = {"makepreview"};
    for (int side = 0; side < 6; ++side) {
      preview.push_back(dir.file(std::string("fc_") + kSides[side] + ".jpg"));
      reference.push_back(dir.file(std::string("fh_") + kSides[side] + ".tif"));
    }
    for (auto* args : {&preview, &reference}) args->push_back("-size=64x32");
    preview.push_back("-o=" + dir.file("fcp.jpg"));
    reference.push_back("-o=" + dir.file("frp.jpg"));
    expect_run(preview);
    expect_run(reference);
    expect_same_pixels(dir.file("fcp.jpg"), dir.file("frp.jpg"));
  }
}

double psnr_between(const std::string& a, const std::string& b) {
  const qv_test::Pixels first = read_pixels(a);
  const qv_test::Pixels second = read_pixels(b);
  if (!first.ok || !second.ok || first.width != second.width || first.height != second.height) {
    return 0;
  }
  return qv_test::psnr(first, second, 0);
}

// The same picture stored as YCCK gives the cube faces the CMYK file gives, within the JPEG
// coding difference.
TEST(ImageInputs, YcckPanoramaAgreesWithCmyk) {
  TempDir dir;
  ASSERT_TRUE(write_cmyk_and_rgb(dir.file("c.jpg"), dir.file("cr.tif"), 200, 100, false));
  ASSERT_TRUE(write_cmyk_and_rgb(dir.file("y.jpg"), dir.file("yr.tif"), 200, 100, true));
  expect_run({"transform", "cube", dir.file("c.jpg"), dir.file("c.tif"), "-q"});
  expect_run({"transform", "cube", dir.file("y.jpg"), dir.file("y.tif"), "-q"});
  for (const char* side : {"_l", "_f", "_r", "_b", "_u", "_d"}) {
    EXPECT_GT(psnr_between(dir.file(std::string("c") + side + ".tif"),
                           dir.file(std::string("y") + side + ".tif")),
              38.0)
        << side;
  }
}

// A CMYK file's profile describes its CMYK samples only: "copy" does not embed it with the RGB
// output and "convert" does not apply it a second time, in each tool that handles profiles.
TEST(ImageInputs, CmykProfileStaysWithTheCmykFile) {
  TempDir dir;
  const std::vector<uint8_t> icc = qv_test::make_cmyk_profile(9);
  ASSERT_LT(icc.size(), 65519u);  // one marker, so that the probe reports it
  ASSERT_TRUE(write_cmyk_and_rgb(dir.file("c.jpg"), dir.file("formula.tif"), 160, 80, false, icc));
  auto info = image_probe(dir.file("c.jpg"));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->icc, icc);  // the probe still shows the file's profile
  // What the reader delivers: the samples through the profile.
  const qv_test::Pixels delivered = read_pixels(dir.file("c.jpg"));
  ASSERT_TRUE(delivered.ok);
  ASSERT_TRUE(qv_test::write_samples(dir.file("srgb.tif"), kPixelRgb8, 160, 80,
                                     qv_test::default_props(),
                                     [&](int x, int y, int c) { return delivered.at(x, y)[c]; }));
  for (const char* mode : {"copy", "convert", "srgb"}) {
    SCOPED_TRACE(mode);
    const std::string profile = std::string("-profile=") + mode;
    const std::string tiles = dir.file(std::string(mode) + "_tile.tif");
    const std::string cube = dir.file(std::string(mode) + "_cube.tif");
    const std::string preview = dir.file(std::string(mode) + "_preview.jpg");
    expect_run({"maketiles", dir.file("c.jpg"), tiles, "0", "-quiet", profile});
    expect_run({"transform", "cube", dir.file("c.jpg"), cube, "-q", profile});
    expect_run({"makepreview", dir.file("c.jpg"), "-o=" + preview, "-size=64x32", "-q", profile});
    expect_same_pixels(tiles, dir.file("srgb.tif"));
    for (const std::string& output :
         {tiles, dir.file(std::string(mode) + "_cube_f.tif"), preview}) {
      auto written = image_probe(output);
      ASSERT_TRUE(written) << output;
      EXPECT_FALSE(icc_profile_is_cmyk(written->icc)) << output;
      EXPECT_TRUE(written->icc.empty()) << output;
    }
  }
  // The cube faces are those of the converted rows.
  expect_run({"transform", "cube", dir.file("srgb.tif"), dir.file("ref_cube.tif"), "-q"});
  expect_same_pixels(dir.file("convert_cube_f.tif"), dir.file("ref_cube_f.tif"));
}

// Where libvips is installed: the tools make from a CMYK file with a profile what they make from
// the RGB file libvips converts it into (into the same sRGB profile).
TEST(ImageInputs, CmykOutputsAgreeWithLibvipsConversion) {
  if (!qv_test::have_vips()) GTEST_SKIP() << "vips is not installed";
  TempDir dir;
  const std::string srgb_file = dir.file("srgb.icc");
  ASSERT_TRUE(qv_test::save_library_srgb(srgb_file));
  const std::vector<uint8_t> icc = qv_test::make_cmyk_profile(17);
  ASSERT_TRUE(write_cmyk_and_rgb(dir.file("c.jpg"), dir.file("formula.tif"), 240, 120, false, icc));
  ASSERT_TRUE(qv_test::vips_convert(dir.file("c.jpg"), dir.file("vips.tif"), srgb_file));
  for (const char* n : {"c.jpg", "vips.tif"}) {
    const std::string out = dir.file(std::string(n) + "_");
    expect_run({"transform", "cube", dir.file(n), out + "cube.tif", "-q", "-profile=skip"});
    expect_run({"makethumb", dir.file(n), out + "thumb.jpg", "120"});
  }
  // The thumbnail decodes the JPEG file with the fast settings, vips did not: a looser bound.
  const struct {
    const char* output;
    double least_psnr;
  } outputs[] = {{"cube_f.tif", 50}, {"cube_u.tif", 50}, {"thumb.jpg", 40}};
  for (const auto& row : outputs) {
    const double psnr = psnr_between(dir.file(std::string("c.jpg_") + row.output),
                                     dir.file(std::string("vips.tif_") + row.output));
    printf("    %s from the CMYK file against the one from vips's conversion: PSNR %.1f dB\n",
           row.output, psnr);
    EXPECT_GT(psnr, row.least_psnr) << row.output;
  }
}

// Every tool says, in one line under its own message, why it refuses a file.
TEST(ImageInputs, RefusalsSayWhyInEveryTool) {
  TempDir dir;
  const std::string float_tiff = corpus_file("tiff/pillow_10ct_32bit_128.tiff");
  const std::string reason = "       - floating-point tiff files are not supported!\n";
  ASSERT_TRUE(qv_test::write_file(dir.file("notes.jpg"), "shopping list, not a picture"));
  const std::string unknown = "not a jpeg, tiff, psd/psb, kro or png file";
  CommandResult result = run_qorveltools({"makethumb", float_tiff, dir.file("t.jpg")});
  EXPECT_EQ(result.out.rfind("ERROR: unable to open inputimage " + float_tiff + "\n" + reason, 0),
            0u)
      << result.out;
  result = run_qorveltools({"maketiles", float_tiff, dir.file("t.jpg"), "0"});
  EXPECT_NE(result.out.find("ERROR: unable to open inputimage " + float_tiff + "\n" + reason),
            std::string::npos)
      << result.out;
  result = run_qorveltools({"makepreview", float_tiff, "-q", "-o=" + dir.file("p.jpg")});
  EXPECT_EQ(result.out, "ERROR: unable to open inputimage " + float_tiff + "\n" + reason);
  result = run_qorveltools({"transform", "cube", dir.file("notes.jpg"), dir.file("o.jpg"), "-q"});
  EXPECT_EQ(result.out, "loading error - " + unknown + "!\n\n");
  result = run_qorveltools({"transform", "cube", float_tiff, dir.file("o.jpg"), "-q"});
  EXPECT_EQ(result.out, "loading error - floating-point tiff files are not supported!\n\n");
  // cube2sphere: a face that cannot be read.
  for (int side = 0; side < 6; ++side) {
    ASSERT_TRUE(qv_test::write_pattern(dir.file(std::string("f_") + kSides[side] + ".tif"),
                                       kPixelRgb8, 16, 16));
  }
  result = run_qorveltools({"cube2sphere", dir.file("f_*.tif"), "-u=" + dir.file("notes.jpg"), "-q",
                            "-o=" + dir.file("s.tif")});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, " - loading error!\n       - " + unknown + "!\n\n");
  for (const char* output : {"t.jpg", "p.jpg", "o_f.jpg", "s.tif"}) {
    EXPECT_FALSE(qv_test::file_exists(dir.file(output))) << output;
  }
}

// The corpus skybox (sky3_ft, _bk, _lf, _rt, _up, _dn) goes through cube2sphere and
// makepreview by its names; faces named posx … negz take the sides of the cube-map axes.
TEST(ImageInputs, SkyboxFaceNames) {
  TempDir dir;
  std::vector<std::string> faces;
  for (const char* name : {"bk", "dn", "ft", "lf", "rt", "up"}) {  // as a shell lists them
    faces.push_back(corpus_file(std::string("pano/cube_philo_sky3/sky3_") + name + ".jpg"));
  }
  std::vector<std::string> args = {"cube2sphere"};
  args.insert(args.end(), faces.begin(), faces.end());
  args.push_back("-o=" + dir.file("sky.jpg"));
  CommandResult result = run_qorveltools(args);
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_NE(result.out.find("loading sky3_lf.jpg...\n"), std::string::npos) << result.out;
  EXPECT_EQ(qv_test::image_size(dir.file("sky.jpg")), "1608x804");
  args = {"makepreview"};
  args.insert(args.end(), faces.begin(), faces.end());
  args.push_back("-q");
  args.push_back("-o=" + dir.file("preview.jpg"));
  result = run_qorveltools(args);
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_EQ(qv_test::image_size(dir.file("preview.jpg")), "1024x512");

  // Distinct faces under both namings make the same sphere and the same preview.
  const char* const axis_names[] = {"negx", "posz", "posx", "negz", "posy", "negy"};
  std::vector<std::string> by_axis = {"cube2sphere"}, by_letter = {"cube2sphere"};
  for (int side = 0; side < 6; ++side) {
    const std::string axis = dir.file(std::string("cube_") + axis_names[side] + ".tif");
    const std::string letter = dir.file(std::string("cube_") + kSides[side] + ".tif");
    ASSERT_TRUE(qv_test::write_samples(
        axis, kPixelRgb8, 32, 32, qv_test::default_props(),
        [side](int x, int y, int c) { return uint8_t(40 * side + 3 * x + 5 * y + 60 * c); }));
    ASSERT_TRUE(qv_test::write_file(letter, qv_test::read_file(axis)));
    by_axis.push_back(axis);
    by_letter.push_back(letter);
  }
  by_axis.push_back("-q");
  by_letter.push_back("-q");
  by_axis.push_back("-o=" + dir.file("axis.tif"));
  by_letter.push_back("-o=" + dir.file("letter.tif"));
  expect_run(by_axis);
  expect_run(by_letter);
  expect_same_pixels(dir.file("axis.tif"), dir.file("letter.tif"));
  by_axis[0] = by_letter[0] = "makepreview";
  by_axis.back() = "-o=" + dir.file("axis.jpg");
  by_letter.back() = "-o=" + dir.file("letter.jpg");
  expect_run(by_axis);
  expect_run(by_letter);
  expect_same_pixels(dir.file("axis.jpg"), dir.file("letter.jpg"));
  // Without -o the outputs are named after the left face, cut at its skybox marker.
  expect_run({"cube2sphere", dir.file("cube_negx.tif"), dir.file("cube_posz.tif"),
              dir.file("cube_posx.tif"), dir.file("cube_negz.tif"), dir.file("cube_posy.tif"),
              dir.file("cube_negy.tif"), "-q"});
  EXPECT_TRUE(qv_test::file_exists(dir.file("cube_sphere.tif")));
}

// A strip of 1-pixel tiles 2400 wide: more TIFF or PSD tiles in one row than the open-file
// limit the tool raises itself to (2288, from a soft limit of 1024) would let stay open.
TEST(ImageInputs, ManyTiffAndPsdTilesInOneRow) {
  TempDir dir;
  const int width = 2400;
  ASSERT_TRUE(qv_test::write_samples(dir.file("strip.tif"), kPixelRgb8, width, 1,
                                     qv_test::default_props(),
                                     [](int x, int, int c) { return uint8_t(x * 7 + c * 50); }));
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  if (saved.rlim_max != RLIM_INFINITY && saved.rlim_max < 2400 + 256) {
    GTEST_SKIP() << "the hard limit of open files is below the tile count";
  }
  rlimit lowered = saved;
  lowered.rlim_cur = 1024;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);  // inherited by the tool
  for (const char* extension : {"tif", "psd"}) {
    const std::string folder = dir.file(extension);
    ASSERT_TRUE(mkdir(folder.c_str(), 0755) == 0);
    const CommandResult result = run_qorveltools(
        {"maketiles", dir.file("strip.tif"), folder + "/%h_%v." + extension, "1", "-quiet"});
    EXPECT_EQ(result.status, 0) << extension << ": " << result.out;
    EXPECT_EQ(qv_test::list_files(folder).size(), size_t(width)) << extension;
    for (int x : {1, 1500, 2283, width}) {
      const qv_test::Pixels tile =
          read_pixels(folder + "/" + std::to_string(x) + "_1." + extension);
      ASSERT_TRUE(tile.ok) << x;
      EXPECT_EQ(tile.bytes[0], uint8_t((x - 1) * 7)) << extension << " tile " << x;
    }
  }
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
}

// Where the hard limit itself is below the streams the table would keep, it keeps fewer: a tool
// started under a hard limit of 1024 still writes a row of 2400 tiles.
TEST(ImageInputs, TilesWithinALowHardLimit) {
  TempDir dir;
  ASSERT_TRUE(qv_test::write_samples(dir.file("strip.tif"), kPixelRgb8, 2400, 1,
                                     qv_test::default_props(),
                                     [](int x, int, int c) { return uint8_t(x + c); }));
  const std::string folder = dir.file("t");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  const std::string binary = qv_test::qorveltools_binary();
  const std::string input = dir.file("strip.tif"), output = folder + "/%h.tif";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    rlimit limit{1024, 1024};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(90);
    if (!freopen("/dev/null", "w", stdout)) _exit(91);
    execl(binary.c_str(), binary.c_str(), "maketiles", input.c_str(), output.c_str(), "1", "-quiet",
          static_cast<char*>(nullptr));
    _exit(92);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(qv_test::list_files(folder).size(), 2400u);
  EXPECT_TRUE(read_pixels(folder + "/2400.tif").ok);
}

}  // namespace
