// Face sets named the way game engines and skybox packs name them, through the built binary:
// the corpus skybox converts without seams, and generated sets drawn the skybox way and the
// cube-map way give the sphere (and the preview) that the directions they were drawn from give.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "render/panorama_geometry.h"
#include "support/test_images.h"
#include "support/test_support.h"

namespace {

using qv_test::CommandResult;
using qv_test::corpus_file;
using qv_test::Pixels;
using qv_test::read_pixels;
using qv_test::run_qorveltools;
using qv_test::TempDir;

int rgb_difference(const Pixels& image, int x0, int y0, int x1, int y1) {
  int sum = 0;
  for (int c = 0; c < 3; ++c) sum += std::abs(image.at(x0, y0)[c] - image.at(x1, y1)[c]);
  return sum;
}

// Mean absolute RGB difference of neighbouring sphere pixels (along rows and along columns) that
// show different faces, and of the pairs one step further on, inside the face.
struct SeamContrast {
  double across = 0;
  double beside = 0;
};

SeamContrast seam_contrast(const Pixels& sphere) {
  const int w = sphere.width;
  const int h = sphere.height;
  std::vector<int> face(static_cast<size_t>(w) * h);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x)
      face[y * w + x] = ray_to_face(equirect_to_direction(x, y, w, h)).face;
  }
  double across = 0, beside = 0;
  long across_count = 0, beside_count = 0;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      for (const int step : {1, w}) {  // the next pixel along the row, then down the column
        const int x1 = step == 1 ? x + 1 : x, y1 = step == 1 ? y : y + 1;
        const int x2 = step == 1 ? x + 2 : x, y2 = step == 1 ? y : y + 2;
        if (x2 >= w || y2 >= h) continue;
        const int p = y * w + x;
        if (face[p] == face[p + step]) continue;
        across += rgb_difference(sphere, x, y, x1, y1);
        ++across_count;
        if (face[p + step] != face[p + 2 * step]) continue;
        beside += rgb_difference(sphere, x1, y1, x2, y2);
        ++beside_count;
      }
    }
  }
  return {across / across_count, beside / beside_count};
}

// The corpus sky (cloud sky above, black below and on the down face): named, its sides meet and
// its up face meets them; taken upright by option as _lf = left, _rt = right, they do not.
TEST(SkyboxFaces, CorpusSkyConvertsWithoutSeams) {
  TempDir dir;
  const auto sky = [](const char* name) {
    return corpus_file(std::string("pano/cube_philo_sky3/sky3_") + name + ".jpg");
  };
  struct Case {
    const char* label;
    std::vector<std::string> faces;
    bool seamless;
  };
  const Case cases[] = {
      {"by name", {sky("bk"), sky("dn"), sky("ft"), sky("lf"), sky("rt"), sky("up")}, true},
      {"upright by option",
       {"-l=" + sky("lf"), "-f=" + sky("ft"), "-r=" + sky("rt"), "-b=" + sky("bk"),
        "-u=" + sky("up"), "-d=" + sky("dn")},
       false},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"cube2sphere"};
    args.insert(args.end(), c.faces.begin(), c.faces.end());
    args.push_back("-q");
    args.push_back("-o=" + dir.file("sky.tif"));
    const CommandResult result = run_qorveltools(args);
    ASSERT_EQ(result.status, 0) << c.label << "\n" << result.out;
    const Pixels sphere = read_pixels(dir.file("sky.tif"));
    ASSERT_TRUE(sphere.ok) << c.label;
    const SeamContrast contrast = seam_contrast(sphere);
    std::printf("%s: across the seams %.2f, beside them %.2f\n", c.label, contrast.across,
                contrast.beside);
    if (c.seamless) {
      EXPECT_LT(contrast.across, 2.0 * contrast.beside + 1.0) << c.label;
    } else {
      EXPECT_GT(contrast.across, 5.0 * contrast.beside + 5.0) << c.label;
    }
  }
}

// A colour that tells every direction apart (x, y, z of the unit direction in R, G, B).
uint8_t direction_colour(double x, double y, double z, int channel) {
  const double length = std::sqrt(x * x + y * y + z * z);
  const double value[3] = {x, y, z};
  return static_cast<uint8_t>(128.0 + 100.0 * value[channel] / length + 0.5);
}

// How a face file is drawn: the direction (x right, y up, z back) of its centre and those in
// which its columns and rows grow.
struct DrawnFace {
  const char* name;
  Direction centre, right, down;
};

// Skybox packs draw "_rt" on our left and "_lf" on our right, and their up and down faces for a
// camera facing "_rt" that tilts. Cube maps use the axes of the OpenGL cube-map table (+z is our
// front, so its z is ours reversed).
const DrawnFace kSkyboxFaces[6] = {
    {"sky_rt", {-1, 0, 0}, {0, 0, -1}, {0, -1, 0}}, {"sky_ft", {0, 0, -1}, {1, 0, 0}, {0, -1, 0}},
    {"sky_lf", {1, 0, 0}, {0, 0, 1}, {0, -1, 0}},   {"sky_bk", {0, 0, 1}, {-1, 0, 0}, {0, -1, 0}},
    {"sky_up", {0, 1, 0}, {0, 0, -1}, {-1, 0, 0}},  {"sky_dn", {0, -1, 0}, {0, 0, -1}, {1, 0, 0}},
};
const DrawnFace kCubeMapFaces[6] = {
    {"map_posx", {1, 0, 0}, {0, 0, 1}, {0, -1, 0}},
    {"map_negx", {-1, 0, 0}, {0, 0, -1}, {0, -1, 0}},
    {"map_posy", {0, 1, 0}, {1, 0, 0}, {0, 0, -1}},
    {"map_negy", {0, -1, 0}, {1, 0, 0}, {0, 0, 1}},
    {"map_posz", {0, 0, -1}, {1, 0, 0}, {0, -1, 0}},
    {"map_negz", {0, 0, 1}, {-1, 0, 0}, {0, -1, 0}},
};

bool write_drawn_face(const std::string& path, const DrawnFace& face, int size) {
  return qv_test::write_samples(
      path, kPixelRgb8, size, size, qv_test::default_props(), [&](int x, int y, int c) {
        const double a = 2.0 * (x + 0.5) / size - 1.0;
        const double b = 2.0 * (y + 0.5) / size - 1.0;
        const Direction& o = face.centre;
        return direction_colour(o.x + a * face.right.x + b * face.down.x,
                                o.y + a * face.right.y + b * face.down.y,
                                o.z + a * face.right.z + b * face.down.z, c);
      });
}

// Mean absolute RGB difference between a sphere and the colours of its pixels' directions.
double sphere_error(const Pixels& sphere) {
  double sum = 0;
  for (int y = 0; y < sphere.height; ++y) {
    for (int x = 0; x < sphere.width; ++x) {
      const Direction d = equirect_to_direction(x, y, sphere.width, sphere.height);
      for (int c = 0; c < 3; ++c)
        sum += std::abs(sphere.at(x, y)[c] - direction_colour(d.x, d.y, d.z, c));
    }
  }
  return sum / (static_cast<double>(sphere.width) * sphere.height);
}

// Sets drawn the skybox way and the cube-map way give the sphere of the directions they were
// drawn from; the skybox set taken upright by option does not. Each named set's preview is the
// preview of the same set drawn our way (_l … _d).
TEST(SkyboxFaces, GeneratedSetsConvertToTheirDirections) {
  TempDir dir;
  const int size = 64;
  std::vector<std::string> ours = {"makepreview"};
  for (int side = 0; side < 6; ++side) {
    const CubeFace& f = cube_face(side);
    const Direction centre = {2 * f.corner.x + f.s_direction.x + f.t_direction.x,
                              2 * f.corner.y + f.s_direction.y + f.t_direction.y,
                              2 * f.corner.z + f.s_direction.z + f.t_direction.z};
    const std::string path = dir.file(std::string("our_") + "lfrbud"[side] + ".tif");
    ASSERT_TRUE(write_drawn_face(path, {"", centre, f.s_direction, f.t_direction}, size));
    ours.push_back(path);
  }
  ours.insert(ours.end(), {"-q", "-o=" + dir.file("our_preview.tif")});
  ASSERT_EQ(run_qorveltools(ours).status, 0);
  const Pixels our_preview = read_pixels(dir.file("our_preview.tif"));

  struct Case {
    const char* label;
    const DrawnFace* faces;
    const char* options;  // option letters in file order, or null: recognised by name
    bool matches;
  };
  const Case cases[] = {
      {"skybox names", kSkyboxFaces, nullptr, true},
      {"cube-map names", kCubeMapFaces, nullptr, true},
      {"skybox faces upright by option", kSkyboxFaces, "lfrbud", false},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"cube2sphere"};
    for (int n = 0; n < 6; ++n) {
      const std::string path = dir.file(std::string(c.faces[n].name) + ".tif");
      ASSERT_TRUE(write_drawn_face(path, c.faces[n], size));
      args.push_back(c.options ? std::string("-") + c.options[n] + "=" + path : path);
    }
    args.insert(args.end(), {"-q", "-o=" + dir.file("sphere.tif")});
    CommandResult result = run_qorveltools(args);
    ASSERT_EQ(result.status, 0) << c.label << "\n" << result.out;
    const double error = sphere_error(read_pixels(dir.file("sphere.tif")));
    std::printf("%s: mean error %.2f\n", c.label, error);
    if (!c.matches) {
      EXPECT_GT(error, 20.0) << c.label;
      continue;
    }
    EXPECT_LT(error, 2.0) << c.label;
    args[0] = "makepreview";
    args.back() = "-o=" + dir.file("preview.tif");
    result = run_qorveltools(args);
    ASSERT_EQ(result.status, 0) << c.label << "\n" << result.out;
    EXPECT_GT(qv_test::psnr(read_pixels(dir.file("preview.tif")), our_preview, 0), 40.0) << c.label;
  }
}

}  // namespace
