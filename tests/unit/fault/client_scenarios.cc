// Client log, emergency logs, client context and message wrapper.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "client_common/client_context.h"
#include "client_common/client_msg.h"
#include "client_common/client_unlisted.h"
#include "client_common/emergency_log.h"
#include "client_common/log_buffer.h"
#include "support/log_sink.h"
#include "support/temp_dir.h"
#include "sweep.h"

namespace sweep {
namespace {

namespace fi = vxtest::fault;

constexpr int kGathered = 3;
// Text of every record the client log scenarios write, and of the last.
constexpr const char *kMarker = "keep-me";
constexpr const char *kLastLine = "INFO: keep-me last";  // as the record reader gives it

// Occurrences of kMarker in a text.
int Markers(const std::string &text) {
  int n = 0;
  for (size_t at = text.find(kMarker); at != std::string::npos; at = text.find(kMarker, at + 1)) ++n;
  return n;
}

// True when a call on the emergency file (open, check, unblocking or write)
// failed for good: its records may be lost. Only the scenarios without a
// session fail fcntl, which the transport calls too.
bool FileFailed(const Obs &o) { return o.Hard({Call::kOpen, Call::kFstat, Call::kFcntl, Call::kWrite}); }

// A client log whose threshold is `level` (TRACE: its own DEBUG reports are
// written too).
ClientLog *NewLog(Obs &o, const char *socket_path, int32_t level = LOG_LEVEL_TRACE) {
  uint32_t status = 0;
  ClientLog *log = NewClientLog(kLogProcess, GetEnv().emergency_dest.c_str(), level, socket_path, kTimeout,
                                kTimeout, GetMsgTypeTable(), &status);
  o.Step(0, status, {CLIENT_LOG_ERR_NOMEM}, "new");
  o.Check((log == nullptr) == (status != 0), "NewClientLog: log and status %u disagree", status);
  return log;
}

// Gathers records, starts sending them (one message), writes one more at
// once and frees the log. With the agent reachable (the log's own DEBUG
// reports below its threshold), a send that succeeds must have reached it;
// a send that fails for lack of memory gives the transport's 407, or 405
// when the reply could not be wrapped. Without, the gathered records are
// replayed into the emergency log file and later records go straight
// there; a failed gather may cost the records gathered with it, never a
// later one. When a system call fails, each record must reach the agent or
// the emergency file, unless the file itself failed.
void GatherSend(Obs &o, bool reachable) {
  const Env &e = GetEnv();
  ClientLog *log =
      reachable ? NewLog(o, e.agent.path().c_str(), LOG_LEVEL_INFO) : NewLog(o, e.no_socket.c_str());
  if (log == nullptr) return;
  for (int i = 0; i < kGathered; ++i) {
    uint32_t st = ClientLogWrite(log, LOG_LEVEL_INFO, kLogSource, 10 + i, "GatherSend", "%s %d", kMarker, i);
    o.Step(1 + i, st, {CLIENT_LOG_ERR_GATHER}, "gathered");
  }
  const bool pending = log->pending != nullptr;
  const int frames = e.agent.Count(MSGTYPE_CONTROL_LOG2);
  const uint32_t sent = ClientLogStartSending(log);
  // The agent records the frame before it replies, and the send waits for
  // the reply.
  o.Check(!reachable || sent != 0 || !pending || e.agent.Count(MSGTYPE_CONTROL_LOG2) == frames + 1,
          "ClientLogStartSending gave 0 but the agent got no ControlLog2 frame");
  const uint32_t st = ClientLogWrite(log, LOG_LEVEL_INFO, kLogSource, 20, "GatherSend", "%s last", kMarker);
  if (reachable) {
    o.Step(4, sent, {LRPC_ERR_NOMEM, LRPC_ERR_SOCKET}, "start sending");
    o.Step(5, st, {CLIENT_LOG_ERR_GATHER, LRPC_ERR_NOMEM, LRPC_ERR_SOCKET}, "written");
  } else if (pending) {
    // A discard log when the file log could not be opened; no emergency log
    // at all when even that failed, and the record is then gathered again.
    o.Step(4, sent, {LRPC_ERR_NOMEM}, "start sending");
    o.Step(5, st, {CLIENT_LOG_ERR_GATHER}, "written");
  } else {
    // The last gather failed and dropped what was pending: nothing to send,
    // and the next record tries the agent itself.
    o.Step(4, kNull, {kNull}, "nothing pending");
    o.Check(sent == 0, "ClientLogStartSending with nothing pending gave %u", sent);
    o.Check(st == LRPC_ERR_SOCKET || st == LRPC_ERR_NOMEM || st == CLIENT_LOG_ERR_GATHER,
            "ClientLogWrite to an unreachable agent gave %u", st);
  }
  const bool file_log = log->emergency != nullptr && log->emergency->kind == EMERGENCY_LOG_FILE;
  FreeClientLog(log);
  fi::Pause pause;
  const std::string text = vxtest::ReadFile(e.emergency);
  const std::vector<std::string> records =
      vxtest::EmergencyRecords(text, std::string(kLogProcess) + "[" + std::to_string(getpid()) + "]");
  o.Check(records.size() <= kGathered + 2, "%zu lines in the emergency log", records.size());
  o.Check(reachable || !file_log || st == CLIENT_LOG_ERR_GATHER || o.Hard({Call::kWrite}) ||
              (!records.empty() && records.back() == kLastLine),
          "the last record is missing from the emergency log");
  if (o.call() == nullptr || FileFailed(o)) return;
  int kept = Markers(text);
  for (const vxtest::Bytes &frame : e.agent.Frames()) kept += Markers(frame);
  o.Check(kept > kGathered, "%d of %d records reached the agent or the emergency file", kept, kGathered + 1);
}

// One gathered record after which the end record needs a bigger block: a
// message that cannot take it is broken and refused as a bad request (406)
// before anything is written; other memory failures are the transport's.
void EndRecord(Obs &o) {
  ClientLog *log = NewLog(o, GetEnv().agent.path().c_str());
  if (log == nullptr) return;
  uint32_t st = ClientLogWrite(log, LOG_LEVEL_INFO, kLogSource, 1, kEndRecordFunction, "%s",
                               GetEnv().end_record_text.c_str());
  o.Step(1, st, {CLIENT_LOG_ERR_GATHER}, "gathered");
  o.Step(2, ClientLogStartSending(log), {LRPC_ERR_BAD_MSG, LRPC_ERR_NOMEM, LRPC_ERR_SOCKET, kNull},
         "start sending");
  FreeClientLog(log);
}

// Opens each kind of emergency log and writes to it; replays a completed
// ControlLog2 message of two records into a file log, where both must
// arrive unless the file failed.
void EmergencyLogs(Obs &o) {
  const Env &e = GetEnv();
  uint32_t status = 0;
  EmergencyLog *file = OpenFileLog(kLogProcess, e.emergency.c_str(), &status);
  o.Step(1, status, {ELOG_ERR_NOMEM}, "file");
  if (file != nullptr) o.Step(2, EmergencyLogWrite(file, LOG_LEVEL_ERROR, "x %d", 1), {}, "written");
  CloseEmergencyLog(file);
  // Written below the threshold: nothing reaches the system's syslog.
  EmergencyLog *sys = OpenSyslogLog(kLogProcess, LOG_LOCAL3, &status);
  o.Step(3, status, {ELOG_ERR_NOMEM}, "syslog");
  if (sys != nullptr) o.Step(4, EmergencyLogWrite(sys, LOG_LEVEL_TRACE, "x"), {}, "filtered");
  CloseEmergencyLog(sys);
  EmergencyLog *discard = OpenDiscardLog(&status);
  o.Step(5, status, {ELOG_ERR_NOMEM}, "discard");
  CloseEmergencyLog(discard);
  Msg *m = NewMsg(MSGTYPE_CONTROL_LOG2, GetMsgTypeTable(), LRPC_HEADER_SIZE, &status);
  for (int r = 0; r < 2 && status == MSG_OK; ++r) {  // the first failure: later appends fail at once
    for (uint32_t st :
         {MsgAddUInt(m, 1), MsgAddString(m, "proc"), MsgAddInt(m, 42), MsgAddInt(m, LOG_LEVEL_ERROR),
          MsgAddString(m, "file"), MsgAddInt(m, 7), MsgAddString(m, "function"), MsgAddString(m, kMarker)})
      status = status != MSG_OK ? status : st;
  }
  if (status == MSG_OK) status = MsgComplete(m);
  o.Step(10, status, {MSG_ERR_NOMEM}, "log message");
  ClientLog *log = status == MSG_OK ? NewLog(o, e.no_socket.c_str()) : nullptr;
  if (log != nullptr) {
    status = ReplayToEmergencyLog(log, m);
    o.Step(11, status, {MSG_ERR_NOMEM}, "replayed");
    o.Check(status != ELOG_ERR_ERRNO || o.Hard({Call::kWrite}), "a replay gave %u without a failed write",
            status);
  }
  FreeClientLog(log);
  MsgFree(m);
  fi::Pause pause;
  const int filed = Markers(vxtest::ReadFile(e.emergency));
  o.Check(o.call() == nullptr || log == nullptr || filed == 2 || FileFailed(o),
          "%d of 2 replayed records in the file", filed);
}

// A message handed out must be registered for release with the context.
void CheckRegistered(Obs &o, const ClientContext &ctx, const Msg *m, const char *function) {
  for (const CleanupList *b = ctx.messages; b != nullptr; b = b->next) {
    for (int32_t i = 0; i < b->count; ++i) {
      if (b->entries[i].object == m) return;
    }
  }
  o.Check(m == nullptr || vx_client::IsUnlisted(&ctx, m),
          "%s returned a message that is not registered for release", function);
}

// Loads `conf` (step 0) and initialises the context over it (step 1); false
// when nothing could be loaded (the context would load the system's own
// file instead).
bool InitContext(Obs &o, ClientContext *ctx, const std::string &conf) {
  uint32_t status = 0;
  Properties *p = LoadPropertiesWithoutSecurity(conf.c_str(), nullptr, &status);
  o.Step(0, status, {PROPS_ERR_NOMEM}, "load");
  if (p == nullptr) return false;
  InitClientContext(ctx, p, nullptr, kLogProcess, GetEnv().emergency_dest.c_str(), "log.faultsweep", "info");
  o.Step(1, ctx->log != nullptr ? 0 : kNull, {kNull}, "log");
  return true;
}

// Sends a request of `type` through the wrapper and reads the reply.
// False when the exchange failed (every message of the context is gone).
bool Request(Obs &o, ClientContext *ctx, int step, uint32_t type) {
  Msg *request = NewClientMsg(ctx, type);
  o.Step(step, request != nullptr ? 0 : kNull, {kNull}, "new");
  CheckRegistered(o, *ctx, request, "NewClientMsg");
  if (request == nullptr) return true;
  if (type == MSGTYPE_LIST_LOCAL_ACCT) MsgAddBool(request, 1);
  Msg *reply = Send(ctx, request);
  o.Step(step + 1, reply != nullptr ? 0 : kNull, {kNull}, "sent");
  CheckRegistered(o, *ctx, reply, "Send");
  if (reply == nullptr) return false;
  int32_t i = -1;
  uint32_t b = 0;
  char **set = nullptr;
  uint32_t st = MsgGetInt(reply, &i);
  if (st == MSG_OK && type == MSGTYPE_GET_LOCAL_ACCT_MGMT) st = MsgGetBool(reply, &b);
  if (st == MSG_OK && type == MSGTYPE_LIST_LOCAL_ACCT) st = MsgGetStringSet(reply, &set);
  o.Step(step + 2, st, {MSG_ERR_NOMEM}, "%d %u %s %s", i, b, set ? set[0] : "-", set ? set[2] : "-");
  for (int k = 0; set != nullptr && set[k] != nullptr; ++k) free(set[k]);
  free(set);
  return true;
}

// The command's calling order: init (the process name comes from
// /proc/self/stat), forwarding, session, two requests through the wrapper,
// free. A request that failed in transport took its session with it, so the
// second request goes out on a new one, as the command's does.
void ContextSession(Obs &o) {
  ClientContext ctx;
  if (!InitContext(o, &ctx, GetEnv().ctx_conf)) return;
  const char *name = GetProcessName(&ctx);
  o.Step(2, name == nullptr || strcmp(name, "unknown") == 0 ? kNull : 0, {kNull}, "%s", name ? name : "-");
  o.Step(3, EnableLogForwarding(&ctx) == 1 ? 0 : kNull, {}, "forwarding");
  const bool open = OpenLRPC2Session(&ctx) == 1;
  o.Step(4, open ? 0 : kNull, {kNull}, "open");
  if (open && (Request(o, &ctx, 5, MSGTYPE_GET_LOCAL_ACCT_MGMT) || ctx.session != nullptr ||
               OpenLRPC2Session(&ctx) == 1)) {
    Request(o, &ctx, 8, MSGTYPE_LIST_LOCAL_ACCT);
  }
  o.Step(11, FreeClientContext(&ctx), {MSG_ERR_NOMEM}, "free");
}

// Enough messages to need a second block of the release list.
void ContextReleaseList(Obs &o) {
  ClientContext ctx;
  if (!InitContext(o, &ctx, GetEnv().ctx_conf)) return;
  int made = 0;
  for (int i = 0; i <= CLEANUP_BLOCK_ENTRIES; ++i) {
    Msg *m = NewClientMsg(&ctx, MSGTYPE_GET_LOCAL_ACCT_MGMT);
    CheckRegistered(o, ctx, m, "NewClientMsg");
    made += m != nullptr;
  }
  o.Step(2, made > CLEANUP_BLOCK_ENTRIES ? 0 : kNull, {kNull}, "%d", made);
  o.Step(3, FreeClientContext(&ctx), {MSG_ERR_NOMEM}, "free");
}

// No agent: the records gathered while the context lived are replayed into
// the emergency file when it is released; all of them must be there unless
// the file itself failed.
void ContextWithoutAgent(Obs &o) {
  ClientContext ctx;
  if (!InitContext(o, &ctx, GetEnv().lone_conf)) return;
  o.Step(2, OpenLRPC2Session(&ctx) == 1 ? 0 : kNull, {}, "open");
  const uint32_t status = FreeClientContext(&ctx);
  const bool file_failed = FileFailed(o);
  fi::Pause pause;
  const std::string text = vxtest::ReadFile(GetEnv().emergency);
  o.Step(3, file_failed ? kNull : status, {}, "%td lines", std::count(text.begin(), text.end(), '\n'));
}

}  // namespace

std::vector<Scenario> ClientScenarios() {
  return {
      {"client_log_gather_send", [](Obs &o) { GatherSend(o, true); }, "client_log"},
      {"client_log_emergency_switch", [](Obs &o) { GatherSend(o, false); }, "client_log"},
      {"client_log_end_record", EndRecord, nullptr},
      {"emergency_logs_and_replay", EmergencyLogs, "emergency_log"},
      {"client_context_session_wrapper", ContextSession, "context"},
      {"client_context_release_list", ContextReleaseList, nullptr},
      {"client_context_without_agent", ContextWithoutAgent, "context", false},
  };
}

// The reason of a failed session open names the system error of the call
// that failed, which the transport keeps in errno for its caller.
TEST(SessionOpen, FailedOpenLogsTheSystemError) {
  const std::tuple<Call, int, const char *> rows[] = {
      {Call::kSocket, EMFILE, "Cannot open socket (Too many open files)"},
      {Call::kFcntl, EBADF, "Socket error (Bad file descriptor)"},
      {Call::kConnect, ECONNREFUSED, "Socket error (Connection refused)"},
      {Call::kRecvmsg, ECONNRESET, "Socket error (Connection reset by peer)"},
      {Call::kRecvmsg, fi::kEof, "Socket closed (Success)"},
  };
  const Env &e = GetEnv();
  for (const auto &[call, error, reason] : rows) {
    e.dir.write("emergency.log", "");
    ClientContext ctx;
    Obs o(nullptr, nullptr, false);
    ASSERT_TRUE(InitContext(o, &ctx, e.ctx_conf));
    fi::Arm(call, 1, error);
    EXPECT_EQ(OpenLRPC2Session(&ctx), 0) << reason;
    fi::Disarm();
    FreeClientContext(&ctx);  // the records gathered go to the emergency file
    const std::string expected =
        "DEBUG: Failed to open connection to vxagent through '" + e.agent.path() + "' " + reason;
    EXPECT_NE(vxtest::ReadFile(e.emergency).find(expected), std::string::npos) << expected;
  }
}

}  // namespace sweep
