#include "makepano/text_scan.h"

std::string trim_blanks(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && is_blank_byte(text[begin])) ++begin;
  while (end > begin && is_blank_byte(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

size_t last_marker_before_non_letter(const std::string& text, const std::string& marker) {
  if (marker.empty()) return std::string::npos;
  size_t at = text.rfind(marker);
  while (at != std::string::npos) {
    const size_t after = at + marker.size();
    if (after >= text.size() || !is_ascii_letter(text[after])) return at;
    if (at == 0) break;
    at = text.rfind(marker, at - 1);
  }
  return std::string::npos;
}
