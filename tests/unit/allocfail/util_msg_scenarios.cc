// Buffers, strings and messages.
#include <stdlib.h>

#include <cstring>

#include "client_common/msg.h"
#include "client_common/msg_types.h"
#include "sweep.h"
#include "util/growbuf.h"
#include "util/safe_string.h"

namespace allocfail {
namespace {

constexpr uint32_t kHeader = 8;
constexpr int kPutcCount = 40;
constexpr uint32_t kNoMem = MSG_ERR_NOMEM;

// Appends single bytes, a long block, a string and the terminator, then
// releases the buffer as a string (a failed shrink there is survived: the
// unshrunk block is handed over); then copies a string.
void Buffer(Observation &o) {
  const Env &e = GetEnv();
  GrowBuffer b;
  NewGrowBuffer(&b, 4);
  bool ok = true;
  for (int i = 0; ok && i <= kPutcCount; ++i) {
    const GrowBuffer before = b;
    GrowBuffer *r = i < kPutcCount
                        ? GrowBufPutc(&b, 'a' + i % 26)
                        : GrowBufPutmem(&b, static_cast<uint32_t>(e.long_text.size()), e.long_text.data());
    if (r == nullptr) {
      ok = false;
      o.Check(memcmp(&before, &b, sizeof b) == 0, "GrowBufPut* changed the buffer when it failed (append %d)",
              i);
    }
  }
  if (ok) ok = GrowBufPuts(&b, "tail") != nullptr && GrowBufPutc(&b, '\0') != nullptr;
  if (!ok) {
    o.Result(0, kNull, {kNull}, "append failed");
    GrowBufFree(&b, 0);
  } else {
    char *s = GrowBufRelease(&b);
    const Digest d = DigestOf(s);
    o.Result(0, s != nullptr ? 0 : kNull, {}, "released %zu:%08x", d.length, d.hash);
    o.Check(b.start == nullptr && GrowBufSize(&b) == 0, "GrowBufRelease left a block held");
    free(s);
  }
  char *copy = SafeStrDup(e.long_text.c_str());
  o.Result(1, copy != nullptr ? 0 : kNull, {kNull}, "%zu", copy != nullptr ? strlen(copy) : 0);
  free(copy);
}

// Appends of a message after the first failure must give 205 (broken).
uint32_t Append(Observation &o, uint32_t status, bool *broken, const char *what) {
  if (*broken) {
    o.Check(status == MSG_ERR_INVALID, "%s after a failed append gave %u, not 205", what, status);
  } else if (status != MSG_OK) {
    o.Check(status == kNoMem, "%s gave %u on exhausted memory, not 200", what, status);
    *broken = true;
  }
  return status;
}

// Builds a request of every field kind the client writes, completes it,
// takes its bytes and dumps it.
void Build(Observation &o, uint32_t type) {
  const Env &e = GetEnv();
  uint32_t status = 0;
  Msg *m = NewMsg(type, GetMsgTypeTable(), kHeader, &status);
  o.Result(0, status, {kNoMem}, "new");
  if (!o.Check((m == nullptr) == (status != MSG_OK), "NewMsg: result and status %u disagree", status) ||
      m == nullptr)
    return;
  bool broken = false;
  Append(o, MsgAddBool(m, 7), &broken, "MsgAddBool");
  Append(o, MsgAddInt(m, -5), &broken, "MsgAddInt");
  Append(o, MsgAddUInt(m, 7), &broken, "MsgAddUInt");
  Append(o, MsgAddString(m, e.long_text.c_str()), &broken, "MsgAddString");
  Append(o, MsgAddString(m, nullptr), &broken, "MsgAddString(null)");
  Append(o, MsgAddString(m, ""), &broken, "MsgAddString(\"\")");
  Append(o, MsgComplete(m), &broken, "MsgComplete");
  uint32_t length = 0;
  const unsigned char *bytes = MsgGetBuffer(m, &length, &status);
  const Digest d = DigestOf(bytes, bytes != nullptr ? length : 0);
  o.Result(1, status, {MSG_ERR_INVALID}, "%zu:%08x", d.length, d.hash);
  o.Check(broken == (status != MSG_OK), "MsgGetBuffer gave %u, broken=%d", status, broken);
  char *dump = MsgDump(m);
  if (!broken) {
    const Digest dd = DigestOf(dump);
    o.Result(2, dump != nullptr ? 0 : kNull, {kNull}, "%zu:%08x", dd.length, dd.hash);
  }
  free(dump);
  MsgFree(m);
}

constexpr uint32_t kSetItems = 4;

// Reads the fields in order, stopping at the first failure.
void ReadFields(Observation &o, Msg *m) {
  uint32_t b = 0, u = 0;
  int32_t i = 0;
  char *s = nullptr;
  char **set = nullptr;
  uint32_t st = MsgGetBool(m, &b);
  o.Result(1, st, {kNoMem}, "%u", b);
  if (st == MSG_OK) o.Result(2, st = MsgGetInt(m, &i), {kNoMem}, "%d", i);
  if (st == MSG_OK) o.Result(3, st = MsgGetUInt(m, &u), {kNoMem}, "%u", u);
  if (st == MSG_OK) {
    st = MsgGetString(m, &s);
    o.Result(4, st, {kNoMem}, "%s", s != nullptr ? s : "(null)");
    o.Check(st == MSG_OK || s == nullptr, "MsgGetString failed with %u but gave a string", st);
    free(s);
  }
  if (st == MSG_OK) {
    s = reinterpret_cast<char *>(1);
    st = MsgGetString(m, &s);
    o.Result(5, st, {kNoMem}, "%s", s == nullptr ? "(null)" : "non-null");
  }
  if (st == MSG_OK) {
    st = MsgGetStringSet(m, &set);
    o.Result(6, st, {kNoMem}, "%s|%s|%s|%s|%s", set ? set[0] : "-", set && set[1] ? set[1] : "(null)",
             set ? set[2] : "-", set ? set[3] : "-", set && set[4] == nullptr ? "end" : "-");
    o.Check(st == MSG_OK || set == nullptr, "MsgGetStringSet failed with %u but gave a set", st);
    for (uint32_t k = 0; set != nullptr && k < kSetItems; ++k) free(set[k]);
    free(set);
  }
}

// Wraps a received block holding every field kind (copied, or owned from a
// malloc'd block), reads every kind the client reads, and dumps all nine.
void Receive(Observation &o, int copy) {
  const Env &e = GetEnv();
  const auto length = static_cast<uint32_t>(e.reply_block.size());
  void *block = const_cast<char *>(e.reply_block.data());
  if (!copy) {
    block = malloc(length);
    if (block == nullptr) {
      o.Result(0, kNull, {kNull}, "test block");
      return;
    }
    memcpy(block, e.reply_block.data(), length);
  }
  uint32_t status = 0;
  Msg *m = NewMsgFromBuffer(block, length, copy, GetMsgTypeTable(), kHeader, &status);
  o.Result(0, status, {kNoMem}, "wrapped");
  if (m == nullptr) {
    if (!copy) free(block);
    return;
  }
  ReadFields(o, m);
  char *dump = MsgDump(m);
  const Digest d = DigestOf(dump);
  o.Result(7, dump != nullptr ? 0 : kNull, {kNull}, "%zu:%08x", d.length, d.hash);
  free(dump);
  MsgFree(m);
}

}  // namespace

std::vector<Scenario> UtilMsgScenarios() {
  return {
      {"util_buffer_and_strdup", Buffer},
      {"msg_build_plain", [](Observation &o) { Build(o, MSGTYPE_CONTROL_LOG2); }},
      {"msg_build_sensitive", [](Observation &o) { Build(o, MSGTYPE_LIST_LOCAL_ACCT); }},
      {"msg_receive_copy_read_dump", [](Observation &o) { Receive(o, 1); }},
      // Its allocations are those of the copy, but a failure leaves the block the caller's.
      {"msg_receive_owned_read_dump", [](Observation &o) { Receive(o, 0); }},
  };
}

}  // namespace allocfail
