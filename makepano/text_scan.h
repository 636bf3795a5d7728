// Byte classes and small scans shared by the tour builder's config reader and name rules.
#pragma once

#include <cstddef>
#include <string>

// Blanks of config lines and names: every byte from 1 to 32.
inline bool is_blank_byte(char c) {
  return c >= 1 && c <= 32;
}

inline bool is_ascii_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The text without leading and trailing blanks.
std::string trim_blanks(const std::string& text);

// The rightmost occurrence of marker in text that no letter follows; npos when there is none.
size_t last_marker_before_non_letter(const std::string& text, const std::string& marker);
