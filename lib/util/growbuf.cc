// Growable byte buffer: one heap block, enlarged by the fixed growth rule of
// growbuf.h. Block sizes are computed in 64 bits and refused when they do not
// fit the 32-bit size field, so a huge append fails instead of wrapping into
// a small block.

#include "util/growbuf.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <cstdint>

namespace {

// Bytes a single-byte append needs free before it stores in place, and the
// amount a full block grows by for it.
constexpr uint32_t kPutcRoom = 2;

uint32_t Written(const GrowBuffer *buf) { return static_cast<uint32_t>(buf->cur - buf->start); }

uint32_t Room(const GrowBuffer *buf) { return static_cast<uint32_t>(buf->end - buf->cur); }

// Makes the held block `new_size` bytes (allocating the first one when none
// is held), keeping the written bytes and the write offset. On failure the
// buffer is untouched.
bool Resize(GrowBuffer *buf, uint64_t new_size) {
  if (new_size == 0 || new_size > UINT32_MAX) return false;
  const uint32_t used = buf->start != nullptr ? Written(buf) : 0;
  char *block = static_cast<char *>(realloc(buf->start, static_cast<size_t>(new_size)));
  if (block == nullptr) return false;
  buf->start = block;
  buf->cur = block + used;
  buf->end = block + new_size;
  buf->size = static_cast<uint32_t>(new_size);
  return true;
}

// Offset of `p` inside the held block, or -1 when it points elsewhere. Lets
// an append copy from the buffer's own bytes even when the block moves.
int64_t OffsetInBlock(const GrowBuffer *buf, const void *p) {
  const auto addr = reinterpret_cast<uintptr_t>(p);
  const auto first = reinterpret_cast<uintptr_t>(buf->start);
  const auto last = reinterpret_cast<uintptr_t>(buf->end);
  if (buf->start == nullptr || addr < first || addr >= last) return -1;
  return static_cast<int64_t>(addr - first);
}

void Reinit(GrowBuffer *buf) { NewGrowBuffer(buf, buf->size); }

}  // namespace

extern "C" {

void NewGrowBuffer(GrowBuffer *buf, uint32_t size) {
  if (buf == nullptr) return;
  buf->start = buf->cur = buf->end = nullptr;
  buf->size = size != 0 ? size : GROWBUF_DEFAULT_SIZE;
}

GrowBuffer *GrowBufPutc(GrowBuffer *buf, int c) {
  if (buf == nullptr) return nullptr;
  if (buf->start == nullptr) {
    if (!Resize(buf, std::max(buf->size, kPutcRoom))) return nullptr;
  } else if (Room(buf) < kPutcRoom) {
    if (!Resize(buf, uint64_t{buf->size} + kPutcRoom)) return nullptr;
  }
  *buf->cur++ = static_cast<char>(c);
  return buf;
}

GrowBuffer *GrowBufPutmem(GrowBuffer *buf, uint32_t length, const void *data) {
  if (buf == nullptr) return nullptr;
  if (data == nullptr) return buf;
  const uint64_t grow = uint64_t{length} * 2;
  const int64_t self_offset = OffsetInBlock(buf, data);
  if (buf->start == nullptr) {
    if (!Resize(buf, std::max(grow, uint64_t{buf->size}))) return nullptr;
  } else if (Room(buf) <= length) {
    if (!Resize(buf, uint64_t{buf->size} + grow)) return nullptr;
  }
  const void *src = self_offset >= 0 ? buf->start + self_offset : data;
  if (length != 0) memmove(buf->cur, src, length);
  buf->cur += length;
  return buf;
}

GrowBuffer *GrowBufPuts(GrowBuffer *buf, const char *str) {
  if (buf == nullptr || str == nullptr) return buf;
  const size_t len = strlen(str);
  if (len > UINT32_MAX) return nullptr;
  return GrowBufPutmem(buf, static_cast<uint32_t>(len), str);
}

GrowBuffer *GrowBufSetmem(GrowBuffer *buf, uint32_t offset, uint32_t length, const void *data) {
  if (buf == nullptr) return nullptr;
  if (data == nullptr) return buf;
  if (uint64_t{offset} + length > GrowBufSize(buf)) return nullptr;
  if (length != 0) memmove(buf->start + offset, data, length);
  return buf;
}

GrowBuffer *GrowBufUnputc(GrowBuffer *buf) {
  if (buf != nullptr && buf->cur != buf->start) --buf->cur;
  return buf;
}

uint32_t GrowBufSize(const GrowBuffer *buf) {
  if (buf == nullptr || buf->start == nullptr) return 0;
  return Written(buf);
}

char *GrowBufPeek(const GrowBuffer *buf) { return buf != nullptr ? buf->start : nullptr; }

void GrowBufFree(GrowBuffer *buf, int wipe) {
  if (buf == nullptr) return;
  if (buf->start != nullptr) {
    // explicit_bzero: the wipe must survive the optimiser even though the
    // block is freed right after.
    if (wipe != 0 && Written(buf) != 0) explicit_bzero(buf->start, Written(buf));
    free(buf->start);
  }
  Reinit(buf);
}

char *GrowBufRelease(GrowBuffer *buf) {
  if (buf == nullptr || buf->start == nullptr) return nullptr;
  const uint32_t used = Written(buf);
  char *block = buf->start;
  if (used == 0) {
    // An empty block is freed, never handed out.
    free(block);
    Reinit(buf);
    return nullptr;
  }
  if (char *shrunk = static_cast<char *>(realloc(block, used))) block = shrunk;
  Reinit(buf);
  return block;
}

}  // extern "C"
