// The option grammar shared by every tool, the one option walker that applies a tool's table of
// rows to its arguments, and the value parsers used by tools and config files.
//
// A word is an option when it begins with "-" and is not a negative number ("-5", "-0.5"):
// "-name" or "-name=value", the name compared in lower case. Every other word is positional.
// This holds wherever a word stands, so "-8bit" in the place of a positional value is still an
// option, and "-5" there is still a value.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Value parsers: never fail; text that cannot be read yields the defaults.
bool parse_bool(const std::string& text, bool default_value);
int parse_int(const std::string& text, int default_value, int minimum, int maximum);
void parse_size(const std::string& text, int* width, int* height, int default_width,
                int default_height);
double parse_float(const std::string& text, double default_value);
void parse_float_pair(const std::string& text, double* first, double* second, double default_first,
                      double default_second);

// Reads an optional sign and decimal digits after leading blanks, saturated to the int range;
// false (value untouched, *end = text) when no digit follows. *end is set past what was read.
bool read_leading_int(const char* text, int* value, const char** end);
// The leading integer of text as read_leading_int reads it; 0 when there is none.
int leading_int(const std::string& text);

// "-" followed by digits with at most one "." ("-5", "-0.5"): a negative number, not an option.
bool is_negative_number(const std::string& word);
// Whether a command-line word is an option (see the top of this file).
bool is_option_word(const char* word);

// One command-line argument read by the option grammar: "-name" or "-name=value".
struct ParsedArgument {
  bool is_option = false;  // is_option_word
  bool has_value = false;  // an "=" follows the name
  std::string lowered;     // the whole argument, letters A-Z lower-cased
  std::string name;        // lower-cased option name (after the dash, before "=")
  std::string value;       // lower-cased value, for keyword values
  std::string raw_value;   // the value as typed, for file and folder names
  std::string raw;         // the argument as typed
};

ParsedArgument parse_argument(const char* argument);

// What applying one argument came to.
enum class OptionStatus {
  Accepted,  // applied
  Refused,   // no row has the name, the row takes no value or needs one, or the value is bad:
             // the tool prints its bad-argument message with the argument as typed
  Stopped,   // a handler printed its own message; the tool stops with a failure
};

// A handler of a Call row or of the positional words: target is the row's (or the table's)
// target, normally the tool's settings record.
using OptionHandler = OptionStatus (*)(void* target, const ParsedArgument& argument);

// What an option row writes into its target.
enum class OptionKind {
  Flag,        // sets a bool to true (and target2, when given, too)
  FlagOff,     // sets a bool to false
  Bool,        // parse_bool of the value into a bool (the flag without value sets true)
  Int,         // parse_int of the value, clamped to minimum … maximum, into an int
  IntInRange,  // leading_int of the value into an int; a value outside minimum … maximum is refused
  Float,       // parse_float of the value into a double
  FloatPair,  // parse_float_pair into two doubles (target and target2)
  Size,       // parse_size into two ints (target and target2)
  Word,       // the lower-cased value into a std::string
  Text,       // the value as typed into a std::string (file and folder names)
  Call,       // handler(target, argument) judges and applies the value itself
};

// Whether an option is written "-name" or "-name=value"; the other form is refused.
enum class OptionValue {
  ByKind,    // Flag and FlagOff: no value; Bool: either form; every other kind: a value
  None,      // "-name" only
  Required,  // "-name=value" only
  Either,    // both forms
};

// One row of a tool's option table.
struct OptionRow {
  const char* word;  // lower-case option name without the dash
  OptionKind kind;
  void* target;             // bool*, int*, double* or std::string* as the kind says; Call: any
  void* target2 = nullptr;  // second output of FloatPair and Size; second bool of Flag
  int minimum = 0;          // Int and IntInRange
  int maximum = 0;
  OptionHandler handler = nullptr;  // Call rows
  OptionValue value = OptionValue::ByKind;
};

// A Call row: the handler receives target and the parsed argument.
OptionRow option_call(const char* word, OptionValue value, OptionHandler handler, void* target);

// Applies one parsed option to the rows (the first row with its name).
OptionStatus apply_option(const ParsedArgument& argument, const OptionRow* rows, size_t row_count);

// A tool's option table: its rows (its own and any shared block, in one array) and the handler of
// the positional words.
struct OptionTable {
  const OptionRow* rows = nullptr;
  size_t row_count = 0;
  OptionHandler positional = nullptr;  // each positional word in order; null: collected
  void* positional_target = nullptr;
};

// Where a walk ended.
struct OptionWalk {
  OptionStatus status = OptionStatus::Accepted;  // Accepted: every word was taken
  std::string refused;                           // with Refused: the argument as typed
  std::vector<std::string> positionals;          // positional words as typed, without a handler
  std::vector<ParsedArgument> unmatched;         // refused options, when the walk collects them
};

// The one option walker: applies words[0 … count-1] in order, so an option that takes over
// settings (a config file) is overridden by the options after it. Stops at the first word that
// is refused or stopped, unless collect_unmatched: then refused options are collected and the
// walk goes on.
OptionWalk walk_arguments(const OptionTable& table, char* const* words, int count,
                          bool collect_unmatched = false);

// Walks argv[1 … argc-1], collecting positionals and unmatched options.
OptionWalk walk_options(int argc, char** argv, const OptionRow* rows, size_t row_count);

// Splits a command line into words: blanks (bytes 1-32) separate, a backslash makes the next
// character literal, single quotes and double quotes group. A null text gives no words.
std::vector<std::string> split_command_line(const char* text);

// The same words as a null-terminated array of separately allocated strings (count in *count);
// null for a null text. Free with free_string_array.
char** split_command_line_array(const char* text, int* count);
void free_string_array(char** array);
