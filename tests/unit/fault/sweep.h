// Fault sweeps: a scenario runs with allocation 1, 2, 3, ... failing in turn
// (and, in a second pass, every allocation from the Nth on), then with call
// 1, 2, 3, ... of each system call of its fault table failing with the
// errno given there, until a run meets no failure; every run is checked
// against the unfailed run. Scenarios exercise one module each and fill an
// Obs; they run while faults are armed, so they use only the fixtures of
// Env, built once beforehand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "support/agent.h"
#include "support/fault.h"

namespace sweep {

using vxtest::fault::Call;

// Pseudo-status of a call whose only failure signal is its result.
constexpr uint32_t kNull = 0x80000000u;

// Statuses a step may give instead of the unfailed run's under one fault
// family; up to six, an unused place is 0.
struct Statuses {
  uint32_t v[6];
  bool Has(uint32_t status) const;
};

// A system-call fault of a scenario's table: `call` fails with `error`
// (or kShort, kEof), and any step may then give one of `statuses`.
struct CallFault {
  Call call;
  int error;
  Statuses statuses;
};

// What one run of a scenario saw; never allocates.
class Obs {
 public:
  static constexpr int kMaxSteps = 64;
  static constexpr size_t kTextSize = 512;
  struct Reference {
    bool set;
    uint32_t status;
    char text[kTextSize];
  };

  // `fault` is the system-call fault of the run, null when allocations
  // fail; without `reference` steps are not checked; with `recording` they
  // are recorded there.
  Obs(const CallFault *fault, Reference *reference, bool recording)
      : fault_(fault), reference_(reference), recording_(recording) {}
  // Result of step `step`: its status and the text of what it produced.
  // The unfailed run records them. In later runs the same status must give
  // the same text; any other status must be one of `nomem` when memory is
  // exhausted, one of the failing call's statuses otherwise.
  void Step(int step, uint32_t status, Statuses nomem, const char *format, ...)
      __attribute__((format(printf, 5, 6)));
  // Records a broken rule unless `ok`; the first one is kept.
  bool Check(bool ok, const char *format, ...) __attribute__((format(printf, 3, 4)));
  // The failing system call, or null when allocations fail.
  const CallFault *call() const { return fault_; }
  // True once the run met a failure of one of `calls` that it cannot ride
  // out (not kShort, EINTR or EAGAIN).
  bool Hard(std::initializer_list<Call> calls) const;
  const char *fault() const { return text_; }
  // The statuses of the fault that steps gave (the first eight), and how many.
  const uint32_t *seen() const { return seen_; }
  int reported() const { return reported_; }

 private:
  const CallFault *fault_;
  Reference *reference_;
  bool recording_;
  int reported_ = 0;
  uint32_t seen_[8] = {};
  char text_[kTextSize] = "";
};

struct Scenario {
  const char *name;  // letters, digits, underscores
  void (*run)(Obs &);
  const char *faults;  // its table in testdata/faults, swept after allocations; null: none
  bool memory = true;  // allocation failures are swept
  bool root = false;   // its files must belong to a system account
};

// Fixtures shared by the scenarios.
struct Env {
  vxtest::TempDir dir;
  mutable vxtest::Agent agent;            // replies to 111 to 114, challenges 112 twice
  std::string long_text;                  // 600 bytes: outgrows every first block
  std::string reply_block;                // a received message holding every field kind
  std::string conf, include_ref;          // configuration, and "file:" + its include file
  std::string ctx_conf, lone_conf;        // client context configurations, with and without agent
  std::string emergency, emergency_dest;  // emergency log file, "file " + it
  std::string no_socket;                  // an absolute path where nothing listens
  std::string target;                     // a file that secure opening replaces
  // Text of a client log record that leaves the pending ControlLog2
  // message so little room that appending the end record must grow it.
  std::string end_record_text;
  Env();
};
const Env &GetEnv();

// Time-outs (s) of every session, and identity of the client log records.
constexpr uint32_t kTimeout = 1;
constexpr const char *kLogProcess = "faultsweep";
constexpr const char *kLogSource = "faultsweep";
constexpr const char *kEndRecordFunction = "EndRecord";

// "length:hash" of a byte string (a null text: length 0), for comparing
// long results in the fixed texts of an Obs.
struct Hashed {
  char text[48];
};
Hashed Hash(const void *bytes, size_t length);
Hashed Hash(const char *text);

std::vector<Scenario> MsgScenarios();
std::vector<Scenario> FileScenarios();
std::vector<Scenario> ClientScenarios();

}  // namespace sweep
