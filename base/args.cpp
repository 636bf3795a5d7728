#include "base/args.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/text.h"

bool parse_bool(const std::string& text, bool default_value) {
  static const char* const kTrueWords[] = {"true", "yes", "ja", "1", "on"};
  static const char* const kFalseWords[] = {"false", "no", "nein", "none", "off", "0", "n"};
  std::string word = lowered_ascii(text);
  for (const char* w : kTrueWords) {
    if (word == w) return true;
  }
  for (const char* w : kFalseWords) {
    if (word == w) return false;
  }
  return default_value;
}

int parse_int(const std::string& text, int default_value, int minimum, int maximum) {
  int value = 0;
  if (sscanf(text.c_str(), "%d", &value) != 1) return default_value;
  if (value < minimum) value = minimum;
  if (value > maximum) value = maximum;
  return value;
}

void parse_size(const std::string& text, int* width, int* height, int default_width,
                int default_height) {
  if (text.find_first_of("xX") != std::string::npos) {
    int w = default_width;
    int h = default_height;
    sscanf(text.c_str(), "%d%*c%d", &w, &h);
    *width = w;
    *height = h;
    return;
  }
  int both = atoi(text.c_str());
  *width = both;
  *height = both;
}

double parse_float(const std::string& text, double default_value) {
  float value = static_cast<float>(default_value);
  sscanf(text.c_str(), "%f", &value);
  return value;
}

void parse_float_pair(const std::string& text, double* first, double* second, double default_first,
                      double default_second) {
  float a = static_cast<float>(default_first);
  float b = static_cast<float>(default_second);
  sscanf(text.c_str(), "%f%*c%f", &a, &b);
  *first = a;
  *second = b;
}

bool read_leading_int(const char* text, int* value, const char** end) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (*p < '0' || *p > '9') {
    *end = text;
    return false;
  }
  long long number = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (number <= INT_MAX) number = number * 10 + (*p - '0');
  }
  if (negative) number = -number;
  *value = static_cast<int>(number < INT_MIN ? INT_MIN : number > INT_MAX ? INT_MAX : number);
  *end = p;
  return true;
}

int leading_int(const std::string& text) {
  int value = 0;
  const char* end;
  read_leading_int(text.c_str(), &value, &end);
  return value;
}

bool is_negative_number(const std::string& word) {
  if (word.size() < 2 || word[0] != '-') return false;
  bool digit = false;
  int dots = 0;
  for (size_t i = 1; i < word.size(); ++i) {
    if (word[i] == '.') {
      ++dots;
    } else if (word[i] >= '0' && word[i] <= '9') {
      digit = true;
    } else {
      return false;
    }
  }
  return digit && dots <= 1;
}

bool is_option_word(const char* word) {
  return word && word[0] == '-' && !is_negative_number(word);
}

ParsedArgument parse_argument(const char* argument) {
  ParsedArgument parsed;
  parsed.raw = argument ? argument : "";
  parsed.lowered = lowered_ascii(parsed.raw);
  if (!is_option_word(parsed.raw.c_str())) return parsed;
  parsed.is_option = true;
  size_t equals = parsed.raw.find('=');
  if (equals == std::string::npos) {
    parsed.name = parsed.lowered.substr(1);
    return parsed;
  }
  parsed.has_value = true;
  parsed.name = parsed.lowered.substr(1, equals - 1);
  parsed.value = parsed.lowered.substr(equals + 1);
  parsed.raw_value = parsed.raw.substr(equals + 1);
  return parsed;
}

OptionRow option_call(const char* word, OptionValue value, OptionHandler handler, void* target) {
  OptionRow row = {word, OptionKind::Call, target};
  row.handler = handler;
  row.value = value;
  return row;
}

namespace {

// Whether the row takes the argument's form: "-name" or "-name=value".
bool value_form_fits(const OptionRow& row, bool has_value) {
  OptionValue value = row.value;
  if (value == OptionValue::ByKind) {
    value = row.kind == OptionKind::Flag || row.kind == OptionKind::FlagOff ? OptionValue::None
            : row.kind == OptionKind::Bool                                  ? OptionValue::Either
                                                                            : OptionValue::Required;
  }
  switch (value) {
    case OptionValue::None:
      return !has_value;
    case OptionValue::Required:
      return has_value;
    default:
      return true;
  }
}

OptionStatus apply_row(const OptionRow& row, const ParsedArgument& argument) {
  switch (row.kind) {
    case OptionKind::Flag:
      *static_cast<bool*>(row.target) = true;
      if (row.target2) *static_cast<bool*>(row.target2) = true;
      break;
    case OptionKind::FlagOff:
      *static_cast<bool*>(row.target) = false;
      break;
    case OptionKind::Bool: {
      bool* target = static_cast<bool*>(row.target);
      *target = argument.has_value ? parse_bool(argument.value, *target) : true;
      break;
    }
    case OptionKind::Int: {
      int* target = static_cast<int*>(row.target);
      *target = parse_int(argument.value, *target, row.minimum, row.maximum);
      break;
    }
    case OptionKind::IntInRange: {
      const int number = leading_int(argument.value);
      if (number < row.minimum || number > row.maximum) return OptionStatus::Refused;
      *static_cast<int*>(row.target) = number;
      break;
    }
    case OptionKind::Float: {
      double* target = static_cast<double*>(row.target);
      *target = parse_float(argument.value, *target);
      break;
    }
    case OptionKind::FloatPair: {
      double* a = static_cast<double*>(row.target);
      double* b = static_cast<double*>(row.target2);
      parse_float_pair(argument.value, a, b, *a, *b);
      break;
    }
    case OptionKind::Size: {
      int* w = static_cast<int*>(row.target);
      int* h = static_cast<int*>(row.target2);
      parse_size(argument.value, w, h, *w, *h);
      break;
    }
    case OptionKind::Word:
      *static_cast<std::string*>(row.target) = argument.value;
      break;
    case OptionKind::Text:
      *static_cast<std::string*>(row.target) = argument.raw_value;
      break;
    case OptionKind::Call:
      return row.handler(row.target, argument);
  }
  return OptionStatus::Accepted;
}

}  // namespace

OptionStatus apply_option(const ParsedArgument& argument, const OptionRow* rows, size_t row_count) {
  for (size_t i = 0; i < row_count; ++i) {
    const OptionRow& row = rows[i];
    if (argument.name != row.word) continue;
    if (!value_form_fits(row, argument.has_value)) return OptionStatus::Refused;
    return apply_row(row, argument);
  }
  return OptionStatus::Refused;
}

OptionWalk walk_arguments(const OptionTable& table, char* const* words, int count,
                          bool collect_unmatched) {
  OptionWalk walk;
  for (int i = 0; i < count; ++i) {
    const ParsedArgument argument = parse_argument(words[i]);
    OptionStatus status;
    if (!argument.is_option) {
      if (!table.positional) {
        walk.positionals.push_back(argument.raw);
        continue;
      }
      status = table.positional(table.positional_target, argument);
    } else {
      status = apply_option(argument, table.rows, table.row_count);
      if (status == OptionStatus::Refused && collect_unmatched) {
        walk.unmatched.push_back(argument);
        continue;
      }
    }
    if (status != OptionStatus::Accepted) {
      walk.status = status;
      if (status == OptionStatus::Refused) walk.refused = argument.raw;
      return walk;
    }
  }
  return walk;
}

OptionWalk walk_options(int argc, char** argv, const OptionRow* rows, size_t row_count) {
  OptionTable table;
  table.rows = rows;
  table.row_count = row_count;
  if (argc < 2) return OptionWalk();
  return walk_arguments(table, argv + 1, argc - 1, true);
}

namespace {

bool is_blank(char c) {
  return c >= 1 && c <= 32;
}

}  // namespace

std::vector<std::string> split_command_line(const char* text) {
  std::vector<std::string> words;
  if (!text) return words;
  const char* p = text;
  while (is_blank(*p)) ++p;
  do {
    std::string word;
    bool in_single = false;
    bool in_double = false;
    while (*p) {
      char c = *p;
      if (c == '\\' && p[1]) {
        word.push_back(p[1]);
        p += 2;
        continue;
      }
      if (c == '\\') {  // a trailing backslash escapes nothing
        ++p;
        continue;
      }
      if (in_single) {
        if (c == '\'')
          in_single = false;
        else
          word.push_back(c);
        ++p;
        continue;
      }
      if (c == '\'' && !in_double) {
        in_single = true;
      } else if (c == '"') {
        in_double = !in_double;
      } else if (is_blank(c) && !in_double) {
        break;
      } else {
        word.push_back(c);
      }
      ++p;
    }
    words.push_back(word);
    while (is_blank(*p)) ++p;
  } while (*p);
  return words;
}

char** split_command_line_array(const char* text, int* count) {
  *count = 0;
  if (!text) return nullptr;
  std::vector<std::string> words = split_command_line(text);
  char** array = static_cast<char**>(calloc(words.size() + 1, sizeof(char*)));
  if (!array) return nullptr;
  for (size_t i = 0; i < words.size(); ++i) {
    array[i] = strdup(words[i].c_str());
    if (!array[i]) {
      free_string_array(array);
      return nullptr;
    }
  }
  *count = static_cast<int>(words.size());
  return array;
}

void free_string_array(char** array) {
  if (!array) return;
  for (char** p = array; *p; ++p) free(*p);
  free(array);
}
