// Requests are parsed iteratively, so a deeply nested payload cannot exhaust the stack; rapidjson
// reports errors by return value and is used without exceptions. Members are looked up with
// FindMember and checked for their type before use, since rapidjson's accessors assume both.
#include "ipc/json_protocol.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "base/banner.h"
#include "ipc/commands.h"
#include "ipc/process_watch.h"

namespace {

const char kInvalidJson[] = "invalid json";

using JsonCommandFn = void (*)(const rapidjson::Value& args, rapidjson::Document* response,
                               ProcessWatch* watch);

struct JsonCommand {
  const char* name;
  JsonCommandFn run;
};

void add_string(rapidjson::Document* response, const char* name, const std::string& value) {
  rapidjson::Document::AllocatorType& allocator = response->GetAllocator();
  response->AddMember(
      rapidjson::Value(name, allocator),
      rapidjson::Value(value.c_str(), static_cast<rapidjson::SizeType>(value.size()), allocator),
      allocator);
}

void run_connect(const rapidjson::Value& args, rapidjson::Document* response, ProcessWatch* watch) {
  if (args.IsObject()) {
    const auto pid = args.FindMember("pid");
    if (pid != args.MemberEnd() && pid->value.IsInt()) watch_process(watch, pid->value.GetInt());
  }
  rapidjson::Document::AllocatorType& allocator = response->GetAllocator();
  response->SetObject();
  add_string(response, "versionstring", channel_version_text());
  add_string(response, "version", kProductVersion);
  add_string(response, "build", kBuildDate);
  rapidjson::Value names(rapidjson::kArrayType);
  for (const std::string& name : json_command_names()) {
    names.PushBack(rapidjson::Value(name.c_str(), allocator), allocator);
  }
  response->AddMember("apinames", names, allocator);
}

const JsonCommand kJsonCommands[] = {
    {"connect", run_connect},
};

const JsonCommand* find_json_command(const rapidjson::Value& name) {
  for (const JsonCommand& command : kJsonCommands) {
    if (name.GetStringLength() == strlen(command.name) &&
        memcmp(name.GetString(), command.name, name.GetStringLength()) == 0) {
      return &command;
    }
  }
  return nullptr;
}

std::string written(const rapidjson::Document& document) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  document.Accept(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace

std::string run_json_request(const char* payload, size_t size, ProcessWatch* watch) {
  // The parser takes a zero byte for the end of the text; JSON text never holds one.
  if (memchr(payload, 0, size)) return kInvalidJson;
  rapidjson::Document request;
  request.Parse<rapidjson::kParseIterativeFlag>(payload, size);
  if (request.HasParseError() || !request.IsObject()) return kInvalidJson;
  const auto cmd = request.FindMember("cmd");
  const auto args = request.FindMember("args");
  if (cmd == request.MemberEnd() || !cmd->value.IsString() || args == request.MemberEnd()) {
    return kInvalidJson;
  }
  rapidjson::Document response;  // null until a command fills it
  const JsonCommand* command = find_json_command(cmd->value);
  if (command) command->run(args->value, &response, watch);
  return written(response);
}

std::vector<std::string> json_command_names() {
  std::vector<std::string> names;
  for (const JsonCommand& command : kJsonCommands) names.emplace_back(command.name);
  std::sort(names.begin(), names.end());  // std::string compares bytes as unsigned char
  return names;
}
