// The process entry's tool selection: the table of tool words and the dispatch rules.
#pragma once

#include <cstddef>

struct ConsoleOps;

using ToolWithConsoleEntry = int (*)(int argc, char** argv, ConsoleOps* ops);
using ToolEntry = int (*)(int argc, char** argv);
using ToolStandaloneEntry = int (*)();

// What "help TOOL", "TOOL --help" and the manual pages say about one tool.
struct ToolHelp {
  const char* page;          // the word that names the page qorveltools-<page>(1)
  const char* summary;       // one line: what the tool does
  const char* description;   // paragraphs separated by empty lines
  const char* examples[5];   // null-terminated: "command line|what it does" pairs
  const char* usage_text;    // the syntax text of a tool that prints none without parameters;
                             // null: the tool prints its own when called without parameters
  void (*print_usage)(ConsoleOps* ops) = nullptr;  // a tool that prints its syntax on request
  const char* help_argument = nullptr;  // a tool that answers this word with its own full help
};

// One row of the tool table: the words that select a tool and its entry. Exactly one of the
// three entries is set, by what the tool receives.
struct ToolRow {
  const char* words[6];                         // null-terminated list of lower-case words
  ToolWithConsoleEntry with_console = nullptr;  // receives the shortened vector and ConsoleOps
  ToolEntry plain = nullptr;                    // receives the shortened vector
  ToolStandaloneEntry standalone = nullptr;     // reads what it needs itself
  const ToolHelp* help = nullptr;               // null: the tool has no help of its own
};

// The tool table of this executable (defined next to the process entry) and its row count.
const ToolRow* tool_table(size_t* row_count);

// The tool word as compared with the table: letters A-Z lower-cased, one leading "-" removed.
const char* normalize_tool_word(const char* word, char* buffer, size_t buffer_size);

// Finds the row for a normalised word, top to bottom and left to right; null when none.
const ToolRow* find_tool(const ToolRow* table, size_t rows, const char* normalized_word);

// Prints the usage text with the program file name taken from program_path.
void print_usage(const char* program_path);

// Prints the version line: the banner values without the empty line before them.
void print_version();

// Prints a tool's syntax text: its own (the entry called with the program path only), the text
// or the printer of its help. The tool's status does not matter here.
void print_tool_usage(const ToolRow& row, const char* program_path, ConsoleOps* ops);

// Whether a tool argument asks for the tool's syntax text: "--help", "-help" or "-h".
bool is_help_word(const char* word);

// Selects the tool named by argv[1] (normalised, looked up in table) and runs it with the
// shortened vector: the program path followed by the tool's own arguments. Without a tool word,
// or with one the table does not know, prints the banner and the usage and returns 0; otherwise
// returns the tool's exit status. Besides the tool words: "--version" prints the version line,
// "help TOOL" and "TOOL --help" print the tool's syntax text, each with status 0 ("help" with
// a word no tool has prints the banner and the usage and returns 1).
int dispatch_tool(int argc, char** argv, const ToolRow* table, size_t rows, ConsoleOps* ops);
