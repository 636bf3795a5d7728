// The name template expanders of the tour builder and the tiling core: a template goes through
// the per-input expansion, the per-file expansion and the tile-number expansion, each also
// applied to the raw text, with the values drawn from the input's first bytes.
//
// Input: kHeaderSize bytes of values, then up to four texts separated by newlines: the template,
// the base name, the input folder and the eye label (missing texts are empty). The texts are
// cut short: a name may itself hold placeholders ("%INPUTPATH%" in a base name, "%t" in a
// folder), so the stages multiply the lengths, and at a path's and a file name's length one unit
// could ask for gigabytes, which says nothing about the expanders.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "makepano/pano_names.h"
#include "makepano/pano_settings.h"
#include "makepano/tile_output.h"
#include "render/tiling.h"

namespace {

constexpr size_t kHeaderSize = 12;
constexpr size_t kMaxTemplate = 1024;
constexpr size_t kMaxName = 64;
constexpr size_t kMaxTileName = 999;

// A header byte as a number: the first values are the edges, the rest small counts.
int32_t number_from(uint8_t byte) {
  static const int32_t kEdges[] = {
      0, -1, 1, 9, 10, 99, 100, 99999, 100000, 2147483647, -2147483647 - 1};
  constexpr uint8_t kEdgeCount = sizeof kEdges / sizeof kEdges[0];
  return byte < kEdgeCount ? kEdges[byte] : byte - kEdgeCount;
}

std::vector<std::string> split_texts(const uint8_t* data, size_t size) {
  std::vector<std::string> texts(4);
  size_t field = 0;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == '\n' && field + 1 < texts.size()) {
      ++field;
      continue;
    }
    texts[field].push_back(static_cast<char>(data[i]));
  }
  texts[0].resize(std::min(texts[0].size(), kMaxTemplate));
  for (size_t k = 1; k < texts.size(); ++k) texts[k].resize(std::min(texts[k].size(), kMaxName));
  return texts;
}

TileTemplateValues values_from(const uint8_t* header, const std::string& base_name,
                               const std::string& eye_label) {
  TileTemplateValues values;
  const uint8_t flags = header[0];
  values.t_text = flags & 1 ? eye_label : "";
  values.base_name = base_name;
  values.keep_frame = flags & 2;
  values.no_sections = flags & 4;
  const uint8_t cube = header[1] % 8;
  values.cube_char = cube < 6 ? kSideLetters[cube] : cube == 6 ? kSidePlaceholder : 0;
  values.level = number_from(header[2]);
  values.level_count = number_from(header[3]);
  values.tile_count = number_from(header[4]);
  values.frame = number_from(header[5]);
  values.frame_count = number_from(header[6]);
  values.tile_index = flags & 8 ? number_from(header[7]) : -1;
  return values;
}

// Bytes the per-file expansion can make of one byte of its text: a level or frame of up to 11
// characters, a kept placeholder of up to 10, or the eye label with a separator and side letter.
size_t per_byte_bound(const TileTemplateValues& values) {
  return values.t_text.size() + 11;
}

bool has_marker(const std::string& text) {
  return text.find(kSectionOpen) != std::string::npos ||
         text.find(kSectionClose) != std::string::npos;
}

void check(bool holds) {
  if (!holds) abort();
}

void check_tile_name(const std::string& name_template, int32_t column, int32_t row) {
  const std::string numbered = expand_tile_name(name_template, column, row, false);
  const std::string letters = expand_tile_name(name_template, column, row, true);
  check(numbered.size() <= kMaxTileName);
  check(letters.size() <= std::min(kMaxTileName, name_template.size()));
  // Without a "%" there is nothing to expand.
  if (name_template.find('%') == std::string::npos) {
    check(numbered == name_template.substr(0, kMaxTileName) && letters == numbered);
  }
  qv_fuzz::sink += qv_fuzz::touch(numbered.data(), numbered.size()) +
                   qv_fuzz::touch(letters.data(), letters.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kHeaderSize) return 0;
  const uint8_t* header = data;
  const std::vector<std::string> texts = split_texts(data + kHeaderSize, size - kHeaderSize);
  const std::string& raw = texts[0];

  PanoSettings settings = default_pano_settings();
  settings.multires = header[0] & 16;
  settings.indexbase = number_from(header[8]);
  PanoNames names;
  names.base_name = texts[1];
  names.input_folder = texts[2];
  const TileTemplateValues values = values_from(header, texts[1], texts[3]);

  // Per input: no backslash survives, no bracket is left when the names add none, and each
  // replacement puts its value in place of at least ten bytes (a base name may itself hold
  // "%INPUTPATH%").
  const std::string stage1 = expand_input_template(raw, names);
  const size_t named = raw.size() + raw.size() / 10 * names.base_name.size();
  check(stage1.size() <= named + named / 11 * names.input_folder.size());
  check(stage1.find('\\') == std::string::npos);
  if (names.base_name.find_first_of("[]") == std::string::npos &&
      names.input_folder.find_first_of("[]") == std::string::npos) {
    check(stage1.find_first_of("[]") == std::string::npos);
  }

  // Per file: every section marker is consumed, and the growth per byte is bounded.
  for (const std::string* text : {&stage1, &raw}) {
    const std::string expanded = expand_tile_template(settings, *text, values);
    const size_t source = text->size() + (text->size() / 10) * values.base_name.size();
    check(expanded.size() <= source * per_byte_bound(values));
    if (!has_marker(values.t_text)) check(!has_marker(expanded));
    qv_fuzz::sink += qv_fuzz::touch(expanded.data(), expanded.size());
    check_tile_name(expanded, number_from(header[9]), number_from(header[10]));
  }
  check_tile_name(raw, number_from(header[10]), number_from(header[11]));
  return 0;
}
