// Heap and mapped blocks of received messages.
#include "client_common/msg_block.h"

#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

namespace vx_msg {

namespace {

// A mapping one alignment unit larger than the block, so that an aligned
// start lies inside it; the pages before and after the block are never
// touched and cost no memory.
Block MapBlock(size_t length) {
  const size_t rounded = (length + MSG_MAP_ALIGN - 1) & ~static_cast<size_t>(MSG_MAP_ALIGN - 1);
  const size_t map_length = rounded + MSG_MAP_ALIGN;
  void *map = mmap(nullptr, map_length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (map == MAP_FAILED) return Block{nullptr, nullptr, 0, 0};
  auto *base = static_cast<unsigned char *>(map);
  const size_t misalignment = reinterpret_cast<uintptr_t>(base) % MSG_MAP_ALIGN;
  unsigned char *bytes = base + (misalignment == 0 ? 0 : MSG_MAP_ALIGN - misalignment);
  // Advice only: where huge pages are off the block keeps ordinary pages.
  (void)madvise(bytes, rounded, MADV_HUGEPAGE);
  return Block{bytes, map, map_length, length};
}

}  // namespace

Block AllocBlock(size_t length) {
  if (length >= MSG_MAP_THRESHOLD) return MapBlock(length);
  return Block{static_cast<unsigned char *>(malloc(length)), nullptr, 0, length};
}

void ReleaseBlock(const Block &block, size_t wipe) {
  if (block.bytes == nullptr) return;
  // explicit_bzero: a plain memset right before release may be optimised away.
  if (wipe > 0) explicit_bzero(block.bytes, wipe);
  if (block.map != nullptr) {
    munmap(block.map, block.map_length);
  } else {
    free(block.bytes);
  }
}

void DiscardBlock(const Block &block) {
  if (block.bytes == nullptr) return;
  const bool dropped = block.map != nullptr && madvise(block.map, block.map_length, MADV_DONTNEED) == 0;
  ReleaseBlock(block, dropped ? 0 : block.length);
}

}  // namespace vx_msg
