#include "makepano/cube_conversion.h"

#include <algorithm>
#include <cmath>

#include "makepano/input_analysis.h"
#include "makepano/pano_settings.h"
#include "render/sphere_to_cube.h"

namespace {

constexpr double kDegreesPerRadian = 180.0 / M_PI;

bool is_stereo_sphere(int32_t type) {
  return type == kPanoSpherePair || type == kPanoOverUnder || type == kPanoSideBySide;
}

// Vertical fov of a cylinder of w × h covering hfov degrees, at most 179.
double cylinder_vfov(double hfov, int32_t width, int32_t height) {
  const double radius = width * 360.0 / hfov / (2 * M_PI);
  return std::min(179.0, 2 * std::atan((height / 2.0) / radius) * kDegreesPerRadian);
}

}  // namespace

bool is_convertible_type(int32_t type) {
  return type == kPanoSphere || type == kPanoPartialSphere || type == kPanoCylinder ||
         is_stereo_sphere(type);
}

bool is_strip_type(int32_t type) {
  return type == kPanoStrip || type == kPanoVerticalStrip || type == kPanoStereoStrip ||
         type == kPanoVerticalStereoStrip || type == kPanoStripPair;
}

void fill_missing_fov(const PanoSettings& settings, PanoInput* input) {
  if (input->hfov == 0) input->hfov = settings.hfov;
  if (input->hfov <= 0 || input->hfov > 360) input->hfov = 360;
  if (input->vfov == 0) {
    if (input->type == kPanoCylinder) {
      input->vfov = cylinder_vfov(input->hfov, input->width, input->height);
    } else {
      input->vfov = std::min(input->hfov * input->height / input->width, 180.0);
      if (input->hfov == 360 && input->height / 2 == input->width / 4) input->vfov = 180;
    }
  }
  if (input->voffset == 0) input->voffset = settings.voffset;
}

int32_t even_face_size(int32_t width) {
  const int32_t size = natural_face_size(width);
  return size % 2 == 1 ? size + 1 : size;
}

CubeConversion plan_cube_conversion(const PanoSettings& settings, PanoInput* input) {
  CubeConversion conversion;
  if (!settings.converttocube || !is_convertible_type(input->type) || input->width < 1) {
    return conversion;
  }
  fill_missing_fov(settings, input);
  if (input->hfov != 360 || input->vfov < settings.converttocubelimit.height) return conversion;
  conversion.convert = true;
  conversion.cylinder = input->type == kPanoCylinder;
  conversion.eyes = is_stereo_sphere(input->type) ? 2 : 1;
  const int32_t natural = natural_face_size(input->width);
  conversion.limit_size = settings.maxcubesize > 0 && settings.maxcubesize < natural;
  conversion.face_size =
      conversion.limit_size ? settings.maxcubesize : even_face_size(input->width);
  return conversion;
}

PanoInput converted_record(const PanoInput& input, const CubeConversion& conversion) {
  PanoInput record = input;
  if (conversion.convert) {
    record.type = kPanoCube;
    record.width = record.height = conversion.face_size;
    record.converted = true;
    record.two_eyes = conversion.eyes == 2;
    record.too_large_for_one_cube = conversion.limit_size;
  } else if (is_strip_type(input.type)) {
    record.type = kPanoCube;
    record.two_eyes = input.type != kPanoStrip && input.type != kPanoVerticalStrip;
  }
  return record;
}
