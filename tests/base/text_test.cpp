#include "base/text.h"

#include <gtest/gtest.h>

TEST(Base64, EncodeWithPadding) {
  struct Case {
    const char* plain;
    const char* encoded;
  };
  const Case cases[] = {{"abc", "YWJj"},
                        {"ab", "YWI="},
                        {"a", "YQ=="},
                        {"", ""},
                        {"qorveltools", "cW9ydmVsdG9vbHM="}};
  for (const Case& c : cases) {
    std::string plain = c.plain;
    EXPECT_EQ(base64_encode(reinterpret_cast<const uint8_t*>(plain.data()), plain.size()),
              c.encoded);
    std::vector<uint8_t> decoded = base64_decode(c.encoded);
    EXPECT_EQ(std::string(decoded.begin(), decoded.end()), plain);
  }
}

TEST(Base64, DecodeSkipsForeignCharactersAndStopsAtZero) {
  std::vector<uint8_t> decoded = base64_decode("YW\nJj\r\n");
  EXPECT_EQ(std::string(decoded.begin(), decoded.end()), "abc");
  const char with_zero[] = "YWJj\0YWJj";
  decoded = base64_decode(with_zero);
  EXPECT_EQ(decoded.size(), 3u);
  uint8_t all[256];
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  std::string encoded = base64_encode(all, 256);
  EXPECT_EQ(base64_decode(encoded.c_str()), std::vector<uint8_t>(all, all + 256));
}

TEST(Text, QuotingAndUtf8) {
  EXPECT_EQ(quote_for_command_line("it's a\\b"), "'it\\'s a\\\\b'");
  std::string utf8 =
      "Stra\xC3\x9F"
      "e \xE2\x82\xAC";
  std::wstring wide = utf8_to_wide(utf8);
  EXPECT_EQ(wide, L"Stra\u00DFe \u20AC");
  EXPECT_EQ(wide_to_utf8(wide), utf8);
  EXPECT_TRUE(utf8_to_wide("bad \xC3").empty());
  EXPECT_EQ(utf8_to_console(utf8), utf8);
}
