// Sweeps allocation failures over every scenario of every module: for each
// N, allocation N fails (and in the second mode every allocation from the
// Nth on), until a run completes without any failure injected. A run must
// not crash, leak a block or a descriptor, let an exception escape, or give
// a status that the contract does not give for exhausted memory; where the
// code survives a failed allocation, its results must be those of the
// unfailed run.
//
// Failures the code survives by design (counted as "survived"): the
// shrinking realloc of GrowBufRelease (the unshrunk block is kept); inside
// the client log a record that cannot be gathered is dropped, a session
// that cannot be opened or a send that fails switches to the emergency log,
// and an emergency file log that cannot be opened becomes a discard log;
// inside InitClientContext a property read that fails gives the built-in
// default and a process name that cannot be copied stays null; a message
// the release list cannot take is kept in an unlisted slot of the context.
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

#include "client_common/log_buffer.h"
#include "client_common/lrpc2.h"
#include "client_common/msg_impl.h"
#include "props/props.h"
#include "sweep.h"

namespace allocfail {

namespace af = vxtest::allocfail;

void Observation::Result(int step, uint32_t status, std::initializer_list<uint32_t> nomem, const char *format,
                         ...) {
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
  } else if (std::find(nomem.begin(), nomem.end(), status) != nomem.end()) {
    ++reported_;
  } else {
    Check(false, "step %d: status %u (%s), unfailed run %u; exhausted memory allows no such status", step,
          status, text, ref.status);
  }
}

bool Observation::Check(bool ok, const char *format, ...) {
  if (ok || fault_[0] != '\0') return ok;
  va_list args;
  va_start(args, format);
  vsnprintf(fault_, sizeof fault_, format, args);
  va_end(args);
  return false;
}

namespace {

constexpr long kMaxRuns = 20000;
constexpr auto kSlowRun = std::chrono::milliseconds(1500);
constexpr size_t kFaultsShown = 8;
constexpr uint16_t kReload = 112;

// Entries of a dump reply that is read into a mapping: 24,000 lines of 60
// bytes, about 1.5 MB.
const std::vector<std::string> &LargeSet() {
  static const std::vector<std::string> set = [] {
    std::vector<std::string> lines;
    for (int i = 0; i < 24000; ++i)
      lines.push_back("user" + std::to_string(100000 + i) + std::string(50, 'x'));
    return lines;
  }();
  return set;
}

// The agent's replies by request type; 112 is challenged twice first.
vxtest::Agent::Answers ReplyTo(const vxtest::Bytes &frame) {
  using namespace vxtest;
  const uint16_t type = FrameType(frame);
  if (type == 111) return {Frame(type, Int(0) + Bool(true))};
  if (type == kReload) return {Frame(3, Str("nonce")), Frame(3, Str("nonce")), Frame(type, Int(0))};
  if (type == 113) return {Frame(type, Int(0) + Set({"alice", "bob", "carol"}))};
  if (type == 114) return {Frame(type, Int(0) + Set(LargeSet()))};
  if (type == MSGTYPE_AUDIT_TRAIL_EVENT) return {};
  return {Frame(type)};
}

// Body fields of every kind, in the order the read scenario reads them.
std::string EveryFieldKind() {
  using namespace vxtest;
  return Bool(1) + Int(-5) + UInt(7) + Str("abc") + U8(MDT_STRING) + NullItem() +
         Set({"a", nullptr, "bcd", ""}) + U8(MDT_PASSWORD) + Item("secret") + U8(MDT_BLOB) +
         Item("\x01\xff") + U8(MDT_KEYVALUES) + U32(2) + Item("k") + Item("v") + Item("k2") + NullItem();
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
  const uint16_t type = 113;
  reply_block = std::string(8, '\0') + std::string(reinterpret_cast<const char *>(&type), 2) +
                EveryFieldKind() + std::string(1, '\0');
  include = dir.write("list.inc", "alice\n# comment\n   bob smith\n$name\n");
  include_ref = "file:" + include;
  std::string many;  // more list elements than GetValueList's first array holds
  for (int i = 0; i < 2 * PROPS_VALUE_LIST_INITIAL; ++i) many += "i" + std::to_string(i) + " ";
  conf =
      dir.write("props.conf",
                "# allocation sweep configuration\nname = world\ngreeting: hello $name\n"
                "quoted = \"a  b\" \\\n   continued\nself: $self\nenv: $ALLOCFAIL_ENV\njoin: at $JOINNAME\n"
                "escaped = tab\\there \\$name\nnum = 0x10\nflag = yes\nspan = 5m\nints = 1, 5-9, 12 - 14\n"
                "words = alpha, \"beta gamma\" delta\ninc = " +
                    include_ref + "\nlong = " + long_text + "\nmany = " + many + "\n");
  setenv("ALLOCFAIL_ENV", "from-env", 1);
  emergency = dir.write("emergency.log", "");
  emergency_dest = "file " + emergency;
  no_socket = dir.file("nobody.sock");
  end_record_text = EndRecordText();
  ctx_conf = dir.write("context.conf", "vxagent.clients.socket2 = " + agent.path() +
                                           "\nlrpc.timeout = 5\nlrpc.connect.timeout = 2\n"
                                           "log.allocfail = trace\nallocfail = " +
                                           emergency_dest + "\n");
}

const Env &GetEnv() {
  static const Env env;
  return env;
}

Digest DigestOf(const void *bytes, size_t length) {
  uint32_t h = 2166136261u;
  const auto *p = static_cast<const unsigned char *>(bytes);
  for (size_t i = 0; i < length; ++i) h = (h ^ p[i]) * 16777619u;
  return Digest{length, h};
}

Digest DigestOf(const char *text) { return text == nullptr ? Digest{0, 0} : DigestOf(text, strlen(text)); }

void Truncate(const std::string &path) {
  int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd >= 0) close(fd);
}

uint32_t FirstFailure(std::initializer_list<uint32_t> statuses) {
  for (uint32_t status : statuses)
    if (status != 0) return status;
  return 0;
}

namespace {

struct Report {
  long runs = 0;         // N values swept (each injected a failure)
  long allocations = 0;  // allocations of the unfailed run
  long survived = 0;     // failed, yet nothing reported and the right results
  std::vector<std::string> faults;
};

// One run with allocation `n` failing in `mode` (0: none); returns the
// number of failures injected.
long Run(const Scenario &s, long n, af::Mode mode, Observation::Reference *ref, bool recording,
         Report &report) {
  Observation obs(ref, recording);
  const int fds = vxtest::CountOpenFds();
  const auto start = std::chrono::steady_clock::now();
  bool escaped = false;
  af::Arm(n, mode);
  try {
    s.run(obs);
  } catch (...) {
    escaped = true;
  }
  const af::Stats st = af::Disarm();
  const auto took = std::chrono::steady_clock::now() - start;
  vxtest::Agent &agent = GetEnv().agent;
  agent.AwaitIdle();  // the agent lets go of its ends of the connections
  agent.Clear();
  const int fds_after = vxtest::CountOpenFds();
  char what[Observation::kTextSize + 100] = "";
  if (escaped) {
    snprintf(what, sizeof what, "an exception escaped (allocation %ld of %ld failed)", n, st.allocations);
  } else if (obs.fault()[0] != '\0') {
    snprintf(what, sizeof what, "%s", obs.fault());
  } else if (st.outstanding != 0 || st.overflow) {
    snprintf(what, sizeof what, "%ld block(s) leaked, oldest from allocation %ld (%zu bytes)%s",
             st.outstanding, st.first_leak, st.first_leak_size, st.overflow ? "; tracker overflow" : "");
  } else if (fds_after != fds) {
    snprintf(what, sizeof what, "%d descriptor(s) left open", fds_after - fds);
  } else if (took > kSlowRun) {
    snprintf(what, sizeof what, "run took over %lld ms (a time-out?)",
             static_cast<long long>(kSlowRun.count()));
  }
  if (recording) report.allocations = st.allocations;
  if (what[0] != '\0') report.faults.push_back("N=" + std::to_string(n) + ": " + what);
  report.survived += st.failed > 0 && obs.reported() == 0 && what[0] == '\0';
  return st.failed;
}

Report Sweep(const Scenario &s, af::Mode mode) {
  Report report, scratch;
  auto ref = std::make_unique<Observation::Reference[]>(Observation::kMaxSteps);
  auto scratch_ref = std::make_unique<Observation::Reference[]>(Observation::kMaxSteps);
  Run(s, 0, mode, scratch_ref.get(), true, scratch);  // one-time work: lazy tables, caches
  Run(s, 0, mode, ref.get(), true, report);
  for (long n = 1; report.faults.empty() && n <= kMaxRuns; ++n) {
    if (Run(s, n, mode, ref.get(), false, report) == 0) break;
    report.runs = n;
  }
  return report;
}

struct Param {
  Scenario scenario;
  af::Mode mode;
};
void PrintTo(const Param &p, std::ostream *os) { *os << p.scenario.name; }

std::vector<Param> AllParams() {
  std::vector<Param> params;
  for (af::Mode mode : {af::Mode::kNth, af::Mode::kFromNth}) {
    for (auto group : {UtilMsgScenarios, TransportScenarios, PropsScenarios, ClientScenarios}) {
      for (const Scenario &s : group()) params.push_back({s, mode});
    }
  }
  return params;
}

class AllocFailSweep : public testing::TestWithParam<Param> {
 protected:
  static void SetUpTestSuite() { GetEnv(); }
};

TEST_P(AllocFailSweep, EveryFailureIsReportedAndCleanedUp) {
  const Param &p = GetParam();
  const Report r = Sweep(p.scenario, p.mode);
  printf("[ allocfail ] %-38s %-8s N=1..%-4ld swept (%ld allocations unfailed), %ld survived, %zu faults\n",
         p.scenario.name, p.mode == af::Mode::kNth ? "Nth" : "from-Nth", r.runs, r.allocations, r.survived,
         r.faults.size());
  EXPECT_GT(r.runs, 0) << "the scenario allocates nothing";
  for (size_t i = 0; i < r.faults.size() && i < kFaultsShown; ++i) ADD_FAILURE() << r.faults[i];
}

INSTANTIATE_TEST_SUITE_P(Modules, AllocFailSweep, testing::ValuesIn(AllParams()),
                         [](const testing::TestParamInfo<Param> &param) {
                           return std::string(param.param.scenario.name) +
                                  (param.param.mode == af::Mode::kNth ? "_Nth" : "_FromNth");
                         });

}  // namespace
}  // namespace allocfail
