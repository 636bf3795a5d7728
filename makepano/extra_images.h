// The images of a tour besides the tile pyramid: the blurred preview the viewer shows while
// tiles load, the square thumbnail, single-image cube faces for mobile and tablet devices, and
// the named custom images of the config. Each adds its fragment for the scene XML.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "render/tiling.h"

struct ConsoleOps;
struct CustomImageSpec;
struct PanoInput;
struct PanoNames;
struct PanoSettings;

// What one input needs for its extra images.
struct ExtraImageContext {
  const PanoSettings* settings = nullptr;
  const PanoInput* input = nullptr;  // after conversion (faces for cubes)
  const PanoNames* names = nullptr;
  const TileJob* defaults = nullptr;  // the run's tiling defaults
  ConsoleOps* ops = nullptr;
  std::string xml_path;  // the XML file urls are relative to
};

// Files written and XML fragments made for one input.
struct ExtraImages {
  std::string preview_file;      // the preview written; empty: none
  std::string preview_element;   // "<preview url=… tiny=… />", or empty
  std::string thumb_file;        // the thumbnail path (expanded thumbpath); empty: none
  std::string thumb_url;         // its url for [THUMB]
  std::string mobile_block;      // "<mobile>" block inside the image element, or empty
  std::string tablet_block;      // "<tablet>" block, or empty
  std::string custom_inside;     // custom fragments inside the image element
  std::string custom_outside;    // custom fragments after the image element
  std::string image_parameters;  // value of [IMAGEEPARAMETERS]
  std::string scene_parameters;  // value of [SCENEPARAMETERS]
};

// The url of target from the folder of file (relative, slashes) put into a url template in
// place of "[PATH]".
std::string url_for(const std::string& file, const std::string& target,
                    const std::string& url_template);

// A per-input template expanded for a single file: level 0 of 1, sections dropped with their
// text kept.
std::string single_file_path(const PanoSettings& settings, const std::string& stage1,
                             const PanoNames& names);

// Size of the preview of a non-cube, non-sphere input: the image aspect with the pixel diagonal
// of the spherical preview, even and at least 16 each way.
void flat_preview_size(int32_t preview_width, int32_t width, int32_t height, int32_t* out_width,
                       int32_t* out_height);

// The preview reduced to a few pixels for the scene XML, so that a viewer can show the
// panorama's colours at once, before the preview file has come: "WxH:" and then W × H pixels,
// rows from the top, each as six hex digits (rrggbb). A cube strip (six square faces stacked,
// height 6 × width) becomes 4 × 24, four pixels across each face; any other preview keeps its
// aspect with 16 pixels along its longer side (never more than it has). Each pixel is the mean
// of its block. rgba holds width × height pixels of four bytes (the fourth is ignored).
std::string tiny_preview_text(const uint8_t* rgba, int32_t width, int32_t height);

// The preview of a sphere or other non-cube input, before the tiles; or of a cube, from its
// faces. Fills preview_file and preview_element when it was written.
void make_preview(const ExtraImageContext& context, const std::string& preview_path,
                  ExtraImages* images);

// A cube's preview composed on a helper thread while the tiles are cut. Its console lines are
// held back, and its file is written, by finish_preview_ahead, where make_preview would have
// printed and written them; a preview never finished writes nothing.
struct PreviewAhead;
struct PreviewAheadDeleter {
  void operator()(PreviewAhead* ahead) const;
};
using PreviewAheadPtr = std::unique_ptr<PreviewAhead, PreviewAheadDeleter>;

// Starts the work of make_preview(context, preview_path) on a helper thread; null when no helper
// thread could be started (the caller then makes the preview itself). context's records must
// outlive the task.
PreviewAheadPtr start_preview_ahead(const ExtraImageContext& context,
                                    const std::string& preview_path);

// Waits for the work, prints its held-back lines through ops, writes the preview and fills
// preview_file and preview_element as make_preview does.
void finish_preview_ahead(PreviewAhead* ahead, ConsoleOps* ops, ExtraImages* images);

// The thumbnail from the input (the front face for cubes); false when the tiling core failed.
bool make_thumbnail_image(const ExtraImageContext& context, const std::string& thumb_path,
                          ExtraImages* images);

// Mobile and tablet faces as set; false when the tiling core failed.
bool make_device_faces(const ExtraImageContext& context, const std::string& mobile_path,
                       const std::string& tablet_path, ExtraImages* images);

// The custom images of the config; false when the tiling core failed.
bool make_custom_images(const ExtraImageContext& context, ExtraImages* images);

// A TileJob with the encoding overrides of an imagesettings text applied.
void apply_image_settings(const std::string& imagesettings, TileJob* job);
