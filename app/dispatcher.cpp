#include "app/dispatcher.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/banner.h"
#include "base/console.h"
#include "base/paths.h"
#include "base/text.h"

namespace {

const char kUsageFormat[] =
    "\n"
    "Syntax: %s [TOOL] [TOOLPARAMETERS]\n"
    "\n"
    " TOOL:\n"
    "   makepano    - make a template-based multi-resolution pano/tour\n"
    "   maketiles   - make or merge tiles\n"
    "   makepreview - make a smooth panoramic preview image\n"
    "   sphere2cube - convert a spherical to a cubical pano image\n"
    "   cube2sphere - convert a cubical to a spherical pano image\n"
    "   encrypt     - encrypt files\n"
    "\n"
    " TOOLPARAMETERS:\n"
    "   call \"qorveltools tool\" to see the parameters available for this tool\n"
    "\n"
    "\n";

const char kVersionFormat[] = "%s %s%s%s (build %s)\n";
const char kUnknownHelpTopic[] = "ERROR: no tool is called %s\n";
const char kVersionWord[] = "--version";
const char kHelpWord[] = "help";

int run_tool_row(const ToolRow& row, int argc, char** argv, ConsoleOps* ops) {
  if (row.with_console) return row.with_console(argc, argv, ops);
  if (row.plain) return row.plain(argc, argv);
  return row.standalone();
}

std::string lowered_word(const char* word) {
  return lowered_ascii(std::string(word ? word : ""));
}

const ToolRow* find_tool_by_word(const ToolRow* table, size_t rows, const char* word) {
  std::vector<char> buffer(strlen(word) + 1);
  return find_tool(table, rows, normalize_tool_word(word, buffer.data(), buffer.size()));
}

}  // namespace

void print_usage(const char* program_path) {
  std::string name = file_name_part(program_path ? program_path : "");
  ConsoleOps* ops = console_ops();
  ops->log(ops, kUsageFormat, name.c_str());
}

void print_version() {
  ConsoleOps* ops = console_ops();
  ops->log(ops, kVersionFormat, kProductName, kProductVersion, kPlatformSuffix, kEditionSuffix,
           kBuildDate);
}

bool is_help_word(const char* word) {
  const std::string lowered = lowered_word(word);
  return lowered == "--help" || lowered == "-help" || lowered == "-h";
}

void print_tool_usage(const ToolRow& row, const char* program_path, ConsoleOps* ops) {
  ConsoleOps* console = console_ops();
  if (row.help && row.help->help_argument) {
    char* help_call[] = {const_cast<char*>(program_path ? program_path : ""),
                         const_cast<char*>(row.help->help_argument), nullptr};
    run_tool_row(row, 2, help_call, ops);
  } else if (row.help && row.help->print_usage) {
    row.help->print_usage(console);
  } else if (row.help && row.help->usage_text) {
    console->log(console, "%s", row.help->usage_text);
  } else if (!row.standalone) {
    // Every tool prints its own syntax text when called without parameters.
    char* only_path[] = {const_cast<char*>(program_path ? program_path : ""), nullptr};
    run_tool_row(row, 1, only_path, ops);
  }
  fflush(stdout);
}

const char* normalize_tool_word(const char* word, char* buffer, size_t buffer_size) {
  if (buffer_size == 0) return buffer;
  snprintf(buffer, buffer_size, "%s", word ? word : "");
  for (char* p = buffer; *p; ++p) *p = lowered_ascii(*p);
  return buffer[0] == '-' ? buffer + 1 : buffer;
}

const ToolRow* find_tool(const ToolRow* table, size_t rows, const char* normalized_word) {
  for (size_t i = 0; i < rows; ++i) {
    for (const char* const* w = table[i].words; *w; ++w) {
      if (strcmp(*w, normalized_word) == 0) return &table[i];
    }
  }
  return nullptr;
}

int dispatch_tool(int argc, char** argv, const ToolRow* table, size_t rows, ConsoleOps* ops) {
  const char* path = argc > 0 && argv ? argv[0] : nullptr;
  if (argc < 2) {
    print_banner(console_ops(), kProductName);
    print_usage(path);
    return 0;
  }
  // The tool sees the program path followed by its own arguments.
  std::vector<char*> shortened;
  shortened.push_back(argv[0]);
  for (int i = 2; i < argc; ++i) shortened.push_back(argv[i]);
  shortened.push_back(nullptr);

  std::vector<char> word_buffer(strlen(argv[1]) + 1);
  const char* word = normalize_tool_word(argv[1], word_buffer.data(), word_buffer.size());
  const ToolRow* row = find_tool(table, rows, word);
  if (!row && argc == 2 && lowered_word(argv[1]) == kVersionWord) {
    print_version();
    return 0;
  }
  if (!row && lowered_word(argv[1]) == kHelpWord && argc >= 3) {
    const ToolRow* topic = find_tool_by_word(table, rows, argv[2]);
    if (topic) {
      print_tool_usage(*topic, path, ops);
      return 0;
    }
    console_ops()->log(console_ops(), kUnknownHelpTopic, argv[2]);
    print_banner(console_ops(), kProductName);
    print_usage(path);
    return 1;
  }
  if (row && argc == 3 && is_help_word(argv[2])) {
    print_tool_usage(*row, path, ops);
    return 0;
  }
  if (!row) {
    print_banner(console_ops(), kProductName);
    print_usage(path);
    return 0;
  }
  // Text printed outside the console record (render, imageio) may still be buffered.
  int status = run_tool_row(*row, argc - 1, shortened.data(), ops);
  fflush(stdout);
  return status;
}
