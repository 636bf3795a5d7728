// Perspective views out of a spherical or cylindrical panorama: the face renderer used as a free
// camera with any field of view and size, every pixel's source position computed exactly.
#pragma once

#include <cstdint>
#include <string>

#include "render/sphere_to_cube.h"

// A view's size in pixels.
struct ViewSize {
  int32_t width;
  int32_t height;
};

// The default view size of a source: height = source height div 2, width = height × 4 div 3.
ViewSize default_view_size(int32_t source_width, int32_t source_height);

// The camera of a view: field of view over the image height (0 < fov < 180) and the heading,
// downward vertical angle and roll in degrees.
struct ViewCamera {
  double fov = 90.0;
  double heading = 0.0;
  double vertical_angle = 0.0;
  double roll = 0.0;
};

// Renders one view of size × camera (after the extra rotation, null for none) to output_name.
bool render_view(RenderSettings* settings, ConsoleOps* console, const ImageProps& writer_options,
                 ViewSize size, const ViewCamera& camera, const RotationMatrix* extra,
                 const std::string& output_name);
