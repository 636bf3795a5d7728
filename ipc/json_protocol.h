// The JSON protocol's commands: a request is {"cmd": NAME, "args": VALUE}, the response the JSON
// text the command writes into a document that starts out as null.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct ProcessWatch;

// The answer to one request payload: the command's response, "null" for an unknown command,
// "invalid json" for a payload that is not a JSON object with a string "cmd" and an "args".
std::string run_json_request(const char* payload, size_t size, ProcessWatch* watch);

// The names of the command table in ascending byte order (the "apinames" of connect).
std::vector<std::string> json_command_names();
