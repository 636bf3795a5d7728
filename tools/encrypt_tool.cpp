// The encrypt tool: seals and opens tour files with tools/tour_crypto.
//
// A file named on the command line is bound to its file name; a file reached through an XML is
// bound to its path relative to that XML's folder (normalised by tour_path_normalise). The viewer
// uses the same rule, so a sealed file only opens at the place it was sealed for.
#include "tools/encrypt_tool.h"

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>

#include "base/args.h"
#include "base/console.h"
#include "base/files.h"
#include "tools/tour_crypto.h"

const char kEncryptUsage[] =
    "usage: qorveltools encrypt [options] FILE...\n"
    "  Seals tour XML and script files so that only the viewer reads them.\n"
    "  -decrypt           recover the plain files (with the password)\n"
    "  -images            also the tile, preview and thumbnail files the XML references\n"
    "  -o=FOLDER          write into FOLDER instead of in place\n"
    "  -passwordfile=FILE read the password from the first line of FILE\n"
    "  -obfuscate         OBFUSCATION ONLY, NOT CONFIDENTIALITY: the key travels with the viewer,\n"
    "                     so anyone can read the files; it only deters casual copying and\n"
    "                     hot-linking\n"
    "  Without -passwordfile the password comes from the QV_PASSWORD environment variable, else\n"
    "  from a prompt without echo when standard input is a terminal; never from the command line.";
const char kEncryptNoFiles[] = "ERROR: no input file given";
const char kEncryptBadArgument[] = "ERROR: bad argument: %s";
const char kEncryptCannotRead[] = "ERROR: cannot read file: %s";
const char kEncryptAlreadySealed[] = "ERROR: file is already encrypted: %s";
const char kEncryptNotSealed[] = "ERROR: file is not encrypted: %s";
const char kEncryptWrongPassword[] = "ERROR: wrong password for %s";
const char kEncryptDamaged[] = "ERROR: file is damaged or was altered: %s";
const char kEncryptTruncated[] = "ERROR: encrypted file is truncated: %s";
const char kEncryptUnknownVersion[] = "ERROR: unknown encrypted format version: %s";
const char kEncryptCannotWrite[] = "ERROR: cannot write file: %s";
const char kEncryptNoPassword[] =
    "ERROR: no password: use -passwordfile=FILE, set QV_PASSWORD, or run at a terminal";
const char kEncryptPasswordFileUnreadable[] = "ERROR: cannot read password file: %s";
const char kEncryptEmptyPassword[] = "ERROR: the password is empty";
const char kEncryptPasswordsDiffer[] = "ERROR: the passwords do not match";
const char kEncryptLibraryFailed[] = "ERROR: the crypto library failed on %s";
const char kEncryptSealedWithPassword[] = "encrypted %d files with a password";
const char kEncryptSealedObfuscated[] =
    "obfuscated %d files - obfuscation is NOT confidentiality: anyone with the viewer can read "
    "them";
const char kEncryptOpened[] = "decrypted %d files";
const char kPasswordVariable[] = "QV_PASSWORD";

namespace {

namespace fs = std::filesystem;

const char kPrompt[] = "password: ";
const char kPromptAgain[] = "password again: ";

std::string encrypt_message(const char* format, const std::string& name) {
  std::string text = format;
  const size_t at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, name);
  return text;
}

// One file to write: where it comes from, where it goes, and the path it is bound to.
struct EncryptJob {
  std::string source;
  std::string target;
  std::string path_in_tour;
};

// Reads a line from the terminal without echo; false when stdin is not a terminal.
bool encrypt_prompt(const char* prompt, std::string* line) {
  if (!isatty(STDIN_FILENO)) return false;
  ConsoleOps* ops = console_ops();
  ops->log(ops, "%s", prompt);
  termios saved;
  const bool have_terminal = tcgetattr(STDIN_FILENO, &saved) == 0;
  if (have_terminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  line->clear();
  int c;
  while ((c = fgetc(stdin)) != EOF && c != '\n') *line += char(c);
  if (have_terminal) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  ops->log(ops, "\n");
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

// The password from the file, the environment or the terminal (asked twice when sealing).
bool encrypt_password(const EncryptRequest& request, bool confirm, std::string* password,
                      std::string* error) {
  if (!request.password_file.empty()) {
    std::string text;
    if (!read_whole_file(request.password_file, &text)) {
      *error = encrypt_message(kEncryptPasswordFileUnreadable, request.password_file);
      return false;
    }
    *password = text.substr(0, text.find_first_of("\r\n"));
  } else if (const char* value = getenv(kPasswordVariable)) {
    *password = value;
  } else if (encrypt_prompt(kPrompt, password)) {
    std::string again;
    if (confirm && (!encrypt_prompt(kPromptAgain, &again) || again != *password)) {
      *error = kEncryptPasswordsDiffer;
      return false;
    }
  } else {
    *error = kEncryptNoPassword;
    return false;
  }
  if (password->empty()) {
    *error = kEncryptEmptyPassword;
    return false;
  }
  return true;
}

// The local files an XML references through its url attributes: each value is a pattern whose
// placeholders (%l, %s, %v, %h, %0v …) stand for letters and digits; absolute and remote
// addresses and root placeholders (%CURRENTXML% …) are left alone. Paths relative to the XML's
// folder, sorted, without the XML itself.
std::vector<std::string> encrypt_referenced_files(const std::string& xml_text,
                                                  const std::string& xml_path) {
  std::vector<std::regex> patterns;
  static const std::regex attribute("[A-Za-z]*url\\s*=\\s*\"([^\"]*)\"", std::regex::icase);
  for (std::sregex_iterator it(xml_text.begin(), xml_text.end(), attribute), end; it != end; ++it) {
    const std::string value = (*it)[1].str();
    if (value.empty() || value[0] == '/' || value.find("://") != std::string::npos ||
        value.compare(0, 5, "data:") == 0 ||
        (value.size() > 1 && value[0] == '%' && isupper(static_cast<unsigned char>(value[1]))))
      continue;
    const std::string path = tour_path_normalise(value);
    std::string expression;
    for (size_t i = 0; i < path.size(); ++i) {
      const char c = path[i];
      if (c == '%') {
        size_t j = i + 1;
        while (j < path.size() && isdigit(static_cast<unsigned char>(path[j]))) ++j;
        if (j < path.size() && isalpha(static_cast<unsigned char>(path[j]))) {
          expression += "[0-9A-Za-z]+";
          i = j;
          continue;
        }
      }
      if (!isalnum(static_cast<unsigned char>(c))) expression += '\\';
      expression += c;
    }
    patterns.emplace_back(expression);
  }
  std::vector<std::string> found;
  if (patterns.empty()) return found;
  std::error_code code;
  const fs::path folder = fs::path(xml_path).parent_path().empty()
                              ? fs::path(".")
                              : fs::path(xml_path).parent_path();
  const fs::path xml_name = fs::path(xml_path).filename();
  for (fs::recursive_directory_iterator it(folder, code), end; !code && it != end;
       it.increment(code)) {
    if (!it->is_regular_file(code)) continue;
    const std::string relative = it->path().lexically_relative(folder).generic_string();
    if (relative == xml_name.generic_string()) continue;
    for (const std::regex& pattern : patterns) {
      if (std::regex_match(relative, pattern)) {
        found.push_back(relative);
        break;
      }
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

// Reads the first bytes of a file (up to the header size).
bool encrypt_read_head(const std::string& path, std::string* head) {
  FilePtr file = open_file(path, "rb");
  if (!file) return false;
  head->assign(kCryptoHeaderSize + kCryptoTagSize, '\0');
  head->resize(fread(&(*head)[0], 1, head->size(), file.get()));
  return !ferror(file.get());
}

std::string encrypt_status_message(CryptoStatus status, const std::string& name) {
  switch (status) {
    case CryptoStatus::NotSealed: return encrypt_message(kEncryptNotSealed, name);
    case CryptoStatus::Truncated: return encrypt_message(kEncryptTruncated, name);
    case CryptoStatus::UnknownVersion: return encrypt_message(kEncryptUnknownVersion, name);
    case CryptoStatus::WrongKey: return encrypt_message(kEncryptWrongPassword, name);
    case CryptoStatus::Damaged: return encrypt_message(kEncryptDamaged, name);
    default: return encrypt_message(kEncryptLibraryFailed, name);
  }
}

// Keys met while opening files, so that each salt is derived once per call.
struct KeyRing {
  const EncryptRequest* request = nullptr;
  std::vector<TourKey> keys;
  bool have_password = false;
  std::string password;
};

// The key that fits header: a known one, or a new derivation (asking for the password once).
CryptoStatus key_ring_find(KeyRing* ring, const CryptoHeader& header, const TourKey** key,
                           std::string* error) {
  for (const TourKey& known : ring->keys) {
    if (known.mode == header.mode && known.iterations == header.iterations &&
        memcmp(known.salt, header.salt, kCryptoSaltSize) == 0) {
      *key = &known;
      return tour_key_fits(known, header) ? CryptoStatus::Ok : CryptoStatus::WrongKey;
    }
  }
  std::string password = kObfuscationPassword;
  if (header.mode == CryptoMode::Password) {
    if (!ring->have_password) {
      if (!encrypt_password(*ring->request, false, &ring->password, error)) return CryptoStatus::Failed;
      ring->have_password = true;
    }
    password = ring->password;
  }
  TourKey derived;
  if (!tour_key_derive(password, header.mode, header.iterations, header.salt, &derived))
    return CryptoStatus::Failed;
  ring->keys.push_back(derived);
  *key = &ring->keys.back();
  return tour_key_fits(**key, header) ? CryptoStatus::Ok : CryptoStatus::WrongKey;
}

std::string encrypt_target(const EncryptRequest& request, const std::string& source,
                           const std::string& relative) {
  if (request.output_folder.empty()) return source;
  return (fs::path(request.output_folder) / fs::path(relative)).string();
}

// Writes data whole: a temporary name in the same folder, then a rename.
bool encrypt_write(const std::string& path, const std::string& data) {
  if (!create_directories_for(path)) return false;
  const std::string temporary = path + ".qv-partial";
  if (!write_whole_file(temporary, data)) {
    delete_file(temporary);
    return false;
  }
  if (!rename_file(temporary, path)) {
    delete_file(temporary);
    return false;
  }
  return true;
}

}  // namespace

bool encrypt_tour_files(const EncryptRequest& request, EncryptOutcome* outcome) {
  outcome->files_written = 0;
  outcome->error.clear();
  if (request.files.empty()) {
    outcome->error = kEncryptNoFiles;
    return false;
  }
  // Plan: every file named and, with -images, every file each XML references.
  std::vector<EncryptJob> jobs;
  KeyRing ring;
  ring.request = &request;
  CryptoContextPtr context(crypto_context_create());
  if (!context) {
    outcome->error = encrypt_message(kEncryptLibraryFailed, request.files[0]);
    return false;
  }
  for (const std::string& file : request.files) {
    std::string head;
    if (!encrypt_read_head(file, &head) || is_directory(file)) {
      outcome->error = encrypt_message(kEncryptCannotRead, file);
      return false;
    }
    const std::string name = fs::path(file).filename().generic_string();
    jobs.push_back({file, encrypt_target(request, file, name), name});
    if (!request.images) continue;
    std::string text;
    if (!read_whole_file(file, &text)) {
      outcome->error = encrypt_message(kEncryptCannotRead, file);
      return false;
    }
    if (request.decrypt && crypto_is_sealed(text.data(), text.size())) {
      CryptoHeader header;
      CryptoStatus status = crypto_read_header(text.data(), text.size(), &header);
      const TourKey* key = nullptr;
      if (status == CryptoStatus::Ok) status = key_ring_find(&ring, header, &key, &outcome->error);
      std::string plain;
      if (status == CryptoStatus::Ok)
        status = tour_open(context.get(), *key, name, text.data(), text.size(), &plain);
      if (status != CryptoStatus::Ok) {
        if (outcome->error.empty()) outcome->error = encrypt_status_message(status, file);
        return false;
      }
      text.swap(plain);
    }
    const fs::path folder = fs::path(file).parent_path();
    for (const std::string& relative : encrypt_referenced_files(text, file)) {
      const std::string source = (folder / fs::path(relative)).string();
      jobs.push_back({source, encrypt_target(request, source, relative), relative});
    }
  }
  // Check every input before the first write.
  std::vector<bool> skip(jobs.size(), false);
  for (size_t i = 0; i < jobs.size(); ++i) {
    std::string head;
    if (!encrypt_read_head(jobs[i].source, &head)) {
      outcome->error = encrypt_message(kEncryptCannotRead, jobs[i].source);
      return false;
    }
    const bool sealed = crypto_is_sealed(head.data(), head.size());
    const bool named = i == 0 || std::find(request.files.begin(), request.files.end(),
                                           jobs[i].source) != request.files.end();
    if (sealed != request.decrypt) {
      // A referenced file already in the wanted state is left as it is; a named one is an error.
      if (!named) {
        skip[i] = true;
        continue;
      }
      outcome->error = encrypt_message(request.decrypt ? kEncryptNotSealed : kEncryptAlreadySealed,
                                       jobs[i].source);
      return false;
    }
    if (request.decrypt) {
      CryptoHeader header;
      CryptoStatus status = crypto_read_header(head.data(), head.size(), &header);
      const TourKey* key = nullptr;
      if (status == CryptoStatus::Ok) status = key_ring_find(&ring, header, &key, &outcome->error);
      if (status != CryptoStatus::Ok) {
        if (outcome->error.empty()) outcome->error = encrypt_status_message(status, jobs[i].source);
        return false;
      }
    }
  }
  // One key per call: the derivation runs once.
  TourKey seal_key;
  if (!request.decrypt) {
    std::string password = kObfuscationPassword;
    if (!request.obfuscate && !encrypt_password(request, true, &password, &outcome->error))
      return false;
    if (!tour_key_create(password, request.obfuscate ? CryptoMode::Obfuscation : CryptoMode::Password,
                         0, &seal_key)) {
      outcome->error = encrypt_message(kEncryptLibraryFailed, jobs[0].source);
      return false;
    }
  }
  std::string input;
  std::string output;
  for (size_t i = 0; i < jobs.size(); ++i) {
    if (skip[i]) continue;
    const EncryptJob& job = jobs[i];
    if (!read_whole_file(job.source, &input)) {
      outcome->error = encrypt_message(kEncryptCannotRead, job.source);
      return false;
    }
    if (request.decrypt) {
      CryptoHeader header;
      CryptoStatus status = crypto_read_header(input.data(), input.size(), &header);
      const TourKey* key = nullptr;
      if (status == CryptoStatus::Ok) status = key_ring_find(&ring, header, &key, &outcome->error);
      if (status == CryptoStatus::Ok)
        status = tour_open(context.get(), *key, job.path_in_tour, input.data(), input.size(), &output);
      if (status != CryptoStatus::Ok) {
        if (outcome->error.empty()) outcome->error = encrypt_status_message(status, job.source);
        return false;
      }
    } else if (!tour_seal(context.get(), seal_key, job.path_in_tour, input.data(), input.size(),
                          &output)) {
      outcome->error = encrypt_message(kEncryptLibraryFailed, job.source);
      return false;
    }
    if (!encrypt_write(job.target, output)) {
      outcome->error = encrypt_message(kEncryptCannotWrite, job.target);
      return false;
    }
    ++outcome->files_written;
  }
  return true;
}

int encrypt_run(int argc, char** argv, std::string* result) {
  EncryptRequest request;
  bool help = false;
  const OptionRow rows[] = {
      {"decrypt", OptionKind::Flag, &request.decrypt},
      {"obfuscate", OptionKind::Flag, &request.obfuscate},
      {"images", OptionKind::Flag, &request.images},
      {"o", OptionKind::Text, &request.output_folder},
      {"passwordfile", OptionKind::Text, &request.password_file},
      {"h", OptionKind::Flag, &help},
      {"help", OptionKind::Flag, &help},
  };
  const OptionWalk walk =
      walk_arguments({rows, sizeof(rows) / sizeof(rows[0]), nullptr, nullptr},
                     argc > 1 ? argv + 1 : argv, argc > 1 ? argc - 1 : 0);
  ConsoleOps* ops = result ? nullptr : console_ops();
  auto fail = [&](const std::string& message) {
    if (result) {
      *result = message;
    } else {
      ops->error(ops, message.c_str());
    }
    return 1;
  };
  if (walk.status != OptionStatus::Accepted)
    return fail(encrypt_message(kEncryptBadArgument, walk.refused));
  if (help) {
    if (ops) ops->print(ops, kEncryptUsage);
    return 0;
  }
  request.files = walk.positionals;
  if (request.files.empty()) {
    if (ops) ops->print(ops, kEncryptUsage);
    return fail(kEncryptNoFiles);
  }
  EncryptOutcome outcome;
  if (!encrypt_tour_files(request, &outcome)) return fail(outcome.error);
  if (ops) {
    const char* format = request.decrypt     ? kEncryptOpened
                         : request.obfuscate ? kEncryptSealedObfuscated
                                             : kEncryptSealedWithPassword;
    ops->print(ops, ops->format(ops, format, outcome.files_written).c_str());
  }
  return 0;
}

int encrypt_main(int argc, char** argv) {
  return encrypt_run(argc, argv, nullptr);
}
