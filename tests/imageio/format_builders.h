// Small byte builders for the metadata, PSD and malformed-input tests: TIFF structures laid out
// at chosen offsets, JPEG segments, PackBits rows and PSD documents.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qv_test {

// A byte buffer written at chosen offsets in either byte order; grows as needed.
struct ByteLayout {
  bool big_endian = false;
  std::string data;

  void ensure(size_t size) {
    if (data.size() < size) data.resize(size, '\0');
  }
  void put8(size_t at, uint32_t value) {
    ensure(at + 1);
    data[at] = char(value);
  }
  void put16(size_t at, uint32_t value) {
    ensure(at + 2);
    for (int i = 0; i < 2; ++i) {
      data[at + size_t(i)] = char(value >> (big_endian ? 8 * (1 - i) : 8 * i));
    }
  }
  void put32(size_t at, uint32_t value) {
    ensure(at + 4);
    for (int i = 0; i < 4; ++i) {
      data[at + size_t(i)] = char(value >> (big_endian ? 8 * (3 - i) : 8 * i));
    }
  }
  void put64(size_t at, uint64_t value) {
    if (big_endian) {
      put32(at, uint32_t(value >> 32));
      put32(at + 4, uint32_t(value));
    } else {
      put32(at, uint32_t(value));
      put32(at + 4, uint32_t(value >> 32));
    }
  }
  void put_bytes(size_t at, const std::string& bytes) {
    ensure(at + bytes.size());
    data.replace(at, bytes.size(), bytes);
  }
  void put_rational(size_t at, uint32_t numerator, uint32_t denominator) {
    put32(at, numerator);
    put32(at + 4, denominator);
  }
};

// One classic TIFF directory entry: value is the inline number or the offset of the data.
struct TiffEntry {
  uint16_t tag;
  uint16_t type;
  uint32_t count;
  uint32_t value;
};

// A classic TIFF header pointing at the first directory.
inline void tiff_header(ByteLayout* tiff, uint32_t first_directory) {
  tiff->put_bytes(0, tiff->big_endian ? "MM" : "II");
  tiff->put16(2, 42);
  tiff->put32(4, first_directory);
}

// A classic directory at an offset; short values are stored in the first two bytes.
inline void tiff_directory(ByteLayout* tiff, size_t at, const std::vector<TiffEntry>& entries,
                           uint32_t next) {
  tiff->put16(at, uint32_t(entries.size()));
  size_t position = at + 2;
  for (const TiffEntry& entry : entries) {
    tiff->put16(position, entry.tag);
    tiff->put16(position + 2, entry.type);
    tiff->put32(position + 4, entry.count);
    if (entry.type == 3 && entry.count == 1) {
      tiff->put32(position + 8, 0);
      tiff->put16(position + 8, entry.value);
    } else {
      tiff->put32(position + 8, entry.value);
    }
    position += 12;
  }
  tiff->put32(position, next);
}

// A JPEG marker segment with its length.
inline std::string jpeg_segment(uint8_t marker, const std::string& payload) {
  size_t length = payload.size() + 2;
  std::string segment = {char(0xFF), char(marker), char(length >> 8), char(length & 0xFF)};
  return segment + payload;
}

// Inserts segments right after the SOI marker of a JPEG file.
inline std::string jpeg_with_segments(const std::string& jpeg, const std::string& segments) {
  return jpeg.substr(0, 2) + segments + jpeg.substr(2);
}

// PackBits: runs of three or more equal bytes become repeats, the rest literals.
inline std::string packbits(const std::string& row) {
  std::string out;
  size_t i = 0;
  while (i < row.size()) {
    size_t run = 1;
    while (i + run < row.size() && run < 128 && row[i + run] == row[i]) ++run;
    if (run >= 3) {
      out.push_back(char(257 - run));
      out.push_back(row[i]);
      i += run;
      continue;
    }
    size_t start = i;
    size_t count = 0;
    while (i < row.size() && count < 128) {
      size_t ahead = 1;
      while (i + ahead < row.size() && ahead < 3 && row[i + ahead] == row[i]) ++ahead;
      if (ahead >= 3) break;
      ++i;
      ++count;
    }
    out.push_back(char(count - 1));
    out.append(row, start, count);
  }
  return out;
}

inline void append_big(std::string* out, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out->push_back(char(value >> (8 * i)));
}

// A PSD or PSB document. planes holds each channel's rows in file order (height × row bytes).
struct PsdLayout {
  int version = 1;
  int channels = 3;
  uint32_t width = 0;
  uint32_t height = 0;
  int depth = 8;
  int mode = 3;
  std::string resources;  // content of the image resources section
  std::string layers;     // content of the layer and mask information section
  int compression = 0;    // merged image: 0 raw, 1 PackBits
  std::vector<std::string> planes;
};

inline std::string build_psd(const PsdLayout& layout) {
  std::string out = "8BPS";
  append_big(&out, uint64_t(layout.version), 2);
  out.append(6, '\0');
  append_big(&out, uint64_t(layout.channels), 2);
  append_big(&out, layout.height, 4);
  append_big(&out, layout.width, 4);
  append_big(&out, uint64_t(layout.depth), 2);
  append_big(&out, uint64_t(layout.mode), 2);
  append_big(&out, 0, 4);
  append_big(&out, layout.resources.size(), 4);
  out += layout.resources;
  append_big(&out, layout.layers.size(), layout.version == 2 ? 8 : 4);
  out += layout.layers;
  append_big(&out, uint64_t(layout.compression), 2);
  if (layout.compression == 0) {
    for (const std::string& plane : layout.planes) out += plane;
    return out;
  }
  const size_t row_bytes =
      layout.planes.empty() || layout.height == 0 ? 0 : layout.planes[0].size() / layout.height;
  std::string table;
  std::string rows;
  for (const std::string& plane : layout.planes) {
    for (uint32_t y = 0; y < layout.height; ++y) {
      std::string packed = packbits(plane.substr(y * row_bytes, row_bytes));
      append_big(&table, packed.size(), layout.version == 2 ? 4 : 2);
      rows += packed;
    }
  }
  return out + table + rows;
}

// One image resource block.
inline std::string psd_resource(uint16_t id, const std::string& data,
                                const std::string& signature = "8BIM") {
  std::string out = signature;
  append_big(&out, id, 2);
  out.append(2, '\0');  // empty name, padded
  append_big(&out, data.size(), 4);
  out += data;
  if (data.size() & 1) out.push_back('\0');
  return out;
}

}  // namespace qv_test
