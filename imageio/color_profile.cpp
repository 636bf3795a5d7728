// Colour profile modes, the sRGB conversion with Little CMS 2 (one library context per
// conversion, so conversions on different threads share nothing), the compact sRGB profile and
// the profile description reader.
#include "imageio/color_profile.h"

#include <lcms2.h>

#include <cmath>
#include <cstring>

#include "base/text.h"

struct ColorConversionState {
  cmsContext context = nullptr;
  cmsHPROFILE input = nullptr;
  cmsHPROFILE output = nullptr;
  cmsHTRANSFORM transform = nullptr;
  bool compact_target = false;  // output is the compact sRGB profile

  ColorConversionState() = default;
  ColorConversionState(const ColorConversionState&) = delete;
  ColorConversionState& operator=(const ColorConversionState&) = delete;
  ~ColorConversionState() {
    if (transform) cmsDeleteTransform(transform);
    if (input) cmsCloseProfile(input);
    if (output) cmsCloseProfile(output);
    if (context) cmsDeleteContext(context);
  }
};

namespace {

// ---- compact sRGB profile ----
//
// Layout: 128-byte header, 9 tag entries, then the tag data in this order: white point, red,
// green and blue colorants (XYZ, 20 bytes each), one tone curve of 26 points (64 bytes) shared
// by the three channels, "CC0" (text, 12 bytes), "sRGB" (description, 95 bytes): 491 bytes.

constexpr size_t kCompactSrgbSize = 491;
constexpr int kCurvePoints = 26;

struct ProfileWriter {
  std::vector<uint8_t> bytes;
  void u8(uint32_t value) { bytes.push_back(static_cast<uint8_t>(value)); }
  void u16(uint32_t value) {
    u8(value >> 8);
    u8(value);
  }
  void u32(uint32_t value) {
    u16(value >> 16);
    u16(value & 0xFFFF);
  }
  void text(const char* value, size_t size) { bytes.insert(bytes.end(), value, value + size); }
  void s15fixed16(double value) {
    u32(static_cast<uint32_t>(static_cast<int32_t>(std::lround(value * 65536.0))));
  }
  void zeros(size_t count) { bytes.insert(bytes.end(), count, 0); }
  void xyz(double x, double y, double z) {
    text("XYZ ", 4);
    zeros(4);
    s15fixed16(x);
    s15fixed16(y);
    s15fixed16(z);
  }
};

// The sRGB tone curve (IEC 61966-2-1) at an encoded value in 0 … 1.
double srgb_to_linear(double value) {
  return value <= 0.04045 ? value / 12.92 : std::pow((value + 0.055) / 1.055, 2.4);
}

std::vector<uint8_t> build_compact_srgb() {
  ProfileWriter out;
  // Header.
  out.u32(kCompactSrgbSize);
  out.text("babl", 4);           // preferred CMM
  out.u32(0x02200000);           // version 2.2
  out.text("mntrRGB XYZ ", 12);  // display class, RGB data, XYZ connection space
  out.zeros(12);                 // creation date
  out.text("acsp", 4);
  out.zeros(4 + 4 + 4 + 4 + 8 + 4);  // platform, flags, manufacturer, model, attributes, intent
  out.s15fixed16(0.9642);            // D50 illuminant
  out.s15fixed16(1.0);
  out.s15fixed16(0.8249);
  out.text("babl", 4);  // creator
  out.zeros(16 + 28);   // profile ID, reserved
  // Tag table.
  const uint32_t data_start = 128 + 4 + 9 * 12;  // 240
  const uint32_t curve = data_start + 4 * 20;
  const uint32_t curve_size = 12 + 2 * kCurvePoints;
  const uint32_t rights = curve + curve_size;
  const uint32_t description = rights + 12;
  struct Tag {
    const char* signature;
    uint32_t offset;
    uint32_t size;
  };
  const Tag tags[] = {
      {"desc", description, static_cast<uint32_t>(kCompactSrgbSize) - description},
      {"cprt", rights, 12},
      {"wtpt", data_start, 20},
      {"rXYZ", data_start + 20, 20},
      {"gXYZ", data_start + 40, 20},
      {"bXYZ", data_start + 60, 20},
      {"rTRC", curve, curve_size},
      {"gTRC", curve, curve_size},
      {"bTRC", curve, curve_size},
  };
  out.u32(9);
  for (const Tag& tag : tags) {
    out.text(tag.signature, 4);
    out.u32(tag.offset);
    out.u32(tag.size);
  }
  // Tag data: D50 white and the Bradford-adapted sRGB primaries.
  out.xyz(0.9642, 1.0, 0.8249);
  out.xyz(0.4360747, 0.2225045, 0.0139322);
  out.xyz(0.3850649, 0.7168786, 0.0971045);
  out.xyz(0.1430804, 0.0606169, 0.7141733);
  out.text("curv", 4);
  out.zeros(4);
  out.u32(kCurvePoints);
  for (int i = 0; i < kCurvePoints; ++i) {
    double linear = srgb_to_linear(static_cast<double>(i) / (kCurvePoints - 1));
    out.u16(static_cast<uint32_t>(std::lround(linear * 65535.0)));
  }
  out.text("text", 4);
  out.zeros(4);
  out.text("CC0", 4);  // with its zero byte
  out.text("desc", 4);
  out.zeros(4);
  out.u32(5);
  out.text("sRGB", 5);    // with its zero byte
  out.zeros(4 + 4);       // no Unicode text
  out.zeros(2 + 1 + 67);  // no ScriptCode text
  return out.bytes;
}

cmsUInt32Number transform_layout(PixelFormat format) {
  switch (format) {
    case kPixelRgb8:
      return TYPE_RGB_8;
    case kPixelRgba8:
      return TYPE_RGBA_8;
    case kPixelRgb16:
      return TYPE_RGB_16;
    case kPixelRgba16:
      return TYPE_RGBA_16;
    default:
      return 0;
  }
}

// The profile serialised by Little CMS; empty when it cannot be saved.
std::vector<uint8_t> saved_profile(cmsHPROFILE profile) {
  cmsUInt32Number size = 0;
  if (!cmsSaveProfileToMem(profile, nullptr, &size) || size == 0) return {};
  std::vector<uint8_t> bytes(size);
  if (!cmsSaveProfileToMem(profile, bytes.data(), &size)) return {};
  bytes.resize(size);
  return bytes;
}

}  // namespace

bool parse_profile_mode(const std::string& word, ProfileMode* mode) {
  static const struct {
    const char* word;
    ProfileMode mode;
  } kModes[] = {
      {"skip", kProfileSkip},
      {"copy", kProfileCopy},
      {"convert", kProfileConvert},
      {"srgb", kProfileSrgb},
  };
  const std::string lower = lowered_ascii(word);
  for (const auto& row : kModes) {
    if (lower == row.word) {
      *mode = row.mode;
      return true;
    }
  }
  return false;
}

ProfileMode profile_mode_or_skip(const std::string& word) {
  ProfileMode mode = kProfileSkip;
  return parse_profile_mode(word, &mode) ? mode : kProfileSkip;
}

const std::vector<uint8_t>& compact_srgb_profile() {
  static const std::vector<uint8_t> profile = build_compact_srgb();
  return profile;
}

ColorConversion::ColorConversion() = default;
ColorConversion::~ColorConversion() = default;
ColorConversion::ColorConversion(ColorConversion&&) noexcept = default;
ColorConversion& ColorConversion::operator=(ColorConversion&&) noexcept = default;

bool ColorConversion::active() const {
  return state != nullptr && state->transform != nullptr;
}

bool color_profiles_open(ProfileMode mode, const std::vector<uint8_t>& input_icc,
                         ColorConversion* conversion) {
  auto state = std::make_unique<ColorConversionState>();
  if (icc_profile_is_cmyk(input_icc)) {
    // Opened without a target: nothing converts, nothing is embedded.
    conversion->state = std::move(state);
    return true;
  }
  state->context = cmsCreateContext(nullptr, nullptr);
  if (!state->context) return false;
  state->input = cmsOpenProfileFromMemTHR(state->context, input_icc.data(),
                                          static_cast<cmsUInt32Number>(input_icc.size()));
  if (!state->input) return false;
  if (mode == kProfileSrgb) {
    const std::vector<uint8_t>& srgb = compact_srgb_profile();
    state->output = cmsOpenProfileFromMemTHR(state->context, srgb.data(),
                                             static_cast<cmsUInt32Number>(srgb.size()));
    state->compact_target = true;
  } else {
    state->output = cmsCreate_sRGBProfileTHR(state->context);
  }
  conversion->state = std::move(state);
  return true;
}

bool color_transform_create(ColorConversion* conversion, PixelFormat format) {
  ColorConversionState* state = conversion->state.get();
  const cmsUInt32Number layout = transform_layout(format);
  if (!state || !state->output || layout == 0) return false;
  state->transform = cmsCreateTransformTHR(state->context, state->input, layout, state->output,
                                           layout, INTENT_PERCEPTUAL, 0);
  return state->transform != nullptr;
}

std::vector<uint8_t> color_target_profile(const ColorConversion& conversion) {
  const ColorConversionState* state = conversion.state.get();
  if (!state || !state->output) return {};
  // The compact profile is embedded byte for byte, not as the library would re-save it.
  if (state->compact_target) return compact_srgb_profile();
  return saved_profile(state->output);
}

ColorConversion color_conversion_setup(ProfileMode mode, const std::vector<uint8_t>& input_icc,
                                       PixelFormat output_format, ImageProps* output_props) {
  ColorConversion conversion;
  if (input_icc.empty() || mode == kProfileSkip || icc_profile_is_cmyk(input_icc)) {
    return conversion;
  }
  if (mode == kProfileCopy) {
    output_props->icc_data = input_icc.data();
    output_props->icc_size = static_cast<int32_t>(input_icc.size());
    output_props->embed_icc = true;
    return conversion;
  }
  if (transform_layout(output_format) == 0) return conversion;  // gray is not converted
  if (!color_profiles_open(mode, input_icc, &conversion) ||
      !color_transform_create(&conversion, output_format)) {
    conversion.state.reset();
    return conversion;
  }
  if (mode == kProfileSrgb) {
    conversion.embedded_profile = compact_srgb_profile();
    output_props->icc_data = conversion.embedded_profile.data();
    output_props->icc_size = static_cast<int32_t>(conversion.embedded_profile.size());
    output_props->embed_icc = true;
  }
  return conversion;
}

void color_convert_row(const ColorConversion& conversion, void* row, int32_t width) {
  if (!conversion.active() || width <= 0) return;
  cmsDoTransform(conversion.state->transform, row, row, static_cast<cmsUInt32Number>(width));
}

bool icc_profile_is_cmyk(const std::vector<uint8_t>& icc) {
  return icc.size() >= 128 && memcmp(icc.data() + 16, "CMYK", 4) == 0;
}

ColorConversion cmyk_conversion_setup(const std::vector<uint8_t>& icc) {
  ColorConversion conversion;
  if (!icc_profile_is_cmyk(icc)) return conversion;
  auto state = std::make_unique<ColorConversionState>();
  state->context = cmsCreateContext(nullptr, nullptr);
  if (!state->context) return conversion;
  state->input = cmsOpenProfileFromMemTHR(state->context, icc.data(),
                                          static_cast<cmsUInt32Number>(icc.size()));
  state->output = cmsCreate_sRGBProfileTHR(state->context);
  if (!state->input || !state->output || cmsGetColorSpace(state->input) != cmsSigCmykData) {
    return conversion;
  }
  // TYPE_CMYK_8_REV: the samples are inverted, as Adobe-style CMYK JPEG files store them.
  state->transform = cmsCreateTransformTHR(state->context, state->input, TYPE_CMYK_8_REV,
                                           state->output, TYPE_RGB_8, INTENT_PERCEPTUAL, 0);
  if (state->transform) conversion.state = std::move(state);
  return conversion;
}

void cmyk_convert_row(const ColorConversion& conversion, const uint8_t* cmyk, uint8_t* rgb,
                      int32_t width) {
  if (width <= 0) return;
  if (conversion.active()) {
    cmsDoTransform(conversion.state->transform, cmyk, rgb, static_cast<cmsUInt32Number>(width));
    return;
  }
  // round(a × b ÷ 255) without a division.
  const auto scaled = [](uint32_t a, uint32_t b) {
    const uint32_t product = a * b + 128;
    return static_cast<uint8_t>((product + (product >> 8)) >> 8);
  };
  for (int32_t x = 0; x < width; ++x, cmyk += 4, rgb += 3) {
    rgb[0] = scaled(cmyk[0], cmyk[3]);
    rgb[1] = scaled(cmyk[1], cmyk[3]);
    rgb[2] = scaled(cmyk[2], cmyk[3]);
  }
}
