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
};

/* A block of `length` bytes, from the heap or (from MSG_MAP_THRESHOLD on)
 * from a mapping; bytes is null when neither can be had. */
Block AllocBlock(size_t length);

/* Gives the block back the way it was obtained; `wipe` bytes from its start
 * are zeroed first. A block with null bytes is ignored. */
void ReleaseBlock(const Block &block, size_t wipe);

/* NewMsgFromBuffer over a block from AllocBlock, without copy: on success
 * the message owns the block and releases it with ReleaseBlock; on failure
 * the block stays the caller's. */
Msg *NewMsgFromBlock(const Block &block, uint32_t length, const MsgTypeTable *table, uint32_t header_size,
                     uint32_t *status);

}  // namespace vx_msg

#endif
