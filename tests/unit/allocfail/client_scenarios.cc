// Client log, emergency logs, client context and message wrapper.
#include <fcntl.h>
#include <stdlib.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "client_common/client_context.h"
#include "client_common/client_msg.h"
#include "client_common/client_unlisted.h"
#include "client_common/emergency_log.h"
#include "client_common/log_buffer.h"
#include "support/log_sink.h"
#include "sweep.h"

namespace allocfail {
namespace {

constexpr uint32_t kConnectTimeout = 2;
constexpr uint32_t kTimeout = 5;
constexpr int kGathered = 3;
// A ControlLog2 send that fails for lack of memory: the transport's 407, or
// 405 when the reply could not be wrapped.
const std::initializer_list<uint32_t> kSendNoMem = {LRPC_ERR_NOMEM, LRPC_ERR_SOCKET};
constexpr const char *kLastRecord = "straight to the file";
constexpr const char *kLastLine = "INFO: straight to the file";  // as the record reader gives it

ClientLog *NewLog(Observation &o, const char *socket_path) {
  const Env &e = GetEnv();
  Truncate(e.emergency);
  uint32_t status = 0;
  ClientLog *log = NewClientLog(kLogProcess, e.emergency_dest.c_str(), LOG_LEVEL_TRACE, socket_path,
                                kConnectTimeout, kTimeout, GetMsgTypeTable(), &status);
  o.Result(0, status, {CLIENT_LOG_ERR_NOMEM}, "new");
  o.Check((log == nullptr) == (status != 0), "NewClientLog: log and status %u disagree", status);
  return log;
}

void Gather(Observation &o, ClientLog *log, const char *function) {
  for (int i = 0; i < kGathered; ++i) {
    uint32_t st = ClientLogWrite(log, LOG_LEVEL_INFO, kLogSource, 10 + i, function, "record %d", i);
    o.Result(1 + i, st, {CLIENT_LOG_ERR_GATHER}, "gathered");
  }
}

// Gathers records, starts sending (one message to the agent), sends one
// more at once, and frees the log.
void GatherSend(Observation &o) {
  vxtest::Agent &agent = GetEnv().agent;
  ClientLog *log = NewLog(o, agent.path().c_str());
  if (log == nullptr) return;
  Gather(o, log, "GatherSend");
  const bool pending = log->pending != nullptr;
  const int frames = agent.Count(MSGTYPE_CONTROL_LOG2);
  uint32_t st = ClientLogStartSending(log);
  o.Result(4, st, kSendNoMem, "start sending");
  // The agent records the frame before it replies, and the send waits for
  // the reply: a success must have reached it.
  o.Check(st != 0 || !pending || agent.Count(MSGTYPE_CONTROL_LOG2) == frames + 1,
          "ClientLogStartSending gave 0 but the agent got no ControlLog2 frame");
  st = ClientLogWrite(log, LOG_LEVEL_INFO, kLogSource, 20, "GatherSend", "sent at once");
  o.Result(5, st, {CLIENT_LOG_ERR_GATHER, LRPC_ERR_NOMEM, LRPC_ERR_SOCKET}, "sent");
  FreeClientLog(log);
}

// The records of the emergency log file, read with failures paused.
std::vector<std::string> EmergencyRecords() {
  vxtest::allocfail::Pause pause;
  std::ifstream in(GetEnv().emergency);
  const std::string content{std::istreambuf_iterator<char>(in), {}};
  return vxtest::EmergencyRecords(content, std::string(kLogProcess) + "[" + std::to_string(getpid()) + "]");
}

// The agent cannot be reached: the gathered records are replayed into the
// emergency log file, and later records go straight there; a failed gather
// may cost the records gathered with it, never a later one.
void EmergencySwitch(Observation &o) {
  ClientLog *log = NewLog(o, GetEnv().no_socket.c_str());
  if (log == nullptr) return;
  Gather(o, log, "EmergencySwitch");
  uint32_t st = 0;
  if (log->pending == nullptr) {
    // The last gather failed and dropped what was pending: nothing to send,
    // and the next record tries the agent itself.
    o.Result(4, kNull, {kNull}, "nothing pending");
    st = ClientLogStartSending(log);
    o.Check(st == 0, "ClientLogStartSending with nothing pending gave %u", st);
    st = ClientLogWrite(log, LOG_LEVEL_INFO, kLogSource, 20, "EmergencySwitch", kLastRecord);
    o.Check(st == LRPC_ERR_SOCKET || st == LRPC_ERR_NOMEM || st == CLIENT_LOG_ERR_GATHER,
            "ClientLogWrite to an unreachable agent gave %u", st);
  } else {
    o.Result(4, ClientLogStartSending(log), {LRPC_ERR_NOMEM}, "start sending");
    st = ClientLogWrite(log, LOG_LEVEL_INFO, kLogSource, 20, "EmergencySwitch", kLastRecord);
    // A discard log when the file log could not be opened; no emergency log
    // at all when even that failed, and the record is then gathered again.
    o.Result(5, st, {CLIENT_LOG_ERR_GATHER}, "written");
  }
  const bool file_log = log->emergency != nullptr && log->emergency->kind == EMERGENCY_LOG_FILE;
  FreeClientLog(log);
  const std::vector<std::string> records = EmergencyRecords();
  o.Check(records.size() <= kGathered + 2, "%zu lines in the emergency log", records.size());
  o.Check(!file_log || st == CLIENT_LOG_ERR_GATHER || (!records.empty() && records.back() == kLastLine),
          "the last record is missing from the emergency log");
}

// One gathered record after which the end record needs a bigger block: a
// failure there is a memory failure (407), never a bad request.
void EndRecord(Observation &o) {
  ClientLog *log = NewLog(o, GetEnv().agent.path().c_str());
  if (log == nullptr) return;
  uint32_t st = ClientLogWrite(log, LOG_LEVEL_INFO, kLogSource, 1, kEndRecordFunction, "%s",
                               GetEnv().end_record_text.c_str());
  o.Result(1, st, {CLIENT_LOG_ERR_GATHER}, "gathered");
  o.Result(2, ClientLogStartSending(log), {LRPC_ERR_NOMEM, LRPC_ERR_SOCKET, kNull}, "start sending");
  FreeClientLog(log);
}

// A completed ControlLog2 message of two records, or null.
Msg *LogMessage(Observation &o) {
  uint32_t status = 0;
  Msg *m = NewMsg(MSGTYPE_CONTROL_LOG2, GetMsgTypeTable(), LRPC_HEADER_SIZE, &status);
  for (int r = 0; r < 2 && status == MSG_OK; ++r) {
    status = FirstFailure({MsgAddUInt(m, 1), MsgAddString(m, "proc"), MsgAddInt(m, 42),
                           MsgAddInt(m, LOG_LEVEL_ERROR), MsgAddString(m, "file"), MsgAddInt(m, 7),
                           MsgAddString(m, "function"), MsgAddString(m, r == 0 ? "first" : "second")});
  }
  if (status == MSG_OK) status = MsgComplete(m);
  o.Result(10, status, {MSG_ERR_NOMEM}, "log message");
  if (status == MSG_OK) return m;
  MsgFree(m);
  return nullptr;
}

// Opens each kind of emergency log and writes to it; replays a message.
void EmergencyLogs(Observation &o) {
  const Env &e = GetEnv();
  Truncate(e.emergency);
  uint32_t status = 0;
  EmergencyLog *file = OpenFileLog("allocfail", e.emergency.c_str(), &status);
  o.Result(1, status, {ELOG_ERR_NOMEM}, "file");
  if (file != nullptr) o.Result(2, EmergencyLogWrite(file, LOG_LEVEL_ERROR, "x %d", 1), {}, "written");
  CloseEmergencyLog(file);
  // Written below the threshold: nothing reaches the system's syslog.
  EmergencyLog *sys = OpenSyslogLog("allocfail", LOG_LOCAL3, &status);
  o.Result(3, status, {ELOG_ERR_NOMEM}, "syslog");
  if (sys != nullptr) o.Result(4, EmergencyLogWrite(sys, LOG_LEVEL_TRACE, "x"), {}, "filtered");
  CloseEmergencyLog(sys);
  EmergencyLog *discard = OpenDiscardLog(&status);
  o.Result(5, status, {ELOG_ERR_NOMEM}, "discard");
  CloseEmergencyLog(discard);
  Msg *m = LogMessage(o);
  if (m == nullptr) return;
  ClientLog *log = NewLog(o, e.no_socket.c_str());
  if (log != nullptr) o.Result(11, ReplayToEmergencyLog(log, m), {MSG_ERR_NOMEM}, "replayed");
  FreeClientLog(log);
  MsgFree(m);
}

// A message handed out but neither in the release list nor in an unlisted
// slot of the context would leak: it is a fault, and released here so that
// it does not hide later runs.
struct Orphans {
  static constexpr int kMax = 64;
  Msg *list[kMax] = {};
  int count = 0;

  void Check(Observation &o, const ClientContext &ctx, Msg *m, const char *function) {
    for (const CleanupList *b = ctx.messages; b != nullptr; b = b->next) {
      for (int32_t i = 0; i < b->count; ++i) {
        if (b->entries[i].object == m) return;
      }
    }
    if (vx_client::IsUnlisted(&ctx, m)) return;
    if (m == nullptr || count == kMax) return;
    o.Check(false, "%s returned a message that is not registered for release", function);
    list[count++] = m;
  }
  ~Orphans() {
    for (int i = 0; i < count; ++i) MsgFree(list[i]);
  }
};

bool InitContext(Observation &o, ClientContext *ctx) {
  const Env &e = GetEnv();
  Truncate(e.emergency);
  uint32_t status = 0;
  Properties *p = LoadPropertiesWithoutSecurity(e.ctx_conf.c_str(), nullptr, &status);
  o.Result(0, status, {PROPS_ERR_NOMEM}, "load");
  if (p == nullptr) return false;  // the context would load the system's own file instead
  InitClientContext(ctx, p, nullptr, "allocfail", e.emergency_dest.c_str(), "log.allocfail", "info");
  o.Result(1, ctx->log != nullptr ? 0 : kNull, {kNull}, "log");
  return true;
}

// Sends a request of `type` through the wrapper and reads the reply.
// False when the exchange failed (every message of the context is gone).
bool Request(Observation &o, ClientContext *ctx, Orphans *orphans, int step, uint32_t type) {
  Msg *request = NewClientMsg(ctx, type);
  o.Result(step, request != nullptr ? 0 : kNull, {kNull}, "new");
  orphans->Check(o, *ctx, request, "NewClientMsg");
  if (request == nullptr) return true;
  if (type == MSGTYPE_LIST_LOCAL_ACCT) MsgAddBool(request, 1);
  Msg *reply = Send(ctx, request);
  o.Result(step + 1, reply != nullptr ? 0 : kNull, {kNull}, "sent");
  orphans->Check(o, *ctx, reply, "Send");
  if (reply == nullptr) return false;
  int32_t i = -1;
  uint32_t b = 0;
  char **set = nullptr;
  uint32_t st = MsgGetInt(reply, &i);
  if (st == MSG_OK && type == MSGTYPE_GET_LOCAL_ACCT_MGMT) st = MsgGetBool(reply, &b);
  if (st == MSG_OK && type == MSGTYPE_LIST_LOCAL_ACCT) st = MsgGetStringSet(reply, &set);
  o.Result(step + 2, st, {MSG_ERR_NOMEM}, "%d %u %s %s", i, b, set ? set[0] : "-", set ? set[2] : "-");
  for (int k = 0; set != nullptr && set[k] != nullptr; ++k) free(set[k]);
  free(set);
  return true;
}

// The command's calling order: init, forwarding, session, two requests
// through the wrapper, free.
void ContextSession(Observation &o) {
  ClientContext ctx;
  Orphans orphans;
  if (!InitContext(o, &ctx)) return;
  o.Result(2, EnableLogForwarding(&ctx) == 1 ? 0 : kNull, {}, "forwarding");
  const bool open = OpenLRPC2Session(&ctx) == 1;
  o.Result(3, open ? 0 : kNull, {kNull}, "open");
  if (open && Request(o, &ctx, &orphans, 4, MSGTYPE_GET_LOCAL_ACCT_MGMT)) {
    Request(o, &ctx, &orphans, 7, MSGTYPE_LIST_LOCAL_ACCT);
  }
  o.Result(10, FreeClientContext(&ctx), {MSG_ERR_NOMEM}, "free");
}

// Enough messages to need a second block of the release list.
void ContextReleaseList(Observation &o) {
  constexpr int kMessages = CLEANUP_BLOCK_ENTRIES + 1;
  ClientContext ctx;
  Orphans orphans;
  if (!InitContext(o, &ctx)) return;
  int made = 0;
  for (int i = 0; i < kMessages; ++i) {
    Msg *m = NewClientMsg(&ctx, MSGTYPE_GET_LOCAL_ACCT_MGMT);
    orphans.Check(o, ctx, m, "NewClientMsg");
    made += m != nullptr;
  }
  o.Result(2, made == kMessages ? 0 : kNull, {kNull}, "%d", made);
  o.Result(3, FreeClientContext(&ctx), {MSG_ERR_NOMEM}, "free");
}

}  // namespace

std::vector<Scenario> ClientScenarios() {
  return {
      {"client_log_gather_send", GatherSend},
      {"client_log_emergency_switch", EmergencySwitch},
      {"client_log_end_record", EndRecord},
      {"emergency_logs_and_replay", EmergencyLogs},
      {"client_context_session_wrapper", ContextSession},
      {"client_context_release_list", ContextReleaseList},
  };
}

}  // namespace allocfail
