// The encrypt tool ("encrypt", "qencrypt"): seals a tour's XML and script files - and with
// -images the tile, preview and thumbnail files its XML references - in the container of
// tools/tour_crypto.h, which the browser viewer opens; -decrypt recovers them.
//
// Password mode protects the files with a key derived from the visitor's password. Obfuscation
// mode uses a key that the viewer carries: it deters casual copying and hot-linking and is NOT
// confidentiality.
#pragma once

#include <string>
#include <vector>

// Every message the tool reports ("%s" is a file name).
extern const char kEncryptUsage[];
extern const char kEncryptNoFiles[];
extern const char kEncryptBadArgument[];
extern const char kEncryptCannotRead[];
extern const char kEncryptAlreadySealed[];
extern const char kEncryptNotSealed[];
extern const char kEncryptWrongPassword[];
extern const char kEncryptDamaged[];
extern const char kEncryptTruncated[];
extern const char kEncryptUnknownVersion[];
extern const char kEncryptCannotWrite[];
extern const char kEncryptNoPassword[];
extern const char kEncryptPasswordFileUnreadable[];
extern const char kEncryptEmptyPassword[];
extern const char kEncryptPasswordsDiffer[];
extern const char kEncryptLibraryFailed[];
extern const char kEncryptSealedWithPassword[];
extern const char kEncryptSealedObfuscated[];
extern const char kEncryptOpened[];
// The environment variable read for the password when no password file is given.
extern const char kPasswordVariable[];

// One call of the tool, as the command line or the tour builder fills it.
struct EncryptRequest {
  std::vector<std::string> files;  // tour XML and script files
  bool decrypt = false;            // -decrypt: recover plain files
  bool obfuscate = false;          // -obfuscate: key built into the viewer (not confidential)
  bool images = false;             // -images: also the files the XML files reference
  std::string output_folder;       // -o=FOLDER; empty: in place
  std::string password_file;       // -passwordfile=FILE; first line, without its line end
};

// What a call did: the files written, and on failure the one message line ("ERROR: …").
struct EncryptOutcome {
  int files_written = 0;
  std::string error;
};

// Runs one request: every input is checked before the first file is written, and each output is
// written whole under a temporary name and renamed into place. Returns true on success.
bool encrypt_tour_files(const EncryptRequest& request, EncryptOutcome* outcome);

// Entry shared by the command line and the channel: with a result text the error message is
// written into it ("ERROR: " and the text) instead of being printed. Returns 0 on success, 1
// otherwise.
int encrypt_run(int argc, char** argv, std::string* result);

// Tool entry of the command line: prints through the process's console record.
int encrypt_main(int argc, char** argv);
