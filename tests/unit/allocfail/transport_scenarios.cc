// The session transport against the test agent.
#include "client_common/lrpc2.h"
#include "client_common/msg.h"
#include "client_common/msg_impl.h"
#include "sweep.h"

namespace allocfail {
namespace {

constexpr uint32_t kConnectTimeout = 2;
constexpr uint32_t kTimeout = 5;
constexpr uint32_t kAuditType = 1200;  // one-way

// A memory failure in a transaction is 407; one while wrapping the reply
// is reported like any reply that cannot be wrapped, 405.
const std::initializer_list<uint32_t> kTransactNoMem = {LRPC_ERR_NOMEM, LRPC_ERR_SOCKET};

// Builds a request of `type` with one string field; null (after recording
// the failure) when that fails.
Msg *Request(Observation &o, int step, uint32_t type) {
  uint32_t status = 0;
  Msg *m = NewMsg(type, GetMsgTypeTable(), LRPC_HEADER_SIZE, &status);
  status = FirstFailure({status, MsgAddString(m, "root"), MsgComplete(m)});
  o.Result(step, status, {MSG_ERR_NOMEM}, "request %u", type);
  if (status == MSG_OK) return m;
  MsgFree(m);
  return nullptr;
}

// One exchange; false when the session must not be used any more.
bool Exchange(Observation &o, LRPC2Session *s, int step, uint32_t type) {
  Msg *request = Request(o, step, type);
  if (request == nullptr) return true;
  uint32_t status = 0;
  Msg *reply = LRPC2Transact(s, request, kTimeout, &status);
  uint32_t got = 0, b = 0;
  int32_t i = 0;
  MsgGetType(reply, &got);
  o.Result(step + 1, status, kTransactNoMem, "reply type %u", got);
  o.Check((reply == nullptr) == (status != LRPC_OK || type == kAuditType),
          "LRPC2Transact: reply %p with status %u", static_cast<void *>(reply), status);
  if (reply != nullptr) {
    uint32_t st = MsgGetInt(reply, &i);
    if (st == MSG_OK && type == MSGTYPE_GET_LOCAL_ACCT_MGMT) st = MsgGetBool(reply, &b);
    o.Result(step + 2, st, {MSG_ERR_NOMEM}, "%d %u", i, b);
  }
  MsgFree(reply);
  MsgFree(request);
  return status == LRPC_OK;
}

// A session to the agent (step 0), or null.
LRPC2Session *Open(Observation &o) {
  uint32_t status = 0;
  LRPC2Session *s =
      LRPC2Open(GetEnv().agent.path().c_str(), GetMsgTypeTable(), kConnectTimeout, kConnectTimeout, &status);
  o.Result(0, status, {LRPC_ERR_NOMEM}, "open");
  o.Check((s == nullptr) == (status != LRPC_OK), "LRPC2Open: session and status %u disagree", status);
  return s;
}

// Opens a session, makes a plain exchange, one the agent challenges twice
// and a one-way request, and closes it.
void Session(Observation &o) {
  LRPC2Session *s = Open(o);
  if (s == nullptr) return;
  bool usable = Exchange(o, s, 1, MSGTYPE_GET_LOCAL_ACCT_MGMT);
  if (usable) usable = Exchange(o, s, 4, MSGTYPE_RELOAD_LOCAL_ACCT);
  if (usable) Exchange(o, s, 7, kAuditType);
  LRPC2Close(s);
}

// A dump reply large enough to be read into a mapping, read in place.
void LargeReplyInPlace(Observation &o) {
  LRPC2Session *s = Open(o);
  if (s == nullptr) return;
  uint32_t status = 0;
  Msg *request = Request(o, 1, MSGTYPE_DUMP_LOCAL_ACCT);
  Msg *reply = request != nullptr ? LRPC2Transact(s, request, kTimeout, &status) : nullptr;
  if (request != nullptr) o.Result(2, status, kTransactNoMem, "transact");
  if (reply != nullptr) {
    MsgSetReader reader;
    uint32_t count = 0, st = MsgGetInt(reply, nullptr);
    if (st == MSG_OK) st = MsgOpenStringSet(reply, &reader, &count);
    const char *item = nullptr;
    uint32_t length = 0;
    Digest d{0, 2166136261u};
    while (st == MSG_OK && MsgNextSetItem(&reader, &item, &length) == MSG_OK) {
      const Digest one = DigestOf(item, length);
      d = Digest{d.length + one.length, (d.hash ^ one.hash) * 16777619u};
    }
    o.Result(3, st, {}, "%u items, %zu bytes, %08x, mapped %d", count, d.length, d.hash,
             reply->map != nullptr);
  }
  MsgFree(reply);
  MsgFree(request);
  LRPC2Close(s);
}

}  // namespace

std::vector<Scenario> TransportScenarios() {
  return {{"lrpc2_open_transact_challenge_oneway", Session},
          {"lrpc2_large_reply_in_place", LargeReplyInPlace}};
}

}  // namespace allocfail
