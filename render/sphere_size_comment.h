// The image comment that records the size of the sphere cube faces were made from, so that the
// faces can be turned back into a panorama of the original size.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

// The comment written into every face or strip: sphere width, height and face size.
constexpr char kSphereSizeComment[] = "qorvel;spheretocube;spheresize=%dx%d;cubesize=%d;";

// What a comment says; all zero when it carries no sphere size.
struct SphereSizeComment {
  int32_t sphere_width = 0;
  int32_t sphere_height = 0;
  int32_t cube_size = 0;
};

// Reads a comment longer than 6 characters that begins with "qorvel": split at ";", after a
// token "spheretocube" a token "spheresize=WxH" and one "cubesize=N" are read. Returns true
// when width, height and face size all came out positive.
inline bool parse_sphere_size_comment(const std::string& comment, SphereSizeComment* out) {
  *out = SphereSizeComment();
  if (comment.size() <= 6 || comment.compare(0, 6, "qorvel") != 0) return false;
  bool after_marker = false;
  size_t start = 0;
  while (start <= comment.size()) {
    size_t end = comment.find(';', start);
    if (end == std::string::npos) end = comment.size();
    const std::string token = comment.substr(start, end - start);
    if (token == "spheretocube") {
      after_marker = true;
    } else if (after_marker && token.compare(0, 11, "spheresize=") == 0) {
      int width = 0;
      int height = 0;
      if (std::sscanf(token.c_str() + 11, "%d%*c%d", &width, &height) == 2) {
        out->sphere_width = width;
        out->sphere_height = height;
      }
    } else if (after_marker && token.compare(0, 9, "cubesize=") == 0) {
      int size = 0;
      if (std::sscanf(token.c_str() + 9, "%d", &size) == 1) out->cube_size = size;
    }
    start = end + 1;
  }
  return out->sphere_width > 0 && out->sphere_height > 0 && out->cube_size > 0;
}
