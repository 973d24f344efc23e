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
#include <fstream>
#include <map>
#include <sstream>
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
  if (reference_ == nullptr) return;
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

bool Obs::Hard(std::initializer_list<Call> calls) const {
  return fault_ != nullptr && std::find(calls.begin(), calls.end(), fault_->call) != calls.end() &&
         fi::Failures() > 0 && fault_->error != fi::kShort && fault_->error != EINTR &&
         fault_->error != EAGAIN;
}

Env::Env() : long_text(600, 's') {
  using namespace vxtest;
  std::vector<std::string> lines;  // 24,000 of 60 bytes: a reply read into a mapping
  for (int i = 0; i < 24000; ++i) lines.push_back("user" + std::to_string(100000 + i) + std::string(50, 'x'));
  agent.Reply(
      [dump = Frame(MSGTYPE_DUMP_LOCAL_ACCT, Int(0) + Set(lines))](const Bytes &frame) -> Agent::Answers {
        const uint16_t type = FrameType(frame);  // 112 is challenged twice first
        if (type == MSGTYPE_GET_LOCAL_ACCT_MGMT) return {Frame(type, Int(0) + Bool(true))};
        if (type == MSGTYPE_RELOAD_LOCAL_ACCT) return {Frame(3, Str("nonce")), Frame(3), Frame(type, Int(0))};
        if (type == MSGTYPE_LIST_LOCAL_ACCT) return {Frame(type, Int(0) + Set({"alice", "bob", "carol"}))};
        if (type == MSGTYPE_DUMP_LOCAL_ACCT) return {dump};
        return type == MSGTYPE_AUDIT_TRAIL_EVENT ? Agent::Answers{} : Agent::Answers{Frame(type)};
      });
  reply_block =
      Block(MSGTYPE_LIST_LOCAL_ACCT, Bool(1) + Int(-5) + UInt(7) + Str("abc") + U8(MDT_STRING) + NullItem() +
                                         Set({"a", nullptr, "bcd", ""}) + U8(MDT_PASSWORD) + Item("secret") +
                                         U8(MDT_BLOB) + Item("\x01\xff") + U8(MDT_KEYVALUES) + U32(2) +
                                         Item("k") + Item("v") + Item("k2") + NullItem());
  include_ref = "file:" + dir.write("list.inc", "alice\n# comment\n   bob smith\n$name\n");
  conf =
      dir.write("props.conf",
                "# fault sweep configuration\nname = world\ngreeting: hello $name\n"
                "quoted = \"a  b\" \\\n   continued\nself: $self\nenv: $FAULTSWEEP_ENV\njoin: at $JOINNAME\n"
                "escaped = tab\\there \\$name\ninc = " +
                    include_ref + "\nlong = " + long_text + "\n");
  setenv("FAULTSWEEP_ENV", "from-env", 1);
  emergency = dir.write("emergency.log", "");
  emergency_dest = "file " + emergency;
  no_socket = dir.file("nobody.sock");
  target = dir.file("target");
  // The shortest record text after which the end record (eight tagged
  // fields, 40 bytes) no longer fits in the block of the pending message,
  // found by building the same message here.
  constexpr ptrdiff_t kEndRecordBytes = 40;
  for (size_t length = 1; end_record_text.empty(); ++length) {
    if (length == 500) throw std::runtime_error("no record text fills the log message's block");
    Msg *m = NewMsg(MSGTYPE_CONTROL_LOG2, GetMsgTypeTable(), LRPC_HEADER_SIZE, nullptr);
    MsgAddUInt(m, 0), MsgAddString(m, kLogProcess), MsgAddInt(m, 0), MsgAddInt(m, LOG_LEVEL_INFO);
    MsgAddString(m, kLogSource), MsgAddInt(m, 0), MsgAddString(m, kEndRecordFunction);
    MsgAddString(m, std::string(length, 'x').c_str());
    const ptrdiff_t room = m->buf.end - m->buf.cur;
    MsgFree(m);
    if (room > kEndRecordBytes / 4 && room < kEndRecordBytes / 2) end_record_text.assign(length, 'x');
  }
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

Hashed Hash(const void *bytes, size_t length) {
  Hashed h;
  snprintf(h.text, sizeof h.text, "%zu:%zx", length,
           std::hash<std::string_view>{}(std::string_view(static_cast<const char *>(bytes), length)));
  return h;
}

Hashed Hash(const char *text) { return Hash(text, text != nullptr ? strlen(text) : 0); }

namespace {

constexpr long kMaxRuns = 20000;
constexpr auto kSlowRun = std::chrono::seconds(3);
constexpr size_t kFaultsShown = 8;

const char *ErrorName(int error) {
  return error == fi::kShort ? "short" : error == fi::kEof ? "end-of-file" : strerrorname_np(error);
}

std::string FaultName(const CallFault *f, bool from_nth) {
  if (f == nullptr) return from_nth ? "memory-from" : "memory";
  return std::string(fi::CallName(f->call)) + ":" + ErrorName(f->error);
}

std::vector<Scenario> AllScenarios() {
  std::vector<Scenario> all;
  for (auto group : {MsgScenarios, FileScenarios, ClientScenarios}) {
    for (const Scenario &s : group()) all.push_back(s);
  }
  return all;
}

// The fault tables of testdata/faults (see there) by name; a row that does
// not read as one, or names no scenario's table, fails every sweep.
std::map<std::string, std::vector<CallFault>> ReadFaultTables() {
  std::map<std::string, std::vector<CallFault>> tables;
  for (const Scenario &s : AllScenarios()) {
    if (s.faults != nullptr) tables[s.faults];
  }
  std::ifstream in(FAULT_TEST_DATA "/faults");
  int number = 0;
  for (std::string line, names, call, error, list, extra; std::getline(in, line);) {
    ++number;
    std::istringstream words(line);
    if (!(words >> names) || names[0] == '#') continue;
    CallFault f{Call::kCount, 0, {}};
    bool ok = words >> call >> error >> list && !(words >> extra);
    for (int c = 0; c < static_cast<int>(Call::kCount); ++c)
      if (call == fi::CallName(Call(c))) f.call = Call(c);
    for (int e = fi::kEof; e < 200; ++e)
      if (e != 0 && ErrorName(e) != nullptr && error == ErrorName(e)) f.error = e;
    std::istringstream items(list == "none" ? "" : list);
    int k = 0;
    for (std::string item; ok && std::getline(items, item, ',');) {
      ok = k < 6 && (item == "null" || (!item.empty() && item.find_first_not_of("0123456789") == item.npos));
      if (ok) f.statuses.v[k++] = item == "null" ? kNull : static_cast<uint32_t>(std::stoul(item));
    }
    std::istringstream each(names);
    for (std::string table; ok && std::getline(each, table, ',');) {
      ok = tables.count(table) != 0;
      if (ok) tables[table].push_back(f);
    }
    if (!ok || f.call == Call::kCount || f.error == 0)
      throw std::runtime_error("testdata/faults:" + std::to_string(number) + ": not a row: " + line);
  }
  return tables;
}

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

// The runs of one scenario, checked against its unfailed run.
class Sweep {
 public:
  explicit Sweep(const Scenario &s) : s_(s), ref_(Obs::kMaxSteps) {
    Run(nullptr, false, 0, nullptr);  // one-time work: lazy tables, caches
    Run(nullptr, false, 0, ref_.data());
  }
  // Fails call 1, 2, ... of the fault until a run meets none or finds a fault.
  void Each(const CallFault *f, bool from_nth) {
    long n = 1;
    for (size_t found = faults.size(); n <= kMaxRuns && faults.size() == found; ++n) {
      if (!Run(f, from_nth, n, ref_.data())) break;
    }
    printf("[ sweep ]   %-26s N=1..%ld\n", FaultName(f, from_nth).c_str(), n - 1);
  }
  long runs = 0;      // runs that met a failure
  long reported = 0;  // ... and in which a step gave a status of it
  std::vector<std::string> faults;

 private:
  // One run with call `n` of the fault failing (0: none, recorded in `ref`);
  // true when it met a failure.
  bool Run(const CallFault *f, bool from_nth, long n, Obs::Reference *ref) {
    const Env &e = GetEnv();
    if (int fd = open(e.emergency.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC); fd >= 0) close(fd);
    e.agent.AwaitIdle();  // the agent lets go of earlier connections before the count
    e.agent.Clear();
    Obs obs(f, ref, n == 0);
    const int fds = vxtest::CountOpenFds();
    const auto start = std::chrono::steady_clock::now();
    fi::Arm(f != nullptr ? f->call : Call::kAlloc, n, f != nullptr ? f->error : ENOMEM, from_nth);
    try {
      s_.run(obs);
    } catch (...) {
      obs.Check(false, "an exception escaped");
    }
    const fi::Stats st = fi::Disarm();
    const auto took = std::chrono::steady_clock::now() - start;
    e.agent.AwaitIdle();
    const int left = vxtest::CountOpenFds() - fds;
    obs.Check(st.outstanding == 0 && !st.overflow, "%ld block(s) leaked, oldest from allocation %ld%s",
              st.outstanding, st.first_leak, st.overflow ? "; tracker overflow" : "");
    obs.Check(left == 0, "%d descriptor(s) left open", left);
    obs.Check(f != nullptr || st.timeouts == 0, "waited for a time-out while only memory failed");
    obs.Check(took <= kSlowRun, "run took over 3 s");
    const std::string name = FaultName(f, from_nth);
    if (obs.fault()[0] != '\0') faults.push_back(name + " N=" + std::to_string(n) + ": " + obs.fault());
    if (n == 0 || st.failed == 0) return false;
    ++runs;
    reported += obs.reported() > 0;
    Trace(s_.name, name, st, obs);
    return true;
  }

  const Scenario &s_;
  std::vector<Obs::Reference> ref_;
};

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
    for (const Scenario &s : AllScenarios()) {
      if (calls ? s.faults != nullptr : s.memory) all.push_back({s, calls});
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
  Sweep sweep(s);
  if (GetParam().calls) {
    static const auto tables = ReadFaultTables();
    ASSERT_FALSE(tables.at(s.faults).empty()) << "no rows in testdata/faults for " << s.faults;
    for (const CallFault &f : tables.at(s.faults)) sweep.Each(&f, false);
  } else {
    for (bool from_nth : {false, true}) sweep.Each(nullptr, from_nth);
  }
  printf("[ sweep ] %s: %ld runs met a failure (%ld reported, %ld ridden out), %zu faults\n", s.name,
         sweep.runs, sweep.reported, sweep.runs - sweep.reported, sweep.faults.size());
  EXPECT_GT(sweep.runs, 0) << "no run met a failure";
  for (size_t i = 0; i < sweep.faults.size() && i < kFaultsShown; ++i) ADD_FAILURE() << sweep.faults[i];
}

INSTANTIATE_TEST_SUITE_P(Modules, FaultSweep, testing::ValuesIn(AllParams()),
                         [](const testing::TestParamInfo<Param> &p) {
                           return std::string(p.param.scenario.name) + (p.param.calls ? "_calls" : "_memory");
                         });

}  // namespace

}  // namespace sweep
