// Allocation-failure sweeps: run a scenario with allocation 1, 2, 3, ...
// failing in turn (or with every allocation from the Nth on failing) until
// it completes without any failure injected, and check every run.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "support/alloc_fail.h"

namespace allocfail {

// Pseudo-status of a call whose only failure signal is a null result.
constexpr uint32_t kNull = 0x80000000u;

// What one run of a scenario saw. It never allocates, so a scenario may
// fill it while allocations are being failed.
class Observation {
 public:
  static constexpr int kMaxSteps = 64;
  static constexpr size_t kTextSize = 512;

  // Result of step `step`: its status and the text of what it produced.
  // The first (unfailed) run records them. In later runs the same status
  // must give the same text; any other status must be one of `nomem`, the
  // statuses the contract gives for exhausted memory.
  void Result(int step, uint32_t status, std::initializer_list<uint32_t> nomem, const char *format, ...)
      __attribute__((format(printf, 5, 6)));
  // Records a broken rule unless `ok`; the first one is kept.
  bool Check(bool ok, const char *format, ...) __attribute__((format(printf, 3, 4)));
  // Records a fault of the product that the scenario compensated for (a
  // block freed on the product's behalf, say), so that the leak check does
  // not hide later runs; reported as a known fault.
  void Known(const char *format, ...) __attribute__((format(printf, 2, 3)));

  bool ok() const { return fault_[0] == '\0'; }
  const char *fault() const { return fault_; }
  const char *known() const { return known_; }
  // Number of steps that reported exhausted memory.
  int reported() const { return reported_; }

 private:
  friend class SweepRunner;
  struct Reference {
    bool set;
    uint32_t status;
    char text[kTextSize];
  };
  Reference *reference_ = nullptr;  // per step, owned by the sweep
  bool recording_ = false;
  int reported_ = 0;
  char fault_[kTextSize] = "";
  char known_[kTextSize] = "";
};

using ScenarioFn = void (*)(Observation &);

struct Scenario {
  const char *name;  // test name part: letters, digits, underscores
  ScenarioFn run;
};

struct SweepReport {
  long runs = 0;                 // N values swept (each injected a failure)
  long allocations = 0;          // allocations of the unfailed run
  std::vector<long> survived;    // N failed, yet the run reported nothing and produced the right results
  std::vector<std::string> faults;  // "N=..: what went wrong"
  std::vector<std::string> known;   // "N=..: known fault"
};

// Sweeps `scenario` in `mode`: first an unfailed run (which records the
// reference results), then N = 1, 2, ... until a run meets no failure.
// Each run is checked for broken rules, leaked blocks, descriptors left
// open, escaped exceptions and waits that hint at a time-out. With the
// environment variable ALLOCFAIL_TRACE set, every run that failed an
// allocation prints the object and offset of the failed call (for
// addr2line) on standard error.
// `settle` runs after each run, before descriptors are counted (it waits
// for peers to let go of their ends of the connections).
SweepReport Sweep(const Scenario &scenario, vxtest::allocfail::Mode mode, void (*settle)());

}  // namespace allocfail
