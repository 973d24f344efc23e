/* Blocks of received messages: where the transport reads a reply into and
 * how the block is given back. Internal to the library, not exported.
 *
 * A reply of at least MSG_MAP_THRESHOLD bytes goes into an anonymous
 * mapping whose block starts on a 2 MiB boundary and is advised for
 * transparent huge pages: filling it then costs a few huge-page faults
 * instead of one fault per 4 KiB page. Where huge pages are off, or the
 * advice is refused, the same mapping works with ordinary pages. Smaller
 * replies stay on the heap. */
#ifndef VX_CLIENT_COMMON_MSG_BLOCK_H
#define VX_CLIENT_COMMON_MSG_BLOCK_H

#include <stddef.h>
#include <stdint.h>

#include "client_common/msg.h"

/* Smallest block that goes into a mapping. A huge-page fault costs about
 * as much as 60 faults of 4 KiB pages, so a mapping pays from about 256 KiB
 * on; from 1 MiB on, the unused end of its last huge page adds at most as
 * much resident memory as the reply itself. */
#define MSG_MAP_THRESHOLD (1u << 20)
/* Alignment of a mapped block: the size of a transparent huge page. */
#define MSG_MAP_ALIGN (2u << 20)

namespace vx_msg {

struct Block {
  unsigned char *bytes; /* null when the allocation failed */
  void *map;            /* the mapping around bytes, or null for a heap block */
  size_t map_length;
  size_t length; /* bytes asked of AllocBlock */
};

/* Progress of the validation of a received body (the bytes after the
 * header) whose bytes arrive in order: the transport checks each part as
 * it lands, while it is still in the cache and while the agent sends the
 * next one. Zero-initialised before the first part. */
struct BodyCheck {
  enum State : uint8_t { kType, kTag, kItems, kEnd, kInvalid };
  size_t done = 0;    /* bytes of the body checked */
  uint64_t items = 0; /* counted items left in the field being checked */
  uint8_t state = kType;
};

/* Checks the body bytes that have arrived, [check->done, ready), of a body
 * of `total` bytes, and stops before an element that has not wholly
 * arrived. False once the body is known to be invalid; the body is valid
 * when, with ready == total, the state is kEnd. The checks are those of
 * NewMsgFromBuffer (which runs this over the whole body at once). */
bool CheckBodyPart(BodyCheck *check, const unsigned char *body, size_t ready, size_t total);

/* A block of `length` bytes, from the heap or (from MSG_MAP_THRESHOLD on)
 * from a mapping; bytes is null when neither can be had. */
Block AllocBlock(size_t length);

/* Gives the block back the way it was obtained; `wipe` bytes from its start
 * are zeroed first. A block with null bytes is ignored. */
void ReleaseBlock(const Block &block, size_t wipe);

/* Gives back a block that no message took over (a reply that failed
 * validation or arrived only in part), wiped first whatever its type: its
 * bytes may be part of a sensitive reply. A heap block is zeroed; a mapping
 * has its pages dropped (MADV_DONTNEED, after which they read as zero)
 * rather than written, so that the pages a short reply never reached cost
 * nothing. A block with null bytes is ignored. */
void DiscardBlock(const Block &block);

/* NewMsgFromBuffer over a block from AllocBlock, without copy: on success
 * the message owns the block and releases it with ReleaseBlock; on failure
 * the block stays the caller's. `progress` (may be null: from the start) is
 * the check of the body so far; the rest is checked here. */
Msg *NewMsgFromBlock(const Block &block, uint32_t length, const MsgTypeTable *table, uint32_t header_size,
                     const BodyCheck *progress, uint32_t *status);

}  // namespace vx_msg

#endif
