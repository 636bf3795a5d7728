#include "ipc/commands.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "base/args.h"
#include "base/banner.h"
#include "base/console.h"
#include "base/files.h"
#include "base/text.h"
#include "imageio/image_file.h"
#include "ipc/process_watch.h"
#include "render/thumbnail.h"
#include "tools/cube2sphere_tool.h"
#include "tools/encrypt_tool.h"
#include "tools/transform_tool.h"

namespace {

const char kUnknownCommand[] = "ERROR: Unknown command: ";
const char kImageDataPrefix[] = "data:image/jpg;base64,";
const char kToolOptions[] = " -q -ipc";
const char kEncryptSucceeded[] = "OK";
const char kToolSucceeded[] = "true";
const char kToolFailed[] = "false";
constexpr int32_t kThumbnailLimit = 256;

// ---- helpers ----

// A number printed with a printf format for one double.
std::string number_text(const char* format, double value) {
  char text[400];  // room for %f of the largest double
  snprintf(text, sizeof text, format, value);
  return text;
}

// A number for a JSON text; "null" for the infinities and NaN, which JSON cannot hold (a
// metadata field may carry one).
std::string json_number(const char* format, double value) {
  return std::isfinite(value) ? number_text(format, value) : std::string("null");
}

struct StringArrayFree {
  void operator()(char** array) const { free_string_array(array); }
};
using StringArray = std::unique_ptr<char*, StringArrayFree>;

// The words of a command line as an argument vector; null when it cannot be made.
StringArray split_arguments(const std::string& line, int* count) {
  return StringArray(split_command_line_array(line.c_str(), count));
}

std::string base64_of(const std::vector<uint8_t>& bytes) {
  return base64_encode(bytes.data(), bytes.size());
}

// ---- in-process tools of the command command ----

using ChannelToolEntry = int (*)(int argc, char** argv, ConsoleOps* ops);

// A command text that begins with prefix runs entry; any other text answers "false". The tour
// builder is not run through the channel (its own command answers with an empty result).
struct ChannelTool {
  const char* prefix;
  ChannelToolEntry entry;
};

const ChannelTool kChannelTools[] = {
    {"spheretocube ", transform_main},
    {"cubetosphere ", cube2sphere_main},
};

const ChannelTool* find_channel_tool(const std::string& line) {
  for (const ChannelTool& tool : kChannelTools) {
    if (line.compare(0, strlen(tool.prefix), tool.prefix) == 0) return &tool;
  }
  return nullptr;
}

// ---- the commands ----

std::string run_connect(const std::string& arguments, ConsoleOps*, ProcessWatch* watch) {
  const long pid = strtol(arguments.c_str(), nullptr, 10);
  if (pid > 0 && pid <= INT32_MAX) watch_process(watch, static_cast<int>(pid));
  return channel_version_text() + " scale:" + number_text("%f", kScreenScale);
}

std::string run_pingimage(const std::string& path, ConsoleOps*, ProcessWatch*) {
  const int64_t start = timer_ticks();
  std::unique_ptr<ImageInfo> info = image_probe(path);
  const int64_t end = timer_ticks();
  if (!info) return std::string();
  return pingimage_text(*info, ticks_to_seconds(end - start));
}

std::string run_makethumb(const std::string& path, ConsoleOps*, ProcessWatch*) {
  const int64_t start = timer_ticks();
  std::vector<uint8_t> jpeg;
  const bool made = make_thumbnail(path, kThumbnailLimit, kThumbnailLimit, nullptr, &jpeg);
  const double seconds = ticks_to_seconds(timer_ticks() - start);
  if (!made || jpeg.empty()) return std::string();
  const std::string data = base64_of(jpeg);
  // An object literal with unquoted keys, as the front end reads it; w and h are always 0.
  return "{w:0,h:0,ms:" + number_text("%f", seconds) + ",img:\"" + kImageDataPrefix + data + "\"}";
}

std::string run_command(const std::string& arguments, ConsoleOps* console, ProcessWatch*) {
  const std::string line = arguments + kToolOptions;
  const ChannelTool* tool = find_channel_tool(line);
  if (!tool) return kToolFailed;
  int count = 0;
  StringArray argv = split_arguments(line, &count);
  if (!argv) return kToolFailed;
  return tool->entry(count, argv.get(), console) == 0 ? kToolSucceeded : kToolFailed;
}

std::string run_encrypt(const std::string& arguments, ConsoleOps*, ProcessWatch*) {
  const std::string line = quote_for_command_line(module_path()) + " " + arguments;
  int count = 0;
  StringArray argv = split_arguments(line, &count);
  std::string result;
  if (!argv) return result;
  return encrypt_run(count, argv.get(), &result) == 0 ? kEncryptSucceeded : result;
}

// The tour builder and the transform tool are not run by name through this channel.
std::string run_nothing(const std::string&, ConsoleOps*, ProcessWatch*) {
  return std::string();
}

using TextCommandFn = std::string (*)(const std::string& arguments, ConsoleOps* console,
                                      ProcessWatch* watch);

struct TextCommand {
  const char* name;
  TextCommandFn run;
};

const TextCommand kTextCommands[] = {
    {"connect", run_connect},   {"pingimage", run_pingimage}, {"makethumb", run_makethumb},
    {"command", run_command},   {"encrypt", run_encrypt},     {"makepano", run_nothing},
    {"transform", run_nothing},
};

}  // namespace

std::string run_text_command(const std::string& name, const std::string& arguments,
                             ConsoleOps* console, ProcessWatch* watch) {
  for (const TextCommand& command : kTextCommands) {
    if (name == command.name) return command.run(arguments, console, watch);
  }
  return kUnknownCommand + name;
}

std::string channel_version_text() {
  return std::string("version:") + kProductVersion + kPlatformSuffix + kEditionSuffix + " (build " +
         kBuildDate + ")";
}

std::string json_string_contents(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (byte < 0x20) {
          char escaped[8];
          snprintf(escaped, sizeof escaped, "\\u%04x", byte);
          out += escaped;
        } else {
          out.push_back(c);
        }
    }
  }
  return out;
}

std::string pingimage_text(const ImageInfo& info, double seconds) {
  std::string gps = "null";
  if (info.gps_present) {
    gps = "{\"lat\":" + json_number("%.12f", info.latitude) +
          ",\"lng\":" + json_number("%.12f", info.longitude) +
          ",\"alt\":" + json_number("%f", info.altitude) +
          ",\"dir\":" + json_number("%f", info.direction) + "}";
  }
  std::string icc = "null";
  if (!info.icc.empty() && !info.icc_description.empty()) {
    icc = "{\"desc\":\"" + json_string_contents(info.icc_description) + "\",\"data\":\"" +
          base64_of(info.icc) + "\"}";
  }
  std::string theta = "null";
  if (info.pose_present) {
    theta = "{\"heading\":" + json_number("%f", info.heading) +
            ",\"pitch\":" + json_number("%f", info.pitch) +
            ",\"roll\":" + json_number("%f", info.roll) + "}";
  }
  std::string thumb;
  if (!info.thumbnail.empty()) thumb = kImageDataPrefix + base64_of(info.thumbnail);
  std::string text = "{\"w\":" + std::to_string(info.width) +
                     ",\"h\":" + std::to_string(info.height) + ",\"gps\":";
  text += gps;
  text += ",\"icc\":";
  text += icc;
  text += ",\"theta\":";
  text += theta;
  text += ",\"comment\":\"";
  text += json_string_contents(info.comment);
  text += "\",\"ms\":";
  text += json_number("%f", seconds);
  text += ",\"thumb\":\"";
  text += thumb;
  text += "\"}";
  return text;
}
