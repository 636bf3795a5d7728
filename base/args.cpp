#include "base/args.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

void lower_ascii(std::string* text) {
  for (char& c : *text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
}

std::string lowered_ascii(std::string text) {
  lower_ascii(&text);
  return text;
}

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

ParsedArgument parse_argument(const char* argument) {
  ParsedArgument parsed;
  parsed.raw = argument ? argument : "";
  parsed.lowered = lowered_ascii(parsed.raw);
  if (parsed.raw.empty() || parsed.raw[0] != '-') return parsed;
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

bool apply_option(const ParsedArgument& argument, const OptionRow* rows, size_t row_count) {
  for (size_t i = 0; i < row_count; ++i) {
    const OptionRow& row = rows[i];
    if (argument.name != row.word) continue;
    switch (row.kind) {
      case OptionKind::Flag:
        if (argument.has_value) return false;
        *static_cast<bool*>(row.target) = true;
        return true;
      case OptionKind::Bool: {
        bool* target = static_cast<bool*>(row.target);
        *target = argument.has_value ? parse_bool(argument.value, *target) : true;
        return true;
      }
      case OptionKind::Int: {
        int* target = static_cast<int*>(row.target);
        *target = parse_int(argument.value, *target, row.minimum, row.maximum);
        return true;
      }
      case OptionKind::Float: {
        double* target = static_cast<double*>(row.target);
        *target = parse_float(argument.value, *target);
        return true;
      }
      case OptionKind::FloatPair: {
        double* a = static_cast<double*>(row.target);
        double* b = static_cast<double*>(row.target2);
        parse_float_pair(argument.value, a, b, *a, *b);
        return true;
      }
      case OptionKind::Size: {
        int* w = static_cast<int*>(row.target);
        int* h = static_cast<int*>(row.target2);
        parse_size(argument.value, w, h, *w, *h);
        return true;
      }
      case OptionKind::Word:
        *static_cast<std::string*>(row.target) = argument.value;
        return true;
      case OptionKind::Text:
        *static_cast<std::string*>(row.target) = argument.raw_value;
        return true;
    }
  }
  return false;
}

OptionWalk walk_options(int argc, char** argv, const OptionRow* rows, size_t row_count) {
  OptionWalk walk;
  for (int i = 1; i < argc; ++i) {
    ParsedArgument argument = parse_argument(argv[i]);
    if (!argument.is_option) {
      walk.positionals.push_back(argument.raw);
    } else if (!apply_option(argument, rows, row_count)) {
      walk.unmatched.push_back(argument);
    }
  }
  return walk;
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
