/* Growable byte buffer.
 *
 * A GrowBuffer is an append-only byte buffer owned by its user (usually on
 * the stack or inside a larger record). It owns one heap block, enlarges it
 * as bytes are appended, and finally hands the block over as a plain heap
 * string (GrowBufRelease, caller frees with free) or frees it (GrowBufFree,
 * optionally wiping the written bytes first).
 *
 * Growth rule (block sizes are observable and callers rely on them):
 *  - GrowBufPutmem of n bytes: no block yet -> first block of max(2n, size);
 *    room (end - cur) strictly greater than n -> copy in place; otherwise
 *    realloc to size + 2n.
 *  - GrowBufPutc: no block yet -> max(size, 2); room >= 2 -> store in place;
 *    otherwise realloc to size + 2.
 *  A block size that would not fit in 32 bits fails the append.
 * After every successful append at least one byte stays free past cur.
 *
 * Every operation accepts a null buffer pointer and then does nothing
 * (returning null where it returns a buffer). A failed append returns null
 * and leaves the buffer exactly as it was.
 */
#ifndef VX_UTIL_GROWBUF_H
#define VX_UTIL_GROWBUF_H

#include <stdint.h>

#include "util/vx_api.h"

VX_BEGIN_DECLS

/* Size of the first block when NewGrowBuffer is given 0. */
#define GROWBUF_DEFAULT_SIZE 512u

typedef struct GrowBuffer {
  char *start;   /* first byte of the held block; null while none is held */
  char *cur;     /* one past the last written byte; == start when empty */
  char *end;     /* one past the last byte of the held block */
  uint32_t size; /* size of the held block, or of the next first block */
} GrowBuffer;

/* Initialises an empty buffer whose first block will have `size` bytes
 * (GROWBUF_DEFAULT_SIZE when 0). Allocates nothing. */
VX_API void NewGrowBuffer(GrowBuffer *buf, uint32_t size);

/* Appends the low byte of `c`. Returns buf, or null on exhausted memory, on
 * a block size beyond 32 bits, or for a null buf, so that nested appends fail
 * together. */
VX_API GrowBuffer *GrowBufPutc(GrowBuffer *buf, int c);

/* Appends `length` bytes of `data`, which may point into buf's own block.
 * Null data appends nothing and returns buf; length 0 still allocates the
 * first block. Null (buffer unchanged) on exhausted memory or when the new
 * block size would not fit in 32 bits; null for a null buf. */
VX_API GrowBuffer *GrowBufPutmem(GrowBuffer *buf, uint32_t length, const void *data);

/* Appends the bytes of a NUL-terminated string without its terminator.
 * A null string leaves buf unchanged and returns it. Fails as GrowBufPutmem. */
VX_API GrowBuffer *GrowBufPuts(GrowBuffer *buf, const char *str);

/* Overwrites `length` already written bytes at `offset`; cur does not move,
 * and the block never moves. Null data does nothing and returns buf; null
 * when offset + length (no overflow) exceeds the written length, buf
 * otherwise. Null for a null buf. */
VX_API GrowBuffer *GrowBufSetmem(GrowBuffer *buf, uint32_t offset, uint32_t length, const void *data);

/* Removes the last written byte, if any. Returns buf (null for null). */
VX_API GrowBuffer *GrowBufUnputc(GrowBuffer *buf);

/* Written length in bytes; 0 for a null or empty buffer. */
VX_API uint32_t GrowBufSize(const GrowBuffer *buf);

/* First written byte (the buffer keeps ownership); null without a block. */
VX_API char *GrowBufPeek(const GrowBuffer *buf);

/* Frees the held block, zeroing the written bytes first when `wipe` is
 * non-zero, and re-initialises the buffer with the freed block's size, so it
 * is empty and usable again. Without a block it only re-initialises. */
VX_API void GrowBufFree(GrowBuffer *buf, int wipe);

/* Hands the block, shrunk to the written length, to the caller (free it with
 * free) and re-initialises the buffer with the block's last size. If
 * shrinking fails the unshrunk block is handed over. Null when no block is
 * held, or when nothing was written (that block is freed, never handed out).
 * The block holds a C string only if a NUL was appended before. */
VX_API char *GrowBufRelease(GrowBuffer *buf);

VX_END_DECLS

#endif
