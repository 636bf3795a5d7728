// Every tool run on the sample panorama and on a generated 16-bit TIFF, with a checksum of each
// output file compared against the list in golden_outputs.txt. The list was made with the
// binary of an earlier, known-good commit, so any change to the bytes a tool writes shows here.
//
// To make the list anew (after a deliberate change of output):
//   QV_GOLDEN_WRITE=1 build/release/tests/tools/golden_outputs_tests
// QV_TEST_BINARY names another qorveltools binary to run instead of the built one.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_images.h"
#include "support/test_support.h"

namespace {

const char kSamplePanorama[] = "/usr/share/xplanet/images/earth.jpg";
const char kGoldenList[] = QV_SOURCE_DIR "/tests/tools/golden_outputs.txt";

// One tool run: a name for its outputs and the arguments. "IN8" stands for the sample panorama,
// "IN16" for the 16-bit TIFF and "OUT" for the run's own output folder.
struct GoldenRun {
  const char* name;
  std::vector<std::string> args;
};

const std::vector<GoldenRun>& golden_runs() {
  static const std::vector<GoldenRun> runs = {
      {"makethumb8", {"makethumb", "IN8", "OUT/thumb.jpg", "240", "120"}},
      {"makethumb16", {"makethumb", "IN16", "OUT/thumb.jpg", "200"}},
      {"ping8", {"ping", "IN8"}},
      {"ping16", {"ping", "IN16"}},
      {"cube8", {"transform", "cube", "IN8", "OUT/pano.jpg", "-even"}},
      {"cube16", {"transform", "cube", "IN16", "OUT/pano.tif", "-q"}},
      {"hcube8", {"transform", "hcube", "IN8", "OUT/strip.jpg", "-q", "-jpegquality=80"}},
      {"cube32_16", {"transform", "cube32", "IN16", "OUT/grid.tif", "-q", "-outsize=128", "-fast"}},
      {"view8",
       {"transform", "view", "IN8", "OUT/view.jpg", "-q", "-lookat=30,10,5", "-fov=70",
        "-outsize=320x200"}},
      {"view16",
       {"transform", "view", "IN16", "OUT/view.tif", "-q", "-rotate=ZXY,10,20,30", "-cylinder"}},
      {"preview8", {"makepreview", "IN8", "-o=OUT/preview.jpg"}},
      {"preview16", {"makepreview", "IN16", "-o=OUT/preview.jpg", "-q"}},
      {"previewstrip8", {"makepreview", "IN8", "-o=OUT/strip.tif", "-cs", "-gray", "-q"}},
      {"tiles8", {"maketiles", "IN8", "OUT/%v_%h.jpg", "512"}},
      {"tiles16", {"maketiles", "IN16", "OUT/%0v.tif", "0x128", "-quiet"}},
      {"resize16",
       {"maketiles", "IN16", "OUT/small.tif", "0", "-resize=300x*", "-8bit", "-quiet"}},
      {"merge8",
       {"maketiles", "IN8", "OUT/merged.jpg", "0", "-resize=1000x500", "-jpegquality=75",
        "-quiet"}},
  };
  return runs;
}

// Turns cube faces of a first run into a sphere: cube2sphere reads the faces cube8/cube16 made.
const std::vector<GoldenRun>& sphere_runs() {
  static const std::vector<GoldenRun> runs = {
      {"sphere8", {"cube2sphere", "FACES8/pano_*.jpg", "-o=OUT/sphere.jpg"}},
      {"sphere16", {"cube2sphere", "FACES16/pano_*.tif", "-o=OUT/sphere.tif", "-q"}},
      {"facepreview8",
       {"makepreview", "FACES8/pano_l.jpg", "FACES8/pano_f.jpg", "FACES8/pano_r.jpg",
        "FACES8/pano_b.jpg", "FACES8/pano_u.jpg", "FACES8/pano_d.jpg", "-o=OUT/preview.jpg"}},
  };
  return runs;
}

uint64_t fnv1a(const std::string& bytes) {
  uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : bytes) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

std::string hex(uint64_t value) {
  char text[17];
  snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

// A smooth 16-bit panorama with fine detail in the low byte, so 8-bit reductions show too.
bool write_sixteen_bit_panorama(const std::string& path) {
  ImageProps props = qv_test::default_props();
  return qv_test::write_samples(path, kPixelRgb16, 1024, 512, props, [](int x, int y, int c) {
    const double wave = std::sin(x * 0.0123 + c) * std::cos(y * 0.0217 - c);
    return static_cast<uint16_t>(32768 + 24000 * wave + ((x * 7 + y * 13 + c * 5) & 255) * 8);
  });
}

std::string substitute(std::string word, const std::map<std::string, std::string>& names) {
  for (const auto& [key, value] : names) {
    const size_t at = word.find(key);
    if (at != std::string::npos) word.replace(at, key.size(), value);
  }
  return word;
}

// The messages of a run with the temporary folder named "TMP" and elapsed times masked.
std::string stable_messages(std::string text, const std::string& temp) {
  for (size_t at = text.find(temp); at != std::string::npos; at = text.find(temp, at)) {
    text.replace(at, temp.size(), "TMP");
  }
  for (const char* marker : {"ms=", "time:"}) {
    for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + 1)) {
      size_t end = at + strlen(marker);
      while (end < text.size() && (isdigit(static_cast<unsigned char>(text[end])) ||
                                   text[end] == '.' || text[end] == ' ')) {
        ++end;
      }
      text.replace(at + strlen(marker), end - at - strlen(marker), "#");
    }
  }
  return text;
}

// Runs one tool and adds "run/file checksum" lines for every file it wrote.
void run_and_hash(const GoldenRun& run, std::map<std::string, std::string> names,
                  const std::string& out, std::map<std::string, std::string>* sums) {
  names["OUT"] = out;
  std::vector<std::string> args;
  for (const std::string& word : run.args) args.push_back(substitute(word, names));
  const qv_test::CommandResult result = qv_test::run_qorveltools(args);
  (*sums)[std::string(run.name) + " status"] = std::to_string(result.status);
  const std::string temp = out.substr(0, out.rfind('/'));
  (*sums)[std::string(run.name) + " stdout"] = hex(fnv1a(stable_messages(result.out, temp)));
  (*sums)[std::string(run.name) + " stderr"] = hex(fnv1a(stable_messages(result.err, temp)));
  for (const std::string& file : qv_test::list_files(out)) {
    (*sums)[std::string(run.name) + "/" + file] = hex(fnv1a(qv_test::read_file(out + "/" + file)));
  }
}

std::map<std::string, std::string> read_golden_list() {
  std::map<std::string, std::string> sums;
  std::ifstream in(kGoldenList);
  std::string line;
  while (std::getline(in, line)) {
    const size_t space = line.rfind(' ');
    if (line.empty() || line[0] == '#' || space == std::string::npos) continue;
    sums[line.substr(0, space)] = line.substr(space + 1);
  }
  return sums;
}

TEST(GoldenOutputs, EveryToolWritesTheSameBytesAsBefore) {
  if (!qv_test::file_exists(kSamplePanorama)) GTEST_SKIP() << "sample panorama not installed";
  qv_test::TempDir dir;
  const std::string in16 = dir.file("pano16.tif");
  ASSERT_TRUE(write_sixteen_bit_panorama(in16));
  std::map<std::string, std::string> names = {{"IN16", in16}, {"IN8", kSamplePanorama}};
  std::map<std::string, std::string> sums;
  for (const GoldenRun& run : golden_runs()) {
    const std::string out = dir.file(run.name);
    ASSERT_EQ(system(("mkdir -p '" + out + "'").c_str()), 0);
    run_and_hash(run, names, out, &sums);
  }
  names["FACES8"] = dir.file("cube8");
  names["FACES16"] = dir.file("cube16");
  for (const GoldenRun& run : sphere_runs()) {
    const std::string out = dir.file(run.name);
    ASSERT_EQ(system(("mkdir -p '" + out + "'").c_str()), 0);
    run_and_hash(run, names, out, &sums);
  }
  std::ostringstream actual;
  for (const auto& [key, value] : sums) actual << key << ' ' << value << '\n';
  if (getenv("QV_GOLDEN_WRITE")) {
    std::ofstream(kGoldenList) << "# run/file checksum (FNV-1a 64); each run's exit status and messages\n"
                               << actual.str();
    GTEST_SKIP() << "wrote " << kGoldenList;
  }
  const std::map<std::string, std::string> expected = read_golden_list();
  ASSERT_FALSE(expected.empty()) << "no list at " << kGoldenList;
  for (const auto& [key, value] : expected) {
    auto found = sums.find(key);
    EXPECT_TRUE(found != sums.end()) << key << " was not written";
    if (found != sums.end()) {
      EXPECT_EQ(found->second, value) << key;
    }
  }
  for (const auto& [key, value] : sums) {
    EXPECT_TRUE(expected.count(key)) << key << " is new";
  }
}

}  // namespace
