#include "memory/big_buffer.h"

#include <sys/mman.h>

#include <utility>

namespace {

constexpr uintptr_t kHugePage = uintptr_t(2) << 20;

}  // namespace

BigBuffer::BigBuffer(size_t bytes) {
  if (bytes == 0) return;
  const size_t length = (bytes + kHugePage - 1) / kHugePage * kHugePage + kHugePage;
  void* region = mmap(nullptr, length, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (region == MAP_FAILED) return;
  mapping = region;
  mapped = length;
  const uintptr_t start = reinterpret_cast<uintptr_t>(region);
  data = reinterpret_cast<uint8_t*>((start + kHugePage - 1) & ~(kHugePage - 1));
  size = bytes;
  madvise(data, (bytes + kHugePage - 1) / kHugePage * kHugePage, MADV_HUGEPAGE);
}

BigBuffer::BigBuffer(BigBuffer&& other) noexcept
    : data(std::exchange(other.data, nullptr)),
      size(std::exchange(other.size, 0)),
      mapping(std::exchange(other.mapping, nullptr)),
      mapped(std::exchange(other.mapped, 0)) {}

BigBuffer& BigBuffer::operator=(BigBuffer&& other) noexcept {
  if (this != &other) {
    BigBuffer old(std::move(*this));
    data = std::exchange(other.data, nullptr);
    size = std::exchange(other.size, 0);
    mapping = std::exchange(other.mapping, nullptr);
    mapped = std::exchange(other.mapped, 0);
  }
  return *this;
}

BigBuffer::~BigBuffer() {
  if (mapping) munmap(mapping, mapped);
}
