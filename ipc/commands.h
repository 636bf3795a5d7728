// The text protocol's commands, chosen by name from one table: connect, pingimage, makethumb,
// command (the conversion tools run in-process) and encrypt.
#pragma once

#include <string>

struct ConsoleOps;
struct ImageInfo;
struct ProcessWatch;

// Runs the named command on the calling thread and returns the result text of its done
// message. Tools report through console, the thread's channel record; connect sets watch.
std::string run_text_command(const std::string& name, const std::string& arguments,
                             ConsoleOps* console, ProcessWatch* watch);

// "version:1.19-pr16 - 32bit (build 2018-04-04)", shared by both protocols' connect.
std::string channel_version_text();

// The screen scale connect reports: the screen's pixel density over 96 dpi. A channel process
// has no display of its own, so it is 1.
constexpr float kScreenScale = 1.0f;

// Text as the contents of a JSON string: quotation mark, backslash and control characters
// escaped, every other byte copied.
std::string json_string_contents(const std::string& text);

// The pingimage result for a probe that took the given seconds.
std::string pingimage_text(const ImageInfo& info, double seconds);
