// The metadata scanner through the probe: real files (values as exiftool reports them), and
// generated JPEG, TIFF and PSD structures for GPS, pose, profiles and comments; the ICC
// description reader.
#include "imageio/metadata.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "imageio/image_file.h"
#include "support/test_support.h"
#include "tests/imageio/format_builders.h"

namespace {

using qv_test::ByteLayout;
using qv_test::corpus_file;
using qv_test::TempDir;
using qv_test::TiffEntry;

TEST(Metadata, RealFiles) {
  const struct {
    const char* path;
    int width, height;
    bool gps;
    double latitude, longitude;
    int icc_size;
    const char* icc_description;
    int thumbnail_size;
    const char* comment;  // null: none
  } rows[] = {
      {"jpeg/xiaomi_IMG_20200124_231153.jpg", 4000, 3000, true, -15.835669, -48.015564, 0, "", 8639,
       nullptr},
      {"jpeg/goexif_sample1.jpg", 500, 375, true, 39.915556, 116.390833, 0, "", 4034,
       "taken at basilica of chinese"},
      {"jpeg/exif_test1_iphone4s.jpg", 180, 135, true, 37.885, -122.6225, 0, "", 10430, nullptr},
      {"jpeg/exifparser_starfish.jpg", 1278, 720, true, 55.038756, 8.457191, 0, "", 18032, nullptr},
      {"pano/goexif_has-lens-info.jpg", 205, 102, true, 59.332547, 18.064942, 0, "", 10875,
       nullptr},
      {"jpeg/canon_IMG_1054.JPG", 1280, 960, false, 0, 0, 672, "GIMP built-in sRGB", 11839,
       "binary comment"},
      {"jpeg/exiftool_ExifTool.jpg", 8, 8, false, 0, 0, 560, "Adobe RGB (1998)", 0,
       "A witty caption"},
      // Only the EXIF segment survives; the file is cut inside the next one.
      {"jpeg/goexif_temple_square1_exifonly.jpg", 0, 0, true, 40.770339, -111.891222, 0, "", 38469,
       nullptr},
      {"jpeg/pillow_icc_profile_big.jpg", 425, 250, false, 0, 0, 0, "", 0, nullptr},
      {"pano/gimphelp_little_planet-equirect.jpg", 600, 300, false, 0, 0, 1388, "Viseo223DX", 0,
       "Created with GIMP"},
      {"tiff/libtiff_custom_dir_EXIF_GPS.tiff", 1, 1, true, 1.180655, -1.529238, 0, "", 0, ""},
      {"tiff/exiftool_ExifTool.tif", 160, 120, false, 0, 0, 3144, "sRGB IEC61966-2.1", 0,
       "The picture caption"},
      {"tiff/exiftool_BigTIFF.btf", 8, 8, false, 0, 0, 0, "", 0, nullptr},
      {"tiff/checkit_minimal_IFD_with_endless_loop.tif", 20, 10, false, 0, 0, 0, "", 0, nullptr},
      {"psd/vampyre_Tigers.psd", 321, 236, false, 0, 0, 3144, "sRGB IEC61966-2.1", 5214, nullptr},
      {"psd/davegnukem_hiscores.psd", 320, 200, false, 0, 0, 3144, "sRGB IEC61966-2.1", 1382,
       nullptr},
      {"psd/exiv2-bug800-PHUT.psd", 150, 91, false, 0, 0, 0, "", 4669, nullptr},
      {"psd/stylebook_christmas.psd", 610, 400, false, 0, 0, 3144, "sRGB IEC61966-2.1", -1,
       nullptr},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path);
    auto info = image_probe(corpus_file(row.path));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->width, row.width);
    EXPECT_EQ(info->height, row.height);
    EXPECT_EQ(info->gps_present, row.gps);
    EXPECT_NEAR(info->latitude, row.latitude, 2e-6);
    EXPECT_NEAR(info->longitude, row.longitude, 2e-6);
    EXPECT_FALSE(info->pose_present);
    EXPECT_EQ(int(info->icc.size()), row.icc_size);
    EXPECT_EQ(info->icc_description, row.icc_description);
    if (row.thumbnail_size >= 0) {
      EXPECT_EQ(int(info->thumbnail.size()), row.thumbnail_size);
    }
    if (!info->thumbnail.empty()) {
      EXPECT_EQ(uint8_t(info->thumbnail[0]), 0xFF);  // a JPEG
      EXPECT_EQ(uint8_t(info->thumbnail[1]), 0xD8);
    }
    EXPECT_EQ(info->comment_present, row.comment != nullptr);
    if (row.comment) {
      EXPECT_EQ(info->comment, row.comment);
    }
  }
}

// A small real JPEG to carry generated segments.
std::string base_jpeg(const TempDir& dir) {
  ImageProps props;
  image_default_props(&props);
  ImageFilePtr writer = image_create_write(kPixelRgb8, dir.file("base.jpg"), 16, 8, props);
  std::vector<uint8_t> row(16 * 3, 128);
  for (int y = 0; y < 8; ++y) image_write_row(writer.get(), row.data());
  image_close(std::move(writer));
  return qv_test::read_file(dir.file("base.jpg"));
}

std::string exif_segment(const std::string& tiff) {
  return qv_test::jpeg_segment(0xE1, std::string("Exif\0\0", 6) + tiff);
}

// EXIF with IFD0 → GPS directory holding both coordinates and the direction.
std::string gps_tiff(bool big_endian, const char* latitude_ref, const char* longitude_ref) {
  ByteLayout tiff;
  tiff.big_endian = big_endian;
  qv_test::tiff_header(&tiff, 8);
  tiff_directory(&tiff, 8, {{34853, 4, 1, 100}}, 0);
  // Two ASCII bytes in the value field, in file order.
  auto ascii = [&](const char* ref) {
    return big_endian ? uint32_t(uint8_t(ref[0])) << 24 : uint32_t(uint8_t(ref[0]));
  };
  tiff_directory(&tiff, 100,
                 {{1, 2, 2, ascii(latitude_ref)},
                  {2, 5, 3, 300},
                  {3, 2, 2, ascii(longitude_ref)},
                  {4, 5, 3, 324},
                  {17, 5, 1, 348}},
                 0);
  tiff.put_rational(300, 48, 1);
  tiff.put_rational(308, 8, 1);
  tiff.put_rational(316, 0, 1);
  tiff.put_rational(324, 11, 1);
  tiff.put_rational(332, 69, 2);  // 34.5 minutes
  tiff.put_rational(340, 0, 1);
  tiff.put_rational(348, 247, 2);
  return tiff.data;
}

TEST(Metadata, JpegGps) {
  TempDir dir;
  const std::string jpeg = base_jpeg(dir);
  const struct {
    bool big_endian;
    const char *latitude_ref, *longitude_ref;
    double latitude, longitude;
  } rows[] = {
      {false, "N", "E", 48.133333, 11.575},
      {true, "S", "W", -48.133333, -11.575},
      {false, "N", "W", 48.133333, -11.575},
  };
  for (const auto& row : rows) {
    qv_test::write_file(
        dir.file("g.jpg"),
        qv_test::jpeg_with_segments(
            jpeg, exif_segment(gps_tiff(row.big_endian, row.latitude_ref, row.longitude_ref))));
    auto info = image_probe(dir.file("g.jpg"));
    ASSERT_TRUE(info);
    EXPECT_TRUE(info->gps_present);
    EXPECT_NEAR(info->latitude, row.latitude, 1e-6);
    EXPECT_NEAR(info->longitude, row.longitude, 1e-9);
    EXPECT_DOUBLE_EQ(info->direction, 123.5);
    EXPECT_EQ(info->altitude, 0);
    EXPECT_EQ(info->width, 16);  // the size still comes from the frame header
  }
}

std::string xmp_segment(const std::string& body) {
  return qv_test::jpeg_segment(0xE1, std::string("http://ns.adobe.com/xap/1.0/\0", 29) + body);
}

const char kPoseXmp[] =
    "<x:xmpmeta><rdf:Description><GPano:PoseHeadingDegrees>12.5</GPano:PoseHeadingDegrees>"
    "<GPano:PosePitchDegrees>-3.25</GPano:PosePitchDegrees>"
    "<GPano:PoseRollDegrees>1.5</GPano:PoseRollDegrees></rdf:Description></x:xmpmeta>";

TEST(Metadata, XmpPose) {
  TempDir dir;
  const std::string jpeg = base_jpeg(dir);
  qv_test::write_file(dir.file("p.jpg"), qv_test::jpeg_with_segments(jpeg, xmp_segment(kPoseXmp)));
  auto info = image_probe(dir.file("p.jpg"));
  ASSERT_TRUE(info);
  EXPECT_TRUE(info->pose_present);
  EXPECT_EQ(info->heading, 12.5);
  EXPECT_EQ(info->pitch, -3.25);
  EXPECT_EQ(info->roll, 1.5);
  // After an EXIF segment too.
  qv_test::write_file(dir.file("q.jpg"),
                      qv_test::jpeg_with_segments(
                          jpeg, exif_segment(gps_tiff(false, "N", "E")) + xmp_segment(kPoseXmp)));
  info = image_probe(dir.file("q.jpg"));
  EXPECT_TRUE(info->pose_present);
  EXPECT_TRUE(info->gps_present);
  // A packet that mentions the Gear 360 carries no pose.
  qv_test::write_file(
      dir.file("g.jpg"),
      qv_test::jpeg_with_segments(
          jpeg, xmp_segment(std::string(kPoseXmp) + "<tiff:Model>Gear 360</tiff:Model>")));
  info = image_probe(dir.file("g.jpg"));
  EXPECT_FALSE(info->pose_present);
  // Two of the three tags are not a pose.
  std::string partial = kPoseXmp;
  partial.erase(partial.find("<GPano:PoseRollDegrees>"));
  qv_test::write_file(dir.file("h.jpg"), qv_test::jpeg_with_segments(jpeg, xmp_segment(partial)));
  EXPECT_FALSE(image_probe(dir.file("h.jpg"))->pose_present);
}

// EXIF directory with a Ricoh maker note whose sub-directory holds the pose (-1.5, 2.25).
std::string ricoh_tiff() {
  ByteLayout tiff;
  tiff.big_endian = true;
  qv_test::tiff_header(&tiff, 8);
  tiff_directory(&tiff, 8, {{34665, 4, 1, 40}}, 0);
  tiff_directory(&tiff, 40, {{37500, 7, 64, 100}}, 0);
  tiff.put_bytes(100, std::string("Ricoh\0\0\0", 8));
  tiff_directory(&tiff, 108, {{16385, 13, 1, 200}}, 0);
  tiff_directory(&tiff, 200, {{3, 10, 2, 240}}, 0);
  tiff.put_rational(240, uint32_t(-3), 2);
  tiff.put_rational(248, 9, 4);
  tiff.ensure(300);
  return tiff.data;
}

TEST(Metadata, RicohPose) {
  TempDir dir;
  const std::string jpeg = base_jpeg(dir);
  qv_test::write_file(dir.file("r.jpg"),
                      qv_test::jpeg_with_segments(jpeg, exif_segment(ricoh_tiff())));
  auto info = image_probe(dir.file("r.jpg"));
  ASSERT_TRUE(info);
  EXPECT_TRUE(info->pose_present);
  EXPECT_EQ(info->roll, -1.5);
  EXPECT_EQ(info->pitch, 2.25);
  EXPECT_EQ(info->heading, 0);
  // The XMP pose wins over the maker note's.
  qv_test::write_file(
      dir.file("x.jpg"),
      qv_test::jpeg_with_segments(jpeg, exif_segment(ricoh_tiff()) + xmp_segment(kPoseXmp)));
  info = image_probe(dir.file("x.jpg"));
  EXPECT_EQ(info->heading, 12.5);
  EXPECT_EQ(info->roll, 1.5);
  // The Ricoh camera files of the corpus carry no pose directory.
  EXPECT_FALSE(image_probe(corpus_file("jpeg/exiftool_Ricoh2.jpg"))->pose_present);
}

// The pose written as attributes of rdf:Description, as phone and 360-camera apps write it.
TEST(Metadata, XmpPoseAsAttributes) {
  TempDir dir;
  const std::string jpeg = base_jpeg(dir);
  const struct {
    const char* packet;
    bool pose;
    double heading, pitch, roll;
  } rows[] = {
      {"<x:xmpmeta><rdf:RDF><rdf:Description rdf:about=\"\" GPano:ProjectionType="
       "\"equirectangular\" GPano:PoseHeadingDegrees=\"90\" GPano:PosePitchDegrees=\"-2.5\" "
       "GPano:PoseRollDegrees=\"0.75\"/></rdf:RDF></x:xmpmeta>",
       true, 90, -2.5, 0.75},
      // Single quotes, line breaks and blanks around the equals sign.
      {"<rdf:Description\n   GPano:PoseHeadingDegrees = '181.5'\n\tGPano:PosePitchDegrees='3'\n"
       "   GPano:PoseRollDegrees='-4'/>",
       true, 181.5, 3, -4},
      // Both forms in one packet: each value from the element form first.
      {"<rdf:Description GPano:PoseHeadingDegrees=\"10\" GPano:PosePitchDegrees=\"20\">"
       "<GPano:PoseHeadingDegrees>11</GPano:PoseHeadingDegrees>"
       "<GPano:PoseRollDegrees>31</GPano:PoseRollDegrees></rdf:Description>",
       true, 11, 20, 31},
      // Two of three are not a pose, in this form either.
      {"<rdf:Description GPano:PoseHeadingDegrees=\"90\" GPano:PosePitchDegrees=\"1\"/>", false, 0,
       0, 0},
      // A longer name or an element of another namespace is not the attribute.
      {"<rdf:Description XGPano:PoseHeadingDegrees=\"90\" GPano:PosePitchDegrees=\"1\" "
       "GPano:PoseRollDegrees=\"2\"/>",
       false, 0, 0, 0},
      {"<rdf:Description GPano:PoseHeadingDegrees=\"90\" GPano:PosePitchDegrees=\"1\" "
       "GPano:PoseRollDegrees=\"2\"><tiff:Model>Gear 360</tiff:Model></rdf:Description>",
       false, 0, 0, 0},
  };
  for (const auto& row : rows) {
    qv_test::write_file(dir.file("a.jpg"),
                        qv_test::jpeg_with_segments(jpeg, xmp_segment(row.packet)));
    auto info = image_probe(dir.file("a.jpg"));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->pose_present, row.pose) << row.packet;
    if (!row.pose) continue;
    EXPECT_EQ(info->heading, row.heading) << row.packet;
    EXPECT_EQ(info->pitch, row.pitch) << row.packet;
    EXPECT_EQ(info->roll, row.roll) << row.packet;
  }
  // Like the element form, the attribute form wins over a Ricoh maker note.
  qv_test::write_file(
      dir.file("r.jpg"),
      qv_test::jpeg_with_segments(jpeg, exif_segment(ricoh_tiff()) + xmp_segment(rows[0].packet)));
  auto info = image_probe(dir.file("r.jpg"));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->heading, 90);
  EXPECT_EQ(info->roll, 0.75);
}

std::string icc_segment(int number, int count, const std::string& profile) {
  return qv_test::jpeg_segment(
      0xE2, std::string("ICC_PROFILE\0", 12) + char(number) + char(count) + profile);
}

TEST(Metadata, JpegProfilesAndComments) {
  TempDir dir;
  const std::string jpeg = base_jpeg(dir);
  const std::string profile = qv_test::read_file(corpus_file("icc/exiv2_small.icc"));
  // One chunk: read; two chunks: not read.
  qv_test::write_file(dir.file("a.jpg"),
                      qv_test::jpeg_with_segments(jpeg, icc_segment(1, 1, profile)));
  auto info = image_probe(dir.file("a.jpg"));
  EXPECT_EQ(std::string(info->icc.begin(), info->icc.end()), profile);
  EXPECT_EQ(info->icc_description, "Adobe RGB (1998)");
  qv_test::write_file(dir.file("b.jpg"), qv_test::jpeg_with_segments(
                                             jpeg, icc_segment(1, 2, profile.substr(0, 300)) +
                                                       icc_segment(2, 2, profile.substr(300))));
  info = image_probe(dir.file("b.jpg"));
  EXPECT_TRUE(info->icc.empty());
  // The first comment marker is the comment; it wins over the EXIF user comment.
  ByteLayout tiff;
  qv_test::tiff_header(&tiff, 8);
  tiff_directory(&tiff, 8, {{34665, 4, 1, 40}}, 0);
  tiff_directory(&tiff, 40, {{37510, 7, 20, 80}}, 0);
  tiff.put_bytes(80, std::string("ASCII\0\0\0user comment", 20));
  qv_test::write_file(dir.file("c.jpg"),
                      qv_test::jpeg_with_segments(jpeg, exif_segment(tiff.data)));
  info = image_probe(dir.file("c.jpg"));
  EXPECT_TRUE(info->comment_present);
  EXPECT_EQ(info->comment, "user comment");
  qv_test::write_file(
      dir.file("d.jpg"),
      qv_test::jpeg_with_segments(jpeg, qv_test::jpeg_segment(0xFE, std::string("first\0", 6)) +
                                            qv_test::jpeg_segment(0xFE, "second") +
                                            exif_segment(tiff.data)));
  info = image_probe(dir.file("d.jpg"));
  EXPECT_EQ(info->comment, "first");
  // Nothing at all.
  info = image_probe(dir.file("base.jpg"));
  EXPECT_FALSE(info->gps_present || info->pose_present || info->comment_present);
  EXPECT_TRUE(info->icc.empty() && info->thumbnail.empty());
}

// A profile whose description tag is a multi-language record list.
std::string multi_language_profile(const std::vector<std::u16string>& texts) {
  ByteLayout icc;
  icc.big_endian = true;
  const uint32_t tag = 144;
  const uint32_t records = uint32_t(texts.size());
  icc.put32(128, 1);
  icc.put_bytes(132, "desc");
  icc.put32(136, tag);
  icc.put_bytes(tag, "mluc");
  icc.put32(tag + 8, records);
  icc.put32(tag + 12, 12);
  uint32_t text_at = 16 + 12 * records;
  for (uint32_t r = 0; r < records; ++r) {
    icc.put_bytes(tag + 16 + 12 * r, r == 0 ? "enUS" : "deDE");
    icc.put32(tag + 20 + 12 * r, uint32_t(texts[r].size() * 2));
    icc.put32(tag + 24 + 12 * r, text_at);
    for (char16_t unit : texts[r]) {
      icc.put16(tag + text_at, unit);
      text_at += 2;
    }
  }
  icc.put32(140, text_at);
  icc.put32(0, uint32_t(icc.data.size()));
  return icc.data;
}

TEST(Metadata, IccDescription) {
  auto description = [](const std::string& icc) {
    return icc_profile_description(reinterpret_cast<const uint8_t*>(icc.data()), icc.size());
  };
  // Several languages: the first record's own text, not the next record's header.
  EXPECT_EQ(description(multi_language_profile({u"Wide gamut", u"Weiter Farbraum"})), "Wide gamut");
  EXPECT_EQ(description(multi_language_profile({u"Caf\u00e9 \u20ac", u"x"})), "Caf. .");
  EXPECT_EQ(description(multi_language_profile({u"only"})), "only");
  EXPECT_EQ(description(multi_language_profile({u"\u00e9\u00e9"})), "..");
  const struct {
    const char* path;
    const char* text;
  } rows[] = {
      {"icc/compatibleWithAdobeRGB1998.icc", "Compatible with Adobe RGB (1998)"},
      {"icc/colord_sRGB.icc", "sRGB"},
      {"icc/LStar-RGB.icc", "Lstar-RGB.icc"},
      {"icc/Gray.icc", "Gray"},
      {"icc/gdkpixbuf_empty.icc", ""},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(description(qv_test::read_file(corpus_file(row.path))), row.text) << row.path;
  }
  // The probe names a profile that a header reader found (KRO) the same way.
  TempDir dir;
  const std::string icc = multi_language_profile({u"Wide gamut", u"Weiter Farbraum"});
  ImageProps props;
  image_default_props(&props);
  props.embed_icc = true;
  props.icc_data = reinterpret_cast<const uint8_t*>(icc.data());
  props.icc_size = int32_t(icc.size());
  ImageFilePtr writer = image_create_write(kPixelRgb8, dir.file("p.kro"), 1, 1, props);
  ASSERT_TRUE(writer);
  uint8_t pixel[3] = {};
  ASSERT_TRUE(image_write_row(writer.get(), pixel));
  ASSERT_TRUE(image_close(std::move(writer)));
  EXPECT_EQ(image_probe(dir.file("p.kro"))->icc_description, "Wide gamut");
  // A record offset or length outside the profile gives no description.
  std::string broken = multi_language_profile({u"abc"});
  broken[144 + 24] = char(0x7F);
  EXPECT_EQ(description(broken), "");
  EXPECT_EQ(description(broken.substr(0, 131)), "");
}

// A TIFF whose IFD1 points at a JPEG thumbnail, and whose Photoshop resources hold another.
TEST(Metadata, TiffThumbnailsAndDescription) {
  TempDir dir;
  const std::string jpeg = base_jpeg(dir);
  ByteLayout tiff;
  qv_test::tiff_header(&tiff, 8);
  tiff_directory(&tiff, 8, {{256, 3, 1, 640}, {257, 4, 1, 480}, {270, 2, 12, 200}}, 100);
  tiff_directory(&tiff, 100, {{259, 3, 1, 6}, {513, 4, 1, 300}, {514, 4, 1, uint32_t(jpeg.size())}},
                 0);
  tiff.put_bytes(200, std::string("description\0", 12));
  tiff.put_bytes(300, jpeg);
  qv_test::write_file(dir.file("t.tif"), tiff.data);
  auto info = image_probe(dir.file("t.tif"));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->width, 640);
  EXPECT_EQ(info->height, 480);
  EXPECT_EQ(std::string(info->thumbnail.begin(), info->thumbnail.end()), jpeg);
  EXPECT_EQ(info->comment, "description");
  // A thumbnail length past the end of the file gives no thumbnail.
  tiff.put32(100 + 2 + 24 + 8, 1u << 30);
  qv_test::write_file(dir.file("u.tif"), tiff.data);
  info = image_probe(dir.file("u.tif"));
  EXPECT_TRUE(info->thumbnail.empty());
  EXPECT_EQ(info->width, 640);
}

}  // namespace
