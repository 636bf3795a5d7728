// Whole files or none: every output is written under a partial name in its own folder and
// renamed into place only when it is complete, so a reader sees the old file or the new one,
// never half of one. Partial names are hidden ("." first) and end in kPartialSuffix.
//
// Every partial name is registered while it exists. A stop signal (SIGINT, SIGTERM, SIGHUP)
// deletes the registered names before the handler that was installed earlier runs; creation
// and the signal clean-up are ordered, so a file being created while the signal arrives is
// deleted too. After a stop signal no new partial file can begin.
#pragma once

#include <string>

// Every partial name ends in this text.
extern const char kPartialSuffix[];

// One output on its way: the final name, the partial name it is written under, and its entry
// in the registry (-1 when the registry was full; the name is then only deleted by the
// normal paths of the caller).
struct PartialFile {
  std::string final_path;
  std::string partial_path;
  int slot = -1;
  bool creating = false;  // between partial_file_begin and partial_file_created
};

// Picks and registers a partial name beside final_path. Until partial_file_created is called
// the file counts as being created: a stop signal waits for it before cleaning up, so create
// the file (any way: fopen, open, a library) between the two calls. False, with errno set,
// when a stop signal has begun or the name is too long.
bool partial_file_begin(const std::string& final_path, PartialFile* file);
// Ends the creation window opened by partial_file_begin (also after a failed creation).
void partial_file_created(PartialFile* file);
// Renames the complete file into place and forgets it; on failure the partial file is
// deleted and errno tells why.
bool partial_file_commit(PartialFile* file);
// Deletes the partial file and forgets it (keeps errno).
void partial_file_abandon(PartialFile* file);

// True for a file name (without folder) that has the form of a partial name.
bool is_partial_name(const std::string& file_name);

// Number of partial names registered now.
int partial_file_count();

// Why an input path cannot be read, empty when it is a regular file that opens for reading:
// the system's text for a missing file or a refused permission, "not a regular file" for a
// folder, pipe or device. A named pipe or a device is refused without being opened, so the
// check never waits for a writer.
std::string input_file_problem(const std::string& path);

// The system's text for an error number, starting with a lower-case letter ("no space left on
// device").
std::string system_reason(int error_number);
