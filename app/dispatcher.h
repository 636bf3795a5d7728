// The process entry's tool selection: the table of tool words and the dispatch rules.
#pragma once

#include <cstddef>

struct ConsoleOps;

using ToolWithConsoleEntry = int (*)(int argc, char** argv, ConsoleOps* ops);
using ToolEntry = int (*)(int argc, char** argv);
using ToolStandaloneEntry = int (*)();

// One row of the tool table: the words that select a tool and its entry. Exactly one of the
// three entries is set, by what the tool receives.
struct ToolRow {
  const char* words[6];                         // null-terminated list of lower-case words
  ToolWithConsoleEntry with_console = nullptr;  // receives the shortened vector and ConsoleOps
  ToolEntry plain = nullptr;                    // receives the shortened vector
  ToolStandaloneEntry standalone = nullptr;     // reads what it needs itself
};

// The tool table of this executable (defined next to the process entry) and its row count.
const ToolRow* tool_table(size_t* row_count);

// The tool word as compared with the table: letters A-Z lower-cased, one leading "-" removed.
const char* normalize_tool_word(const char* word, char* buffer, size_t buffer_size);

// Finds the row for a normalised word, top to bottom and left to right; null when none.
const ToolRow* find_tool(const ToolRow* table, size_t rows, const char* normalized_word);

// Prints the usage text with the program file name taken from program_path.
void print_usage(const char* program_path);

// Selects the tool named by argv[1] (normalised, looked up in table) and runs it with the
// shortened vector: the program path followed by the tool's own arguments. Without a tool word,
// or with one the table does not know, prints the banner and the usage and returns 0; otherwise
// returns the tool's exit status.
int dispatch_tool(int argc, char** argv, const ToolRow* table, size_t rows, ConsoleOps* ops);
