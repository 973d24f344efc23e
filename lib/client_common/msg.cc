// LRPC2 message objects: building, completion, validation of received
// blocks, field readers and release.
#include "client_common/msg.h"

#include <stdlib.h>
#include <string.h>

#include "client_common/msg_block.h"
#include "client_common/msg_impl.h"
#include "util/scope.h"
#include "util/status_text.h"

using vx_msg::ByteSpan;

namespace {

constexpr vx::StatusText kErrTexts[] = {
    {MSG_ERR_NOMEM, "Out of memory"},
    {MSG_ERR_UNEXPECTED, "Unexpected data"},
    {MSG_ERR_TYPE, "Incorrect data type"},
    {MSG_ERR_END, "At end of message"},
    {MSG_ERR_INCOMPLETE, "Message not completed"},
    {MSG_ERR_INVALID, "Message invalid"},
};

using vx::SetStatus;

uint8_t FlagsOf(const MsgTypeTable *table, uint32_t type) {
  uint8_t flags = 0;
  if (MsgTypeIsSensitive(table, type)) flags |= MSG_FLAG_WIPE;
  if (MsgTypeIsOneWay(table, type)) flags |= MSG_FLAG_ONEWAY;
  return flags;
}

bool IsComplete(const Msg *msg) { return msg != nullptr && (msg->state & MSG_COMPLETE) != 0; }

// ---- building ----

uint32_t CheckAppendable(const Msg *msg) {
  if (msg == nullptr || msg->state == MSG_BROKEN) return MSG_ERR_INVALID;
  if (!(msg->state & MSG_BUILDING)) return MSG_ERR_END;
  return MSG_OK;
}

// Gives a sensitive message room for `need` more bytes before a field is
// appended, so that no append of the field reallocates: realloc would free
// the old copy of the bytes without wiping it. The move goes through a new
// block and a wiping free instead. Other messages grow by realloc as usual.
bool ReserveForWipe(Msg *msg, size_t need) {
  GrowBuffer *buf = &msg->buf;
  if (!(msg->flags & MSG_FLAG_WIPE)) return true;
  if (buf->start != nullptr && static_cast<size_t>(buf->end - buf->cur) > need) return true;
  const uint64_t used = GrowBufSize(buf);
  uint64_t size = 2 * (used + need);
  if (size < GROWBUF_DEFAULT_SIZE) size = GROWBUF_DEFAULT_SIZE;
  if (size > UINT32_MAX) return false;
  GrowBuffer bigger;
  NewGrowBuffer(&bigger, static_cast<uint32_t>(size));
  if (GrowBufPutmem(&bigger, static_cast<uint32_t>(used), GrowBufPeek(buf)) == nullptr) return false;
  GrowBufFree(buf, 1);
  *buf = bigger;
  return true;
}

struct Piece {
  const void *data;
  size_t size;
};

// Appends a tag and its payload pieces; any failure poisons the message.
uint32_t AppendField(Msg *msg, uint8_t tag, const Piece *pieces, size_t count) {
  const uint32_t status = CheckAppendable(msg);
  if (status != MSG_OK) return status;
  size_t need = 1;
  for (size_t i = 0; i < count; ++i) need += pieces[i].size;
  bool ok = ReserveForWipe(msg, need) && GrowBufPutc(&msg->buf, tag) != nullptr;
  for (size_t i = 0; ok && i < count; ++i)
    ok = GrowBufPutmem(&msg->buf, static_cast<uint32_t>(pieces[i].size), pieces[i].data) != nullptr;
  if (ok) return MSG_OK;
  msg->state = MSG_BROKEN;
  return MSG_ERR_NOMEM;
}

uint32_t AppendFixed(Msg *msg, uint8_t tag, const void *value, size_t size) {
  const Piece piece = {value, size};
  return AppendField(msg, tag, &piece, 1);
}

// Takes the written bytes out of the buffer as a block of exactly their
// length. A sensitive message copies and wipes instead of shrinking with
// realloc, for the same reason as ReserveForWipe.
unsigned char *TakeBlock(Msg *msg) {
  if (!(msg->flags & MSG_FLAG_WIPE)) return reinterpret_cast<unsigned char *>(GrowBufRelease(&msg->buf));
  const uint32_t length = GrowBufSize(&msg->buf);
  auto *block = static_cast<unsigned char *>(malloc(length));
  if (block == nullptr) return nullptr;
  memcpy(block, GrowBufPeek(&msg->buf), length);
  GrowBufFree(&msg->buf, 1);
  return block;
}

void SetBlock(Msg *msg, unsigned char *block, size_t length) {
  msg->start = block;
  msg->end = block + length;
  msg->cur = block + msg->header_size + MSG_TYPE_SIZE;
  msg->state = MSG_COMPLETE;
}

// ---- validation ----

// Items are read in address order, each one's place known only from the
// length before it; asking for the bytes this far ahead keeps a long set
// streaming from memory instead of stalling on every item.
constexpr uintptr_t kPrefetchAhead = 512;

// A prefetch never faults, so the address may lie past the block; it is
// computed as an integer because a pointer may not point there.
inline void PrefetchAhead(const unsigned char *p) {
  const uintptr_t ahead = reinterpret_cast<uintptr_t>(p) + kPrefetchAhead;
  __builtin_prefetch(reinterpret_cast<const void *>(ahead));  // NOLINT(performance-no-int-to-ptr)
}

// Payload bytes that follow a tag before any counted item: a BOOL's byte,
// an INT's or UINT's value, a set's count; 0 for a single counted item.
// kNoTag for a tag that does not exist.
constexpr size_t kNoTag = SIZE_MAX;
size_t FixedPayload(uint8_t tag) {
  switch (tag) {
    case MDT_BOOL:
      return 1;
    case MDT_INT:
    case MDT_UINT:
    case MDT_STRINGSET:
    case MDT_KEYVALUES:
      return 4;
    case MDT_STRING:
    case MDT_PASSWORD:
    case MDT_BLOB:
      return 0;
    default:
      return kNoTag;
  }
}

// Counted items that follow a field's fixed payload at `p`.
uint64_t ItemsOf(uint8_t tag, const unsigned char *p) {
  uint32_t count = 0;
  if (tag == MDT_STRINGSET || tag == MDT_KEYVALUES) memcpy(&count, p, MSG_COUNT_SIZE);
  if (tag == MDT_STRINGSET) return count;
  if (tag == MDT_KEYVALUES) return 2ull * count;
  return tag == MDT_STRING || tag == MDT_PASSWORD || tag == MDT_BLOB ? 1 : 0;
}

using vx_msg::BodyCheck;

bool Invalid(BodyCheck *c) {
  c->state = BodyCheck::kInvalid;
  return false;
}

// Whether `need` bytes from `pos` lie within the body (else it is invalid)
// and have arrived (else the check waits at `pos`).
enum class Room { kThere, kLater, kNever };
Room RoomFor(size_t pos, size_t need, size_t ready, size_t total) {
  if (total - pos < need) return Room::kNever;
  return ready - pos < need ? Room::kLater : Room::kThere;
}

// Steps over the counted items left in the current field.
bool CheckItems(BodyCheck *c, const unsigned char *body, size_t ready, size_t total) {
  size_t pos = c->done;
  for (; c->items > 0; --c->items) {
    PrefetchAhead(body + pos);
    Room room = RoomFor(pos, MSG_COUNT_SIZE, ready, total);
    uint32_t length = 0;
    if (room == Room::kThere) {
      memcpy(&length, body + pos, MSG_COUNT_SIZE);
      room = RoomFor(pos, MSG_COUNT_SIZE + (length == NULL_LENGTH ? 0 : size_t{length}), ready, total);
    }
    if (room == Room::kNever) return Invalid(c);
    if (room == Room::kLater) break;
    pos += MSG_COUNT_SIZE + (length == NULL_LENGTH ? 0 : size_t{length});
  }
  c->done = pos;
  if (c->items == 0) c->state = BodyCheck::kTag;
  return true;
}

// Checks a field's tag and fixed payload.
bool CheckTag(BodyCheck *c, const unsigned char *body, size_t ready, size_t total) {
  const size_t pos = c->done;
  if (pos == total) return Invalid(c);  // no end mark
  if (pos == ready) return true;
  const uint8_t tag = body[pos];
  if (tag == MDT_END) {
    c->done = pos + 1;
    c->state = c->done == total ? BodyCheck::kEnd : BodyCheck::kInvalid;  // nothing may follow
    return c->state == BodyCheck::kEnd;
  }
  const size_t fixed = FixedPayload(tag);
  if (fixed == kNoTag) return Invalid(c);
  const Room room = RoomFor(pos, 1 + fixed, ready, total);
  if (room != Room::kThere) return room == Room::kLater || Invalid(c);
  c->items = ItemsOf(tag, body + pos + 1);
  c->done = pos + 1 + fixed;
  // Every item takes at least its length: a count the bytes cannot hold is
  // refused at once.
  if (c->items > (total - c->done) / MSG_COUNT_SIZE) return Invalid(c);
  c->state = c->items > 0 ? BodyCheck::kItems : BodyCheck::kTag;
  return true;
}

}  // namespace

bool vx_msg::CheckBodyPart(BodyCheck *c, const unsigned char *body, size_t ready, size_t total) {
  if (c->state == BodyCheck::kInvalid) return false;
  if (c->state == BodyCheck::kType) {
    if (total < MSG_TYPE_SIZE) return Invalid(c);
    if (ready < MSG_TYPE_SIZE) return true;
    c->done = MSG_TYPE_SIZE;
    c->state = BodyCheck::kTag;
  }
  for (;;) {
    const size_t before = c->done;
    const uint8_t state = c->state;
    bool ok = true;
    if (state == BodyCheck::kTag) ok = CheckTag(c, body, ready, total);
    if (state == BodyCheck::kItems) ok = CheckItems(c, body, ready, total);
    if (!ok) return false;
    if (c->state == BodyCheck::kEnd) return true;
    // No progress: the next element has not arrived yet.
    if (c->done == before && c->state == state) return true;
  }
}

namespace {

// One pass over a whole received body: known tags, complete payloads, an
// end mark and nothing after it.
bool ValidBody(ByteSpan span) {
  BodyCheck check{};
  return vx_msg::CheckBodyPart(&check, span.p, span.left, span.left) && check.state == BodyCheck::kEnd;
}

// ---- reading ----

ByteSpan Unread(const Msg *msg) { return ByteSpan{msg->cur, static_cast<size_t>(msg->end - msg->cur)}; }

// Steps past the tag of the next field when it is `want`; otherwise leaves
// the cursor where it is.
uint32_t EnterField(Msg *msg, uint8_t want) {
  if (!IsComplete(msg)) return MSG_ERR_INVALID;
  if (msg->cur >= msg->end) return MSG_ERR_END;
  const uint8_t tag = *msg->cur;
  if (tag != want) return tag == MDT_END ? MSG_ERR_END : MSG_ERR_TYPE;
  ++msg->cur;
  return MSG_OK;
}

uint32_t ReadFixed(Msg *msg, uint8_t tag, void *out, size_t size) {
  const uint32_t status = EnterField(msg, tag);
  if (status != MSG_OK) return status;
  if (Unread(msg).left < size) return MSG_ERR_END;
  if (out != nullptr) memcpy(out, msg->cur, size);
  msg->cur += size;
  return MSG_OK;
}

uint32_t ReadCount(Msg *msg, uint32_t *count) {
  ByteSpan span = Unread(msg);
  if (!span.U32(count)) return MSG_ERR_END;
  msg->cur += MSG_COUNT_SIZE;
  return MSG_OK;
}

// Reads one counted item at the cursor into a new NUL-terminated string
// (null for a null item); a null `out` only skips it.
uint32_t ReadItem(Msg *msg, char **out) {
  uint32_t length;
  const uint32_t status = ReadCount(msg, &length);
  if (status != MSG_OK) return status;
  if (out != nullptr) *out = nullptr;
  if (length == NULL_LENGTH) return MSG_OK;
  if (Unread(msg).left < length) return MSG_ERR_END;
  if (out != nullptr) {
    char *copy = static_cast<char *>(malloc(static_cast<size_t>(length) + 1));
    if (copy == nullptr) return MSG_ERR_NOMEM;
    memcpy(copy, msg->cur, length);
    copy[length] = '\0';
    *out = copy;
  }
  msg->cur += length;
  return MSG_OK;
}

// Steps over `count` counted items at the cursor, copying each into a new
// NUL-terminated string of `strings` (null for a null item) unless
// `strings` is null, and counts the items passed in *done. One pass with a
// local cursor: a bounds check per length and per payload, then malloc and
// memcpy. On failure the cursor is where ReadItem would leave it: past the
// length of the item that failed.
uint32_t WalkSetItems(Msg *msg, uint32_t count, char **strings, uint32_t *done) {
  unsigned char *p = msg->cur;
  const unsigned char *const end = msg->end;
  uint32_t status = MSG_OK;
  uint32_t i = 0;
  for (; i < count; ++i) {
    PrefetchAhead(p);
    if (static_cast<size_t>(end - p) < MSG_COUNT_SIZE) {
      status = MSG_ERR_END;
      break;
    }
    uint32_t length;
    memcpy(&length, p, MSG_COUNT_SIZE);
    p += MSG_COUNT_SIZE;
    if (length == NULL_LENGTH) {
      if (strings != nullptr) strings[i] = nullptr;
      continue;
    }
    if (static_cast<size_t>(end - p) < length) {
      status = MSG_ERR_END;
      break;
    }
    if (strings != nullptr) {
      char *copy = static_cast<char *>(malloc(static_cast<size_t>(length) + 1));
      if (copy == nullptr) {
        status = MSG_ERR_NOMEM;
        break;
      }
      memcpy(copy, p, length);
      copy[length] = '\0';
      strings[i] = copy;
    }
    p += length;
  }
  msg->cur = p;
  *done = i;
  return status;
}

// Enters a string-set field and reads its count; a count the remaining
// bytes cannot hold (every item takes at least its length) is refused here.
uint32_t EnterSet(Msg *msg, uint32_t *count) {
  uint32_t status = EnterField(msg, MDT_STRINGSET);
  if (status == MSG_OK) status = ReadCount(msg, count);
  if (status != MSG_OK) return status;
  if (*count == NULL_LENGTH) return MSG_ERR_INVALID;
  if (*count > Unread(msg).left / MSG_COUNT_SIZE) return MSG_ERR_END;
  return MSG_OK;
}

// Empties a reader whose next item runs past the end of the block.
uint32_t EndReader(MsgSetReader *reader) {
  reader->left = 0;
  return MSG_ERR_END;
}

void FreeStrings(char **strings, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) free(strings[i]);
  free(strings);
}

}  // namespace

// ---- creation and release ----

Msg *NewMsg(uint32_t type, const MsgTypeTable *table, uint32_t header_size, uint32_t *status) {
  if (table == nullptr || MsgTypeName(table, type) == nullptr || header_size > MSG_MAX_HEADER_SIZE) {
    SetStatus(status, MSG_ERR_INVALID);
    return nullptr;
  }
  Msg *msg = static_cast<Msg *>(calloc(1, sizeof(Msg)));
  if (msg == nullptr) {
    SetStatus(status, MSG_ERR_NOMEM);
    return nullptr;
  }
  msg->state = MSG_BUILDING;
  msg->table = table;
  msg->flags = FlagsOf(table, type);
  msg->header_size = header_size;
  // The first block holds the largest header and the type, so these
  // appends never move the block.
  NewGrowBuffer(&msg->buf, GROWBUF_DEFAULT_SIZE);
  bool ok = true;
  for (uint32_t i = 0; ok && i < header_size; ++i) ok = GrowBufPutc(&msg->buf, 0) != nullptr;
  const uint16_t type16 = static_cast<uint16_t>(type);
  ok = ok && GrowBufPutmem(&msg->buf, MSG_TYPE_SIZE, &type16) != nullptr;
  if (!ok) {
    MsgFree(msg);
    msg = nullptr;
  }
  SetStatus(status, ok ? MSG_OK : MSG_ERR_NOMEM);
  return msg;
}

uint32_t MsgComplete(Msg *msg) {
  const uint32_t status = AppendField(msg, MDT_END, nullptr, 0);
  if (status != MSG_OK) return status;
  const size_t length = GrowBufSize(&msg->buf);
  unsigned char *block = TakeBlock(msg);
  if (block == nullptr) {
    msg->state = MSG_BROKEN;
    return MSG_ERR_NOMEM;
  }
  SetBlock(msg, block, length);
  return MSG_OK;
}

namespace {

// The record of a received message, not yet over any block; null when it
// cannot be allocated.
Msg *NewRecord(const MsgTypeTable *table, uint32_t header_size) {
  Msg *msg = static_cast<Msg *>(calloc(1, sizeof(Msg)));
  if (msg == nullptr) return nullptr;
  msg->table = table;
  msg->header_size = header_size;
  return msg;
}

// Puts `msg` over `bytes` (validated by the caller), which it then owns.
void WrapBlock(Msg *msg, unsigned char *bytes, uint32_t length) {
  SetBlock(msg, bytes, length);
  uint16_t type;
  memcpy(&type, bytes + msg->header_size, MSG_TYPE_SIZE);
  msg->flags = FlagsOf(msg->table, type);
}

bool ValidBlock(const unsigned char *bytes, uint32_t length, uint32_t header_size) {
  return bytes != nullptr && length >= header_size &&
         ValidBody(ByteSpan{bytes + header_size, static_cast<size_t>(length - header_size)});
}

}  // namespace

// The record comes first: a copy of a sensitive block then never exists
// without a message whose release wipes it.
Msg *NewMsgFromBuffer(void *block, uint32_t length, int copy, const MsgTypeTable *table, uint32_t header_size,
                      uint32_t *status) {
  auto *bytes = static_cast<unsigned char *>(block);
  if (!ValidBlock(bytes, length, header_size)) {
    SetStatus(status, MSG_ERR_INVALID);
    return nullptr;
  }
  Msg *msg = NewRecord(table, header_size);
  if (msg != nullptr && copy) {
    bytes = static_cast<unsigned char *>(malloc(length));
    if (bytes != nullptr) memcpy(bytes, block, length);
  }
  if (msg == nullptr || bytes == nullptr) {
    free(msg);
    SetStatus(status, MSG_ERR_NOMEM);
    return nullptr;
  }
  WrapBlock(msg, bytes, length);
  SetStatus(status, MSG_OK);
  return msg;
}

Msg *vx_msg::NewMsgFromBlock(const Block &block, uint32_t length, const MsgTypeTable *table,
                             uint32_t header_size, const BodyCheck *progress, uint32_t *status) {
  BodyCheck check = progress != nullptr ? *progress : BodyCheck{};
  if (block.bytes == nullptr || length < header_size ||
      !CheckBodyPart(&check, block.bytes + header_size, length - header_size, length - header_size) ||
      check.state != BodyCheck::kEnd) {
    SetStatus(status, MSG_ERR_INVALID);
    return nullptr;
  }
  Msg *msg = NewRecord(table, header_size);
  SetStatus(status, msg != nullptr ? MSG_OK : MSG_ERR_NOMEM);
  if (msg == nullptr) return nullptr;
  WrapBlock(msg, block.bytes, length);
  msg->map = block.map;
  msg->map_length = block.map_length;
  return msg;
}

void MsgFree(Msg *msg) {
  if (msg == nullptr) return;
  const bool wipe = (msg->flags & MSG_FLAG_WIPE) != 0;
  if (msg->state & MSG_COMPLETE) {
    const size_t length = static_cast<size_t>(msg->end - msg->start);
    vx_msg::ReleaseBlock(vx_msg::Block{msg->start, msg->map, msg->map_length, length}, wipe ? length : 0);
  } else {
    GrowBufFree(&msg->buf, wipe ? 1 : 0);
  }
  msg->state = 0;
  if (wipe) explicit_bzero(msg, sizeof *msg);
  free(msg);
}

const char *MsgErr2Str(uint32_t status) { return vx::FindStatusText(kErrTexts, status); }

// ---- queries ----

uint32_t MsgGetType(const Msg *msg, uint32_t *type) {
  if (!IsComplete(msg)) return MSG_ERR_INVALID;
  uint16_t value;
  memcpy(&value, msg->start + msg->header_size, MSG_TYPE_SIZE);
  if (type != nullptr) *type = value;
  return MSG_OK;
}

uint32_t MsgIsOneWay(const Msg *msg, uint32_t *oneway) {
  if (!IsComplete(msg)) return MSG_ERR_INVALID;
  if (oneway != nullptr) *oneway = (msg->flags & MSG_FLAG_ONEWAY) ? 1 : 0;
  return MSG_OK;
}

unsigned char *MsgGetBuffer(const Msg *msg, uint32_t *length, uint32_t *status) {
  const bool building = msg != nullptr && msg->state != MSG_BROKEN && (msg->state & MSG_BUILDING) != 0;
  uint32_t result = MSG_OK;
  if (building) {
    result = MSG_ERR_INCOMPLETE;
  } else if (msg == nullptr || msg->state == MSG_BROKEN || !IsComplete(msg)) {
    result = MSG_ERR_INVALID;
  }
  SetStatus(status, result);
  if (length != nullptr) *length = result == MSG_OK ? static_cast<uint32_t>(msg->end - msg->start) : 0;
  return result == MSG_OK ? msg->start : nullptr;
}

// ---- appends ----

uint32_t MsgAddBool(Msg *msg, int value) {
  const uint8_t byte = value != 0 ? 1 : 0;
  return AppendFixed(msg, MDT_BOOL, &byte, sizeof byte);
}

uint32_t MsgAddInt(Msg *msg, int32_t value) { return AppendFixed(msg, MDT_INT, &value, sizeof value); }

uint32_t MsgAddUInt(Msg *msg, uint32_t value) { return AppendFixed(msg, MDT_UINT, &value, sizeof value); }

uint32_t MsgAddString(Msg *msg, const char *value) {
  const size_t length = value != nullptr ? strlen(value) : 0;
  if (length >= NULL_LENGTH) {
    // Cannot be counted in 32 bits (nor held by the buffer).
    const uint32_t status = CheckAppendable(msg);
    if (status != MSG_OK) return status;
    msg->state = MSG_BROKEN;
    return MSG_ERR_NOMEM;
  }
  const uint32_t count = value != nullptr ? static_cast<uint32_t>(length) : NULL_LENGTH;
  const Piece pieces[] = {{&count, sizeof count}, {value, length}};
  return AppendField(msg, MDT_STRING, pieces, value != nullptr ? 2 : 1);
}

// ---- reads ----

uint32_t MsgGetBool(Msg *msg, uint32_t *value) {
  uint8_t byte;
  const uint32_t status = ReadFixed(msg, MDT_BOOL, &byte, sizeof byte);
  if (status == MSG_OK && value != nullptr) *value = byte;
  return status;
}

uint32_t MsgGetInt(Msg *msg, int32_t *value) { return ReadFixed(msg, MDT_INT, value, sizeof *value); }

uint32_t MsgGetUInt(Msg *msg, uint32_t *value) { return ReadFixed(msg, MDT_UINT, value, sizeof *value); }

uint32_t MsgGetString(Msg *msg, char **value) {
  if (value != nullptr) *value = nullptr;
  const uint32_t status = EnterField(msg, MDT_STRING);
  return status != MSG_OK ? status : ReadItem(msg, value);
}

uint32_t MsgGetStringSet(Msg *msg, char ***value) {
  if (value != nullptr) *value = nullptr;
  uint32_t count;
  uint32_t status = EnterSet(msg, &count);
  if (status != MSG_OK) return status;
  uint32_t done = 0;
  if (value == nullptr) return WalkSetItems(msg, count, nullptr, &done);
  // Every slot is written below or the array is released, so no zeroing.
  auto **strings = static_cast<char **>(malloc((static_cast<size_t>(count) + 1) * sizeof(char *)));
  if (strings == nullptr) return MSG_ERR_NOMEM;
  status = WalkSetItems(msg, count, strings, &done);
  if (status != MSG_OK) {
    FreeStrings(strings, done);
    return status;
  }
  strings[count] = nullptr;
  *value = strings;
  return MSG_OK;
}

uint32_t MsgOpenStringSet(Msg *msg, MsgSetReader *reader, uint32_t *count) {
  if (reader != nullptr) *reader = MsgSetReader{};
  if (count != nullptr) *count = 0;
  uint32_t items;
  const uint32_t status = EnterSet(msg, &items);
  if (status != MSG_OK) return status;
  if (count != nullptr) *count = items;
  uint32_t done = 0;
  if (reader == nullptr) return WalkSetItems(msg, items, nullptr, &done);
  *reader = MsgSetReader{msg, items};
  return MSG_OK;
}

uint32_t MsgNextSetItem(MsgSetReader *reader, const char **item, uint32_t *length) {
  if (item != nullptr) *item = nullptr;
  if (length != nullptr) *length = 0;
  if (reader == nullptr || (reader->left > 0 && !IsComplete(reader->msg))) return MSG_ERR_INVALID;
  if (reader->left == 0) return MSG_ERR_END;
  Msg *msg = reader->msg;
  unsigned char *p = msg->cur;
  PrefetchAhead(p);
  uint32_t size;
  if (static_cast<size_t>(msg->end - p) < MSG_COUNT_SIZE) return EndReader(reader);
  memcpy(&size, p, MSG_COUNT_SIZE);
  p += MSG_COUNT_SIZE;
  msg->cur = p;
  if (size != NULL_LENGTH) {
    if (static_cast<size_t>(msg->end - p) < size) return EndReader(reader);
    if (item != nullptr) *item = reinterpret_cast<const char *>(p);
    if (length != nullptr) *length = size;
    msg->cur = p + size;
  }
  --reader->left;
  return MSG_OK;
}
