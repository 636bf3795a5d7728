// The metadata scanner. Every read goes through read_at, which refuses ranges outside the file,
// so a hostile offset or length ends the affected step and keeps what was found before it.
// Directory chains are bounded: at most kQueueSize directories wait at once, an offset is
// visited once, and at most kMaxDirectories directories are read per TIFF structure.
#include "imageio/metadata.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Directory kinds of the TIFF walk.
enum DirectoryKind : int {
  kMainDirectory = 0,   // IFD0
  kNextDirectory = 1,   // IFD1 and later: the thumbnail directory
  kExifDirectory = 2,   // EXIF sub-directory
  kGpsDirectory = 3,    // GPS sub-directory
  kRicohDirectory = 5,  // Ricoh maker note
  kRicohPose = 6,       // Ricoh pose sub-directory of the maker note
};

constexpr int kQueueSize = 15;
constexpr int kMaxDirectories = 64;
constexpr int64_t kMaxXmpSegment = 1048577;
constexpr int64_t kMaxTextTag = 65534;
constexpr int64_t kMaxPhotoshopTag = 4194303;
constexpr int64_t kMaxDirectoryEntries = 65535;
const char kXmpNamespace[] = "http://ns.adobe.com/xap/1.0/";  // 28 letters and the zero byte

struct QueuedDirectory {
  int kind;
  int64_t offset;  // relative to the structure's base
};

// Values found so far; published into ImageInfo at the end.
struct Scanner {
  FILE* stream = nullptr;
  int64_t file_size = 0;
  // The TIFF structure being read.
  bool big_endian = false;
  bool big_tiff = false;
  int64_t base = 0;
  QueuedDirectory queue[kQueueSize];
  int queued = 0;
  std::vector<int64_t> seen;  // directory offsets queued so far in this structure
  // Values.
  int32_t width = -1;
  int32_t height = -1;
  double latitude_sign = 1;
  double latitude = 0;
  double longitude_sign = 1;
  double longitude = 0;
  int coordinates = 0;
  double direction = 0;
  bool thumbnail_found = false;
  int64_t thumbnail_offset = 0;  // absolute
  int64_t thumbnail_length = 0;
  bool pose_found = false;
  double heading = 0;
  double pitch = 0;
  double roll = 0;
  bool comment_found = false;
  std::string comment;
  std::vector<uint8_t> icc;
};

// Reads size bytes at an absolute offset; false when the range is not inside the file.
bool read_at(Scanner* scan, int64_t offset, void* buffer, int64_t size) {
  if (offset < 0 || size < 0 || offset > scan->file_size || size > scan->file_size - offset) {
    return false;
  }
  if (size == 0) return true;
  if (fseeko(scan->stream, offset, SEEK_SET) != 0) return false;
  return fread(buffer, 1, static_cast<size_t>(size), scan->stream) == static_cast<size_t>(size);
}

bool read_bytes(Scanner* scan, int64_t offset, int64_t size, std::vector<uint8_t>* bytes) {
  if (offset < 0 || size < 0 || offset > scan->file_size || size > scan->file_size - offset) {
    return false;
  }
  bytes->resize(static_cast<size_t>(size));
  return read_at(scan, offset, bytes->data(), size);
}

uint32_t big16(const uint8_t* p) {
  return uint32_t{p[0]} << 8 | p[1];
}
uint32_t big32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// Numbers of the TIFF structure in its byte order.
uint32_t tiff16(const Scanner& scan, const uint8_t* p) {
  return scan.big_endian ? big16(p) : (uint32_t{p[1]} << 8 | p[0]);
}
uint32_t tiff32(const Scanner& scan, const uint8_t* p) {
  return scan.big_endian
             ? big32(p)
             : (uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0]);
}
uint64_t tiff64(const Scanner& scan, const uint8_t* p) {
  uint64_t first = tiff32(scan, p);
  uint64_t second = tiff32(scan, p + 4);
  return scan.big_endian ? (first << 32 | second) : (second << 32 | first);
}

// The text of bytes up to the first zero byte.
std::string text_of(const std::vector<uint8_t>& bytes, size_t start = 0) {
  std::string text;
  for (size_t i = start; i < bytes.size() && bytes[i] != 0; ++i) {
    text.push_back(static_cast<char>(bytes[i]));
  }
  return text;
}

// ---- TIFF structure ----

// One directory entry as read.
struct TiffEntry {
  uint32_t tag;
  uint32_t type;
  uint64_t count;
  const uint8_t* value;  // the value field: 4 bytes (classic) or 8 (BigTIFF)
};

int64_t type_size(uint32_t type) {
  switch (type) {
    case 1:  // byte
    case 2:  // ASCII
    case 6:  // signed byte
    case 7:  // undefined
      return 1;
    case 3:  // short
    case 8:  // signed short
      return 2;
    case 4:   // long
    case 9:   // signed long
    case 11:  // float
    case 13:  // IFD
      return 4;
    case 5:   // rational
    case 10:  // signed rational
    case 12:  // double
    case 16:  // long8
    case 17:  // signed long8
    case 18:  // IFD8
      return 8;
    default:
      return 0;
  }
}

// The number held in the value field: short from its first two bytes, long from four, long8
// from eight (BigTIFF).
uint64_t entry_number(const Scanner& scan, const TiffEntry& entry) {
  if (entry.type == 3 || entry.type == 8) return tiff16(scan, entry.value);
  if ((entry.type == 16 || entry.type == 18) && scan.big_tiff) return tiff64(scan, entry.value);
  return tiff32(scan, entry.value);
}

// The offset in the value field (relative to the base).
uint64_t entry_offset(const Scanner& scan, const TiffEntry& entry) {
  return scan.big_tiff ? tiff64(scan, entry.value) : tiff32(scan, entry.value);
}

// Absolute file offset of an entry's data and its byte size; false when the size overflows or
// the data lies outside the file. Data that fits the value field is read from there.
bool entry_data(Scanner* scan, const TiffEntry& entry, int64_t max_size,
                std::vector<uint8_t>* out) {
  int64_t unit = type_size(entry.type);
  if (unit == 0 || entry.count == 0 || entry.count > static_cast<uint64_t>(max_size / unit)) {
    return false;
  }
  int64_t size = static_cast<int64_t>(entry.count) * unit;
  int64_t field = scan->big_tiff ? 8 : 4;
  if (size <= field) {
    out->assign(entry.value, entry.value + size);
    return true;
  }
  uint64_t offset = entry_offset(*scan, entry);
  if (offset > static_cast<uint64_t>(scan->file_size)) return false;
  return read_bytes(scan, scan->base + static_cast<int64_t>(offset), size, out);
}

// Absolute file offset of an entry's out-of-line data; -1 when it would be inline or outside.
int64_t entry_data_offset(const Scanner& scan, const TiffEntry& entry) {
  uint64_t offset = entry_offset(scan, entry);
  if (offset > static_cast<uint64_t>(scan.file_size)) return -1;
  return scan.base + static_cast<int64_t>(offset);
}

// Queues a directory unless the queue is full, the offset lies outside the file or it was
// queued before (chains that loop end here).
void queue_directory(Scanner* scan, int kind, uint64_t offset) {
  if (offset == 0 || offset >= static_cast<uint64_t>(scan->file_size)) return;
  if (scan->base + static_cast<int64_t>(offset) >= scan->file_size) return;
  if (scan->queued >= kQueueSize || scan->seen.size() >= static_cast<size_t>(kMaxDirectories)) {
    return;
  }
  for (int64_t seen : scan->seen) {
    if (seen == static_cast<int64_t>(offset)) return;
  }
  scan->seen.push_back(static_cast<int64_t>(offset));
  scan->queue[scan->queued++] = {kind, static_cast<int64_t>(offset)};
}

// A rational at p (numerator, denominator); 0 for a zero denominator.
double rational_at(const Scanner& scan, const uint8_t* p, bool is_signed) {
  uint32_t numerator = tiff32(scan, p);
  uint32_t denominator = tiff32(scan, p + 4);
  if (denominator == 0) return 0;
  if (is_signed) {
    return static_cast<double>(static_cast<int32_t>(numerator)) / static_cast<int32_t>(denominator);
  }
  return static_cast<double>(numerator) / denominator;
}

void walk_resources(Scanner* scan, int64_t start, int64_t end, bool thumbnail_only,
                    int64_t* exif_offset, int64_t* exif_size);

void read_main_entry(Scanner* scan, const TiffEntry& entry) {
  std::vector<uint8_t> data;
  switch (entry.tag) {
    case 256:
      if (entry.type == 3 || entry.type == 4)
        scan->width = static_cast<int32_t>(entry_number(*scan, entry));
      break;
    case 257:
      if (entry.type == 3 || entry.type == 4)
        scan->height = static_cast<int32_t>(entry_number(*scan, entry));
      break;
    case 270:
      if (!scan->comment_found && entry_data(scan, entry, kMaxTextTag, &data)) {
        scan->comment = text_of(data);
        scan->comment_found = true;
      }
      break;
    case 34377:
      if (!scan->thumbnail_found && entry.count >= 1 && entry.count <= kMaxPhotoshopTag) {
        int64_t offset =
            entry.count <= (scan->big_tiff ? 8u : 4u) ? -1 : entry_data_offset(*scan, entry);
        if (offset >= 0 && static_cast<int64_t>(entry.count) <= scan->file_size - offset) {
          walk_resources(scan, offset, offset + static_cast<int64_t>(entry.count), true, nullptr,
                         nullptr);
        }
      }
      break;
    case 34665:
      queue_directory(scan, kExifDirectory, entry_number(*scan, entry));
      break;
    case 34675:
      if (entry_data(scan, entry, scan->file_size, &data)) scan->icc = std::move(data);
      break;
    case 34853:
      queue_directory(scan, kGpsDirectory, entry_number(*scan, entry));
      break;
    default:
      break;
  }
}

void read_exif_entry(Scanner* scan, const TiffEntry& entry) {
  std::vector<uint8_t> data;
  if (entry.tag == 37500 && entry.count >= 8) {
    int64_t offset =
        entry.count <= (scan->big_tiff ? 8u : 4u) ? -1 : entry_data_offset(*scan, entry);
    uint8_t head[8];
    if (offset >= 0 && read_at(scan, offset, head, 8) && memcmp(head, "Ricoh\0", 6) == 0) {
      queue_directory(scan, kRicohDirectory, entry_offset(*scan, entry) + 8);
    }
  } else if (entry.tag == 37510 && !scan->comment_found &&
             entry_data(scan, entry, kMaxTextTag, &data)) {
    scan->comment = text_of(data, 8);
    scan->comment_found = true;
  }
}

void read_gps_entry(Scanner* scan, const TiffEntry& entry) {
  std::vector<uint8_t> data;
  switch (entry.tag) {
    case 1:
    case 3:
      if (entry.type == 2 && entry_data(scan, entry, 2, &data)) {
        double* sign = entry.tag == 1 ? &scan->latitude_sign : &scan->longitude_sign;
        char negative = entry.tag == 1 ? 'S' : 'W';
        *sign = data[0] == negative ? -1 : 1;
      }
      break;
    case 2:
    case 4:
      if ((entry.type == 5 || entry.type == 10) && entry.count == 3 &&
          entry_data(scan, entry, 24, &data)) {
        bool is_signed = entry.type == 10;
        double value = rational_at(*scan, data.data(), is_signed) +
                       rational_at(*scan, data.data() + 8, is_signed) / 60.0 +
                       rational_at(*scan, data.data() + 16, is_signed) / 3600.0;
        (entry.tag == 2 ? scan->latitude : scan->longitude) = value;
        ++scan->coordinates;
      }
      break;
    case 17:
      if ((entry.type == 5 || entry.type == 10) && entry_data(scan, entry, 8, &data)) {
        scan->direction = rational_at(*scan, data.data(), entry.type == 10);
      }
      break;
    default:
      break;
  }
}

void read_ricoh_pose_entry(Scanner* scan, const TiffEntry& entry) {
  std::vector<uint8_t> data;
  if (entry.tag != 3 || entry.count != 2 || (entry.type != 5 && entry.type != 10)) return;
  if (scan->pose_found || !entry_data(scan, entry, 16, &data)) return;
  scan->roll = rational_at(*scan, data.data(), entry.type == 10);
  scan->pitch = rational_at(*scan, data.data() + 8, entry.type == 10);
  scan->heading = 0;
  scan->pose_found = true;
}

// Reads one directory at offset (relative to the base) and queues what it points to.
void read_directory(Scanner* scan, const QueuedDirectory& directory) {
  const int64_t start = scan->base + directory.offset;
  const int64_t count_size = scan->big_tiff ? 8 : 2;
  const int64_t entry_size = scan->big_tiff ? 20 : 12;
  uint8_t count_bytes[8];
  if (!read_at(scan, start, count_bytes, count_size)) return;
  uint64_t count = scan->big_tiff ? tiff64(*scan, count_bytes) : tiff16(*scan, count_bytes);
  // Only entries that lie inside the file are read.
  int64_t room = (scan->file_size - start - count_size) / entry_size;
  if (count > static_cast<uint64_t>(room)) count = static_cast<uint64_t>(room);
  if (count > static_cast<uint64_t>(kMaxDirectoryEntries)) count = kMaxDirectoryEntries;
  std::vector<uint8_t> entries;
  if (!read_bytes(scan, start + count_size, static_cast<int64_t>(count) * entry_size, &entries)) {
    return;
  }
  // Thumbnail fields of a following directory, adopted when it is a JPEG thumbnail.
  bool jpeg_thumbnail = false;
  int64_t thumbnail_offset = 0;
  int64_t thumbnail_length = 0;
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t* p = entries.data() + i * entry_size;
    TiffEntry entry;
    entry.tag = tiff16(*scan, p);
    entry.type = tiff16(*scan, p + 2);
    entry.count = scan->big_tiff ? tiff64(*scan, p + 4) : tiff32(*scan, p + 4);
    entry.value = p + (scan->big_tiff ? 12 : 8);
    switch (directory.kind) {
      case kMainDirectory:
        read_main_entry(scan, entry);
        break;
      case kNextDirectory:
        if (entry.tag == 259) {
          uint64_t compression = entry_number(*scan, entry);
          jpeg_thumbnail = compression == 6 || compression == 7;
        } else if (entry.tag == 513) {
          thumbnail_offset = scan->base + static_cast<int64_t>(entry_number(*scan, entry));
        } else if (entry.tag == 514) {
          thumbnail_length = static_cast<int64_t>(entry_number(*scan, entry));
        }
        break;
      case kExifDirectory:
        read_exif_entry(scan, entry);
        break;
      case kGpsDirectory:
        read_gps_entry(scan, entry);
        break;
      case kRicohDirectory:
        if (entry.tag == 16385 && entry.count <= 4) {
          queue_directory(scan, kRicohPose, entry_number(*scan, entry));
        }
        break;
      case kRicohPose:
        read_ricoh_pose_entry(scan, entry);
        break;
      default:
        break;
    }
  }
  if (directory.kind == kNextDirectory && jpeg_thumbnail && !scan->thumbnail_found) {
    scan->thumbnail_found = true;
    scan->thumbnail_offset = thumbnail_offset;
    scan->thumbnail_length = thumbnail_length;
  }
  uint8_t next[8];
  if (read_at(scan, start + count_size + static_cast<int64_t>(count) * entry_size, next,
              scan->big_tiff ? 8 : 4)) {
    uint64_t offset = scan->big_tiff ? tiff64(*scan, next) : tiff32(*scan, next);
    queue_directory(scan, kNextDirectory, offset);
  }
}

// Parses the TIFF structure whose header starts at the absolute offset base; true when its
// header was valid and its directories were walked.
bool parse_tiff(Scanner* scan, int64_t base) {
  uint8_t header[16];
  if (!read_at(scan, base, header, 8)) return false;
  if (memcmp(header, "II", 2) == 0) {
    scan->big_endian = false;
  } else if (memcmp(header, "MM", 2) == 0) {
    scan->big_endian = true;
  } else {
    return false;
  }
  uint32_t version = tiff16(*scan, header + 2);
  if (version != 42 && version != 43) return false;
  scan->big_tiff = version == 43;
  scan->base = base;
  scan->queued = 0;
  scan->seen.clear();
  uint64_t first = 0;
  if (scan->big_tiff) {
    if (!read_at(scan, base + 8, header + 8, 8)) return false;
    first = tiff64(*scan, header + 8);
  } else {
    first = tiff32(*scan, header + 4);
  }
  queue_directory(scan, kMainDirectory, first);
  // The queue is read in order; entries read free their slot for the directories they point at.
  int directories = 0;
  while (scan->queued > 0 && directories < kMaxDirectories) {
    QueuedDirectory directory = scan->queue[0];
    memmove(scan->queue, scan->queue + 1, sizeof(QueuedDirectory) * (scan->queued - 1));
    --scan->queued;
    read_directory(scan, directory);
    ++directories;
  }
  return true;
}

// ---- image resources (PSD sections and the TIFF Photoshop tag) ----

// Walks the resource blocks between two absolute offsets. Blocks of every signature are
// stepped over (the layout is the same), only "8BIM" blocks are read: 1036 thumbnail, and
// unless thumbnail_only, 1039 ICC profile and 1058 EXIF (its position is returned).
void walk_resources(Scanner* scan, int64_t start, int64_t end, bool thumbnail_only,
                    int64_t* exif_offset, int64_t* exif_size) {
  if (end > scan->file_size) end = scan->file_size;
  int64_t position = start;
  while (position + 12 <= end) {
    uint8_t head[8];
    if (!read_at(scan, position, head, 7)) return;
    uint32_t id = big16(head + 4);
    int64_t name_size = int64_t{head[6]} + 1;
    name_size += name_size & 1;
    int64_t size_at = position + 4 + 2 + name_size;
    if (size_at + 4 > end || !read_at(scan, size_at, head, 4)) return;
    int64_t size = big32(head);
    int64_t data = size_at + 4;
    if (size > end - data) return;
    bool signed_block = true;
    uint8_t signature[4];
    if (read_at(scan, position, signature, 4)) signed_block = memcmp(signature, "8BIM", 4) == 0;
    if (signed_block) {
      if (id == 1036 && !scan->thumbnail_found && size > 28) {
        scan->thumbnail_found = true;
        scan->thumbnail_offset = data + 28;
        scan->thumbnail_length = size - 28;
      } else if (id == 1039 && !thumbnail_only && size > 0) {
        read_bytes(scan, data, size, &scan->icc);
      } else if (id == 1058 && !thumbnail_only && exif_offset) {
        *exif_offset = data;
        *exif_size = size;
      }
    }
    position = data + size + (size & 1);
  }
}

// ---- JPEG ----

bool is_xml_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The value of an XMP property written as an attribute (name="value" or name='value', as
// most cameras write it on the rdf:Description element): the position of the value's first
// character, or npos when the packet has no such attribute.
size_t xmp_attribute_value(const std::string& text, const std::string& name) {
  for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + 1)) {
    if (at == 0 || !is_xml_space(text[at - 1])) continue;  // an element or a longer name
    size_t p = at + name.size();
    while (p < text.size() && is_xml_space(text[p])) ++p;
    if (p >= text.size() || text[p] != '=') continue;
    ++p;
    while (p < text.size() && is_xml_space(text[p])) ++p;
    if (p < text.size() && (text[p] == '"' || text[p] == '\'')) return p + 1;
  }
  return std::string::npos;
}

// The value of an XMP property, element form (<GPano:X>value) first, then attribute form;
// npos when neither is there.
size_t xmp_property_value(const std::string& text, const std::string& name) {
  const std::string element = "<" + name + ">";
  const size_t at = text.find(element);
  if (at != std::string::npos) return at + element.size();
  return xmp_attribute_value(text, name);
}

// Searches an XMP packet for the pose; a packet that mentions "Gear 360" carries none.
void read_xmp_pose(Scanner* scan, const std::string& text) {
  if (text.find("Gear 360") != std::string::npos) return;
  static const char* const kNames[] = {"GPano:PoseHeadingDegrees", "GPano:PosePitchDegrees",
                                       "GPano:PoseRollDegrees"};
  double values[3];
  for (int i = 0; i < 3; ++i) {
    const size_t at = xmp_property_value(text, kNames[i]);
    if (at == std::string::npos) return;
    values[i] = atof(text.c_str() + at);
  }
  scan->heading = values[0];
  scan->pitch = values[1];
  scan->roll = values[2];
  scan->pose_found = true;
}

// Walks the markers from the start of the file, then parses the EXIF segment; true when a
// TIFF structure was parsed.
bool scan_jpeg(Scanner* scan) {
  int64_t position = 0;
  int64_t exif_candidate = -1;  // data start of the EXIF segment
  bool app2_seen = false;
  for (;;) {
    uint8_t byte = 0;
    if (!read_at(scan, position, &byte, 1) || byte != 0xFF) break;
    while (byte == 0xFF) {
      if (!read_at(scan, ++position, &byte, 1)) break;
    }
    if (byte == 0xFF) break;  // fill bytes up to the end of the file
    ++position;               // past the marker code
    const uint8_t marker = byte;
    if (marker == 0xD8) continue;
    uint8_t length_bytes[2];
    if (!read_at(scan, position, length_bytes, 2)) break;
    int64_t length = big16(length_bytes);
    // A segment that runs past the end of the file ends the walk; what was found before it,
    // the EXIF segment included, is kept.
    if (length < 2 || length > scan->file_size - position) break;
    const int64_t data = position + 2;
    const int64_t size = length - 2;
    position += length;
    if (marker == 0xE1) {
      uint8_t head[6];
      bool exif = size >= 6 && read_at(scan, data, head, 6) && memcmp(head, "Exif\0\0", 6) == 0;
      if (exif && exif_candidate < 0) {
        exif_candidate = data;
      } else if (size >= 29 && size <= kMaxXmpSegment) {
        std::vector<uint8_t> segment;
        if (read_bytes(scan, data, size, &segment) &&
            memcmp(segment.data(), kXmpNamespace, sizeof(kXmpNamespace)) == 0) {
          read_xmp_pose(scan, std::string(segment.begin() + 29, segment.end()));
        }
      }
    } else if (marker == 0xE2) {
      if (app2_seen) break;
      app2_seen = true;
      uint8_t head[14];
      if (size > 14 && read_at(scan, data, head, 14) && memcmp(head, "ICC_PROFILE\0", 12) == 0 &&
          head[12] <= 1 && head[13] <= 1) {
        read_bytes(scan, data + 14, size - 14, &scan->icc);
      }
    } else if (marker == 0xFE) {
      std::vector<uint8_t> segment;
      if (!scan->comment_found && read_bytes(scan, data, size, &segment)) {
        scan->comment = text_of(segment);
        scan->comment_found = true;
      }
    } else if (marker == 0xE0 || (marker >= 0xE3 && marker <= 0xEF)) {
      // skipped
    } else {
      break;
    }
  }
  if (exif_candidate < 0) return false;
  return parse_tiff(scan, exif_candidate + 6);
}

// ---- PSD ----

bool scan_psd(Scanner* scan) {
  uint8_t header[34];
  if (!read_at(scan, 0, header, 30)) return false;
  const uint32_t version = big16(header + 4);
  const uint32_t channels = big16(header + 12);
  const uint32_t height = big32(header + 14);
  const uint32_t width = big32(header + 18);
  const uint32_t depth = big16(header + 22);
  const uint32_t mode = big16(header + 24);
  if ((version != 1 && version != 2) || channels < 1 || channels > 64) return false;
  if (height == 0 || height > INT32_MAX || width == 0 || width > INT32_MAX) return false;
  if (depth < 1 || depth > 32 || mode == 0) return false;
  scan->width = static_cast<int32_t>(width);
  scan->height = static_cast<int32_t>(height);
  const int64_t resources_at = 30 + int64_t{big32(header + 26)};
  uint8_t length[4];
  if (!read_at(scan, resources_at, length, 4)) return false;
  const int64_t start = resources_at + 4;
  int64_t exif_offset = -1;
  int64_t exif_size = 0;
  walk_resources(scan, start, start + big32(length), false, &exif_offset, &exif_size);
  if (exif_offset < 0 || exif_size < 8) return false;
  return parse_tiff(scan, exif_offset);
}

// ---- publishing ----

void publish(Scanner* scan, ImageInfo* info) {
  if (scan->thumbnail_found && scan->thumbnail_offset > 0 && scan->thumbnail_length > 0) {
    std::vector<uint8_t> thumbnail;
    if (read_bytes(scan, scan->thumbnail_offset, scan->thumbnail_length, &thumbnail)) {
      info->thumbnail = std::move(thumbnail);
    }
  }
  if (scan->coordinates >= 2) {
    info->gps_present = true;
    info->latitude = scan->latitude * scan->latitude_sign;
    info->longitude = scan->longitude * scan->longitude_sign;
    info->direction = scan->direction;
  }
  if (scan->pose_found) {
    info->pose_present = true;
    info->heading = scan->heading;
    info->pitch = scan->pitch;
    info->roll = scan->roll;
  }
  if (scan->comment_found) {
    info->comment_present = true;
    info->comment = scan->comment;
  }
  if (!scan->icc.empty()) {
    info->icc_description = icc_profile_description(scan->icc.data(), scan->icc.size());
    info->icc = std::move(scan->icc);
  }
  if (scan->width > 0 && scan->height > 0) {
    info->width = scan->width;
    info->height = scan->height;
  }
}

// ---- ICC description ----

// The ASCII text at offset + 12 when it is zero-terminated and 1 … 255 characters long.
bool ascii_description(const uint8_t* data, size_t size, uint64_t offset, std::string* text) {
  uint64_t start = offset + 12;
  for (uint64_t i = start; i < size && i - start <= 255; ++i) {
    if (data[i] == 0) {
      if (i == start) return false;
      text->assign(reinterpret_cast<const char*>(data + start), static_cast<size_t>(i - start));
      return true;
    }
  }
  return false;
}

// The UTF-16 big-endian text of the tag's first record: its byte length at offset + 20
// (2 … 255) and its position, relative to the tag, at offset + 24.
bool unicode_description(const uint8_t* data, size_t size, uint64_t offset, std::string* text) {
  if (offset + 28 > size) return false;
  uint64_t length = big32(data + offset + 20);
  uint64_t start = offset + big32(data + offset + 24);
  if (length < 2 || length > 255 || start > size || length > size - start) return false;
  text->clear();
  for (uint64_t i = 0; i + 1 < length; i += 2) {
    uint32_t unit = big16(data + start + i);
    if (unit == 0) break;
    text->push_back(unit <= 127 ? static_cast<char>(unit) : '.');
  }
  if (text->empty()) *text = "Unknown";
  return true;
}

}  // namespace

int scan_metadata(FILE* stream, ImageInfo* info) {
  Scanner scan;
  scan.stream = stream;
  if (fseeko(stream, 0, SEEK_END) != 0) return 0;
  scan.file_size = ftello(stream);
  uint8_t head[64] = {};
  int64_t head_size = scan.file_size < 64 ? scan.file_size : 64;
  if (head_size < 4 || !read_at(&scan, 0, head, head_size)) return 0;
  bool parsed = false;
  if ((memcmp(head, "II", 2) == 0 && (head[2] == 42 || head[2] == 43) && head[3] == 0) ||
      (memcmp(head, "MM", 2) == 0 && head[2] == 0 && (head[3] == 42 || head[3] == 43))) {
    parsed = parse_tiff(&scan, 0);
  } else if (head[0] == 0xFF) {
    parsed = scan_jpeg(&scan);
  } else if (memcmp(head, "8BPS", 4) == 0) {
    parsed = scan_psd(&scan);
  } else {
    return 0;
  }
  publish(&scan, info);
  return parsed ? 1 : 0;
}

std::string icc_profile_description(const uint8_t* data, size_t size) {
  if (!data || size < 132) return std::string();
  uint32_t count = big32(data + 128);
  if (count < 1 || count > 99) return std::string();
  for (uint32_t i = 0; i < count; ++i) {
    uint64_t entry = 132 + uint64_t{i} * 12;
    if (entry + 12 > size) break;
    if (memcmp(data + entry, "desc", 4) != 0) continue;
    uint64_t offset = big32(data + entry + 4);
    std::string text;
    if (ascii_description(data, size, offset, &text)) return text;
    if (unicode_description(data, size, offset, &text)) return text;
    return std::string();
  }
  return std::string();
}
