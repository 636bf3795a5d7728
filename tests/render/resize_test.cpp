#include "render/resize.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace {

bool is_wide(int32_t format) {
  return format == kPixelRgb16 || format == kPixelRgba16;
}

// Destination rows of one resize and, for each, the index of the source row whose push (or the
// null calls after it) made the row ready.
struct ResizeRun {
  std::vector<uint8_t> pixels;
  std::vector<int32_t> ready_after;
};

// Follows the calling protocol, passing one buffer as both source and destination row.
ResizeRun run_protocol(StreamResizer* r, const std::vector<uint8_t>& source) {
  const size_t source_line = static_cast<size_t>(r->source_width) * r->bytes_per_pixel;
  std::vector<uint8_t> buffer(std::max(source_line, r->line_size));
  ResizeRun run;
  for (int32_t y = 0; y < r->source_height; ++y) {
    std::memcpy(buffer.data(), source.data() + y * source_line, source_line);
    int ready = resizer_push_row(buffer.data(), r, buffer.data());
    while (ready == 1) {
      run.pixels.insert(run.pixels.end(), buffer.begin(), buffer.begin() + r->line_size);
      run.ready_after.push_back(y);
      ready = resizer_push_row(nullptr, r, buffer.data());
    }
  }
  return run;
}

ResizeRun resize(const std::vector<uint8_t>& source, int sw, int sh, int dw, int dh, int32_t format,
                 int32_t filter, bool wrap, bool portable = false) {
  ResizerPtr r = resizer_create(dw, dh, sw, sh, format, filter, wrap);
  EXPECT_NE(r, nullptr);
  if (!r) return {};
  if (portable) resizer_use_portable_loops(r.get());
  return run_protocol(r.get(), source);
}

std::vector<uint8_t> random_image(int w, int h, int32_t format, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> pixels(static_cast<size_t>(w) * h *
                              pixel_format_bytes(static_cast<PixelFormat>(format)));
  for (uint8_t& b : pixels) b = static_cast<uint8_t>(random());
  return pixels;
}

uint16_t sample16(const std::vector<uint8_t>& pixels, size_t index) {
  uint16_t value;
  std::memcpy(&value, pixels.data() + index * 2, 2);
  return value;
}

// Direct two-pass reference built from the contribution lists alone (no window, no streaming):
// horizontal weights with modular wrap, rounding and clamping between the passes.
std::vector<uint8_t> reference_resize(const StreamResizer& r, const std::vector<uint8_t>& source) {
  const bool wide = is_wide(r.pixel_format);
  const int channels = r.bytes_per_pixel / (wide ? 2 : 1);
  const int bits = wide ? 14 : 20;
  const int32_t max_value = wide ? 65535 : 255;
  auto get = [&](const std::vector<uint8_t>& v, size_t i) -> int32_t {
    return wide ? sample16(v, i) : v[i];
  };
  auto put = [&](std::vector<uint8_t>* v, size_t i, int64_t sum) {
    int64_t value = (sum + (int64_t{1} << (bits - 1))) >> bits;
    value = std::clamp<int64_t>(value, 0, max_value);
    if (wide) {
      const uint16_t s = static_cast<uint16_t>(value);
      std::memcpy(v->data() + i * 2, &s, 2);
    } else {
      (*v)[i] = static_cast<uint8_t>(value);
    }
  };
  const int sw = r.source_width, sh = r.source_height, dw = r.destination_width;
  const int dh = r.destination_height;
  std::vector<uint8_t> middle(static_cast<size_t>(dw) * sh * r.bytes_per_pixel);
  for (int y = 0; y < sh; ++y)
    for (int x = 0; x < dw; ++x)
      for (int c = 0; c < channels; ++c) {
        if (sw == dw) {
          put(&middle, (size_t(y) * dw + x) * channels + c,
              int64_t{get(source, (size_t(y) * sw + x) * channels + c)} << bits);
          continue;
        }
        const Contribution& e = r.horizontal.entries[x];
        int64_t sum = 0;
        for (int k = e.first; k < e.end; ++k) {
          const int kk = ((k % sw) + sw) % sw;
          sum +=
              int64_t{e.weights[k - e.first]} * get(source, (size_t(y) * sw + kk) * channels + c);
        }
        put(&middle, (size_t(y) * dw + x) * channels + c, sum);
      }
  std::vector<uint8_t> out(static_cast<size_t>(dw) * dh * r.bytes_per_pixel);
  for (int y = 0; y < dh; ++y) {
    const Contribution& e = r.vertical.entries[y];
    for (int x = 0; x < dw * channels; ++x) {
      int64_t sum = 0;
      for (int k = e.first; k < e.end; ++k)
        sum += int64_t{e.weights[k - e.first]} * get(middle, size_t(k) * dw * channels + x);
      put(&out, size_t(y) * dw * channels + x, sum);
    }
  }
  return out;
}

const int32_t kAllFilters[] = {kFilterPoint, kFilterLinear, kFilterHanning,  kFilterHamming,
                               kFilterGauss, kFilterCubic,  kFilterMitchell, kFilterLanczos};
const int32_t kAllFormats[] = {kPixelGray8, kPixelRgb8, kPixelRgba8, kPixelRgb16, kPixelRgba16};

}  // namespace

TEST(ResizeFilters, ParseFilterName) {
  struct Case {
    const char* word;
    int32_t code;
  };
  const Case cases[] = {
      {"point", 1},    {"linear", 2},    {"hanning", 4},   {"hamming", 5},
      {"gauss", 7},    {"cubic", 9},     {"mitchell", 11}, {"lanczos", 12},
      {"LANCZOS", 12}, {"Lanczos", 12},  {"PoInT", 1},     {"box", -1},
      {"", -1},        {"lanczos3", -1}, {" cubic", -1},   {"mitchellnetravali", -1},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_filter_name(c.word), c.code) << c.word;
  EXPECT_EQ(parse_filter_name(nullptr), -1);
}

TEST(ResizeFilters, KernelShapesAndSupports) {
  const double kPi = 3.14159265358979323846;
  struct Case {
    int32_t code;
    double support;
    double x;
    double weight;
  };
  const Case cases[] = {
      {kFilterPoint, 0.5, -0.5, 1},
      {kFilterPoint, 0.5, 0.49, 1},
      {kFilterPoint, 0.5, 0.5, 0},
      {kFilterLinear, 1, -1, 0},
      {kFilterLinear, 1, -0.25, 0.75},
      {kFilterLinear, 1, 0.25, 0.75},
      {kFilterLinear, 1, 1, 0},
      {kFilterHanning, 1, 0, 1},
      {kFilterHanning, 1, 0.5, 0.5},
      {kFilterHanning, 1, 2, 1},  // no range test
      {kFilterHamming, 1, 0, 1},
      {kFilterHamming, 1, 1, 0.08},
      {kFilterGauss, 1.25, 0, std::sqrt(2 / kPi)},
      {kFilterGauss, 1.25, 1, std::exp(-2.0) * std::sqrt(2 / kPi)},
      {kFilterCubic, 2, 0, 4.0 / 6},
      {kFilterCubic, 2, -1, 1.0 / 6},
      {kFilterCubic, 2, 1.5, 0.125 / 6},
      {kFilterCubic, 2, 2, 0},
      {kFilterMitchell, 2, 0, 8.0 / 9},
      {kFilterMitchell, 2, 1, 1.0 / 18},
      {kFilterMitchell, 2, -2, 0},
      {kFilterLanczos, 3, 0, 1},
      {kFilterLanczos, 3, 1, 0},
      {kFilterLanczos, 3, 0.5, 0.6079271018540267},
      {kFilterLanczos, 3, -3, 0},
      {kFilterLanczos, 3, 3, 0},
  };
  for (const Case& c : cases) {
    const FilterKernel* kernel = find_filter_kernel(c.code);
    ASSERT_NE(kernel, nullptr) << c.code;
    EXPECT_EQ(kernel->support, c.support) << c.code;
    EXPECT_NEAR(kernel->weight(c.x, kernel->support), c.weight, 1e-12) << c.code << " " << c.x;
  }
  for (int32_t missing : {0, 3, 6, 8, 10, 13, 14, -1})
    EXPECT_EQ(find_filter_kernel(missing), nullptr);
}

TEST(ResizeFilters, ContributionWindows) {
  // Equal sizes: LANCZOS has 1.0 at the centre tap only; CUBIC blurs 1/6, 4/6, 1/6 and is cut
  // and renormalised at the edge.
  ResizerPtr lanczos = resizer_create(9, 9, 9, 9, kPixelRgb8, kFilterLanczos, false);
  ASSERT_NE(lanczos, nullptr);
  const Contribution& mid = lanczos->vertical.entries[4];
  ASSERT_EQ(mid.first, 2);
  ASSERT_EQ(mid.end, 8);
  EXPECT_EQ(std::vector<int32_t>(mid.weights, mid.weights + 6),
            (std::vector<int32_t>{0, 0, 1 << 20, 0, 0, 0}));
  EXPECT_EQ(lanczos->window_capacity, 9);  // truncate(2 * 3 + 3)

  ResizerPtr cubic = resizer_create(9, 9, 9, 9, kPixelRgb8, kFilterCubic, false);
  ASSERT_NE(cubic, nullptr);
  const Contribution& c4 = cubic->vertical.entries[4];
  EXPECT_EQ(std::vector<int32_t>(c4.weights, c4.weights + (c4.end - c4.first)),
            (std::vector<int32_t>{174763, 699051, 174763, 0}));
  const Contribution& c0 = cubic->vertical.entries[0];
  EXPECT_EQ(c0.first, 0);
  EXPECT_EQ(std::vector<int32_t>(c0.weights, c0.weights + (c0.end - c0.first)),
            (std::vector<int32_t>{838861, 209715, 0}));

  // Halving with LANCZOS: blur 2, effective support 6, at most 3 + 12 taps.
  ResizerPtr half = resizer_create(400, 200, 800, 400, kPixelRgb8, kFilterLanczos, true);
  ASSERT_NE(half, nullptr);
  EXPECT_DOUBLE_EQ(half->horizontal.blur, 2.0);
  EXPECT_DOUBLE_EQ(half->vertical.effective_support, 6.0);
  EXPECT_EQ(half->window_capacity, 15);
  EXPECT_LT(half->horizontal.entries[0].first, 0);  // wraps to the right edge
  EXPECT_GT(half->horizontal.entries[399].end, 800);
  EXPECT_EQ(half->vertical.entries[0].first, 0);  // never wraps
  EXPECT_EQ(half->vertical.entries[199].end, 400);
  for (int i = 0; i < 400; ++i)
    EXPECT_LE(half->horizontal.entries[i].end - half->horizontal.entries[i].first, 15);

  // POINT when enlarging takes the tiny-support path; 16-bit formats weigh with 2^14.
  ResizerPtr point = resizer_create(10, 10, 5, 5, kPixelRgb16, kFilterPoint, false);
  ASSERT_NE(point, nullptr);
  EXPECT_DOUBLE_EQ(point->vertical.effective_support, 0.500001);
  EXPECT_DOUBLE_EQ(point->vertical.blur, 1.0);
  const Contribution& p3 = point->vertical.entries[3];  // centre 1.75: source row 1
  std::vector<int32_t> p3_weights(p3.weights, p3.weights + (p3.end - p3.first));
  EXPECT_EQ(
      p3.first + static_cast<int32_t>(std::find(p3_weights.begin(), p3_weights.end(), 1 << 14) -
                                      p3_weights.begin()),
      1);
}

TEST(ResizeFilters, EveryWindowIsBoundedAndNormalised) {
  // For every filter, reducing, keeping and enlarging: at most 3 + truncate(2 * support) taps,
  // fixed-point weights summing to 1.0 within the rounding of each tap, and windows that never
  // leave the source without wrap.
  struct Case {
    int source, destination;
  };
  const Case cases[] = {{100, 33}, {64, 64}, {10, 47}, {7, 1}, {1, 9}};
  for (int32_t filter : kAllFilters)
    for (const Case& c : cases)
      for (int32_t format : {kPixelGray8, kPixelRgb16}) {
        ResizerPtr r =
            resizer_create(c.destination, c.destination, c.source, c.source, format, filter, false);
        ASSERT_NE(r, nullptr);
        const double one = is_wide(format) ? 1 << 14 : 1 << 20;
        for (const ContributionList* list : {&r->horizontal, &r->vertical}) {
          const int bound = 3 + static_cast<int>(2 * list->effective_support);
          for (int i = 0; i < list->count; ++i) {
            const Contribution& e = list->entries[i];
            const int taps = e.end - e.first;
            EXPECT_GE(e.first, 0);
            EXPECT_LE(e.end, c.source);
            EXPECT_GT(taps, 0);
            EXPECT_LE(taps, bound);
            double sum = 0;
            for (int k = 0; k < taps; ++k) sum += e.weights[k];
            EXPECT_NEAR(sum, one, taps) << filter << " " << c.source << "->" << c.destination;
          }
        }
      }
}

TEST(ResizeFilters, CreateRejectsWhatItCannotDo) {
  for (int32_t code : {0, 3, 6, 8, 10, 13, 14}) {
    EXPECT_EQ(resizer_create(4, 4, 8, 8, kPixelRgb8, code, false), nullptr) << code;
  }
  EXPECT_EQ(resizer_create(4, 4, 8, 8, 4, kFilterLanczos, false), nullptr);
  EXPECT_EQ(resizer_create(4, 4, 8, 8, 0, kFilterLanczos, false), nullptr);
  EXPECT_EQ(resizer_create(0, 4, 8, 8, kPixelRgb8, kFilterLanczos, false), nullptr);
  EXPECT_EQ(resizer_create(4, 4, 8, -1, kPixelRgb8, kFilterLanczos, false), nullptr);
  // A window too large for 32-bit indices is refused before anything is allocated.
  EXPECT_EQ(resizer_create(1, 1, 2000000000, 1, kPixelGray8, kFilterLanczos, true), nullptr);
  EXPECT_EQ(resizer_create(1, 1, 1, 1500000000, kPixelGray8, kFilterGauss, false), nullptr);
}

TEST(Resize, EqualSizeLanczosAndPointReproduceTheImage) {
  for (int32_t format : kAllFormats)
    for (int32_t filter : {kFilterLanczos, kFilterPoint})
      for (bool wrap : {false, true}) {
        const std::vector<uint8_t> image = random_image(37, 23, format, 7);
        EXPECT_EQ(resize(image, 37, 23, 37, 23, format, filter, wrap).pixels, image)
            << format << " " << filter << " " << wrap;
      }
  // A 16-bit mid grey stays exactly itself.
  std::vector<uint8_t> grey(5 * 4 * 6);
  for (size_t i = 0; i < grey.size() / 2; ++i) {
    const uint16_t value = 32768;
    std::memcpy(grey.data() + i * 2, &value, 2);
  }
  EXPECT_EQ(resize(grey, 5, 4, 5, 4, kPixelRgb16, kFilterLanczos, false).pixels, grey);
}

TEST(Resize, EqualSizeCubicBlursOnlyVertically) {
  // Columns are copied; rows get 1/6, 4/6, 1/6 of their neighbours.
  std::vector<uint8_t> image(6 * 6, 0);
  for (int x = 0; x < 6; ++x) image[3 * 6 + x] = x % 2 ? 60 : 0;
  const std::vector<uint8_t> out =
      resize(image, 6, 6, 6, 6, kPixelGray8, kFilterCubic, false).pixels;
  ASSERT_EQ(out.size(), image.size());
  for (int x = 0; x < 6; ++x) {
    EXPECT_EQ(out[0 * 6 + x], 0) << x;
    EXPECT_EQ(out[2 * 6 + x], x % 2 ? 10 : 0) << x;
    EXPECT_EQ(out[3 * 6 + x], x % 2 ? 40 : 0) << x;
    EXPECT_EQ(out[4 * 6 + x], x % 2 ? 10 : 0) << x;
  }
}

TEST(Resize, HalvingAndDoublingKnownPatterns) {
  // POINT halving averages pairs; POINT doubling repeats; LINEAR doubling interpolates.
  const std::vector<uint8_t> ramp = {0, 10, 20, 30, 40, 50, 60, 70};
  EXPECT_EQ(resize(ramp, 8, 1, 4, 1, kPixelGray8, kFilterPoint, false).pixels,
            (std::vector<uint8_t>{5, 25, 45, 65}));
  const std::vector<uint8_t> column = ramp;  // the same pattern vertically
  EXPECT_EQ(resize(column, 1, 8, 1, 4, kPixelGray8, kFilterPoint, false).pixels,
            (std::vector<uint8_t>{5, 25, 45, 65}));
  const std::vector<uint8_t> four = {0, 100, 200, 40};
  EXPECT_EQ(resize(four, 4, 1, 8, 1, kPixelGray8, kFilterPoint, false).pixels,
            (std::vector<uint8_t>{0, 0, 100, 100, 200, 200, 40, 40}));
  EXPECT_EQ(resize(four, 1, 4, 1, 8, kPixelGray8, kFilterPoint, false).pixels,
            (std::vector<uint8_t>{0, 0, 100, 100, 200, 200, 40, 40}));
  EXPECT_EQ(resize(four, 4, 1, 8, 1, kPixelGray8, kFilterLinear, false).pixels,
            (std::vector<uint8_t>{0, 25, 75, 125, 175, 160, 80, 40}));
  // Enlarging with POINT at an exact integer centre takes the pixel to the left: 2 -> 3 has
  // centres 1/3, 1, 5/3.
  EXPECT_EQ(resize({10, 90}, 2, 1, 3, 1, kPixelGray8, kFilterPoint, false).pixels,
            (std::vector<uint8_t>{10, 10, 90}));
}

TEST(Resize, LanczosOvershootIsClamped) {
  // A hard black/white edge: the ringing must clamp to 0 and to full scale, not wrap around.
  for (int32_t format : {kPixelGray8, kPixelRgb16}) {
    const int channels = format == kPixelGray8 ? 1 : 3;
    const int w = 64, h = 3;
    std::vector<uint8_t> image(
        static_cast<size_t>(w) * h * pixel_format_bytes(static_cast<PixelFormat>(format)), 0);
    for (int y = 0; y < h; ++y)
      for (int x = w / 2; x < w; ++x)
        for (int c = 0; c < channels; ++c) {
          if (format == kPixelGray8) {
            image[y * w + x] = 255;
          } else {
            const uint16_t white = 65535;
            std::memcpy(image.data() + ((y * w + x) * channels + c) * 2, &white, 2);
          }
        }
    const std::vector<uint8_t> out =
        resize(image, w, h, 24, h, format, kFilterLanczos, false).pixels;
    const int max_value = format == kPixelGray8 ? 255 : 65535;
    bool saw_zero = false, saw_max = false;
    for (int x = 0; x < 24; ++x) {
      const int value = format == kPixelGray8 ? out[x] : sample16(out, x * channels);
      if (x < 11) {
        EXPECT_LT(value, max_value / 8) << x;
      }
      if (x > 12) {
        EXPECT_GT(value, max_value - max_value / 8) << x;
      }
      saw_zero |= value == 0;
      saw_max |= value == max_value;
    }
    EXPECT_TRUE(saw_zero && saw_max) << format;
  }
}

TEST(Resize, WrapDrawsOnBothEdges) {
  // Only the rightmost pixel is bright: with wrap the first destination pixel sees it.
  std::vector<uint8_t> row(16, 0);
  row[15] = 255;
  const auto no_wrap = resize(row, 16, 1, 4, 1, kPixelGray8, kFilterLinear, false).pixels;
  const auto wrapped = resize(row, 16, 1, 4, 1, kPixelGray8, kFilterLinear, true).pixels;
  EXPECT_EQ(no_wrap[0], 0);
  EXPECT_GT(wrapped[0], 0);
  EXPECT_GT(wrapped[3], 0);
  // Only the leftmost: the last destination pixel sees it with wrap.
  std::vector<uint8_t> left(16, 0);
  left[0] = 255;
  EXPECT_EQ(resize(left, 16, 1, 4, 1, kPixelGray8, kFilterLinear, false).pixels[3], 0);
  EXPECT_GT(resize(left, 16, 1, 4, 1, kPixelGray8, kFilterLinear, true).pixels[3], 0);
}

TEST(Resize, WrapMatchesTheMiddleOfATiledImage) {
  // A 360° row resized with wrap equals the middle third of the same row laid three times side
  // by side and resized without wrap, wherever both windows hold the same taps (a negative
  // window start is truncated toward zero, so a left-edge window may hold one tap less). One
  // level of difference comes from the shifted centres' weight rounding.
  for (int32_t filter : kAllFilters) {
    const int sw = 30, dw = 12, h = 2;
    const std::vector<uint8_t> image = random_image(sw, h, kPixelRgb8, 3);
    std::vector<uint8_t> tiled;
    for (int y = 0; y < h; ++y)
      for (int copy = 0; copy < 3; ++copy)
        tiled.insert(tiled.end(), image.begin() + y * sw * 3, image.begin() + (y + 1) * sw * 3);
    ResizerPtr wrap = resizer_create(dw, h, sw, h, kPixelRgb8, filter, true);
    ResizerPtr wide = resizer_create(3 * dw, h, 3 * sw, h, kPixelRgb8, filter, false);
    ASSERT_TRUE(wrap && wide);
    const auto wrapped = run_protocol(wrap.get(), image).pixels;
    const auto expected = run_protocol(wide.get(), tiled).pixels;
    int compared_edge_pixels = 0;
    for (int i = 0; i < dw; ++i) {
      const Contribution& a = wrap->horizontal.entries[i];
      const Contribution& b = wide->horizontal.entries[i + dw];
      if (a.first != b.first - sw || a.end != b.end - sw) continue;
      compared_edge_pixels += (a.first < 0 || a.end > sw) ? 1 : 0;
      for (int y = 0; y < h; ++y)
        for (int c = 0; c < 3; ++c)
          EXPECT_NEAR(wrapped[(y * dw + i) * 3 + c], expected[(y * 3 * dw + dw + i) * 3 + c], 1)
              << filter << " " << i;
    }
    if (filter != kFilterPoint) {
      EXPECT_GT(compared_edge_pixels, 0) << filter;
    }
  }
}

TEST(Resize, WindowsWiderThanTheSourceWrapModuloTheWidth) {
  // 3 -> 1 with LANCZOS spans 18 source pixels: the window wraps several times.
  const std::vector<uint8_t> grey(3 * 2, 77);
  EXPECT_EQ(resize(grey, 3, 2, 1, 1, kPixelGray8, kFilterLanczos, true).pixels,
            (std::vector<uint8_t>{77}));
  const std::vector<uint8_t> image = random_image(5, 4, kPixelRgba8, 9);
  ResizerPtr r = resizer_create(2, 3, 5, 4, kPixelRgba8, kFilterGauss, true);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(run_protocol(r.get(), image).pixels, reference_resize(*r, image));
}

TEST(Resize, StreamingEqualsTheDirectTwoPassResult) {
  struct Case {
    int sw, sh, dw, dh;
  };
  const Case cases[] = {{37, 29, 13, 11}, {13, 11, 37, 29}, {40, 7, 40, 19},
                        {9, 40, 31, 3},   {64, 64, 21, 64}, {5, 5, 100, 3}};
  for (const Case& c : cases)
    for (int32_t filter : kAllFilters)
      for (int32_t format : {kPixelRgb8, kPixelRgba16})
        for (bool wrap : {false, true}) {
          const std::vector<uint8_t> image = random_image(c.sw, c.sh, format, c.sw * 31 + c.dh);
          ResizerPtr r = resizer_create(c.dw, c.dh, c.sw, c.sh, format, filter, wrap);
          ASSERT_NE(r, nullptr);
          EXPECT_EQ(run_protocol(r.get(), image).pixels, reference_resize(*r, image))
              << c.sw << "x" << c.sh << "->" << c.dw << "x" << c.dh << " f" << filter << " fmt"
              << format << " wrap" << wrap;
        }
}

TEST(Resize, WideRowsReadInPlaceMatchTheDirectResult) {
  // Strong reductions of wide rows, as for previews: the middle columns read the caller's row
  // (exactly as long as one row, so no read may run past it), the edge columns the padded copy
  // with its wrap margins; 8-bit RGB may run on planes instead.
  struct Case {
    int sw, sh, dw, dh;
  };
  const Case cases[] = {{1000, 6, 64, 3}, {257, 5, 16, 2}, {90, 4, 45, 2}};
  for (const Case& c : cases)
    for (int32_t format : kAllFormats)
      for (int32_t filter : {kFilterHanning, kFilterLanczos, kFilterPoint})
        for (bool wrap : {false, true}) {
          const std::vector<uint8_t> image = random_image(c.sw, c.sh, format, c.sw + format);
          ResizerPtr r = resizer_create(c.dw, c.dh, c.sw, c.sh, format, filter, wrap);
          ASSERT_NE(r, nullptr);
          EXPECT_LT(r->direct_begin, r->direct_end) << c.sw << " fmt" << format;
          EXPECT_LT(r->direct_end, c.dw) << c.sw << " fmt" << format;
          if (r->horizontal.entries[0].first < 0) {
            EXPECT_GT(r->direct_begin, 0) << c.sw << " fmt" << format;
          }
          const std::vector<uint8_t> expected = reference_resize(*r, image);
          EXPECT_EQ(run_protocol(r.get(), image).pixels, expected)
              << c.sw << "->" << c.dw << " fmt" << format << " f" << filter << " wrap" << wrap;
          if (r->use_planes) {  // 8-bit RGB on planes: the interleaved pass must agree too
            resizer_reset(r.get());
            r->use_planes = 0;
            EXPECT_EQ(run_protocol(r.get(), image).pixels, expected)
                << "interleaved " << c.sw << " f" << filter << " wrap" << wrap;
          }
          resizer_reset(r.get());
          resizer_use_portable_loops(r.get());
          EXPECT_EQ(run_protocol(r.get(), image).pixels, expected)
              << "portable " << c.sw << " fmt" << format << " f" << filter << " wrap" << wrap;
        }
}

TEST(Resize, ShortPlanarWindowsMatchTheInterleavedPass) {
  // Small enlargements of 8-bit RGB take at most eight taps: the planar pass filters two
  // pixels at a time, an odd width ending on one.
  struct Case {
    int sw, sh, dw, dh;
  };
  const Case cases[] = {{2546, 3, 2560, 2}, {40, 6, 83, 7}, {31, 4, 32, 5}, {9, 3, 17, 3}};
  for (const Case& c : cases)
    for (int32_t filter : {kFilterLanczos, kFilterCubic, kFilterLinear})
      for (bool wrap : {false, true}) {
        const std::vector<uint8_t> image = random_image(c.sw, c.sh, kPixelRgb8, c.dw + filter);
        ResizerPtr r = resizer_create(c.dw, c.dh, c.sw, c.sh, kPixelRgb8, filter, wrap);
        ASSERT_NE(r, nullptr);
        const std::vector<uint8_t> expected = reference_resize(*r, image);
        EXPECT_EQ(run_protocol(r.get(), image).pixels, expected)
            << c.sw << "->" << c.dw << " f" << filter << " wrap" << wrap;
        if (!r->use_planes) continue;  // no AVX2
        EXPECT_EQ(r->plane_taps, 8) << c.sw << "->" << c.dw << " f" << filter;
        resizer_reset(r.get());
        r->use_planes = 0;
        EXPECT_EQ(run_protocol(r.get(), image).pixels, expected)
            << "interleaved " << c.sw << "->" << c.dw << " f" << filter << " wrap" << wrap;
      }
}

TEST(Resize, VectorLoopsMatchPortableLoops) {
  struct Case {
    int sw, sh, dw, dh;
  };
  const Case cases[] = {{101, 17, 50, 9}, {33, 9, 70, 20}, {64, 8, 64, 3}, {7, 3, 2, 2}};
  for (const Case& c : cases)
    for (int32_t format : kAllFormats)
      for (int32_t filter : kAllFilters)
        for (bool wrap : {false, true}) {
          const std::vector<uint8_t> image = random_image(c.sw, c.sh, format, filter + format);
          const auto fast = resize(image, c.sw, c.sh, c.dw, c.dh, format, filter, wrap);
          const auto portable = resize(image, c.sw, c.sh, c.dw, c.dh, format, filter, wrap, true);
          EXPECT_EQ(fast.pixels, portable.pixels)
              << c.sw << "->" << c.dw << " fmt" << format << " f" << filter << " wrap" << wrap;
        }
}

TEST(Resize, EightAndSixteenBitPathsAgree) {
  // The 8-bit path rounds to whole levels between the passes; with negative lobes that
  // rounding can grow to a little over one level, so the paths agree within 1.5 levels.
  for (int32_t filter : kAllFilters) {
    const int sw = 23, sh = 17, dw = 11, dh = 30;
    const std::vector<uint8_t> image8 = random_image(sw, sh, kPixelRgb8, 5);
    std::vector<uint8_t> image16(image8.size() * 2);
    for (size_t i = 0; i < image8.size(); ++i) {
      const uint16_t value = static_cast<uint16_t>(image8[i] * 257);
      std::memcpy(image16.data() + i * 2, &value, 2);
    }
    const auto out8 = resize(image8, sw, sh, dw, dh, kPixelRgb8, filter, true).pixels;
    const auto out16 = resize(image16, sw, sh, dw, dh, kPixelRgb16, filter, true).pixels;
    ASSERT_EQ(out16.size(), out8.size() * 2);
    for (size_t i = 0; i < out8.size(); ++i)
      ASSERT_NEAR(sample16(out16, i) / 257.0, out8[i], 1.5) << filter << " " << i;
  }
}

TEST(Resize, CallingProtocolOverOddSizesAndExtremeRatios) {
  struct Case {
    int sw, sh, dw, dh;
  };
  const Case cases[] = {{1, 1, 1, 1},     {1, 1, 7, 5},   {7, 5, 1, 1},   {1, 1000, 1, 10},
                        {1, 10, 1, 1000}, {3, 997, 5, 1}, {2, 1, 999, 2}, {1000, 2, 1, 1}};
  for (const Case& c : cases)
    for (int32_t filter : kAllFilters)
      for (bool wrap : {false, true}) {
        std::vector<uint8_t> flat(static_cast<size_t>(c.sw) * c.sh * 3, 200);
        ResizerPtr r = resizer_create(c.dw, c.dh, c.sw, c.sh, kPixelRgb8, filter, wrap);
        ASSERT_NE(r, nullptr);
        const ResizeRun run = run_protocol(r.get(), flat);
        ASSERT_EQ(run.ready_after.size(), size_t(c.dh)) << c.sh << "->" << c.dh << " f" << filter;
        EXPECT_EQ(run.ready_after.back(), c.sh - 1);  // the last row needs the last source row
        // Each row is ready as soon as its window is complete, not before, in order.
        for (int y = 0; y < c.dh; ++y) {
          const int32_t complete = r->vertical.entries[y].end - 1;
          EXPECT_EQ(run.ready_after[y], y ? std::max(complete, run.ready_after[y - 1]) : complete)
              << c.sh << "->" << c.dh << " row " << y;
        }
        for (uint8_t v : run.pixels) ASSERT_NEAR(v, 200, 1) << c.sw << "->" << c.dw;
        // Rows pushed after the last destination row are counted and give nothing.
        std::vector<uint8_t> buffer(std::max<size_t>(r->line_size, c.sw * 3));
        EXPECT_EQ(r->rows_consumed, c.sh);
        EXPECT_EQ(resizer_push_row(nullptr, r.get(), buffer.data()), 0);
      }
  // 1000 -> 10 rows: nothing until the first window is complete; 10 -> 1000: many rows per push.
  ResizerPtr reduce = resizer_create(1, 10, 1, 1000, kPixelGray8, kFilterLanczos, false);
  const ResizeRun reduced = run_protocol(reduce.get(), std::vector<uint8_t>(1000, 1));
  EXPECT_GT(reduced.ready_after.front(), 100);
  ResizerPtr enlarge = resizer_create(1, 1000, 1, 10, kPixelGray8, kFilterLanczos, false);
  const ResizeRun enlarged = run_protocol(enlarge.get(), std::vector<uint8_t>(10, 1));
  EXPECT_GT(std::count(enlarged.ready_after.begin(), enlarged.ready_after.end(), 5), 50);
}

// A source decoded at 1/8 of 201 × 101 pixels has 26 × 13 pixels, the last ones partial: made
// spanning 25.125 × 12.625, its resize lands where the resize of the full image does (both
// axes, with and without wrap); made as whole pixels it would drift towards the far edges.
TEST(Resize, SpanningSourcesKeepTheFullImageGeometry) {
  constexpr int kFullWidth = 201, kFullHeight = 101, kScaledWidth = 26, kScaledHeight = 13;
  const auto value = [](double x, double y) { return x + 0.5 * y; };  // a ramp, 0 … 250
  std::vector<uint8_t> full, scaled;
  for (int y = 0; y < kFullHeight; ++y)
    for (int x = 0; x < kFullWidth; ++x) full.push_back(uint8_t(value(x, y)));
  // Each scaled pixel is the mean of the full pixels it covers.
  for (int y = 0; y < kScaledHeight; ++y) {
    for (int x = 0; x < kScaledWidth; ++x) {
      const double right = std::min(8.0 * x + 8, double(kFullWidth));
      const double bottom = std::min(8.0 * y + 8, double(kFullHeight));
      scaled.push_back(
          uint8_t(std::lround(value((8.0 * x + right - 1) / 2, (8.0 * y + bottom - 1) / 2))));
    }
  }
  for (const bool wrap : {false, true}) {
    const ResizeRun expected =
        resize(full, kFullWidth, kFullHeight, 12, 6, kPixelGray8, kFilterHanning, wrap);
    ResizerPtr spanning = resizer_create_spanning(12, 6, kScaledWidth, kScaledHeight, 25.125,
                                                  12.625, kPixelGray8, kFilterHanning, wrap);
    ASSERT_NE(spanning, nullptr);
    const ResizeRun run = run_protocol(spanning.get(), scaled);
    ASSERT_EQ(run.pixels.size(), expected.pixels.size());
    // Wrap joins the partial last column to the first: the two edge columns may differ more.
    for (int y = 0; y < 6; ++y) {
      for (int x = wrap ? 1 : 0; x < (wrap ? 11 : 12); ++x) {
        EXPECT_NEAR(run.pixels[y * 12 + x], expected.pixels[y * 12 + x], 1)
            << x << "," << y << " wrap " << wrap;
      }
    }
    const ResizeRun whole =
        resize(scaled, kScaledWidth, kScaledHeight, 12, 6, kPixelGray8, kFilterHanning, wrap);
    EXPECT_GT(std::abs(whole.pixels[5 * 12 + 10] - expected.pixels[5 * 12 + 10]), 3);
  }
  // Extents outside (size - 1, size] are refused.
  const double refused[][2] = {
      {0, 12.625}, {25, 12.625}, {26.5, 12.625}, {25.125, 12}, {25.125, 13.5}};
  for (const auto& extent : refused) {
    EXPECT_EQ(resizer_create_spanning(12, 6, 26, 13, extent[0], extent[1], kPixelGray8,
                                      kFilterHanning, false),
              nullptr)
        << extent[0] << " x " << extent[1];
  }
}

TEST(Resize, ResetServesAnotherImage) {
  const std::vector<uint8_t> first = random_image(40, 30, kPixelRgba8, 1);
  const std::vector<uint8_t> second = random_image(40, 30, kPixelRgba8, 2);
  ResizerPtr r = resizer_create(17, 45, 40, 30, kPixelRgba8, kFilterMitchell, true);
  ASSERT_NE(r, nullptr);
  run_protocol(r.get(), first);
  resizer_reset(r.get());
  EXPECT_EQ(run_protocol(r.get(), second).pixels,
            resize(second, 40, 30, 17, 45, kPixelRgba8, kFilterMitchell, true).pixels);
}

namespace {
int g_allocations = 0;
int g_releases = 0;
void* counting_allocate(size_t size) {
  ++g_allocations;
  return std::malloc(size);
}
void counting_release(void* block) {
  ++g_releases;
  std::free(block);
}
}  // namespace

TEST(Resize, BuffersComeFromTheAllocationHooks) {
  set_resizer_allocation_hooks(counting_allocate, counting_release);
  {
    ResizerPtr r = resizer_create(10, 10, 20, 20, kPixelRgb8, kFilterLanczos, false);
    ASSERT_NE(r, nullptr);
    EXPECT_GT(g_allocations, 0);
    EXPECT_EQ(g_releases, 0);
  }
  set_resizer_allocation_hooks(nullptr, nullptr);
  EXPECT_EQ(g_allocations, g_releases);
  ResizerPtr plain = resizer_create(10, 10, 20, 20, kPixelRgb8, kFilterLanczos, false);
  plain.reset();
  EXPECT_EQ(g_allocations, g_releases);
}
