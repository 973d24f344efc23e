// Buffers, strings, messages, and the session transport against the test
// agent.
#include <stdlib.h>

#include <cstring>
#include <string_view>

#include "client_common/lrpc2.h"
#include "client_common/msg.h"
#include "client_common/msg_impl.h"
#include "client_common/msg_types.h"
#include "sweep.h"
#include "util/growbuf.h"
#include "util/safe_string.h"

namespace sweep {
namespace {

constexpr uint32_t kHeader = 8;
constexpr int kPutcCount = 40;
constexpr uint32_t kNoMem = MSG_ERR_NOMEM;

// Appends single bytes, a long block, a string and the terminator, then
// releases the buffer as a string (a failed shrink there is survived: the
// unshrunk block is handed over); then copies a string.
void Buffer(Obs &o) {
  const Env &e = GetEnv();
  GrowBuffer b;
  NewGrowBuffer(&b, 4);
  bool ok = true;
  for (int i = 0; ok && i <= kPutcCount; ++i) {
    const GrowBuffer before = b;
    ok = (i < kPutcCount
              ? GrowBufPutc(&b, 'a' + i % 26)
              : GrowBufPutmem(&b, static_cast<uint32_t>(e.long_text.size()), e.long_text.data())) != nullptr;
    o.Check(ok || memcmp(&before, &b, sizeof b) == 0, "GrowBufPut* changed the buffer when it failed (%d)",
            i);
  }
  if (ok) ok = GrowBufPuts(&b, "tail") != nullptr && GrowBufPutc(&b, '\0') != nullptr;
  char *s = ok ? GrowBufRelease(&b) : nullptr;
  o.Step(0, ok ? 0 : kNull, {kNull}, "released %s", Hash(s).text);
  o.Check(!ok || (s != nullptr && b.start == nullptr && GrowBufSize(&b) == 0),
          "GrowBufRelease gave null or left a block held");
  if (!ok) GrowBufFree(&b, 0);
  free(s);
  char *copy = SafeStrDup(e.long_text.c_str());
  o.Step(1, copy != nullptr ? 0 : kNull, {kNull}, "%zu", copy != nullptr ? strlen(copy) : 0);
  free(copy);
}

// Builds a request of every field kind the client writes, completes it,
// takes its bytes and dumps it. Appends after the first failure must give
// 205 (broken) without allocating.
void Build(Obs &o, uint32_t type) {
  uint32_t status = 0;
  Msg *m = NewMsg(type, GetMsgTypeTable(), kHeader, &status);
  o.Step(0, status, {kNoMem}, "new");
  if (!o.Check((m == nullptr) == (status != MSG_OK), "NewMsg: result and status %u disagree", status) ||
      m == nullptr)
    return;
  bool broken = false;
  for (uint32_t st :
       {MsgAddBool(m, 7), MsgAddInt(m, -5), MsgAddUInt(m, 7), MsgAddString(m, GetEnv().long_text.c_str()),
        MsgAddString(m, nullptr), MsgAddString(m, ""), MsgComplete(m)}) {
    o.Check(st == (broken ? MSG_ERR_INVALID : MSG_OK) || (!broken && st == kNoMem), "append %u after %s", st,
            broken ? "a failed one, not 205" : "success, not 200");
    broken = broken || st != MSG_OK;
  }
  uint32_t length = 0;
  const unsigned char *bytes = MsgGetBuffer(m, &length, &status);
  o.Step(1, status, {MSG_ERR_INVALID}, "%s", Hash(bytes, bytes != nullptr ? length : 0).text);
  o.Check(broken == (status != MSG_OK), "MsgGetBuffer gave %u, broken=%d", status, broken);
  char *dump = MsgDump(m);
  if (!broken) o.Step(2, dump != nullptr ? 0 : kNull, {kNull}, "%s", Hash(dump).text);
  free(dump);
  MsgFree(m);
}

// Wraps a received block holding every field kind (copied, or owned from a
// malloc'd block), reads every kind the client reads in order, stopping at
// the first failure, and dumps all nine.
void Receive(Obs &o, int copy) {
  const Env &e = GetEnv();
  const auto length = static_cast<uint32_t>(e.reply_block.size());
  void *block = copy ? const_cast<char *>(e.reply_block.data()) : malloc(length);
  if (block == nullptr) return o.Step(0, kNull, {kNull}, "test block");
  if (!copy) memcpy(block, e.reply_block.data(), length);
  uint32_t status = 0, b = 0, u = 0;
  Msg *m = NewMsgFromBuffer(block, length, copy, GetMsgTypeTable(), kHeader, &status);
  o.Step(0, status, {kNoMem}, "wrapped");
  if (m == nullptr) {
    if (!copy) free(block);  // a failure leaves the block the caller's
    return;
  }
  int32_t i = 0;
  uint32_t st = MsgGetBool(m, &b);
  o.Step(1, st, {kNoMem}, "%u", b);
  if (st == MSG_OK) o.Step(2, st = MsgGetInt(m, &i), {kNoMem}, "%d", i);
  if (st == MSG_OK) o.Step(3, st = MsgGetUInt(m, &u), {kNoMem}, "%u", u);
  for (int k = 0; k < 2 && st == MSG_OK; ++k) {  // "abc", then a null string
    char *s = reinterpret_cast<char *>(1);
    st = MsgGetString(m, &s);
    if (!o.Check(st == MSG_OK || s == nullptr, "MsgGetString failed with %u but gave a string", st))
      s = nullptr;
    o.Step(4 + k, st, {kNoMem}, "%s", s == nullptr ? "(null)" : s);
    free(s);
  }
  if (st == MSG_OK) {
    char **set = nullptr;
    st = MsgGetStringSet(m, &set);
    o.Step(6, st, {kNoMem}, "%s|%s|%s|%s|%s", set ? set[0] : "-", set && set[1] ? set[1] : "(null)",
           set ? set[2] : "-", set ? set[3] : "-", set && set[4] == nullptr ? "end" : "-");
    o.Check(st == MSG_OK || set == nullptr, "MsgGetStringSet failed with %u but gave a set", st);
    for (int k = 0; set != nullptr && k < 4; ++k) free(set[k]);
    free(set);
  }
  char *dump = MsgDump(m);
  o.Step(7, dump != nullptr ? 0 : kNull, {kNull}, "%s", Hash(dump).text);
  free(dump);
  MsgFree(m);
}

// A memory failure in a transaction is 407; one while wrapping the reply
// is reported like any reply that cannot be wrapped, 405.
constexpr Statuses kTransactNoMem = {LRPC_ERR_NOMEM, LRPC_ERR_SOCKET};

// Builds a request of `type` with one string field; null (after recording
// the failure) when that fails. The status is the first failure: appends
// after a failed one (or to no message) fail without allocating.
Msg *Request(Obs &o, int step, uint32_t type) {
  uint32_t status = 0;
  Msg *m = NewMsg(type, GetMsgTypeTable(), LRPC_HEADER_SIZE, &status);
  for (uint32_t st : {MsgAddString(m, "root"), MsgComplete(m)}) status = status != MSG_OK ? status : st;
  o.Step(step, status, {kNoMem}, "request %u", type);
  if (status == MSG_OK) return m;
  MsgFree(m);
  return nullptr;
}

// A session to the agent (step 0), or null.
LRPC2Session *Open(Obs &o) {
  uint32_t status = 0;
  LRPC2Session *s = LRPC2Open(GetEnv().agent.path().c_str(), GetMsgTypeTable(), kTimeout, kTimeout, &status);
  o.Step(0, status, {LRPC_ERR_NOMEM}, "open");
  o.Check((s == nullptr) == (status != LRPC_OK), "LRPC2Open: session and status %u disagree", status);
  return s;
}

// Opens a session, makes exchanges of `types` (a one-way request has no
// reply), reads the replies in place and closes it. After a failed exchange
// the session is not used again (the stream is at an undefined position).
void Session(Obs &o, std::initializer_list<uint32_t> types) {
  LRPC2Session *s = Open(o);
  uint32_t status = LRPC_OK;
  int step = 1;
  for (auto type = types.begin(); s != nullptr && status == LRPC_OK && type != types.end();
       ++type, step += 3) {
    Msg *request = Request(o, step, *type);
    if (request == nullptr) continue;
    uint32_t got = 0, b = 0, count = 0, length = 0;
    Msg *reply = LRPC2Transact(s, request, kTimeout, &status);
    MsgGetType(reply, &got);
    o.Step(step + 1, status, kTransactNoMem, "reply type %u", got);
    o.Check((reply == nullptr) == (status != LRPC_OK || *type == MSGTYPE_AUDIT_TRAIL_EVENT),
            "LRPC2Transact: reply %p with status %u", static_cast<void *>(reply), status);
    if (reply != nullptr) {  // nothing here allocates
      int32_t i = 0;
      size_t total = 0, hash = 0;
      MsgSetReader reader;
      const char *item = nullptr;
      uint32_t st = MsgGetInt(reply, &i);
      if (st == MSG_OK && *type == MSGTYPE_GET_LOCAL_ACCT_MGMT) st = MsgGetBool(reply, &b);
      if (st == MSG_OK && *type == MSGTYPE_DUMP_LOCAL_ACCT) st = MsgOpenStringSet(reply, &reader, &count);
      while (count > 0 && st == MSG_OK && MsgNextSetItem(&reader, &item, &length) == MSG_OK) {
        total += length;
        hash = hash * 31 + std::hash<std::string_view>{}(std::string_view(item, length));
      }
      o.Step(step + 2, st, {}, "%d %u; %u items, %zu bytes, %zx, mapped %d", i, b, count, total, hash,
             reply->map != nullptr);
    }
    MsgFree(reply);
    MsgFree(request);
  }
  LRPC2Close(s);
}

}  // namespace

std::vector<Scenario> MsgScenarios() {
  return {
      {"util_buffer_and_strdup", Buffer, nullptr},
      {"msg_build_plain", [](Obs &o) { Build(o, MSGTYPE_CONTROL_LOG2); }, nullptr},
      {"msg_build_sensitive", [](Obs &o) { Build(o, MSGTYPE_LIST_LOCAL_ACCT); }, nullptr},
      {"msg_receive_copy_read_dump", [](Obs &o) { Receive(o, 1); }, nullptr},
      // Its allocations are those of the copy, but a failure leaves the block the caller's.
      {"msg_receive_owned_read_dump", [](Obs &o) { Receive(o, 0); }, nullptr},
      {"lrpc2_open_transact_challenge_oneway",
       [](Obs &o) {
         Session(o, {MSGTYPE_GET_LOCAL_ACCT_MGMT, MSGTYPE_RELOAD_LOCAL_ACCT, MSGTYPE_AUDIT_TRAIL_EVENT});
       },
       "transport"},
      // A dump reply large enough to be read into a mapping.
      {"lrpc2_large_reply_in_place", [](Obs &o) { Session(o, {MSGTYPE_DUMP_LOCAL_ACCT}); }, nullptr},
  };
}

}  // namespace sweep
