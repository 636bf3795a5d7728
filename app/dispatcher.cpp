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

int run_tool_row(const ToolRow& row, int argc, char** argv, ConsoleOps* ops) {
  if (row.with_console) return row.with_console(argc, argv, ops);
  if (row.plain) return row.plain(argc, argv);
  return row.standalone();
}

}  // namespace

void print_usage(const char* program_path) {
  std::string name = file_name_part(program_path ? program_path : "");
  ConsoleOps* ops = console_ops();
  ops->log(ops, kUsageFormat, name.c_str());
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
