// System-call failure sweeps: for each scenario, each call of its fault table
// and each errno listed there, call number N fails, for N = 1, 2, ... until a
// run makes fewer than N such calls. At every step a run must give the
// status of the unfailed run (with the same result) or one that the contract
// gives for that failure; it must leave no block and no descriptor behind,
// and a client log must keep every record it is bound to keep.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "client_common/client_context.h"
#include "client_common/client_msg.h"
#include "client_common/emergency_log.h"
#include "client_common/log_buffer.h"
#include "client_common/lrpc2.h"
#include "props/props.h"
#include "support/agent.h"
#include "support/alloc_fail.h"
#include "support/sys_fail.h"
#include "support/temp_dir.h"
#include "util/secure_open.h"

namespace {

namespace sf = vxtest::sysfail;
namespace af = vxtest::allocfail;
using sf::Call;
using sf::kEof;
using sf::kShort;

constexpr uint32_t kTimeout = 1;
constexpr int kSteps = 16;
constexpr long kMaxN = 400;
constexpr auto kSlowRun = std::chrono::milliseconds(3000);
// Pseudo status of a call whose only failure signal is its result.
constexpr uint32_t kFailed = 0x80000000u;
// Text of every record the client log scenarios write; kKept of them.
constexpr const char *kMarker = "keep-me";
constexpr int kKept = 4;

struct Fault {
  Call call;
  int error;
};

// The fault of the current run.
Fault g_fault;

// A failure the code rides out: an interrupted or would-block call, or a
// short transfer.
bool Survivable(Fault f) { return f.error == kShort || f.error == EINTR || f.error == EAGAIN; }

// True when the current run failed a call of the emergency file itself (it
// could not be opened or written): its records may be lost.
bool EmergencyFileFailed() {
  return sf::Failed() && !Survivable(g_fault) &&
         (g_fault.call == Call::kOpen || g_fault.call == Call::kWrite);
}

// What one run saw, step by step, checked against the unfailed run.
class Obs {
 public:
  struct Ref {
    bool set;
    uint32_t status;
    long detail;
  };
  Obs(Ref *ref, bool recording, std::vector<uint32_t> allowed)
      : ref_(ref), recording_(recording), allowed_(std::move(allowed)) {}

  // Status of step i, and a detail of its result that must match whenever
  // the status matches the unfailed run's.
  void Step(int i, uint32_t status, long detail = 0) {
    Ref &r = ref_[i];
    const std::string step = "step " + std::to_string(i);
    if (recording_) {
      r = Ref{true, status, detail};
    } else if (!r.set) {
      Check(false, step + " not reached by the unfailed run");
    } else if (status == r.status) {
      Check(detail == r.detail,
            step + ": detail " + std::to_string(detail) + ", unfailed " + std::to_string(r.detail));
    } else {
      reported_ = true;
      Check(std::find(allowed_.begin(), allowed_.end(), status) != allowed_.end(),
            step + ": status " + std::to_string(status) + " (unfailed " + std::to_string(r.status) +
                ") is not one of this failure");
    }
  }
  void Check(bool ok, const std::string &what) {
    if (!ok && fault_.empty()) fault_ = what;
  }
  const std::string &fault() const { return fault_; }
  bool reported() const { return reported_; }  // a step gave a status of the failure

 private:
  bool reported_ = false;
  Ref *ref_;
  bool recording_;
  std::vector<uint32_t> allowed_;
  std::string fault_;
};

// The agent's replies: 112 is challenged twice first, 1200 is one-way.
vxtest::Agent::Answers ReplyTo(const vxtest::Bytes &frame) {
  using namespace vxtest;
  const uint16_t type = FrameType(frame);
  if (type == MSGTYPE_GET_LOCAL_ACCT_MGMT) return {Frame(type, Bool(false))};
  if (type == MSGTYPE_RELOAD_LOCAL_ACCT) return {Frame(3), Frame(3), Frame(type, Int(0))};
  if (type == MSGTYPE_AUDIT_TRAIL_EVENT) return {};
  return {Frame(type)};
}

struct Env {
  vxtest::TempDir dir;
  mutable vxtest::Agent agent;
  std::string emergency = dir.write("emergency.log", "");
  std::string emergency_dest = "file " + emergency;
  std::string no_socket = dir.file("nobody.sock");
  std::string include = dir.write("list.inc", "alice\n# comment\n   bob smith\n");
  std::string conf =
      dir.write("props.conf", "name = world\ngreeting: hello $name\ninc = file:" + include + "\n");
  std::string ctx_conf = dir.write("context.conf", "vxagent.clients.socket2 = " + agent.path() +
                                                       "\nlrpc.timeout = 1\nlrpc.connect.timeout = 1\n"
                                                       "log.sysfail = trace\nsysfail = " +
                                                       emergency_dest + "\n");
  std::string lone_conf =
      dir.write("lone.conf", "vxagent.clients.socket2 = " + no_socket +
                                 "\nlog.sysfail = trace\nsysfail = " + emergency_dest + "\n");
  std::string target = dir.file("target");
  Env() { agent.Reply(ReplyTo); }
};
const Env &GetEnv() {
  static const Env env;
  return env;
}

void Truncate(const std::string &path) {
  int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd >= 0) close(fd);
}

// Occurrences of kMarker in a text.
int Markers(const std::string &text) {
  int n = 0;
  for (size_t at = text.find(kMarker); at != std::string::npos; at = text.find(kMarker, at + 1)) ++n;
  return n;
}

// The emergency file, read with both injectors paused.
std::string EmergencyFile() {
  af::Pause pause;
  sf::Pause sys_pause;
  return vxtest::ReadFile(GetEnv().emergency);
}

// ---- Transport ---------------------------------------------------------

uint32_t Exchange(LRPC2Session *s, uint32_t type, long *detail) {
  uint32_t status = 0;
  Msg *request = NewMsg(type, GetMsgTypeTable(), LRPC_HEADER_SIZE, &status);
  MsgAddString(request, "root");
  MsgComplete(request);
  Msg *reply = LRPC2Transact(s, request, kTimeout, &status);
  uint32_t got = 0;
  MsgGetType(reply, &got);
  *detail = got;
  MsgFree(reply);
  MsgFree(request);
  return status;
}

// Open, a plain exchange, one the agent challenges twice, a one-way send.
void Transport(Obs &o) {
  uint32_t status = 0;
  LRPC2Session *s = LRPC2Open(GetEnv().agent.path().c_str(), GetMsgTypeTable(), kTimeout, kTimeout, &status);
  o.Step(0, status);
  o.Check((s == nullptr) == (status != LRPC_OK), "LRPC2Open: session and status disagree");
  const uint32_t types[] = {MSGTYPE_GET_LOCAL_ACCT_MGMT, MSGTYPE_RELOAD_LOCAL_ACCT,
                            MSGTYPE_AUDIT_TRAIL_EVENT};
  for (int i = 0; s != nullptr && i < 3; ++i) {
    long detail = 0;
    status = Exchange(s, types[i], &detail);
    o.Step(1 + i, status, detail);
    if (status != LRPC_OK) break;  // the stream is at an undefined position
  }
  LRPC2Close(s);
}

// Statuses of a failing transport call: none for a failure the transport
// rides out (an interrupted or would-block call, a short transfer).
std::vector<uint32_t> TransportStatuses(Fault f) {
  if (Survivable(f) && !(f.error == EINTR && f.call == Call::kConnect)) return {};
  const uint32_t closed =
      f.error == kEof || (f.error == EPIPE && f.call == Call::kSendmsg) ? LRPC_ERR_CLOSED : LRPC_ERR_SOCKET;
  // A connect "in progress" is followed by a wait that sees a socket that
  // never connects; a handshake word that never left gets no answer.
  if (f.call == Call::kSocket) return {LRPC_ERR_OPEN};
  if (f.call == Call::kFcntl || f.call == Call::kPoll || f.call == Call::kConnect) return {LRPC_ERR_SOCKET};
  if (f.call == Call::kSendmsg) return {closed, LRPC_ERR_TIMEOUT};
  if (f.call == Call::kRecvmsg) return {closed};
  return {};
}

const std::vector<Fault> kTransportFaults = {
    {Call::kSocket, EMFILE},        {Call::kFcntl, EBADF},
    {Call::kConnect, ECONNREFUSED}, {Call::kConnect, EAGAIN},
    {Call::kConnect, EINPROGRESS},  {Call::kConnect, EINTR},
    {Call::kPoll, EINTR},           {Call::kPoll, ENOMEM},
    {Call::kSendmsg, EPIPE},        {Call::kSendmsg, ENOBUFS},
    {Call::kSendmsg, EAGAIN},       {Call::kSendmsg, EINTR},
    {Call::kSendmsg, kShort},       {Call::kSendmsg, kEof},
    {Call::kRecvmsg, ECONNRESET},   {Call::kRecvmsg, EAGAIN},
    {Call::kRecvmsg, EINTR},        {Call::kRecvmsg, kShort},
    {Call::kRecvmsg, kEof},         {Call::kSetsockopt, ENOPROTOOPT},
};

// ---- Client log ----------------------------------------------------------

// Gathers three records, starts sending, writes one more and frees the
// log. Every record must reach the agent or the emergency file, unless the
// failure hit the file itself (it could not be opened or written). The
// syslog emergency log shares the fallback code and reaches no other
// failing call.
void ClientLogRun(Obs &o, const std::string &socket) {
  const Env &e = GetEnv();
  uint32_t status = 0;
  ClientLog *log = NewClientLog("sysfail", e.emergency_dest.c_str(), LOG_LEVEL_INFO, socket.c_str(), kTimeout,
                                kTimeout, GetMsgTypeTable(), &status);
  o.Step(0, status);
  for (int i = 0; i < kKept - 1; ++i) {
    o.Step(1 + i, ClientLogWrite(log, LOG_LEVEL_INFO, "sysfail", i, "Run", "%s %d", kMarker, i));
  }
  o.Step(4, ClientLogStartSending(log));
  o.Step(5, ClientLogWrite(log, LOG_LEVEL_ERROR, "sysfail", 9, "Run", "%s last", kMarker));
  FreeClientLog(log);
  const bool emergency_failed = EmergencyFileFailed();
  const int filed = Markers(EmergencyFile());
  af::Pause pause;
  int reached = 0;
  for (const vxtest::Bytes &frame : e.agent.Frames()) reached += Markers(frame);
  o.Check(reached + filed >= kKept || emergency_failed,
          std::to_string(reached) + " records at the agent, " + std::to_string(filed) + " in the file");
}

// A failure in the log's own session shows in the status of the call that
// sent; one in the emergency file as 102 (write) or not at all (a file that
// cannot be opened becomes a discard log).
std::vector<uint32_t> LogStatuses(Fault f) {
  std::vector<uint32_t> s = TransportStatuses(f);
  if (f.call == Call::kWrite && f.error != kShort && f.error != EINTR) s.push_back(ELOG_ERR_ERRNO);
  return s;
}

const std::vector<Fault> kLogFaults = {
    {Call::kSocket, EMFILE}, {Call::kConnect, ECONNREFUSED}, {Call::kPoll, ENOMEM},
    {Call::kSendmsg, EPIPE}, {Call::kSendmsg, kShort},       {Call::kRecvmsg, ECONNRESET},
    {Call::kRecvmsg, kEof},  {Call::kRecvmsg, kShort},       {Call::kOpen, EACCES},
    {Call::kWrite, ENOSPC},  {Call::kWrite, EINTR},          {Call::kWrite, kShort},
    {Call::kWrite, kEof},
};

// A completed ControlLog2 message of two records replayed into a file log.
void Replay(Obs &o) {
  Msg *m = NewMsg(MSGTYPE_CONTROL_LOG2, GetMsgTypeTable(), LRPC_HEADER_SIZE, nullptr);
  for (int r = 0; r < 2; ++r) {
    MsgAddUInt(m, 1), MsgAddString(m, "proc"), MsgAddInt(m, 42), MsgAddInt(m, LOG_LEVEL_ERROR);
    MsgAddString(m, "file"), MsgAddInt(m, 7), MsgAddString(m, "function"), MsgAddString(m, kMarker);
  }
  MsgComplete(m);
  uint32_t status = 0;
  ClientLog *log = NewClientLog("sysfail", GetEnv().emergency_dest.c_str(), LOG_LEVEL_INFO,
                                GetEnv().no_socket.c_str(), kTimeout, kTimeout, GetMsgTypeTable(), &status);
  o.Step(0, ReplayToEmergencyLog(log, m));
  FreeClientLog(log);
  MsgFree(m);
  const bool emergency_failed = EmergencyFileFailed();
  const int filed = Markers(EmergencyFile());
  o.Check(filed == 2 || emergency_failed, std::to_string(filed) + " of 2 replayed records in the file");
}

// ---- Configuration loader and secure open ----------------------------------

// Status of a failed open or check by its errno, as secure open gives it.
uint32_t OpenStatusOf(int error) {
  const std::pair<int, uint32_t> kByErrno[] = {{ENOENT, SOPEN_NOENT},
                                               {EACCES, SOPEN_ACCESS},
                                               {EINVAL, SOPEN_INVALID},
                                               {EEXIST, SOPEN_EXISTS},
                                               {EAGAIN, SOPEN_WOULD_BLOCK}};
  for (const auto &[e, status] : kByErrno)
    if (e == error) return status;
  return SOPEN_OTHER;
}

// The loader's status for a secure open status.
uint32_t PropsStatusOf(uint32_t open) {
  return open == SOPEN_NOENT    ? PROPS_ERR_NOENT
         : open == SOPEN_ACCESS ? PROPS_ERR_PERMISSION
                                : PROPS_ERR_SYSTEM;
}

// Loads the configuration with all checks (the test runs as root, so the
// file belongs to a system account) and reads a value, an expanded value and
// an include list.
void LoadAndRead(Obs &o, bool secure) {
  uint32_t status = 0;
  Properties *p = LoadPropertiesInternal(GetEnv().conf.c_str(), nullptr, &status, secure ? 1 : 0);
  o.Step(0, status);
  if (p == nullptr) return;
  const char *greeting = GetProperty(p, "greeting", "dflt", &status);
  o.Step(1, status, static_cast<long>(strlen(greeting)));
  uint32_t count = 0;
  char **list = GetValueList(p, "inc", &count, &status);
  o.Step(2, status, count);
  for (uint32_t i = 0; list != nullptr && list[i] != nullptr; ++i) free(list[i]);
  free(list);
  FreeProperties(p);
}

std::vector<uint32_t> LoaderStatuses(Fault f) {
  if (f.call == Call::kFseeko || f.call == Call::kMmap) return {PROPS_ERR_NOMEM};
  return {PropsStatusOf(OpenStatusOf(f.error))};
}

const std::vector<Fault> kLoaderFaults = {
    {Call::kOpen, ENOENT},   {Call::kOpen, EACCES},  {Call::kOpen, EMFILE},  {Call::kOpen, EINTR},
    {Call::kFstat, EIO},     {Call::kFstat, EACCES}, {Call::kLstat, ENOENT}, {Call::kLstat, EIO},
    {Call::kFdopen, EMFILE}, {Call::kFseeko, EIO},   {Call::kMmap, ENOMEM},  {Call::kStat, ENOENT},
    {Call::kStat, EIO},
};

// Replaces a file securely, as a descriptor and as a stream, and truncates
// it through SecureOpen.
// Each step starts from an existing file, whatever the step before did.
void SecureWrite(Obs &o) {
  const char *path = GetEnv().target.c_str();
  for (int step = 0; step < 3; ++step) {
    {
      af::Pause pause;
      sf::Pause sys_pause;
      GetEnv().dir.write("target", "old", 0600);
    }
    uint32_t status = 0;
    FILE *f = step == 1 ? SecureFOpenForWriting(path, 0600, 0, &status) : nullptr;
    const int fd = step == 0   ? SecureOpenForWriting(path, 0600, 0, &status)
                   : step == 2 ? SecureOpen(path, O_WRONLY | O_TRUNC, 0, 0, &status)
                               : -1;
    o.Step(step, status);
    if (f != nullptr) fclose(f);
    if (fd >= 0) close(fd);
  }
}

// A failed lookup before replacing ("no such file") lets the exclusive
// open meet the file that is still there.
std::vector<uint32_t> SecureWriteStatuses(Fault f) {
  std::vector<uint32_t> s = {OpenStatusOf(f.error)};
  if (f.call == Call::kLstat && f.error == ENOENT) s.push_back(SOPEN_EXISTS);
  return s;
}

const std::vector<Fault> kSecureWriteFaults = {
    {Call::kLstat, ENOENT}, {Call::kLstat, EACCES}, {Call::kLstat, EIO},     {Call::kUnlink, EACCES},
    {Call::kUnlink, EBUSY}, {Call::kOpen, EEXIST},  {Call::kOpen, EINVAL},   {Call::kOpen, EAGAIN},
    {Call::kOpen, EMFILE},  {Call::kFstat, EIO},    {Call::kFtruncate, EIO}, {Call::kFdopen, EMFILE},
};

// ---- Client context --------------------------------------------------------

// A context over the configuration file `conf`; false (and `*status`) when
// it cannot be loaded.
bool InitContext(ClientContext *ctx, const std::string &conf, uint32_t *status) {
  Properties *p = LoadPropertiesWithoutSecurity(conf.c_str(), nullptr, status);
  if (p != nullptr) InitClientContext(ctx, p, nullptr, "sysfail", "file /nonexistent", "log.sysfail", "info");
  return p != nullptr;
}

// The command's calling order: context, forwarding, session, one request
// through the wrapper, release. The process name comes from /proc/self/stat.
void Context(Obs &o) {
  uint32_t status = 0;
  ClientContext ctx;
  const bool loaded = InitContext(&ctx, GetEnv().ctx_conf, &status);
  o.Step(0, status);
  if (!loaded) return;
  const char *name = GetProcessName(&ctx);
  o.Step(1, strcmp(name, "unknown") == 0 ? kFailed : 0, static_cast<long>(strlen(name)));
  EnableLogForwarding(&ctx);
  const bool open = OpenLRPC2Session(&ctx) == 1;
  o.Step(2, open ? 0 : kFailed);
  Msg *reply = open ? Send(&ctx, NewClientMsg(&ctx, MSGTYPE_GET_LOCAL_ACCT_MGMT)) : nullptr;
  uint32_t enabled = 9;
  MsgGetBool(reply, &enabled);
  if (open) o.Step(3, reply != nullptr ? 0 : kFailed, enabled);
  o.Step(4, FreeClientContext(&ctx));
}

// No agent: the records gathered while the context lived are replayed into
// the emergency file when it is released; all of them must be there unless
// the file itself failed.
void ContextWithoutAgent(Obs &o) {
  uint32_t status = 0;
  ClientContext ctx;
  const bool loaded = InitContext(&ctx, GetEnv().lone_conf, &status);
  o.Step(0, status);
  if (!loaded) return;
  o.Step(1, OpenLRPC2Session(&ctx) == 1 ? 0 : kFailed);
  status = FreeClientContext(&ctx);
  const bool emergency_failed = EmergencyFileFailed();
  const std::string text = EmergencyFile();
  o.Step(2, emergency_failed ? kFailed : status, std::count(text.begin(), text.end(), '\n'));
}

// A session that cannot be opened or a request that fails shows as a null
// result; /proc/self/stat that cannot be opened or read gives "unknown"; an
// emergency file that cannot be opened or written loses its records.
std::vector<uint32_t> ContextStatuses(Fault f) {
  std::vector<uint32_t> s = TransportStatuses(f);
  if (!s.empty() || f.call == Call::kOpen || f.call == Call::kRead ||
      (f.call == Call::kWrite && !Survivable(f))) {
    s.push_back(kFailed);
  }
  for (uint32_t loader : LoaderStatuses(f)) s.push_back(loader);
  return s;
}

const std::vector<Fault> kContextFaults = {
    {Call::kOpen, EMFILE},    {Call::kRead, EIO},           {Call::kRead, kEof},      {Call::kRead, kShort},
    {Call::kSocket, EMFILE},  {Call::kConnect, ENOENT},     {Call::kPoll, ENOMEM},    {Call::kSendmsg, EPIPE},
    {Call::kSendmsg, kShort}, {Call::kRecvmsg, ECONNRESET}, {Call::kRecvmsg, kShort}, {Call::kWrite, ENOSPC},
    {Call::kFstat, EIO},      {Call::kStat, ENOENT},        {Call::kMmap, ENOMEM},
};

const std::vector<Fault> kLoneContextFaults = {
    {Call::kOpen, EMFILE},  {Call::kRead, EIO},    {Call::kSocket, EMFILE}, {Call::kConnect, ECONNREFUSED},
    {Call::kWrite, ENOSPC}, {Call::kWrite, EINTR}, {Call::kWrite, kShort},  {Call::kFstat, EIO},
};

// ---- The sweep -------------------------------------------------------------

struct Scenario {
  const char *name;
  void (*run)(Obs &);
  const std::vector<Fault> *faults;
  std::vector<uint32_t> (*statuses)(Fault);
  bool root = false;  // files must belong to a system account
};

const Scenario kScenarios[] = {
    {"transport", Transport, &kTransportFaults, TransportStatuses},
    {"client_log_to_agent_file_fallback", [](Obs &o) { ClientLogRun(o, GetEnv().agent.path()); }, &kLogFaults,
     LogStatuses},
    {"client_log_switch_to_file", [](Obs &o) { ClientLogRun(o, GetEnv().no_socket); }, &kLogFaults,
     LogStatuses},
    {"emergency_replay_to_file", Replay, &kLogFaults, LogStatuses},
    {"config_loader_secure_open", [](Obs &o) { LoadAndRead(o, true); }, &kLoaderFaults, LoaderStatuses, true},
    // Without the security checks the main file is checked with stat; its
    // include file is still opened with all checks.
    {"config_loader_plain_open", [](Obs &o) { LoadAndRead(o, false); }, &kLoaderFaults, LoaderStatuses, true},
    {"secure_open_for_writing", SecureWrite, &kSecureWriteFaults, SecureWriteStatuses, true},
    {"client_context", Context, &kContextFaults, ContextStatuses},
    {"client_context_without_agent", ContextWithoutAgent, &kLoneContextFaults, ContextStatuses},
};

const char *ErrorName(int error) {
  if (error == kShort) return "short";
  if (error == kEof) return "end-of-file";
  return strerrorname_np(error);
}

struct Report {
  long runs = 0;      // runs in which the chosen call failed
  long reported = 0;  // ... and a step reported it
  std::vector<std::string> faults;
};

// One run with call `n` of `f` failing (n == 0: nothing fails); true when
// the failure was reached.
bool RunOnce(const Scenario &s, Fault f, long n, Obs::Ref *ref, Report &report) {
  const Env &e = GetEnv();
  Truncate(e.emergency);
  e.agent.AwaitIdle();  // the agent lets go of earlier connections before the count
  e.agent.Clear();
  g_fault = f;
  Obs o(ref, n == 0, s.statuses(f));
  const int fds = vxtest::CountOpenFds();
  const auto start = std::chrono::steady_clock::now();
  af::Arm(0);
  sf::Arm(f.call, n, f.error);
  s.run(o);
  const sf::Stats st = sf::Disarm();
  const af::Stats mem = af::Disarm();
  const auto took = std::chrono::steady_clock::now() - start;
  e.agent.AwaitIdle();
  const int fds_after = vxtest::CountOpenFds();
  std::string what = o.fault();
  if (what.empty() && mem.outstanding != 0) what = std::to_string(mem.outstanding) + " block(s) leaked";
  if (what.empty() && fds_after != fds) what = std::to_string(fds_after - fds) + " descriptor(s) left open";
  if (what.empty() && took > kSlowRun) what = "run took over 3 s";
  if (!what.empty()) {
    report.faults.push_back(std::string(sf::CallName(f.call)) + " errno " + std::to_string(f.error) +
                            " N=" + std::to_string(n) + ": " + what);
  }
  report.runs += st.failed;
  report.reported += st.failed && o.reported();
  return st.failed;
}

void PrintTo(const Scenario &s, std::ostream *os) { *os << s.name; }

class SysFailSweep : public testing::TestWithParam<Scenario> {};

TEST_P(SysFailSweep, EveryFailureGivesItsStatusAndCleansUp) {
  const Scenario &s = GetParam();
  if (s.root && geteuid() != 0) GTEST_SKIP() << "needs root: the files must belong to a system account";
  Report report;
  for (const Fault &f : *s.faults) {
    Obs::Ref ref[kSteps] = {};
    RunOnce(s, f, 0, ref, report);
    long n = 1;
    while (n <= kMaxN && RunOnce(s, f, n, ref, report)) ++n;
    printf("[ sysfail ]   %-10s %-12s N=1..%ld\n", sf::CallName(f.call), ErrorName(f.error), n - 1);
  }
  printf(
      "[ sysfail ] %-34s %2zu call x errno, %4ld runs failed a call (%ld reported, %ld ridden out), %zu "
      "faults\n",
      s.name, s.faults->size(), report.runs, report.reported, report.runs - report.reported,
      report.faults.size());
  EXPECT_GT(report.runs, 0);
  for (size_t i = 0; i < report.faults.size() && i < 10; ++i) ADD_FAILURE() << report.faults[i];
}

// The reason of a failed session open names the system error of the call
// that failed, which the transport keeps in errno for its caller.
TEST(SysFail, FailedSessionOpenLogsTheSystemError) {
  const std::pair<Fault, const char *> rows[] = {
      {{Call::kSocket, EMFILE}, "Cannot open socket (Too many open files)"},
      {{Call::kFcntl, EBADF}, "Socket error (Bad file descriptor)"},
      {{Call::kConnect, ECONNREFUSED}, "Socket error (Connection refused)"},
      {{Call::kRecvmsg, ECONNRESET}, "Socket error (Connection reset by peer)"},
      {{Call::kRecvmsg, kEof}, "Socket closed (Success)"},
  };
  const Env &e = GetEnv();
  for (const auto &[fault, reason] : rows) {
    Truncate(e.emergency);
    ClientContext ctx;
    ASSERT_TRUE(InitContext(&ctx, e.ctx_conf, nullptr));
    sf::Arm(fault.call, 1, fault.error);
    EXPECT_EQ(OpenLRPC2Session(&ctx), 0) << reason;
    sf::Disarm();
    FreeClientContext(&ctx);  // the records gathered go to the emergency file
    const std::string expected =
        "DEBUG: Failed to open connection to vxagent through '" + e.agent.path() + "' " + reason;
    EXPECT_NE(vxtest::ReadFile(e.emergency).find(expected), std::string::npos) << expected;
  }
}

INSTANTIATE_TEST_SUITE_P(Modules, SysFailSweep, testing::ValuesIn(kScenarios),
                         [](const testing::TestParamInfo<Scenario> &p) { return std::string(p.param.name); });

}  // namespace
