// Files a tour run makes for itself (cube faces of a conversion or a strip split, eye halves of
// a stereo layout) and must not leave behind: they are registered while they exist and deleted
// on every way out — the normal end of an input, an early return, and SIGINT, SIGTERM or SIGHUP.
#pragma once

#include <string>

// While a scope is alive, a stop signal deletes every registered file before the handler that
// was installed earlier (the swap-file clean-up of qvmem) runs. Leaving the scope deletes the
// files still registered and puts the earlier handlers back.
struct TempFileScope {
  TempFileScope();
  ~TempFileScope();
  TempFileScope(const TempFileScope&) = delete;
  TempFileScope& operator=(const TempFileScope&) = delete;
};

// Registers a file to delete; false when the table is full (the file is then only deleted by
// the normal paths of the caller).
bool temp_file_add(const std::string& path);

// Deletes a registered file now and forgets it (also an unregistered one is deleted).
void temp_file_delete(const std::string& path);

// Deletes and forgets every registered file.
void temp_files_delete_all();

// Number of files registered now.
int temp_file_count();
