// Scratch memory of a MiB or more for rows that are written before they are read (the rows of a
// read pass, bands of rendered rows). It is a mapping of its own, aligned to 2 MiB and offered
// for huge pages, so its first writes fault memory in 2 MiB at a time instead of 4 KiB at a
// time; it is not cleared.
#pragma once

#include <cstddef>
#include <cstdint>

struct BigBuffer {
  uint8_t* data = nullptr;  // null when empty or when no memory could be had
  size_t size = 0;

  BigBuffer() = default;
  explicit BigBuffer(size_t bytes);
  BigBuffer(BigBuffer&& other) noexcept;
  BigBuffer& operator=(BigBuffer&& other) noexcept;
  BigBuffer(const BigBuffer&) = delete;
  BigBuffer& operator=(const BigBuffer&) = delete;
  ~BigBuffer();

 private:
  void* mapping = nullptr;  // what to unmap …
  size_t mapped = 0;        // … and its length
};
