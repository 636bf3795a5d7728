// Views are free cameras of the face renderer (face -1): no 16-pixel spans, the oversampling
// decision taken from the view's own field of view.
#include "render/view_render.h"

ViewSize default_view_size(int32_t /*source_width*/, int32_t source_height) {
  const int32_t height = source_height / 2;
  return {static_cast<int32_t>(static_cast<int64_t>(height) * 4 / 3), height};
}

bool render_view(RenderSettings* settings, ConsoleOps* console, const ImageProps& writer_options,
                 ViewSize size, const ViewCamera& camera, const RotationMatrix* extra,
                 const std::string& output_name) {
  return render_image(settings, console, writer_options, size.width, size.height, -1, extra,
                      camera.vertical_angle, camera.heading, camera.roll, camera.fov, output_name);
}
