// The encrypt tool ("encrypt", "qencrypt"). This build does not encrypt: a tour's files have to
// be read by a viewer in the browser, and a viewer that can decrypt them carries the key with
// it, so encryption would only hide the files from nobody. The tool says so and changes nothing.
#pragma once

#include <string>

// The one message the tool reports.
extern const char kEncryptUnavailable[];

// Entry shared by the command line and the channel: with a result text the message is written
// into it ("ERROR: " and the text) instead of being printed. Returns 0 on success, 1 otherwise
// (always 1 in this build).
int encrypt_run(int argc, char** argv, std::string* result);

// Tool entry of the command line: prints through the process's console record.
int encrypt_main(int argc, char** argv);
