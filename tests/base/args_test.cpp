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
