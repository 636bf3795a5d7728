// Colour profiles: the profile modes of the writers, conversion of output rows to sRGB with
// Little CMS 2, the compact sRGB profile the suite embeds, and the readable name of a profile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "imageio/image_file.h"

// What a writer does with the input's profile.
enum ProfileMode : int32_t {
  kProfileSkip = 0,     // "skip": pixels unchanged, no profile
  kProfileCopy = 1,     // "copy": pixels unchanged, the input's profile embedded byte for byte
  kProfileConvert = 2,  // "convert": pixels converted to sRGB, no profile (the default)
  kProfileSrgb = 3,     // "srgb": pixels converted to sRGB, the compact sRGB profile embedded
};

// Parses "skip", "copy", "convert" or "srgb" (any case); false for any other word.
bool parse_profile_mode(const std::string& word, ProfileMode* mode);
// The mode of a word as parse_profile_mode reads it; any other word means "skip".
ProfileMode profile_mode_or_skip(const std::string& word);

// The compact sRGB profile (ICC 2.2, 491 bytes, description "sRGB", rights "CC0").
const std::vector<uint8_t>& compact_srgb_profile();

struct ColorConversionState;

// The per-image conversion set: the library context, both profiles, the transform and the
// serialised output profile. Empty (inactive) when no conversion applies. Move-only.
struct ColorConversion {
  ColorConversion();
  ~ColorConversion();
  ColorConversion(ColorConversion&&) noexcept;
  ColorConversion& operator=(ColorConversion&&) noexcept;
  bool active() const;  // a transform is ready for rows
  std::unique_ptr<ColorConversionState> state;
  std::vector<uint8_t> embedded_profile;  // the profile output_props point at, when embedded
};

// Prepares the output of one image before its writer is created: by mode, points output_props
// at the profile to embed (input_icc for "copy", the conversion's own copy for "srgb"; both must
// outlive the writer's creation) and sets up the transform input → sRGB for rows of
// output_format (RGB or RGBA, 8 or 16 bit; alpha passes untouched). Without an input profile,
// for gray output, or when the profile or transform cannot be made, nothing is converted and
// nothing embedded (except "copy", which never converts).
ColorConversion color_conversion_setup(ProfileMode mode, const std::vector<uint8_t>& input_icc,
                                       PixelFormat output_format, ImageProps* output_props);

// Opens the library context, the input profile and the sRGB target ("srgb": the compact
// profile; otherwise the library's built-in sRGB) without a transform yet. False when the input
// profile cannot be parsed; a target that cannot be made, and a CMYK input profile, leave the
// conversion unable to convert (no transform, empty target profile).
bool color_profiles_open(ProfileMode mode, const std::vector<uint8_t>& input_icc,
                         ColorConversion* conversion);

// Creates the transform of opened profiles for rows of format (RGB or RGBA, 8 or 16 bit);
// false for gray, profiles not opened, or a transform the library refuses.
bool color_transform_create(ColorConversion* conversion, PixelFormat format);

// The profile rows are converted to: the compact sRGB profile byte for byte for "srgb", the
// library's sRGB profile as it saves it otherwise; empty when the target is not open.
std::vector<uint8_t> color_target_profile(const ColorConversion& conversion);

// Converts one row of width pixels in place; does nothing for an inactive conversion.
void color_convert_row(const ColorConversion& conversion, void* row, int32_t width);

// True for a profile of CMYK data (header colour space "CMYK"). Such a profile only describes
// the file's CMYK samples, which the reader has already turned into sRGB, so it is never
// applied to RGB rows nor embedded with them: every mode treats those rows as sRGB.
bool icc_profile_is_cmyk(const std::vector<uint8_t>& icc);

// Conversion of inverted CMYK samples (0 = full ink, as CMYK JPEG files store them) to 8-bit
// sRGB, chosen once per file: through the file's CMYK profile with Little CMS when it has one
// the library can use, else by the plain formula R = C × K ÷ 255 (likewise G from M, B from Y),
// rounded. Active when the profile is used.
ColorConversion cmyk_conversion_setup(const std::vector<uint8_t>& icc);

// Converts width pixels of 4 bytes (inverted C, M, Y, K) into width pixels of R, G, B.
void cmyk_convert_row(const ColorConversion& conversion, const uint8_t* cmyk, uint8_t* rgb,
                      int32_t width);
