/* Inside of a Msg, shared by the message sources and their tests only.
 * Nothing here is exported. */
#ifndef VX_CLIENT_COMMON_MSG_IMPL_H
#define VX_CLIENT_COMMON_MSG_IMPL_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "client_common/msg.h"
#include "util/growbuf.h"

/* Bits of Msg::flags, copied from the type's table row. */
#define MSG_FLAG_WIPE 1u   /* zero every byte before it is freed */
#define MSG_FLAG_ONEWAY 2u /* a request of this type gets no reply */

/* Size of the type that follows the header. */
#define MSG_TYPE_SIZE 2u
/* Size of the length of a counted item and of a set's count. */
#define MSG_COUNT_SIZE 4u

struct Msg {
  uint32_t state; /* MsgState; 0 once released */
  const MsgTypeTable *table;
  uint8_t flags; /* MSG_FLAG_* */
  uint32_t header_size;
  GrowBuffer buf;       /* the bytes while building (or broken) */
  unsigned char *start; /* the whole block once complete */
  unsigned char *end;
  unsigned char *cur; /* next unread byte */
  /* An anonymous mapping that holds the complete block (a large received
   * reply), released with munmap; null when the block is a heap block. */
  void *map;
  size_t map_length;
};

namespace vx_msg {

/* Bounded forward reader over untrusted bytes. Every check compares against
 * the remaining length, so no length read from the data can overflow a
 * pointer. */
struct ByteSpan {
  const unsigned char *p;
  size_t left;

  bool Skip(size_t n) {
    if (left < n) return false;
    p += n;
    left -= n;
    return true;
  }
  bool U8(uint8_t *out) {
    if (left < 1) return false;
    *out = *p++;
    --left;
    return true;
  }
  bool U32(uint32_t *out) {
    if (left < MSG_COUNT_SIZE) return false;
    memcpy(out, p, MSG_COUNT_SIZE);
    p += MSG_COUNT_SIZE;
    left -= MSG_COUNT_SIZE;
    return true;
  }
};

/* The bytes after the header written so far (building) or in the block
 * (complete). An empty span when the message holds no more than its header. */
inline ByteSpan MsgBody(const Msg *msg) {
  const unsigned char *first = msg->start;
  size_t total = static_cast<size_t>(msg->end - msg->start);
  if (!(msg->state & MSG_COMPLETE)) {
    first = reinterpret_cast<const unsigned char *>(GrowBufPeek(&msg->buf));
    total = GrowBufSize(&msg->buf);
  }
  if (first == nullptr || total <= msg->header_size) return ByteSpan{nullptr, 0};
  return ByteSpan{first + msg->header_size, total - msg->header_size};
}

}  // namespace vx_msg

#endif
