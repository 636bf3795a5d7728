// Helper of the viewer's browser test.
//
//   viewer_test_helper faces FOLDER NAME SIZE [turned]
//     writes six cube faces FOLDER/NAME_l.png … NAME_d.png of SIZE x SIZE pixels: each face one
//     colour, its upper half bright and its lower half dark, with its side letter in large white
//     print. "turned" writes the cube turned by 180 degrees (front shows the back's colour).
//   viewer_test_helper sphere FILE.png WIDTH [turned]
//     writes the same cube as a spherical picture of WIDTH x WIDTH/2 pixels.
//   viewer_test_helper flat FILE.png WIDTH HEIGHT
//     writes a flat picture coloured and lettered like the front face.
//   viewer_test_helper check SCREENSHOT.png REGION EXPECTED [SHARE]
//     classifies the pixels of a region of a screenshot (all, left, right, top, bottom) by the
//     face colours and passes (status 0) when EXPECTED covers at least SHARE of the region
//     (default 0.5). EXPECTED is a side ("front"), a side and half ("up-dark") or "white" (the
//     letters, which only sharp tiles show: the preview blurs them). Prints what it found.
//   viewer_test_helper browse FOLDER NAME URL [NAME URL …] -- BROWSER [FLAG …]
//     opens each URL in the headless browser, waits for the viewer and saves FOLDER/NAME.png
//     (screenshot) and FOLDER/NAME.html (DOM); see browser_session.h.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "browser_session.h"

#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image.h>
#include <stb_image_write.h>

namespace {

const char* const kSideNames[6] = {"left", "front", "right", "back", "up", "down"};
const char kSideLetters[6] = {'l', 'f', 'r', 'b', 'u', 'd'};

struct Rgb {
  int r, g, b;
};

// Face colours in side order; the dark half is about 55 % of the bright one.
const Rgb kBright[6] = {{220, 40, 40},  {40, 200, 40},  {40, 70, 230},
                        {225, 210, 40}, {210, 40, 210}, {40, 210, 210}};
Rgb dark(const Rgb& c) {
  return {c.r * 55 / 100, c.g * 55 / 100, c.b * 55 / 100};
}

// 5 x 7 glyphs of the side letters, rows top to bottom, bit 4 the leftmost column.
const unsigned char kGlyphs[6][7] = {
    {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F},  // L
    {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10},  // F
    {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11},  // R
    {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E},  // B
    {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E},  // U
    {0x1E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x1E},  // D
};

// The colour at (x, y) of a face picture of width x height pixels: the colour of colour_side,
// bright above the middle and dark below, with the letter of letter_side in large white print at
// the centre (a glyph cell is a twentieth of the shorter side).
Rgb face_colour(int colour_side, int letter_side, double x, double y, double width, double height) {
  const double cell = std::floor(std::min(width, height) / 20);
  const double left = std::floor((width - 5 * cell) / 2), top = std::floor((height - 7 * cell) / 2);
  const int gx = static_cast<int>(std::floor((x - left) / cell));
  const int gy = static_cast<int>(std::floor((y - top) / cell));
  if (gx >= 0 && gy >= 0 && gx < 5 && gy < 7 && (kGlyphs[letter_side][gy] >> (4 - gx) & 1)) {
    return {255, 255, 255};
  }
  return y < height / 2 ? kBright[colour_side] : dark(kBright[colour_side]);
}

// Writes a width x height PNG whose pixel (x, y) has the colour colour_at(x + 0.5, y + 0.5).
template <typename ColourAt>
bool write_picture(const std::string& path, int width, int height, ColourAt colour_at) {
  if (width < 1 || height < 1) return false;
  std::vector<unsigned char> pixels(static_cast<size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const Rgb c = colour_at(x + 0.5, y + 0.5);
      unsigned char* p = &pixels[(static_cast<size_t>(y) * width + x) * 3];
      p[0] = static_cast<unsigned char>(c.r);
      p[1] = static_cast<unsigned char>(c.g);
      p[2] = static_cast<unsigned char>(c.b);
    }
  }
  const bool written =
      stbi_write_png(path.c_str(), width, height, 3, pixels.data(), width * 3) != 0;
  if (!written) std::fprintf(stderr, "cannot write %s\n", path.c_str());
  return written;
}

// Turned by 180 degrees about the vertical: left and right, front and back swap places.
const int kTurnedSource[6] = {2, 3, 0, 1, 4, 5};

int make_faces(const std::string& folder, const std::string& name, int size, bool turned) {
  for (int side = 0; side < 6; ++side) {
    const int source = turned ? kTurnedSource[side] : side;
    const std::string path = folder + "/" + name + "_" + kSideLetters[side] + ".png";
    const bool written = write_picture(path, size, size, [&](double x, double y) {
      return face_colour(source, source, x, y, size, size);
    });
    if (!written) return 1;
  }
  return 0;
}

// Cube faces of half-size 1 in the viewer's space (x right, y up, z backwards; the front looks
// along -z): the corner at the top-left of the face picture and the edges along which its
// columns and rows grow, in side order l f r b u d.
struct CubeFace {
  double corner[3], s[3], t[3];
};
const CubeFace kCubeFaces[6] = {
    {{-1, 1, 1}, {0, 0, -2}, {0, -2, 0}}, {{-1, 1, -1}, {2, 0, 0}, {0, -2, 0}},
    {{1, 1, -1}, {0, 0, 2}, {0, -2, 0}},  {{1, 1, 1}, {-2, 0, 0}, {0, -2, 0}},
    {{-1, 1, 1}, {2, 0, 0}, {0, 0, -2}},  {{-1, -1, -1}, {2, 0, 0}, {0, 0, 2}},
};

// The colour a spherical picture of the faces has in the direction (longitude, latitude) in
// degrees: the direction is followed to the face it meets.
Rgb sphere_colour(double longitude, double latitude, int face_size, bool turned) {
  const double lon = longitude * M_PI / 180, lat = latitude * M_PI / 180;
  const double d[3] = {std::cos(lat) * std::sin(lon), std::sin(lat),
                       -std::cos(lat) * std::cos(lon)};
  const double ax = std::fabs(d[0]), ay = std::fabs(d[1]), az = std::fabs(d[2]);
  int side;
  if (ax >= ay && ax >= az)
    side = d[0] > 0 ? 2 : 0;
  else if (ay >= az)
    side = d[1] > 0 ? 4 : 5;
  else
    side = d[2] < 0 ? 1 : 3;
  const double scale = 1 / std::max(ax, std::max(ay, az));
  const CubeFace& f = kCubeFaces[side];
  double u = 0, v = 0;
  for (int i = 0; i < 3; ++i) {
    const double offset = d[i] * scale - f.corner[i];
    u += offset * f.s[i] / 4;
    v += offset * f.t[i] / 4;
  }
  const int source = turned ? kTurnedSource[side] : side;
  return face_colour(source, source, u * face_size, v * face_size, face_size, face_size);
}

int make_sphere(const std::string& path, int width, bool turned) {
  const int height = width / 2;
  const int face_size = static_cast<int>(width / M_PI + 0.5);
  const bool written = write_picture(path, width, height, [&](double x, double y) {
    return sphere_colour(x * 360 / width - 180, 90 - y * 180 / height, face_size, turned);
  });
  return written ? 0 : 1;
}

int make_flat(const std::string& path, int width, int height) {
  const int front = 1;
  const bool written = write_picture(path, width, height, [&](double x, double y) {
    return face_colour(front, front, x, y, width, height);
  });
  return written ? 0 : 1;
}

// Index of the nearest face colour (side * 2 + 1 for the dark half), or -1 when none is near.
int classify(const unsigned char* p) {
  int best = -1;
  double best_distance = 70.0;
  for (int i = 0; i < 12; ++i) {
    const Rgb c = i % 2 ? dark(kBright[i / 2]) : kBright[i / 2];
    const double distance = std::hypot(std::hypot(p[0] - c.r, p[1] - c.g), p[2] - c.b);
    if (distance < best_distance) {
      best_distance = distance;
      best = i;
    }
  }
  return best;
}

std::string class_name(int i) {
  return std::string(kSideNames[i / 2]) + (i % 2 ? "-dark" : "-bright");
}

bool is_white(const unsigned char* p) {
  return p[0] >= 225 && p[1] >= 225 && p[2] >= 225;
}

int check(const std::string& path, const std::string& region, const std::string& expected,
          double wanted_share) {
  int width = 0, height = 0, channels = 0;
  unsigned char* pixels = stbi_load(path.c_str(), &width, &height, &channels, 3);
  if (!pixels) {
    std::printf("%s: cannot read the screenshot\n", path.c_str());
    return 1;
  }
  // Regions keep clear of the window's middle lines and borders.
  double x0 = 0.05, x1 = 0.95, y0 = 0.05, y1 = 0.95;
  if (region == "left")
    x1 = 0.42;
  else if (region == "right")
    x0 = 0.58;
  else if (region == "top")
    y1 = 0.42;
  else if (region == "bottom")
    y0 = 0.58;
  else if (region != "all") {
    std::printf("unknown region %s\n", region.c_str());
    stbi_image_free(pixels);
    return 1;
  }
  std::vector<long> classes(12, 0);
  long total = 0, white = 0;
  for (int y = static_cast<int>(y0 * height); y < static_cast<int>(y1 * height); ++y) {
    for (int x = static_cast<int>(x0 * width); x < static_cast<int>(x1 * width); ++x) {
      const unsigned char* p = &pixels[(static_cast<size_t>(y) * width + x) * 3];
      const int c = classify(p);
      if (c >= 0) ++classes[c];
      if (is_white(p)) ++white;
      ++total;
    }
  }
  stbi_image_free(pixels);
  int best_class = 0, best_side = 0;
  for (int i = 0; i < 12; ++i) {
    if (classes[i] > classes[best_class]) best_class = i;
  }
  for (int s = 0; s < 6; ++s) {
    if (classes[2 * s] + classes[2 * s + 1] > classes[2 * best_side] + classes[2 * best_side + 1]) {
      best_side = s;
    }
  }
  const bool by_half = expected.find('-') != std::string::npos;
  long share = expected == "white" ? white : 0;
  for (int i = 0; i < 12; ++i) {
    const bool match = by_half ? class_name(i) == expected : expected == kSideNames[i / 2];
    if (match) share += classes[i];
  }
  const double fraction = total ? static_cast<double>(share) / total : 0.0;
  const long side_count = classes[2 * best_side] + classes[2 * best_side + 1];
  std::printf("%s %s: expected %s (%.3f, at least %.3f); most: %s %.2f, %s %.2f\n", path.c_str(),
              region.c_str(), expected.c_str(), fraction, wanted_share, kSideNames[best_side],
              total ? static_cast<double>(side_count) / total : 0.0, class_name(best_class).c_str(),
              total ? static_cast<double>(classes[best_class]) / total : 0.0);
  return fraction >= wanted_share ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 5 && std::strcmp(argv[1], "faces") == 0) {
    const bool turned = argc >= 6 && std::strcmp(argv[5], "turned") == 0;
    return make_faces(argv[2], argv[3], std::atoi(argv[4]), turned);
  }
  if ((argc == 4 || argc == 5) && std::strcmp(argv[1], "sphere") == 0) {
    const bool turned = argc == 5 && std::strcmp(argv[4], "turned") == 0;
    return make_sphere(argv[2], std::atoi(argv[3]), turned);
  }
  if (argc == 5 && std::strcmp(argv[1], "flat") == 0) {
    return make_flat(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
  }
  if ((argc == 5 || argc == 6) && std::strcmp(argv[1], "check") == 0) {
    return check(argv[2], argv[3], argv[4], argc == 6 ? std::atof(argv[5]) : 0.5);
  }
  if (argc >= 3 && std::strcmp(argv[1], "browse") == 0) {
    BrowseOptions options;
    options.folder = argv[2];
    std::vector<PageVisit> pages;
    int i = 3;
    for (; i + 1 < argc && std::strcmp(argv[i], "--") != 0; i += 2) {
      pages.push_back({argv[i], argv[i + 1]});
    }
    if (i < argc && std::strcmp(argv[i], "--") == 0) {
      for (++i; i < argc; ++i) options.browser_command.push_back(argv[i]);
    }
    if (!pages.empty() && !options.browser_command.empty()) return browse(options, pages);
  }
  std::fprintf(
      stderr,
      "usage: viewer_test_helper faces FOLDER NAME SIZE [turned]\n"
      "       viewer_test_helper sphere FILE.png WIDTH [turned]\n"
      "       viewer_test_helper flat FILE.png WIDTH HEIGHT\n"
      "       viewer_test_helper check SCREENSHOT.png all|left|right|top|bottom "
      "SIDE[-bright|-dark]|white [SHARE]\n"
      "       viewer_test_helper browse FOLDER NAME URL [NAME URL ...] -- BROWSER [FLAG ...]\n");
  return 2;
}
