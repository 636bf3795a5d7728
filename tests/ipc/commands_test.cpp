// The channel's commands run in-process: results of connect, pingimage, makethumb, command and
// encrypt in the text protocol, the JSON protocol's answers, and the process watch.
#include "ipc/commands.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <string>

#include "base/console.h"
#include "base/text.h"
#include "imageio/color_profile.h"
#include "imageio/image_file.h"
#include "ipc/json_protocol.h"
#include "ipc/process_watch.h"
#include "support/test_images.h"
#include "support/test_support.h"
#include "tools/encrypt_tool.h"

namespace {

using qv_test::TempDir;

const char kVersion[] = "version:1.19-pr16 - 32bit (build 2018-04-04)";

std::string run(const std::string& name, const std::string& arguments,
                ProcessWatch* watch = nullptr) {
  ProcessWatch unused;
  return run_text_command(name, arguments, console_ops(), watch ? watch : &unused);
}

// The result with the figure after "ms": replaced by T.
std::string without_time(std::string text, const char* key) {
  const size_t at = text.find(key);
  if (at == std::string::npos) return text;
  const size_t start = at + strlen(key);
  const size_t end = text.find_first_of(",}", start);
  return text.replace(start, end - start, "T");
}

rapidjson::Document parsed(const std::string& text) {
  rapidjson::Document document;
  document.Parse(text.c_str(), text.size());
  return document;
}

// A child process that has ended; reaped unless keep_zombie.
pid_t ended_child(bool keep_zombie) {
  const pid_t pid = fork();
  if (pid == 0) _exit(0);
  if (keep_zombie) {
    // Wait until it has ended without reaping it.
    siginfo_t info = {};
    waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
  } else {
    waitpid(pid, nullptr, 0);
  }
  return pid;
}

TEST(JsonStringContents, EscapesQuotesBackslashesAndControls) {
  const struct {
    std::string text;
    std::string expected;
  } rows[] = {
      {"plain", "plain"},
      {"say \"hi\"", "say \\\"hi\\\""},
      {"C:\\pano", "C:\\\\pano"},
      {"a\nb\tc\rd\be\ff", "a\\nb\\tc\\rd\\be\\ff"},
      {std::string("\x01\x1f\0", 3), "\\u0001\\u001f\\u0000"},
      {"Zürich \x7f", "Zürich \x7f"},  // other bytes are copied
  };
  for (const auto& row : rows) EXPECT_EQ(json_string_contents(row.text), row.expected) << row.text;
}

TEST(Pingimage, ImageWithoutMetadata) {
  TempDir dir;
  ASSERT_TRUE(qv_test::write_pattern(dir.file("plain.jpg"), kPixelRgb8, 40, 20));
  EXPECT_EQ(without_time(run("pingimage", dir.file("plain.jpg")), "\"ms\":"),
            "{\"w\":40,\"h\":20,\"gps\":null,\"icc\":null,\"theta\":null,\"comment\":\"\","
            "\"ms\":T,\"thumb\":\"\"}");
}

TEST(Pingimage, ProfileAndCommentMakeValidJson) {
  TempDir dir;
  ImageProps props = qv_test::default_props();
  const std::vector<uint8_t>& srgb = compact_srgb_profile();
  props.embed_icc = true;
  props.icc_data = srgb.data();
  props.icc_size = static_cast<int32_t>(srgb.size());
  props.comment = "qorvel \"quoted\" C:\\pano\n\x01";
  ASSERT_TRUE(qv_test::write_samples(dir.file("meta.jpg"), kPixelRgb8, 16, 8, props,
                                     [](int x, int, int) { return x * 16; }));
  const std::string result = run("pingimage", dir.file("meta.jpg"));
  rapidjson::Document document = parsed(result);
  ASSERT_FALSE(document.HasParseError()) << result;
  EXPECT_EQ(std::string(document["comment"].GetString()), props.comment);
  EXPECT_EQ(std::string(document["icc"]["desc"].GetString()), "sRGB");
  EXPECT_EQ(base64_decode(document["icc"]["data"].GetString()), srgb);
  EXPECT_TRUE(document["ms"].IsNumber());
}

TEST(Pingimage, NumbersJsonCannotHoldBecomeNull) {
  ImageInfo info;
  info.width = 8;
  info.height = 4;
  info.pose_present = true;
  info.heading = std::nan("");
  info.pitch = 1.5;
  info.roll = -HUGE_VAL;
  info.gps_present = true;
  info.latitude = 47.5;
  info.longitude = 8.25;
  info.comment = "x";
  info.thumbnail = {0xFF, 0xD8};
  const std::string text = pingimage_text(info, 0.25);
  EXPECT_EQ(text,
            "{\"w\":8,\"h\":4,\"gps\":{\"lat\":47.500000000000,\"lng\":8.250000000000,"
            "\"alt\":0.000000,\"dir\":0.000000},\"icc\":null,\"theta\":{\"heading\":null,"
            "\"pitch\":1.500000,\"roll\":null},\"comment\":\"x\",\"ms\":0.250000,"
            "\"thumb\":\"data:image/jpg;base64,/9g=\"}");
  EXPECT_FALSE(parsed(text).HasParseError());
}

TEST(Pingimage, RealWorldFilesGiveValidJson) {
  int probed = 0;
  for (const char* folder : {"jpeg", "tiff", "psd", "png", "pano"}) {
    for (const std::string& name : qv_test::list_files(qv_test::corpus_file(folder))) {
      const std::string path = qv_test::corpus_file(std::string(folder) + "/" + name);
      const std::unique_ptr<ImageInfo> info = image_probe(path);
      const std::string result = run("pingimage", path);
      if (!info) {
        EXPECT_EQ(result, "") << path;
        continue;
      }
      ++probed;
      rapidjson::Document document = parsed(result);
      ASSERT_FALSE(document.HasParseError()) << path << "\n" << result.substr(0, 200);
      EXPECT_EQ(document["w"].GetInt(), info->width) << path;
      EXPECT_EQ(document["h"].GetInt(), info->height) << path;
      EXPECT_EQ(document["gps"].IsNull(), !info->gps_present) << path;
      EXPECT_EQ(std::string(document["comment"].GetString()), info->comment) << path;
      const std::string thumb = document["thumb"].GetString();
      if (info->thumbnail.empty()) {
        EXPECT_EQ(thumb, "") << path;
      } else {
        EXPECT_EQ(base64_decode(thumb.c_str() + strlen("data:image/jpg;base64,")), info->thumbnail)
            << path;
      }
    }
  }
  EXPECT_GT(probed, 50);
}

TEST(Pingimage, UnreadableOrUnknownFilesGiveAnEmptyResult) {
  TempDir dir;
  ASSERT_TRUE(qv_test::write_file(dir.file("notes.txt"), "not an image"));
  EXPECT_EQ(run("pingimage", dir.file("notes.txt")), "");
  EXPECT_EQ(run("pingimage", dir.file("missing.jpg")), "");
}

TEST(Makethumb, FitsIntoTheSquareAndSaysNoSize) {
  TempDir dir;
  ASSERT_TRUE(qv_test::write_pattern(dir.file("wide.jpg"), kPixelRgb8, 2000, 1000));
  const std::string result = run("makethumb", dir.file("wide.jpg"));
  const std::string prefix = "{w:0,h:0,ms:";
  const std::string data_prefix = ",img:\"data:image/jpg;base64,";
  ASSERT_EQ(result.compare(0, prefix.size(), prefix), 0) << result.substr(0, 80);
  const size_t data = result.find(data_prefix);
  ASSERT_NE(data, std::string::npos);
  ASSERT_EQ(result.substr(result.size() - 2), "\"}");
  const std::string base64 =
      result.substr(data + data_prefix.size(), result.size() - 2 - data - data_prefix.size());
  const std::vector<uint8_t> jpeg = base64_decode(base64.c_str());
  ASSERT_TRUE(qv_test::write_file(dir.file("thumb.jpg"), std::string(jpeg.begin(), jpeg.end())));
  ImageFilePtr thumb = image_open_read(dir.file("thumb.jpg"), nullptr);
  ASSERT_TRUE(thumb);
  EXPECT_EQ(thumb->width, 256);
  EXPECT_EQ(thumb->height, 128);
}

TEST(Makethumb, CorruptOrMissingInputGivesAnEmptyResult) {
  TempDir dir;
  ASSERT_TRUE(qv_test::write_pattern(dir.file("good.jpg"), kPixelRgb8, 300, 150));
  std::string bytes = qv_test::read_file(dir.file("good.jpg"));
  bytes.resize(bytes.size() / 3);  // header whole, scan cut
  ASSERT_TRUE(qv_test::write_file(dir.file("cut.jpg"), bytes));
  ASSERT_TRUE(qv_test::write_file(dir.file("junk.jpg"), "\xFF\xD8\xFF junk"));
  for (const char* name : {"junk.jpg", "missing.jpg"}) {
    EXPECT_EQ(run("makethumb", dir.file(name)), "") << name;
  }
  // A cut scan decodes to a partly grey picture or fails; it never takes the channel down.
  const std::string cut = run("makethumb", dir.file("cut.jpg"));
  EXPECT_TRUE(cut.empty() || cut.compare(0, 9, "{w:0,h:0,") == 0);
}

TEST(TextCommands, FixedAnswers) {
  const struct {
    const char* name;
    const char* arguments;
    std::string expected;
  } rows[] = {
      {"frobnicate", "x", "ERROR: Unknown command: frobnicate"},
      {"", "", "ERROR: Unknown command: "},
      {"Connect", "1", "ERROR: Unknown command: Connect"},
      {"makepano", "tour.jpg", ""},
      {"transform", "cube a.jpg b.jpg", ""},
      {"command", "transform cube a.jpg b.jpg", "false"},
      {"command", "makepano a.jpg", "false"},
      {"command", "", "false"},
      {"encrypt", "tour.xml", "ERROR: cannot read file: tour.xml"},
      {"encrypt", "", kEncryptNoFiles},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(run(row.name, row.arguments), row.expected) << row.name << " " << row.arguments;
  }
}

// The encrypt command runs the tool with the front end's arguments: "OK" when it succeeded, the
// tool's one error line otherwise; a password comes through a password file.
TEST(TextCommands, EncryptSealsWithAPasswordFile) {
  qv_test::TempDir dir;
  const std::string tour = "<tour><scene name=\"a\"/></tour>\n";
  ASSERT_TRUE(qv_test::write_file(dir.file("tour.xml"), tour));
  ASSERT_TRUE(qv_test::write_file(dir.file("pw"), "secret\n"));
  const std::string arguments = "-passwordfile='" + dir.file("pw") + "' '" + dir.file("tour.xml") + "'";
  EXPECT_EQ(run("encrypt", arguments), "OK");
  EXPECT_NE(qv_test::read_file(dir.file("tour.xml")), tour);
  EXPECT_EQ(run("encrypt", arguments), "ERROR: file is already encrypted: " + dir.file("tour.xml"));
  EXPECT_EQ(run("encrypt", "-decrypt " + arguments), "OK");
  EXPECT_EQ(qv_test::read_file(dir.file("tour.xml")), tour);
}

TEST(TextCommands, ConnectWatchesOnlyALiveProcess) {
  const std::string answer = std::string(kVersion) + " scale:1.000000";
  ProcessWatch watch;
  EXPECT_EQ(run("connect", std::to_string(ended_child(false)), &watch), answer);
  EXPECT_EQ(watch.pid.load(), 0);
  EXPECT_EQ(run("connect", "abc", &watch), answer);
  EXPECT_EQ(run("connect", "-1", &watch), answer);
  EXPECT_EQ(watch.pid.load(), 0);
  EXPECT_EQ(run("connect", std::to_string(getpid()), &watch), answer);
  EXPECT_EQ(watch.pid.load(), getpid());
  EXPECT_FALSE(watched_process_gone(&watch));
}

TEST(ProcessWatch, EndedProcessesAreGone) {
  EXPECT_TRUE(process_alive(getpid()));
  EXPECT_TRUE(process_alive(1));  // another user's process counts too
  EXPECT_FALSE(process_alive(0));
  EXPECT_FALSE(process_alive(-1));
  EXPECT_FALSE(process_alive(ended_child(false)));
  const pid_t zombie = ended_child(true);
  EXPECT_FALSE(process_alive(zombie));
  waitpid(zombie, nullptr, 0);
  ProcessWatch watch;
  EXPECT_FALSE(watched_process_gone(&watch));  // nothing watched
}

TEST(JsonProtocol, Answers) {
  const std::string connect_answer =
      "{\"versionstring\":\"version:1.19-pr16 - 32bit (build 2018-04-04)\",\"version\":"
      "\"1.19-pr16\",\"build\":\"2018-04-04\",\"apinames\":[\"connect\"]}";
  const struct {
    std::string payload;
    std::string expected;
  } rows[] = {
      {"{\"cmd\":\"connect\",\"args\":{\"pid\":0}}", connect_answer},
      {"{\"args\":{},\"cmd\":\"connect\"}", connect_answer},
      {"{\"cmd\":\"connect\",\"args\":{\"pid\":\"12\"}}", connect_answer},
      {"{\"cmd\":\"connect\",\"args\":[1,2]}", connect_answer},
      {" {\"cmd\":\"connect\",\"args\":null} ", connect_answer},
      {"{\"cmd\":\"makethumb\",\"args\":{}}", "null"},
      {"{\"cmd\":\"Connect\",\"args\":{}}", "null"},
      {"{\"cmd\":\"connect\"}", "invalid json"},
      {"{\"args\":{}}", "invalid json"},
      {"{\"cmd\":1,\"args\":{}}", "invalid json"},
      {"[\"connect\"]", "invalid json"},
      {"[]", "invalid json"},  // an empty array once upset the sanitizer inside the parser
      {"\"connect\"", "invalid json"},
      {"{\"cmd\":\"connect\",\"args\":{}} x", "invalid json"},
      {"{\"cmd\":\"connect\",\"args\":{}", "invalid json"},
      {std::string("{\"cmd\":\"connect\",\"args\":{}}") + '\0', "invalid json"},
      {std::string("{\"cmd\":\"connect\",\"args\":{}}") + '\0' + "garbage", "invalid json"},
      {"not json", "invalid json"},
      {std::string(200000, '['), "invalid json"},  // nesting too deep for a recursive parser
      {"{\"cmd\":\"x\",\"args\":" + std::string(200000, '[') + std::string(200000, ']') + "}",
       "null"},
  };
  for (const auto& row : rows) {
    ProcessWatch watch;
    EXPECT_EQ(run_json_request(row.payload.data(), row.payload.size(), &watch), row.expected)
        << row.payload.substr(0, 60);
    EXPECT_EQ(watch.pid.load(), 0);
  }
  EXPECT_EQ(json_command_names(), std::vector<std::string>{"connect"});
}

TEST(JsonProtocol, ConnectWatchesTheNamedProcess) {
  ProcessWatch watch;
  const std::string payload =
      "{\"cmd\":\"connect\",\"args\":{\"pid\":" + std::to_string(getpid()) + "}}";
  run_json_request(payload.data(), payload.size(), &watch);
  EXPECT_EQ(watch.pid.load(), getpid());
}

}  // namespace
