// CMYK and YCCK JPEG files for the tests, made with libjpeg as print software writes them
// (Adobe marker, inverted samples: 255 = no ink), their samples as libjpeg decodes them, the
// inverted-CMYK formula, and a CMYK profile built with Little CMS.
#pragma once

#include <lcms2.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" {
#include <jpeglib.h>
}

namespace qv_test {

// Writes a JPEG of width × height pixels from inverted CMYK samples sample(x, y, c), stored as
// CMYK or (ycck) as YCCK, with the Adobe marker and, when given, the ICC profile (split into as
// many markers as it needs). False when the file cannot be created.
template <typename SampleFn>
bool write_cmyk_jpeg(const std::string& path, int width, int height, bool ycck, int quality,
                     const std::vector<uint8_t>& icc, SampleFn sample) {
  FILE* stream = fopen(path.c_str(), "wb");
  if (!stream) return false;
  jpeg_compress_struct info;
  jpeg_error_mgr error;
  info.err = jpeg_std_error(&error);
  jpeg_create_compress(&info);
  jpeg_stdio_dest(&info, stream);
  info.image_width = JDIMENSION(width);
  info.image_height = JDIMENSION(height);
  info.input_components = 4;
  info.in_color_space = JCS_CMYK;
  jpeg_set_defaults(&info);
  jpeg_set_colorspace(&info, ycck ? JCS_YCCK : JCS_CMYK);  // also asks for the Adobe marker
  jpeg_set_quality(&info, quality, TRUE);
  jpeg_start_compress(&info, TRUE);
  if (!icc.empty()) jpeg_write_icc_profile(&info, icc.data(), unsigned(icc.size()));
  std::vector<JSAMPLE> row(size_t(width) * 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      for (int c = 0; c < 4; ++c) row[size_t(x) * 4 + c] = JSAMPLE(sample(x, y, c));
    }
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&info, rows, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  return fclose(stream) == 0;
}

// A smooth test picture in inverted CMYK: ink ramps across and down, some black.
inline int picture_sample(int x, int y, int c, int width, int height) {
  const double u = double(x) / width, v = double(y) / height;
  const double ink[4] = {u, v, 0.5 + 0.5 * std::sin(6 * u + 3 * v), 0.4 * u * v};
  return int(255 - 255 * ink[c] + 0.5);
}

// The CMYK samples of a JPEG as libjpeg decodes them (4 bytes a pixel); with a denominator
// (1, 2, 4 or 8) scaled by it, with the fast settings as the readers decode for a load hint or,
// when fast is false, with the library's defaults as they decode for a scale request.
struct CmykPixels {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> samples;
};

inline CmykPixels decode_cmyk(const std::string& path, int denominator = 0, bool fast = true) {
  CmykPixels pixels;
  FILE* stream = fopen(path.c_str(), "rb");
  if (!stream) return pixels;
  jpeg_decompress_struct info;
  jpeg_error_mgr error;
  info.err = jpeg_std_error(&error);
  jpeg_create_decompress(&info);
  jpeg_stdio_src(&info, stream);
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_CMYK;
  if (denominator > 0) {
    info.scale_num = 1;
    info.scale_denom = unsigned(denominator);
  }
  if (denominator > 0 && fast) {
    info.do_fancy_upsampling = FALSE;
    info.do_block_smoothing = FALSE;
    info.dct_method = JDCT_IFAST;
  }
  jpeg_start_decompress(&info);
  pixels.width = int(info.output_width);
  pixels.height = int(info.output_height);
  pixels.samples.resize(size_t(pixels.width) * pixels.height * 4);
  while (info.output_scanline < info.output_height) {
    JSAMPROW rows[1] = {pixels.samples.data() + size_t(info.output_scanline) * pixels.width * 4};
    jpeg_read_scanlines(&info, rows, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  fclose(stream);
  return pixels;
}

// Inverted CMYK to RGB by the formula R = C × K ÷ 255 (G from M, B from Y), rounded.
inline std::vector<uint8_t> cmyk_formula(const std::vector<uint8_t>& cmyk) {
  std::vector<uint8_t> rgb;
  for (size_t i = 0; i + 3 < cmyk.size(); i += 4) {
    for (int c = 0; c < 3; ++c) rgb.push_back(uint8_t((cmyk[i + c] * cmyk[i + 3] + 127) / 255));
  }
  return rgb;
}

// The sRGB colour a test profile gives an ink mix (0 = no ink, 1 = full): the formula with
// green held back to 80 %, so that profile and formula results differ.
inline void profile_colour(const double ink[4], double rgb[3]) {
  const double white = 1 - ink[3];
  rgb[0] = (1 - ink[0]) * white;
  rgb[1] = 0.8 * (1 - ink[1]) * white;
  rgb[2] = (1 - ink[2]) * white;
}

// A CMYK output profile (ICC 4.3, Lab connection space) whose A2B0 table of grid_points per
// channel maps ink to profile_colour; grid 9 gives about 40 KB, 17 about 500 KB.
inline std::vector<uint8_t> make_cmyk_profile(int grid_points) {
  cmsHPROFILE srgb = cmsCreate_sRGBProfile();
  cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
  cmsHTRANSFORM to_lab =
      cmsCreateTransform(srgb, TYPE_RGB_DBL, lab, TYPE_Lab_DBL, INTENT_RELATIVE_COLORIMETRIC, 0);
  cmsPipeline* pipeline = cmsPipelineAlloc(nullptr, 4, 3);
  cmsStage* table = cmsStageAllocCLut16bit(nullptr, cmsUInt32Number(grid_points), 4, 3, nullptr);
  cmsStageSampleCLut16bit(
      table,
      [](const cmsUInt16Number in[], cmsUInt16Number out[], void* cargo) -> cmsInt32Number {
        double ink[4], rgb[3];
        for (int c = 0; c < 4; ++c) ink[c] = in[c] / 65535.0;
        profile_colour(ink, rgb);
        cmsCIELab colour;
        cmsDoTransform(static_cast<cmsHTRANSFORM>(cargo), rgb, &colour, 1);
        cmsFloat2LabEncoded(out, &colour);
        return TRUE;
      },
      to_lab, 0);
  // An A2B table holds curves on both sides of its grid: identities here.
  cmsPipelineInsertStage(pipeline, cmsAT_END, cmsStageAllocToneCurves(nullptr, 4, nullptr));
  cmsPipelineInsertStage(pipeline, cmsAT_END, table);
  cmsPipelineInsertStage(pipeline, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
  cmsHPROFILE profile = cmsCreateProfilePlaceholder(nullptr);
  cmsSetProfileVersion(profile, 4.3);
  cmsSetDeviceClass(profile, cmsSigOutputClass);
  cmsSetColorSpace(profile, cmsSigCmykData);
  cmsSetPCS(profile, cmsSigLabData);
  cmsWriteTag(profile, cmsSigMediaWhitePointTag, cmsD50_XYZ());
  cmsMLU* description = cmsMLUalloc(nullptr, 1);
  cmsMLUsetASCII(description, "en", "US", "test CMYK");
  cmsWriteTag(profile, cmsSigProfileDescriptionTag, description);
  cmsWriteTag(profile, cmsSigAToB0Tag, pipeline);
  cmsUInt32Number size = 0;
  cmsSaveProfileToMem(profile, nullptr, &size);
  std::vector<uint8_t> bytes(size);
  cmsSaveProfileToMem(profile, bytes.data(), &size);
  cmsMLUfree(description);
  cmsCloseProfile(profile);
  cmsPipelineFree(pipeline);
  cmsDeleteTransform(to_lab);
  cmsCloseProfile(lab);
  cmsCloseProfile(srgb);
  return bytes;
}

// Inverted CMYK to sRGB through a CMYK profile, as Little CMS does it with the library's sRGB
// profile and the perceptual intent.
inline std::vector<uint8_t> cmyk_through_profile(const std::vector<uint8_t>& cmyk,
                                                 const std::vector<uint8_t>& icc) {
  cmsHPROFILE input = cmsOpenProfileFromMem(icc.data(), cmsUInt32Number(icc.size()));
  cmsHPROFILE srgb = cmsCreate_sRGBProfile();
  cmsHTRANSFORM transform =
      cmsCreateTransform(input, TYPE_CMYK_8_REV, srgb, TYPE_RGB_8, INTENT_PERCEPTUAL, 0);
  std::vector<uint8_t> rgb(cmyk.size() / 4 * 3);
  cmsDoTransform(transform, cmyk.data(), rgb.data(), cmsUInt32Number(cmyk.size() / 4));
  cmsDeleteTransform(transform);
  cmsCloseProfile(srgb);
  cmsCloseProfile(input);
  return rgb;
}

// True when the vips command (libvips-tools, a benchmark peer) is installed.
inline bool have_vips() {
  return std::system("command -v vips > /dev/null 2>&1") == 0;
}

// Saves the sRGB profile Little CMS builds in to a file, so that vips can convert into it.
inline bool save_library_srgb(const std::string& path) {
  cmsHPROFILE srgb = cmsCreate_sRGBProfile();
  const bool saved = cmsSaveProfileToFile(srgb, path.c_str());
  cmsCloseProfile(srgb);
  return saved;
}

// Converts a file with vips icc_transform from its embedded profile into target (a profile
// file, or one of vips's own profile names), perceptual intent; false when vips fails.
inline bool vips_convert(const std::string& input, const std::string& output,
                         const std::string& target) {
  const std::string command = "vips icc_transform '" + input + "' '" + output + "' '" + target +
                              "' --embedded --intent perceptual > /dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

}  // namespace qv_test
