// Writer option values: subsampling codes and TIFF compression words.
#include "imageio/image_options.h"

#include <gtest/gtest.h>

namespace {

TEST(ImageOptions, SubsamplingCodes) {
  const struct {
    int code;
    bool ok;
    int32_t h, v;
  } rows[] = {{444, true, 1, 1}, {422, true, 2, 1},  {420, true, 2, 2},
              {411, true, 4, 2}, {440, false, 0, 0}, {0, false, 0, 0}};
  for (const auto& row : rows) {
    int32_t h = 0, v = 0;
    EXPECT_EQ(jpeg_sampling_for_code(row.code, &h, &v), row.ok) << row.code;
    EXPECT_EQ(h, row.h) << row.code;
    EXPECT_EQ(v, row.v) << row.code;
  }
}

TEST(ImageOptions, TiffCompressionWords) {
  const struct {
    const char* word;
    bool ok;
    int32_t code;
  } rows[] = {{"none", true, 1}, {"LZW", true, 2},      {"zip", true, 3}, {"Jpeg", true, 4},
              {"auto", true, 5}, {"deflate", false, 0}, {"", false, 0}};
  for (const auto& row : rows) {
    int32_t code = 0;
    EXPECT_EQ(tiff_compression_for_word(row.word, &code), row.ok) << row.word;
    EXPECT_EQ(code, row.code) << row.word;
  }
}

}  // namespace
