// The option grammar shared by every tool and the value parsers used by tools and config files.
#pragma once

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

// Lower-cases the letters A-Z in place; every other byte stays.
void lower_ascii(std::string* text);
std::string lowered_ascii(std::string text);

// One command-line argument read by the option grammar: "-name" or "-name=value".
struct ParsedArgument {
  bool is_option = false;  // begins with "-"
  bool has_value = false;  // an "=" follows the name
  std::string lowered;     // the whole argument, letters A-Z lower-cased
  std::string name;        // lower-cased option name (after the dash, before "=")
  std::string value;       // lower-cased value, for keyword values
  std::string raw_value;   // the value as typed, for file and folder names
  std::string raw;         // the argument as typed
};

ParsedArgument parse_argument(const char* argument);

// What an option row writes into its target.
enum class OptionKind {
  Flag,       // sets a bool to true; takes no value
  Bool,       // parse_bool of the value into a bool (the flag without value sets true)
  Int,        // parse_int of the value, clamped to minimum … maximum, into an int
  Float,      // parse_float of the value into a double
  FloatPair,  // parse_float_pair into two doubles (target and target2)
  Size,       // parse_size into two ints (target and target2)
  Word,       // the lower-cased value into a std::string
  Text,       // the value as typed into a std::string (file and folder names)
};

// One row of a tool's option table.
struct OptionRow {
  const char* word;  // lower-case option name without the dash
  OptionKind kind;
  void* target;             // bool*, int*, double* or std::string*, as the kind says
  void* target2 = nullptr;  // second output of FloatPair and Size
  int minimum = 0;
  int maximum = 0;
};

// Result of walking an argument vector.
struct OptionWalk {
  std::vector<std::string> positionals;   // non-option arguments in order, as typed
  std::vector<ParsedArgument> unmatched;  // options no row accepted, for the tool to judge
};

// Walks argv[1 … argc-1] once: options found in the table are stored in their targets, other
// options are collected as unmatched, everything else as positional.
OptionWalk walk_options(int argc, char** argv, const OptionRow* rows, size_t row_count);

// Applies one parsed option to the table; false when no row has its name.
bool apply_option(const ParsedArgument& argument, const OptionRow* rows, size_t row_count);

// Splits a command line into words: blanks (bytes 1-32) separate, a backslash makes the next
// character literal, single quotes and double quotes group. A null text gives no words.
std::vector<std::string> split_command_line(const char* text);

// The same words as a null-terminated array of separately allocated strings (count in *count);
// null for a null text. Free with free_string_array.
char** split_command_line_array(const char* text, int* count);
void free_string_array(char** array);
