// Allocation-failure sweeps: a scenario runs with allocation 1, 2, 3, ...
// failing in turn (or every allocation from the Nth on) until it completes
// without a failure injected, and every run is checked. Scenarios exercise
// one module each and fill an Observation; they run while allocations are
// failed, so they use only the fixtures of Env, built once beforehand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "support/agent.h"
#include "support/alloc_fail.h"

namespace allocfail {

// Pseudo-status of a call whose only failure signal is a null result.
constexpr uint32_t kNull = 0x80000000u;

// What one run of a scenario saw; never allocates.
class Observation {
 public:
  static constexpr int kMaxSteps = 64;
  static constexpr size_t kTextSize = 512;
  struct Reference {
    bool set;
    uint32_t status;
    char text[kTextSize];
  };

  Observation(Reference *reference, bool recording) : reference_(reference), recording_(recording) {}
  // Result of step `step`: its status and the text of what it produced.
  // The unfailed run records them. In later runs the same status must give
  // the same text; any other status must be one of `nomem`, the statuses
  // the contract gives for exhausted memory.
  void Result(int step, uint32_t status, std::initializer_list<uint32_t> nomem, const char *format, ...)
      __attribute__((format(printf, 5, 6)));
  // Records a broken rule unless `ok`; the first one is kept.
  bool Check(bool ok, const char *format, ...) __attribute__((format(printf, 3, 4)));
  const char *fault() const { return fault_; }
  int reported() const { return reported_; }  // steps that reported exhausted memory

 private:
  Reference *reference_;
  bool recording_;
  int reported_ = 0;
  char fault_[kTextSize] = "";
};

struct Scenario {
  const char *name;  // letters, digits, underscores
  void (*run)(Observation &);
};

// Fixtures shared by the scenarios.
struct Env {
  vxtest::TempDir dir;
  mutable vxtest::Agent agent;             // replies to 111 to 114, challenges 112 twice
  std::string long_text;                   // 600 bytes: outgrows every first block
  std::string reply_block;                 // a received message holding every field kind
  std::string conf, include, include_ref;  // configuration and its include file
  std::string ctx_conf;                    // configuration for the client context
  std::string emergency, emergency_dest;   // emergency log file, "file " + it
  std::string no_socket;                   // an absolute path where nothing listens
  // Text of a client log record that leaves the pending ControlLog2
  // message so little room that appending the end record must grow it.
  std::string end_record_text;
  Env();
};
const Env &GetEnv();

// Identity of the records the client log scenarios write.
constexpr const char *kLogProcess = "allocfail";
constexpr const char *kLogSource = "allocfail";
constexpr const char *kEndRecordFunction = "EndRecord";

// FNV-1a hash of a byte string, for comparing long results in the fixed
// texts of an Observation (a null text hashes as length 0).
struct Digest {
  size_t length;
  uint32_t hash;
};
Digest DigestOf(const void *bytes, size_t length);
Digest DigestOf(const char *text);
// Empties a file without allocating.
void Truncate(const std::string &path);
// The first status that is not 0 (MSG_OK), or 0: the status of a run of
// appends to one message, where those after a failed one fail without
// allocating.
uint32_t FirstFailure(std::initializer_list<uint32_t> statuses);

std::vector<Scenario> UtilMsgScenarios();
std::vector<Scenario> TransportScenarios();
std::vector<Scenario> PropsScenarios();
std::vector<Scenario> ClientScenarios();

}  // namespace allocfail
