// The sweep engine. A run must not crash, let an exception escape, leak a
// block or a descriptor, wait for a time-out while only memory fails, or
// give a status that the contract does not give for its fault; where the
// code survives a failure, its results must be those of the unfailed run.
//
// Failures the code survives by design (counted as "ridden out"): a short
// transfer, an interrupted or would-block call; the shrinking realloc of
// GrowBufRelease (the unshrunk block is kept); inside the client log a
// record that cannot be gathered is dropped, a session that cannot be
// opened or a send that fails switches to the emergency log, and an
// emergency file log that cannot be opened becomes a discard log; inside
// InitClientContext a property read that fails gives the built-in default
// and a process name that cannot be copied stays null; a message the
// release list cannot take is kept in the library's table of unlisted
// messages.
#include "sweep.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string_view>

#include "client_common/log_buffer.h"
#include "client_common/lrpc2.h"
#include "client_common/msg_impl.h"
#include "props/props.h"

extern "C" char __executable_start;  // where the test executable is loaded

namespace sweep {

namespace fi = vxtest::fault;

bool Statuses::Has(uint32_t status) const { return status != 0 && std::find(v, v + 6, status) != v + 6; }

void Obs::Step(int step, uint32_t status, Statuses nomem, const char *format, ...) {
  if (reference_ == nullptr) return;  // an Obs outside a sweep
  if (!Check(step >= 0 && step < kMaxSteps, "step %d out of range", step)) return;
  char text[kTextSize];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  Reference &ref = reference_[step];
  if (recording_) {
    Check(!ref.set, "step %d recorded twice", step);
    ref = Reference{true, status, {}};
    memcpy(ref.text, text, sizeof text);
  } else if (!ref.set) {
    Check(false, "step %d (status %u) not reached by the unfailed run", step, status);
  } else if (status == ref.status) {
    Check(strcmp(text, ref.text) == 0, "step %d: status %u gave \"%s\", unfailed run \"%s\"", step, status,
          text, ref.text);
  } else if ((fault_ != nullptr ? fault_->statuses : nomem).Has(status)) {
    if (reported_ < 8) seen_[reported_] = status;
    ++reported_;
  } else {
    Check(false, "step %d: status %u (%s), unfailed run %u; the fault allows no such status", step, status,
          text, ref.status);
  }
}

bool Obs::Check(bool ok, const char *format, ...) {
  if (ok || text_[0] != '\0') return ok;
  va_list args;
  va_start(args, format);
  vsnprintf(text_, sizeof text_, format, args);
  va_end(args);
  return false;
}

bool Obs::Hard(Call c) const {
  return fault_ != nullptr && fault_->call == c && fi::Failures() > 0 && fault_->error != kShort &&
         fault_->error != EINTR && fault_->error != EAGAIN;
}

namespace {

// The agent's replies by request type; 112 is challenged twice first.
vxtest::Agent::Answers ReplyTo(const vxtest::Bytes &frame) {
  using namespace vxtest;
  const uint16_t type = FrameType(frame);
  if (type == MSGTYPE_GET_LOCAL_ACCT_MGMT) return {Frame(type, Int(0) + Bool(true))};
  if (type == MSGTYPE_RELOAD_LOCAL_ACCT) return {Frame(3, Str("nonce")), Frame(3), Frame(type, Int(0))};
  if (type == MSGTYPE_LIST_LOCAL_ACCT) return {Frame(type, Int(0) + Set({"alice", "bob", "carol"}))};
  if (type == MSGTYPE_DUMP_LOCAL_ACCT) {  // 24,000 lines of 60 bytes, read into a mapping
    static const std::vector<std::string> lines = [] {
      std::vector<std::string> l;
      for (int i = 0; i < 24000; ++i) l.push_back("user" + std::to_string(100000 + i) + std::string(50, 'x'));
      return l;
    }();
    return {Frame(type, Int(0) + Set(lines))};
  }
  if (type == MSGTYPE_AUDIT_TRAIL_EVENT) return {};
  return {Frame(type)};
}

// A record text after which the end record (eight tagged fields, 40 bytes)
// no longer fits in the block of the pending message, found by building the
// same message here.
std::string EndRecordText() {
  constexpr ptrdiff_t kEndRecordBytes = 40;
  for (size_t length = 1; length < 500; ++length) {
    const std::string text(length, 'x');
    Msg *m = NewMsg(MSGTYPE_CONTROL_LOG2, GetMsgTypeTable(), LRPC_HEADER_SIZE, nullptr);
    MsgAddUInt(m, 0), MsgAddString(m, kLogProcess), MsgAddInt(m, 0), MsgAddInt(m, LOG_LEVEL_INFO);
    MsgAddString(m, kLogSource), MsgAddInt(m, 0), MsgAddString(m, kEndRecordFunction);
    MsgAddString(m, text.c_str());
    const ptrdiff_t room = m->buf.end - m->buf.cur;
    MsgFree(m);
    if (room > kEndRecordBytes / 4 && room < kEndRecordBytes / 2) return text;
  }
  throw std::runtime_error("no record text fills the log message's block");
}

}  // namespace

Env::Env() : long_text(600, 's') {
  agent.Reply(ReplyTo);
  using namespace vxtest;
  reply_block =
      Block(MSGTYPE_LIST_LOCAL_ACCT, Bool(1) + Int(-5) + UInt(7) + Str("abc") + U8(MDT_STRING) + NullItem() +
                                         Set({"a", nullptr, "bcd", ""}) + U8(MDT_PASSWORD) + Item("secret") +
                                         U8(MDT_BLOB) + Item("\x01\xff") + U8(MDT_KEYVALUES) + U32(2) +
                                         Item("k") + Item("v") + Item("k2") + NullItem());
  include = dir.write("list.inc", "alice\n# comment\n   bob smith\n$name\n");
  include_ref = "file:" + include;
  std::string many;  // more list elements than GetValueList's first array holds
  for (int i = 0; i < 2 * PROPS_VALUE_LIST_INITIAL; ++i) many += "i" + std::to_string(i) + " ";
  conf =
      dir.write("props.conf",
                "# fault sweep configuration\nname = world\ngreeting: hello $name\n"
                "quoted = \"a  b\" \\\n   continued\nself: $self\nenv: $FAULTSWEEP_ENV\njoin: at $JOINNAME\n"
                "escaped = tab\\there \\$name\nnum = 0x10\nflag = yes\nspan = 5m\nints = 1, 5-9, 12 - 14\n"
                "words = alpha, \"beta gamma\" delta\ninc = " +
                    include_ref + "\nlong = " + long_text + "\nmany = " + many + "\n");
  setenv("FAULTSWEEP_ENV", "from-env", 1);
  emergency = dir.write("emergency.log", "");
  emergency_dest = "file " + emergency;
  no_socket = dir.file("nobody.sock");
  target = dir.file("target");
  end_record_text = EndRecordText();
  const std::string log =
      "\nlrpc.timeout = 1\nlrpc.connect.timeout = 1\nlog.faultsweep = trace\nfaultsweep = " + emergency_dest +
      "\n";
  ctx_conf = dir.write("context.conf", "vxagent.clients.socket2 = " + agent.path() + log);
  lone_conf = dir.write("lone.conf", "vxagent.clients.socket2 = " + no_socket + log);
}

const Env &GetEnv() {
  static const Env env;
  return env;
}

Digest DigestOf(const void *bytes, size_t length) {
  return Digest{length,
                std::hash<std::string_view>{}(std::string_view(static_cast<const char *>(bytes), length))};
}

Digest DigestOf(const char *text) { return text == nullptr ? Digest{0, 0} : DigestOf(text, strlen(text)); }

uint32_t FirstFailure(std::initializer_list<uint32_t> statuses) {
  for (uint32_t status : statuses)
    if (status != 0) return status;
  return 0;
}

namespace {

constexpr long kMaxRuns = 20000;
constexpr auto kSlowRun = std::chrono::seconds(3);
constexpr size_t kFaultsShown = 8;

struct Report {
  long runs = 0;      // runs that met a failure
  long reported = 0;  // ... and in which a step gave a status of it
  std::vector<std::string> faults;
};

// With VXTEST_FAULT_TRACE naming a file, each run that met a failure adds
// "scenario, fault, offset of the failed call's return address in the
// executable, statuses reported" to it: the injection points a sweep reaches.
void Trace(const char *scenario, const std::string &fault, const fi::Stats &st, const Obs &o) {
  const char *path = getenv("VXTEST_FAULT_TRACE");
  FILE *f = path != nullptr ? fopen(path, "ae") : nullptr;
  if (f == nullptr) return;
  fprintf(f, "%s\t%s\t%tx\t", scenario, fault.c_str(),
          static_cast<const char *>(st.failed_caller) - &__executable_start);
  for (int i = 0; i < std::min(o.reported(), 8); ++i) fprintf(f, "%u,", o.seen()[i]);
  fprintf(f, "\n");
  fclose(f);
}

std::string FaultName(const CallFault *f, bool from_nth) {
  if (f == nullptr) return from_nth ? "memory-from" : "memory";
  const char *e = f->error == kShort ? "short" : f->error == kEof ? "end-of-file" : strerrorname_np(f->error);
  return std::string(fi::CallName(f->call)) + ":" + e;
}

// One run with call `n` of the fault failing (0: none); true when it met
// a failure.
bool RunOnce(const Scenario &s, const CallFault *f, bool from_nth, long n, Obs::Reference *ref,
             bool recording, Report &report) {
  const Env &e = GetEnv();
  int fd = open(e.emergency.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd >= 0) close(fd);
  e.agent.AwaitIdle();  // the agent lets go of earlier connections before the count
  e.agent.Clear();
  Obs obs(f, ref, recording);
  const int fds = vxtest::CountOpenFds();
  const auto start = std::chrono::steady_clock::now();
  bool escaped = false;
  fi::Arm(f != nullptr ? f->call : Call::kAlloc, n, f != nullptr ? f->error : ENOMEM, from_nth);
  try {
    s.run(obs);
  } catch (...) {
    escaped = true;
  }
  const fi::Stats st = fi::Disarm();
  const auto took = std::chrono::steady_clock::now() - start;
  e.agent.AwaitIdle();
  const int fds_after = vxtest::CountOpenFds();
  char what[Obs::kTextSize + 100] = "";
  if (escaped) {
    snprintf(what, sizeof what, "an exception escaped");
  } else if (obs.fault()[0] != '\0') {
    snprintf(what, sizeof what, "%s", obs.fault());
  } else if (st.outstanding != 0 || st.overflow) {
    snprintf(what, sizeof what, "%ld block(s) leaked, oldest from allocation %ld%s", st.outstanding,
             st.first_leak, st.overflow ? "; tracker overflow" : "");
  } else if (fds_after != fds) {
    snprintf(what, sizeof what, "%d descriptor(s) left open", fds_after - fds);
  } else if (f == nullptr && st.timeouts > 0) {
    snprintf(what, sizeof what, "waited for a time-out while only memory failed");
  } else if (took > kSlowRun) {
    snprintf(what, sizeof what, "run took over 3 s");
  }
  const std::string name = FaultName(f, from_nth);
  if (what[0] != '\0') report.faults.push_back(name + " N=" + std::to_string(n) + ": " + what);
  if (n == 0 || st.failed == 0) return false;
  ++report.runs;
  report.reported += obs.reported() > 0;
  Trace(s.name, name, st, obs);
  return true;
}

// Fails call 1, 2, ... of the fault until a run meets none or finds a fault.
void SweepFault(const Scenario &s, const CallFault *f, bool from_nth, Obs::Reference *ref, Report &report) {
  long n = 1;
  for (size_t faults = report.faults.size(); n <= kMaxRuns && report.faults.size() == faults; ++n) {
    if (!RunOnce(s, f, from_nth, n, ref, false, report)) break;
  }
  printf("[ sweep ]   %-26s N=1..%ld\n", FaultName(f, from_nth).c_str(), n - 1);
}

// Each scenario twice: swept over its system calls, and over allocations.
// The system-call sweeps, some of which wait for time-outs, come first and
// as separate tests, so that parallel CTest runs start them early.
struct Param {
  Scenario scenario;
  bool calls;
};
void PrintTo(const Param &p, std::ostream *os) { *os << p.scenario.name << (p.calls ? " calls" : " memory"); }

std::vector<Param> AllParams() {
  std::vector<Param> all;
  for (bool calls : {true, false}) {
    for (auto group : {MsgScenarios, FileScenarios, ClientScenarios}) {
      for (const Scenario &s : group()) {
        if (calls ? !s.calls.empty() : s.memory) all.push_back({s, calls});
      }
    }
  }
  return all;
}

class FaultSweep : public testing::TestWithParam<Param> {
 protected:
  static void SetUpTestSuite() { GetEnv(); }
};

TEST_P(FaultSweep, EveryFaultGivesItsStatusAndCleansUp) {
  const Scenario &s = GetParam().scenario;
  if (s.root && geteuid() != 0) GTEST_SKIP() << "needs root: the files must belong to a system account";
  Report report, scratch;
  auto ref = std::make_unique<Obs::Reference[]>(Obs::kMaxSteps);
  auto scratch_ref = std::make_unique<Obs::Reference[]>(Obs::kMaxSteps);
  RunOnce(s, nullptr, false, 0, scratch_ref.get(), true, scratch);  // one-time work: lazy tables, caches
  RunOnce(s, nullptr, false, 0, ref.get(), true, report);
  if (GetParam().calls) {
    for (const CallFault &f : s.calls) SweepFault(s, &f, false, ref.get(), report);
  } else {
    for (bool from_nth : {false, true}) SweepFault(s, nullptr, from_nth, ref.get(), report);
  }
  printf("[ sweep ] %s: %ld runs met a failure (%ld reported, %ld ridden out), %zu faults\n", s.name,
         report.runs, report.reported, report.runs - report.reported, report.faults.size());
  EXPECT_GT(report.runs, 0) << "no run met a failure";
  for (size_t i = 0; i < report.faults.size() && i < kFaultsShown; ++i) ADD_FAILURE() << report.faults[i];
}

INSTANTIATE_TEST_SUITE_P(Modules, FaultSweep, testing::ValuesIn(AllParams()),
                         [](const testing::TestParamInfo<Param> &p) {
                           return std::string(p.param.scenario.name) + (p.param.calls ? "_calls" : "_memory");
                         });

}  // namespace

}  // namespace sweep
