// Cube side naming, side recognition from file names, layout shapes and the strip-order guess.
// The guess reads the strip once, row by row, and keeps only the four edges of each of the first
// six cells, so strips of any size are examined in a few rows of memory.
#include "render/cube_layout.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "base/args.h"
#include "base/paths.h"
#include "base/text.h"
#include "imageio/image_file.h"
#include "imageio/tiled_image_loader.h"
#include "memory/tiled_image.h"
#include "render/engine_messages.h"
#include "render/sphere_to_cube.h"

namespace {

const CubeSideInfo kCubeSides[kCubeSideCount] = {
    {"_l", "left", " ", 'l'}, {"_f", "front", "", 'f'}, {"_r", "right", "", 'r'},
    {"_b", "back", " ", 'b'}, {"_u", "up", "   ", 'u'}, {"_d", "down", " ", 'd'},
};

struct SideMarker {
  const char* text;
  int32_t side;
  FaceOrientation orientation;  // how a face so named is turned; upright unless given
};

// Underscore markers; the rightmost one that is not followed by a letter wins.
const SideMarker kUnderscoreMarkers[] = {
    {"_l", kCubeLeft, {}}, {"_f", kCubeFront, {}}, {"_r", kCubeRight, {}}, {"_b", kCubeBack, {}},
    {"_u", kCubeUp, {}},   {"_t", kCubeUp, {}},    {"_d", kCubeDown, {}},
};

// Side words, tried in this order; the first standing alone wins.
const SideMarker kSideWords[] = {
    {"left", kCubeLeft, {}},   {"front", kCubeFront, {}}, {"right", kCubeRight, {}},
    {"back", kCubeBack, {}},   {"up", kCubeUp, {}},       {"top", kCubeUp, {}},
    {"bottom", kCubeDown, {}}, {"down", kCubeDown, {}},
};

// The names game engines and skybox packs give their faces, tried only when the markers and
// words above find nothing. Two-letter underscore markers (the rightmost one not followed by a
// letter wins). Such packs call our left "rt" and our right "lf", and draw their up and down
// faces for a camera that faces "rt" and tilts, so that the up face's bottom edge and the down
// face's top edge meet "rt" (ours both meet the front): up is turned a quarter counter-clockwise
// (three clockwise), down a quarter clockwise. Real packs meet without seams read this way; their
// down faces are often plain, and the down turn follows from the same camera …
const SideMarker kSkyboxMarkers[] = {
    {"_rt", kCubeLeft, {}}, {"_ft", kCubeFront, {}},      {"_lf", kCubeRight, {}},
    {"_bk", kCubeBack, {}}, {"_up", kCubeUp, {3, false}}, {"_dn", kCubeDown, {1, false}},
};

// … and the cube-map axis words (+X right, -X left, +Y up, -Y down, +Z front, -Z back), each
// standing alone. A cube map's axes are ours with z reversed (its +Z is our front), and each of
// its faces runs its rows and columns the way ours does, so its faces are used upright.
const SideMarker kAxisWords[] = {
    {"negx", kCubeLeft, {}}, {"posz", kCubeFront, {}}, {"posx", kCubeRight, {}},
    {"negz", kCubeBack, {}}, {"posy", kCubeUp, {}},    {"negy", kCubeDown, {}},
};

// Position in reading order → side, for the four strip orders.
const int32_t kStripOrders[4][kCubeSideCount] = {
    {kCubeLeft, kCubeFront, kCubeRight, kCubeBack, kCubeUp, kCubeDown},
    {kCubeFront, kCubeRight, kCubeBack, kCubeLeft, kCubeUp, kCubeDown},
    {kCubeRight, kCubeLeft, kCubeUp, kCubeDown, kCubeFront, kCubeBack},
    {kCubeLeft, kCubeFront, kCubeRight, kCubeBack, kCubeDown, kCubeUp},
};

bool is_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

std::string lowered_file_name(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return name;
}

std::string trimmed_base(std::string base) {
  while (!base.empty() && std::string("-./\\_").find(base.back()) != std::string::npos) {
    base.pop_back();
  }
  return base;
}

// The rightmost counting marker of the table: its side and position, side -1 when none
// counts. A marker counts at its last occurrence when no letter follows it.
template <size_t count>
CubeSideMatch match_underscore_marker(const std::string& name, const SideMarker (&markers)[count],
                                      size_t* cut) {
  CubeSideMatch best;
  size_t best_position = 0;
  for (const SideMarker& marker : markers) {
    const size_t position = name.rfind(marker.text);
    if (position == std::string::npos) continue;
    const size_t after = position + strlen(marker.text);
    if (after < name.size() && is_letter(name[after])) continue;
    if (best.side < 0 || position > best_position) {
      best.side = marker.side;
      best.orientation = marker.orientation;
      best_position = position;
    }
  }
  *cut = best_position;
  return best;
}

// The first word of the table whose first occurrence stands alone; cut at its last occurrence.
template <size_t count>
CubeSideMatch match_side_word(const std::string& name, const SideMarker (&words)[count],
                              size_t* cut) {
  CubeSideMatch match;
  for (const SideMarker& word : words) {
    const std::string text = word.text;
    const size_t position = name.find(text);
    if (position == std::string::npos) continue;
    const size_t after = position + text.size();
    if (position > 0 && is_letter(name[position - 1])) continue;
    if (after < name.size() && is_letter(name[after])) continue;
    match.side = word.side;
    match.orientation = word.orientation;
    *cut = name.rfind(text);
    return match;
  }
  return match;
}

// The four edges of one cell, each face_size RGB triples: top, right, bottom, left.
enum EdgeIndex { kEdgeTop = 0, kEdgeRight = 1, kEdgeBottom = 2, kEdgeLeft = 3 };

struct CellEdges {
  std::array<std::vector<int32_t>, 4> edges;  // 3 values per pixel
};

// One pixel of a row of any reader format as 8-bit R, G, B (16-bit samples keep the high byte).
void pixel_rgb(const ImageFile* file, const uint8_t* row, int32_t x, int32_t* rgb) {
  const int32_t channels = file->channels;
  const bool wide = file->format == kPixelRgb16 || file->format == kPixelRgba16;
  for (int32_t c = 0; c < 3; ++c) {
    const int32_t channel = channels >= 3 ? c : 0;
    if (wide) {
      const uint16_t* samples = reinterpret_cast<const uint16_t*>(row);
      rgb[c] = samples[x * channels + channel] >> 8;
    } else {
      rgb[c] = row[x * channels + channel];
    }
  }
}

void copy_pixel(const ImageFile* file, const uint8_t* row, int32_t x, std::vector<int32_t>* edge,
                int32_t index) {
  pixel_rgb(file, row, x, edge->data() + 3 * index);
}

// Reads the strip and keeps the edges of its first six cells; false when it cannot be read.
bool read_cell_edges(const std::string& path, std::vector<CellEdges>* cells, int32_t* face_size) {
  ImageFilePtr file = image_open_read(path, nullptr);
  if (!file) return false;
  const int32_t width = file->width;
  const int32_t height = file->height;
  const int32_t size = strip_face_size(width, height);
  if (size <= 0 || file->channels <= 0) return false;
  const int32_t columns = std::min(width / size, 6);
  const int32_t rows = std::min(height / size, 6);
  const int32_t count = std::min(columns * rows, kCubeSideCount);
  cells->assign(count, CellEdges());
  for (CellEdges& cell : *cells) {
    for (auto& edge : cell.edges) edge.assign(3 * static_cast<size_t>(size), 0);
  }
  std::vector<uint8_t> row(static_cast<size_t>(file->bytes_per_row));
  const int32_t used_rows = std::min(height, rows * size);
  for (int32_t y = 0; y < used_rows; ++y) {
    if (!image_read_row(file.get(), row.data())) return false;
    const int32_t cell_row = y / size;
    const int32_t inside = y % size;
    for (int32_t column = 0; column < columns; ++column) {
      const int32_t position = cell_row * columns + column;
      if (position >= count) break;
      CellEdges& cell = (*cells)[position];
      const int32_t left = column * size;
      copy_pixel(file.get(), row.data(), left, &cell.edges[kEdgeLeft], inside);
      copy_pixel(file.get(), row.data(), left + size - 1, &cell.edges[kEdgeRight], inside);
      if (inside == 0 || inside == size - 1) {
        auto& edge = cell.edges[inside == 0 ? kEdgeTop : kEdgeBottom];
        for (int32_t x = 0; x < size; ++x) copy_pixel(file.get(), row.data(), left + x, &edge, x);
        if (size == 1) {
          for (int32_t x = 0; x < size; ++x) {
            copy_pixel(file.get(), row.data(), left + x, &cell.edges[kEdgeBottom], x);
          }
        }
      }
    }
  }
  *face_size = size;
  return true;
}

int64_t edge_distance(const std::vector<int32_t>& a, const std::vector<int32_t>& b, bool reversed,
                      int32_t size) {
  int64_t sum = 0;
  for (int32_t i = 0; i < size; ++i) {
    const int32_t j = reversed ? size - 1 - i : i;
    for (int32_t c = 0; c < 3; ++c) {
      const int64_t d = a[3 * i + c] - b[3 * j + c];
      sum += d * d;
    }
  }
  return sum / size;
}

struct EdgePair {
  int32_t side_a;
  int32_t edge_a;
  int32_t side_b;
  int32_t edge_b;
  bool reversed;
};

// The twelve cube edges where two faces meet, with the direction in which they run.
const EdgePair kCubeSeams[12] = {
    {kCubeBack, kEdgeBottom, kCubeDown, kEdgeBottom, true},
    {kCubeRight, kEdgeBottom, kCubeDown, kEdgeRight, false},
    {kCubeLeft, kEdgeBottom, kCubeDown, kEdgeLeft, true},
    {kCubeRight, kEdgeRight, kCubeBack, kEdgeLeft, false},
    {kCubeLeft, kEdgeLeft, kCubeBack, kEdgeRight, false},
    {kCubeFront, kEdgeRight, kCubeRight, kEdgeLeft, false},
    {kCubeLeft, kEdgeRight, kCubeFront, kEdgeLeft, false},
    {kCubeFront, kEdgeTop, kCubeUp, kEdgeBottom, false},
    {kCubeFront, kEdgeBottom, kCubeDown, kEdgeTop, false},
    {kCubeLeft, kEdgeTop, kCubeUp, kEdgeLeft, false},
    {kCubeRight, kEdgeTop, kCubeUp, kEdgeRight, true},
    {kCubeBack, kEdgeTop, kCubeUp, kEdgeTop, true},
};

int64_t order_score(const std::vector<CellEdges>& cells, int32_t size, int32_t order) {
  int32_t position_of[kCubeSideCount];
  for (int32_t p = 0; p < kCubeSideCount; ++p) position_of[kStripOrders[order][p]] = p;
  int64_t score = 0;
  for (const EdgePair& pair : kCubeSeams) {
    const int32_t a = position_of[pair.side_a];
    const int32_t b = position_of[pair.side_b];
    if (a >= static_cast<int32_t>(cells.size()) || b >= static_cast<int32_t>(cells.size())) {
      continue;
    }
    score += edge_distance(cells[a].edges[pair.edge_a], cells[b].edges[pair.edge_b], pair.reversed,
                           size);
  }
  return score;
}

}  // namespace

const CubeSideInfo& cube_side_info(int32_t side) {
  return kCubeSides[side];
}

CubeSideMatch detect_cube_side(const std::string& path) {
  const std::string name = lowered_file_name(path);
  size_t cut = 0;
  CubeSideMatch match = match_underscore_marker(name, kUnderscoreMarkers, &cut);
  if (match.side < 0) match = match_side_word(name, kSideWords, &cut);
  if (match.side < 0) return detect_skybox_side(path);
  match.base = trimmed_base(name.substr(0, cut));
  return match;
}

CubeSideMatch detect_skybox_side(const std::string& path) {
  const std::string name = lowered_file_name(path);
  size_t cut = 0;
  CubeSideMatch match = match_underscore_marker(name, kSkyboxMarkers, &cut);
  if (match.side < 0) match = match_side_word(name, kAxisWords, &cut);
  if (match.side < 0) return CubeSideMatch();
  match.base = trimmed_base(name.substr(0, cut));
  match.skybox_name = true;
  return match;
}

void named_face_orientations(const std::string (&paths)[6], FaceOrientation (&orientations)[6]) {
  bool skybox_set = false;
  for (const std::string& path : paths) {
    if (!path.empty() && detect_cube_side(path).skybox_name) skybox_set = true;
  }
  for (int32_t side = 0; side < kCubeSideCount; ++side) {
    orientations[side] = FaceOrientation();
    if (!skybox_set || paths[side].empty()) continue;
    const CubeSideMatch match = detect_skybox_side(paths[side]);
    if (match.side == side) orientations[side] = match.orientation;
  }
}

namespace {

// Where a face image turned by orientation holds pixel (x, y) of the side's own image: the
// side's point mirrored and turned the way the image was.
void turned_image_position(FaceOrientation orientation, int32_t size, int32_t x, int32_t y,
                           int32_t* u, int32_t* v) {
  const int32_t turns = ((orientation.quarter_turns % 4) + 4) % 4;
  const int32_t last = size - 1;
  *u = orientation.mirrored ? last - x : x;
  *v = y;
  for (int32_t turn = 0; turn < turns; ++turn) {
    const int32_t turned_u = last - *v;
    *v = *u;
    *u = turned_u;
  }
}

}  // namespace

std::vector<uint8_t> face_in_side_orientation(const std::vector<uint8_t>& pixels, int32_t size,
                                              int32_t pixel_bytes, FaceOrientation orientation) {
  if (face_is_upright(orientation)) return pixels;
  std::vector<uint8_t> upright(pixels.size());
  for (int32_t y = 0; y < size; ++y) {
    for (int32_t x = 0; x < size; ++x) {
      int32_t u = 0;
      int32_t v = 0;
      turned_image_position(orientation, size, x, y, &u, &v);
      const size_t from = (static_cast<size_t>(v) * size + u) * pixel_bytes;
      const size_t to = (static_cast<size_t>(y) * size + x) * pixel_bytes;
      std::memcpy(&upright[to], &pixels[from], pixel_bytes);
    }
  }
  return upright;
}

bool write_face_in_side_orientation(const std::string& source, const std::string& output,
                                    FaceOrientation orientation) {
  TiledImagePtr face = load_tiled_image(source, 128, nullptr, nullptr);
  if (!face || face->width != face->height) return false;
  const bool sixteen_bit = face->element_type == kElementRgba16;
  if (!sixteen_bit && face->element_type != kElementBgra8) return false;
  TileViewPtr view = create_tile_view(face.get());
  const std::unique_ptr<ImageInfo> info = image_probe(source);
  ImageProps props;
  image_default_props(&props);
  if (info && !info->icc.empty()) {
    props.embed_icc = true;
    props.icc_data = info->icc.data();
    props.icc_size = static_cast<int32_t>(info->icc.size());
  }
  const int32_t size = face->width;
  ImageFilePtr file =
      image_create_write(sixteen_bit ? kPixelRgb16 : kPixelRgb8, output, size, size, props);
  if (!file) return false;
  std::vector<uint8_t> row(static_cast<size_t>(file->bytes_per_row));
  for (int32_t y = 0; y < size; ++y) {
    for (int32_t x = 0; x < size; ++x) {
      int32_t u = 0;
      int32_t v = 0;
      turned_image_position(orientation, size, x, y, &u, &v);
      const uint8_t* pixel = tile_view_pixel(view.get(), u, v);
      if (sixteen_bit) {
        std::memcpy(&row[static_cast<size_t>(x) * 6], pixel, 6);  // R, G, B of RGBA
      } else {
        uint8_t* out = &row[static_cast<size_t>(x) * 3];  // B, G, R, A in the tile
        out[0] = pixel[2];
        out[1] = pixel[1];
        out[2] = pixel[0];
      }
    }
    if (!image_write_row(file.get(), row.data())) return false;
  }
  return image_close(std::move(file));
}

CubeLayoutShape cube_layout_shape(int32_t layout) {
  switch (layout) {
    case kLayoutHorizontalStrip:
      return {6, 1};
    case kLayoutVerticalStrip:
      return {1, 6};
    case kLayoutGrid3x2:
      return {3, 2};
    case kLayoutGrid2x3:
      return {2, 3};
    default:
      return {0, 0};
  }
}

int32_t strip_face_size(int32_t width, int32_t height) {
  const int64_t w = width;
  const int64_t h = height;
  if (w <= 0 || h <= 0) return 0;
  if (w == 6 * h || w == 12 * h) return height;
  if (h == 6 * w || h == 12 * w) return width;
  if (3 * h == 2 * w) return height / 2;
  if (2 * h == 3 * w) return width / 2;
  return 0;
}

const int32_t* strip_order_sides(int32_t order) {
  return kStripOrders[order];
}

int32_t detect_strip_order(const std::string& path) {
  std::vector<CellEdges> cells;
  int32_t size = 0;
  if (!read_cell_edges(path, &cells, &size)) return 0;
  int64_t scores[4];
  for (int32_t order = 0; order < 4; ++order) scores[order] = order_score(cells, size, order);
  for (int32_t candidate = 1; candidate < 4; ++candidate) {
    bool smallest = true;
    for (int32_t other = 0; other < 4; ++other) {
      if (other != candidate && scores[candidate] >= scores[other]) smallest = false;
    }
    if (smallest) return candidate;
  }
  return 0;
}

namespace {

// The face streams of one layout row. With a pool, every stream reads the source through its
// own tile cache, so that streams can advance on different workers.
struct LayoutRowStreams {
  std::vector<FaceRowStream> streams;
  std::vector<TileViewPtr> views;
  std::vector<PanoSampler> samplers;
};

bool init_layout_row_streams(LayoutRowStreams* row, RenderSettings* settings, CubeLayoutShape shape,
                             int32_t layout_row, int32_t face_size, int32_t render_size,
                             bool oversample, const RotationMatrix* extra) {
  const size_t columns = static_cast<size_t>(shape.columns);
  row->streams = std::vector<FaceRowStream>(columns);
  if (settings->pool) {
    row->samplers.assign(columns, *settings->sampler);
    for (size_t column = 0; column < columns; ++column) {
      row->views.push_back(create_tile_view(settings->sampler->view->image));
      row->samplers[column].view = row->views.back().get();
    }
  }
  for (int32_t column = 0; column < shape.columns; ++column) {
    FaceRowStream& stream = row->streams[column];
    RenderSettings own = *settings;
    if (settings->pool) own.sampler = &row->samplers[column];
    init_render_context(&stream.context, own, render_size, render_size,
                        layout_row * shape.columns + column, extra, 0.0, 0.0, 0.0, 90.0);
    if (!init_face_row_stream(&stream, face_size, face_size, oversample)) return false;
  }
  return true;
}

// Takes the next `count` rows of every stream into band (rows of the whole layout width), the
// streams side by side on the pool. False when a stream ran out of rows.
bool fill_layout_band(LayoutRowStreams* row, WorkerPool* pool, int32_t count, size_t face_bytes,
                      uint8_t* band) {
  const size_t columns = row->streams.size();
  std::vector<char> ran_out(columns, 0);
  parallel_for_each(pool, static_cast<int64_t>(columns), [&](int64_t column, int32_t) {
    for (int32_t y = 0; y < count; ++y) {
      const uint8_t* face_row = next_face_row(&row->streams[static_cast<size_t>(column)]);
      if (!face_row) {
        ran_out[static_cast<size_t>(column)] = 1;
        return;
      }
      std::memcpy(band + (y * columns + column) * face_bytes, face_row, face_bytes);
    }
  });
  return std::find(ran_out.begin(), ran_out.end(), 1) == ran_out.end();
}

// Renders the faces of one layout row side by side into the output, a band of rows at a time.
bool render_layout_row(RenderSettings* settings, RenderOutput* output, CubeLayoutShape shape,
                       int32_t layout_row, int32_t face_size, int32_t render_size, bool oversample,
                       const RotationMatrix* extra, int32_t* rows_written) {
  const int32_t pixel_bytes = settings->sampler->element_size == 8 ? 6 : 3;
  const int32_t width = shape.columns * face_size;
  const int32_t total = shape.rows * face_size;
  LayoutRowStreams row;
  if (!init_layout_row_streams(&row, settings, shape, layout_row, face_size, render_size,
                               oversample, extra)) {
    return false;
  }
  const size_t row_bytes = static_cast<size_t>(width) * pixel_bytes;
  const int32_t band_rows = settings->pool ? 16 : 1;
  std::vector<uint8_t> band(static_cast<size_t>(band_rows) * row_bytes);
  const size_t face_bytes = static_cast<size_t>(face_size) * pixel_bytes;
  for (int32_t y = 0; y < face_size; y += band_rows) {
    const int32_t count = std::min(band_rows, face_size - y);
    if (!fill_layout_band(&row, settings->pool, count, face_bytes, band.data())) return false;
    for (int32_t i = 0; i < count; ++i) {
      if (!write_render_row(output, band.data() + i * row_bytes, width)) return false;
      ++*rows_written;
      if (settings->progress) settings->progress(settings->progress_user, *rows_written, total);
    }
  }
  return true;
}

// Renders the faces one below the other, each from top to bottom, through one rewound stream.
bool render_vertical_strip(RenderSettings* settings, RenderOutput* output, int32_t face_size,
                           int32_t render_size, bool oversample, const RotationMatrix* extra) {
  FaceRowStream stream;
  const int32_t total = kCubeSideCount * face_size;
  int32_t rows_written = 0;
  for (int32_t face = 0; face < kCubeSideCount; ++face) {
    // The band the last face rendered ahead is let go of before the camera changes.
    if (face > 0) rewind_face_row_stream(&stream);
    init_render_context(&stream.context, *settings, render_size, render_size, face, extra, 0.0, 0.0,
                        0.0, 90.0);
    if (face == 0 && !init_face_row_stream(&stream, face_size, face_size, oversample)) return false;
    spread_face_row_stream(&stream, settings->pool);
    for (int32_t y = 0; y < face_size; ++y) {
      uint8_t* face_row = next_face_row(&stream);
      if (!face_row || !write_render_row(output, face_row, face_size)) return false;
      ++rows_written;
      if (settings->progress) settings->progress(settings->progress_user, rows_written, total);
    }
  }
  return true;
}

}  // namespace

bool render_strip(int32_t layout, const std::string& output_name, RenderSettings* settings,
                  ConsoleOps* console, const ImageProps& writer_options, int32_t face_size,
                  const RotationMatrix* extra) {
  const CubeLayoutShape shape = cube_layout_shape(layout);
  RenderOutput output;
  if (shape.columns == 0 || !open_face_output(&output, *settings, writer_options, output_name,
                                              shape.columns * face_size, shape.rows * face_size)) {
    engine_log(console, "%s", engine_create_failure_text(output_name).c_str());
    return false;
  }
  const int32_t natural = natural_face_size(settings->sampler->width);
  const bool oversample = face_size < natural && !settings->no_oversampling;
  const int32_t render_size = oversample ? natural : face_size;
  bool success = true;
  if (layout == kLayoutVerticalStrip) {
    success = render_vertical_strip(settings, &output, face_size, render_size, oversample, extra);
  } else {
    int32_t rows_written = 0;
    for (int32_t layout_row = 0; success && layout_row < shape.rows; ++layout_row) {
      success = render_layout_row(settings, &output, shape, layout_row, face_size, render_size,
                                  oversample, extra, &rows_written);
    }
  }
  return finish_face_output(&output, success, *settings, console);
}

namespace {

// Cuts name at the last occurrence of marker when no letter follows it (or always, when
// any_follower is set).
void cut_at_last(std::string* name, const char* marker, bool any_follower) {
  const std::string lowered = lowered_ascii(*name);
  const size_t at = lowered.rfind(marker);
  if (at == std::string::npos) return;
  const size_t after = at + std::char_traits<char>::length(marker);
  if (!any_follower && after < lowered.size() && is_letter(lowered[after])) return;
  name->erase(at);
}

}  // namespace

std::string cube_face_output_base(const std::string& left_face_path) {
  const std::string file = file_name_part(left_face_path);
  const std::string folder = left_face_path.substr(0, left_face_path.size() - file.size());
  std::string stem = file;
  const size_t dot = stem.rfind('.');
  if (dot != std::string::npos) stem.erase(dot);
  const std::string whole = stem;
  cut_at_last(&stem, "_l", false);
  cut_at_last(&stem, "_left", false);
  cut_at_last(&stem, "left", true);
  // A left face named the skybox way (sky_rt, sky_negx, negx) is cut likewise.
  if (stem == whole && detect_skybox_side(file).side == kCubeLeft) {
    for (const char* marker : {"_rt", "_negx", "negx"}) {
      cut_at_last(&stem, marker, false);
      if (stem != whole) break;
    }
  }
  return folder + stem;
}
