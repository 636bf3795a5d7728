#include "base/args.h"

#include <gtest/gtest.h>

TEST(ValueParsers, BooleanWords) {
  struct Case {
    const char* text;
    bool fallback;
    bool expected;
  };
  const Case cases[] = {
      {"Yes", false, true},  {"ja", false, true},   {"ON", false, true}, {"1", false, true},
      {"NEIN", true, false}, {"none", true, false}, {"n", true, false},  {"0", true, false},
      {"maybe", true, true}, {"", false, false},    {"y", true, true},   {"truex", false, false},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_bool(c.text, c.fallback), c.expected) << c.text;
}

TEST(ValueParsers, IntegerClampsOnlyWhatWasRead) {
  EXPECT_EQ(parse_int("abc", 85, 0, 100), 85);
  EXPECT_EQ(parse_int("250", 85, 0, 100), 100);
  EXPECT_EQ(parse_int("-5", 85, 0, 100), 0);
  EXPECT_EQ(parse_int("  42px", 85, 0, 100), 42);
  EXPECT_EQ(parse_int("abc", 500, 0, 100), 500);  // the default is not clamped
}

TEST(ValueParsers, Sizes) {
  struct Case {
    const char* text;
    int width;
    int height;
  };
  const Case cases[] = {
      {"800x600", 800, 600}, {"800", 800, 800}, {"x600", 7, 9},
      {"1024X", 1024, 9},    {"64*32", 64, 64},  // no x: the whole text is one number
  };
  for (const Case& c : cases) {
    int w = 0, h = 0;
    parse_size(c.text, &w, &h, 7, 9);
    EXPECT_EQ(w, c.width) << c.text;
    EXPECT_EQ(h, c.height) << c.text;
  }
}

TEST(ValueParsers, FloatsAreSinglePrecision) {
  EXPECT_DOUBLE_EQ(parse_float("0.1", 0), static_cast<double>(0.1f));
  EXPECT_DOUBLE_EQ(parse_float("junk", 2.5), 2.5);
  double a = 0, b = 0;
  parse_float_pair("1.5,2.5", &a, &b, 0, 0);
  EXPECT_DOUBLE_EQ(a, 1.5);
  EXPECT_DOUBLE_EQ(b, 2.5);
  parse_float_pair("3", &a, &b, 7, 8);
  EXPECT_DOUBLE_EQ(a, 3);
  EXPECT_DOUBLE_EQ(b, 8);
}

TEST(OptionGrammar, NamesAreCaseInsensitiveAndFileValuesKeepCase) {
  bool quiet = false;
  int quality = 80;
  std::string output, compression;
  int width = 0, height = 0;
  const OptionRow rows[] = {
      {"q", OptionKind::Flag, &quiet},
      {"jpegquality", OptionKind::Int, &quality, nullptr, 1, 100},
      {"out", OptionKind::Text, &output},
      {"tiffcompress", OptionKind::Word, &compression},
      {"size", OptionKind::Size, &width, &height},
  };
  const char* args[] = {
      "prog",        "In.JPG",   "-Q", "-JpegQuality=250", "-OUT=My/Dir", "-tiffcompress=LZW",
      "-size=64x32", "-bogus=1", "--q"};
  OptionWalk walk = walk_options(9, const_cast<char**>(args), rows, std::size(rows));
  EXPECT_TRUE(quiet);
  EXPECT_EQ(quality, 100);
  EXPECT_EQ(output, "My/Dir");
  EXPECT_EQ(compression, "lzw");
  EXPECT_EQ(width, 64);
  EXPECT_EQ(height, 32);
  ASSERT_EQ(walk.positionals.size(), 1u);
  EXPECT_EQ(walk.positionals[0], "In.JPG");
  ASSERT_EQ(walk.unmatched.size(), 2u);
  EXPECT_EQ(walk.unmatched[0].raw, "-bogus=1");
  EXPECT_EQ(walk.unmatched[1].name, "-q");  // two dashes is another name
}

TEST(OptionGrammar, NegativeNumbersAreValuesNotOptions) {
  const struct {
    const char* word;
    bool option;
  } rows[] = {
      {"-5", false},   {"-0.5", false}, {"-.5", false}, {"-12.", false},  {"5", false},
      {"-8bit", true}, {"-", true},     {"--5", true},  {"-1.2.3", true}, {"-5x5", true},
      {"-q", true},    {"-.", true},    {"-e5", true},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(is_option_word(row.word), row.option) << row.word;
    EXPECT_EQ(parse_argument(row.word).is_option, row.option) << row.word;
  }
}

namespace {

// What the walker's table below writes.
struct WalkTarget {
  bool quiet = false;
  bool ipc = false;
  bool autolevel = true;
  int quality = 85;
  std::string optimize;
  std::vector<std::string> positionals;
};

// The target in one line: the quality, what was set, and the positionals in brackets.
std::string summary(const WalkTarget& t) {
  std::string text = std::to_string(t.quality);
  if (t.quiet) text += " quiet";
  if (t.ipc) text += " ipc";
  if (!t.autolevel) text += " noautolevel";
  if (!t.optimize.empty()) text += " optimize=" + t.optimize;
  for (const std::string& word : t.positionals) text += " [" + word + "]";
  return text;
}

// -config=#: takes over a setting where it stands; "missing" stops the walk (as a handler that
// printed its own message does).
OptionStatus take_config(void* target, const ParsedArgument& argument) {
  if (argument.value == "missing") return OptionStatus::Stopped;
  static_cast<WalkTarget*>(target)->quality = 50;
  return OptionStatus::Accepted;
}

// -optimize or -optimize=#: either form.
OptionStatus take_optimize(void* target, const ParsedArgument& argument) {
  static_cast<WalkTarget*>(target)->optimize = argument.has_value ? argument.raw_value : "on";
  return OptionStatus::Accepted;
}

// At most two positional words.
OptionStatus take_positional(void* target, const ParsedArgument& argument) {
  WalkTarget* t = static_cast<WalkTarget*>(target);
  if (t->positionals.size() == 2) return OptionStatus::Refused;
  t->positionals.push_back(argument.raw);
  return OptionStatus::Accepted;
}

}  // namespace

TEST(OptionWalker, RowsHandlersOrderAndPositionals) {
  using S = OptionStatus;
  const struct {
    std::vector<const char*> words;
    OptionStatus status;
    const char* refused;  // the refused word as typed
    const char* target;   // summary() afterwards
  } cases[] = {
      // Applied in order: a later option overrides what a config takes over, and back.
      {{"-config=a", "-quality=70"}, S::Accepted, "", "70"},
      {{"-quality=70", "-config=a"}, S::Accepted, "", "50"},
      // A range that refuses instead of clamping; the value form each row takes.
      {{"-quality=101"}, S::Refused, "-quality=101", "85"},
      {{"-Quality"}, S::Refused, "-Quality", "85"},
      {{"-q=1"}, S::Refused, "-q=1", "85"},
      {{"-optimize"}, S::Accepted, "", "85 optimize=on"},
      {{"-optimize=No"}, S::Accepted, "", "85 optimize=No"},
      // A flag with a second target, a flag that clears.
      {{"-IPC", "-noautolevel"}, S::Accepted, "", "85 quiet ipc noautolevel"},
      // The walk stops at the first refused or stopped word.
      {{"-bogus", "-q"}, S::Refused, "-bogus", "85"},
      {{"-config=missing", "-q"}, S::Stopped, "", "85"},
      // Negative numbers are positional wherever they stand; "-8bit" is an option.
      {{"in", "-5", "-8bit"}, S::Refused, "-8bit", "85 [in] [-5]"},
      {{"-q", "a", "b", "c"}, S::Refused, "c", "85 quiet [a] [b]"},
  };
  for (const auto& c : cases) {
    WalkTarget t;
    const OptionRow rows[] = {
        option_call("config", OptionValue::Required, take_config, &t),
        {"quality", OptionKind::IntInRange, &t.quality, nullptr, 0, 100},
        {"q", OptionKind::Flag, &t.quiet},
        {"ipc", OptionKind::Flag, &t.quiet, &t.ipc},
        {"noautolevel", OptionKind::FlagOff, &t.autolevel},
        option_call("optimize", OptionValue::Either, take_optimize, &t),
    };
    OptionTable table;
    table.rows = rows;
    table.row_count = std::size(rows);
    table.positional = take_positional;
    table.positional_target = &t;
    const OptionWalk walk = walk_arguments(table, const_cast<char* const*>(c.words.data()),
                                           static_cast<int>(c.words.size()));
    const std::string name = c.words[0];
    EXPECT_EQ(walk.status, c.status) << name;
    EXPECT_EQ(walk.refused, c.refused) << name;
    EXPECT_EQ(summary(t), c.target) << name;
  }
}

TEST(CommandLineSplitting, QuotesEscapesAndBlanks) {
  struct Case {
    const char* text;
    std::vector<std::string> words;
  };
  const Case cases[] = {
      {"a b", {"a", "b"}},  {"'a b'", {"a b"}},
      {"\"a b\"", {"a b"}}, {"a\\ b", {"a b"}},
      {"", {""}},           {"  \t ", {""}},
      {"  x  ", {"x"}},     {"-in='C:\\\\dir' \"it's\"", {"-in=C:\\dir", "it's"}},
      {"a\\", {"a"}},
  };
  for (const Case& c : cases) EXPECT_EQ(split_command_line(c.text), c.words) << c.text;
  EXPECT_TRUE(split_command_line(nullptr).empty());
}

TEST(CommandLineSplitting, ArrayFormIsNullTerminated) {
  int count = -1;
  char** words = split_command_line_array("one 'two three'", &count);
  ASSERT_NE(words, nullptr);
  EXPECT_EQ(count, 2);
  EXPECT_STREQ(words[1], "two three");
  EXPECT_EQ(words[2], nullptr);
  free_string_array(words);
  EXPECT_EQ(split_command_line_array(nullptr, &count), nullptr);
  EXPECT_EQ(count, 0);
}
