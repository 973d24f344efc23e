#include "sweep.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>

#include "support/temp_dir.h"

namespace allocfail {

namespace af = vxtest::allocfail;

namespace {

constexpr long kMaxRuns = 20000;
constexpr auto kSlowRun = std::chrono::milliseconds(1500);

void Append(char *to, size_t size, const char *format, va_list args) {
  if (to[0] != '\0') return;
  vsnprintf(to, size, format, args);
}

bool In(uint32_t status, std::initializer_list<uint32_t> set) {
  for (uint32_t s : set)
    if (s == status) return true;
  return false;
}

}  // namespace

void Observation::Result(int step, uint32_t status, std::initializer_list<uint32_t> nomem, const char *format,
                         ...) {
  if (step < 0 || step >= kMaxSteps || reference_ == nullptr) {
    Check(false, "step %d out of range", step);
    return;
  }
  char text[kTextSize];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  Reference &ref = reference_[step];
  if (recording_) {
    Check(!ref.set, "step %d recorded twice", step);
    ref.set = true;
    ref.status = status;
    memcpy(ref.text, text, sizeof text);
    return;
  }
  if (!ref.set) {
    Check(false, "step %d (status %u) not reached by the unfailed run", step, status);
  } else if (status == ref.status) {
    Check(strcmp(text, ref.text) == 0, "step %d: status %u gave \"%s\", unfailed run \"%s\"", step, status, text,
          ref.text);
  } else if (In(status, nomem)) {
    ++reported_;
  } else {
    Check(false, "step %d: status %u (%s), unfailed run %u; exhausted memory allows no such status", step, status,
          text, ref.status);
  }
}

bool Observation::Check(bool ok, const char *format, ...) {
  if (ok) return true;
  va_list args;
  va_start(args, format);
  Append(fault_, sizeof fault_, format, args);
  va_end(args);
  return false;
}

void Observation::Known(const char *format, ...) {
  va_list args;
  va_start(args, format);
  Append(known_, sizeof known_, format, args);
  va_end(args);
}

class SweepRunner {
 public:
  SweepRunner(const Scenario &s, void (*settle)()) : scenario_(s), settle_(settle), reference_(new Observation::Reference[Observation::kMaxSteps]()) {}

  // One run with failure `n` in `mode` (n == 0: nothing fails). Returns the
  // number of failures injected.
  long Run(long n, af::Mode mode, bool recording, SweepReport &report) {
    Observation obs;
    obs.reference_ = reference_.get();
    obs.recording_ = recording;
    const int fds = vxtest::CountOpenFds();
    const auto start = std::chrono::steady_clock::now();
    const char *escaped = nullptr;
    af::Arm(n, mode);
    try {
      scenario_.run(obs);
    } catch (const std::exception &e) {
      escaped = "an exception";
    } catch (...) {
      escaped = "an unknown exception";
    }
    const af::Stats st = af::Disarm();
    const auto took = std::chrono::steady_clock::now() - start;
    settle_();
    const int fds_after = vxtest::CountOpenFds();
    char what[Observation::kTextSize + 200] = "";
    if (escaped != nullptr) {
      snprintf(what, sizeof what, "%s escaped (allocation %ld of %ld failed)", escaped, n, st.allocations);
    } else if (!obs.ok()) {
      snprintf(what, sizeof what, "%s", obs.fault());
    } else if (st.outstanding != 0 || st.overflow) {
      snprintf(what, sizeof what, "%ld block(s) leaked, oldest from allocation %ld (%zu bytes)%s", st.outstanding,
               st.first_leak, st.first_leak_size, st.overflow ? "; tracker overflow" : "");
    } else if (fds_after != fds) {
      snprintf(what, sizeof what, "%d descriptor(s) left open", fds_after - fds);
    } else if (took > kSlowRun) {
      snprintf(what, sizeof what, "run took %lld ms (a time-out?)",
               static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    }
    if (recording) report.allocations = st.allocations;
    if (trace_ && st.failed > 0) Trace(n, st, obs, what);
    if (what[0] != '\0') report.faults.push_back("N=" + std::to_string(n) + ": " + what);
    if (obs.known()[0] != '\0') report.known.push_back("N=" + std::to_string(n) + ": " + obs.known());
    if (st.failed > 0 && obs.reported() == 0 && what[0] == '\0') report.survived.push_back(n);
    return st.failed;
  }

 private:
  // With ALLOCFAIL_TRACE set, every run that failed an allocation prints
  // where: the object and offset of the call, for addr2line.
  void Trace(long n, const af::Stats &st, const Observation &obs, const char *what) {
    Dl_info info = {};
    const char *object = "?";
    uintptr_t offset = 0;
    if (dladdr(st.failed_caller, &info) != 0 && info.dli_fname != nullptr) {
      object = info.dli_fname;
      offset = reinterpret_cast<uintptr_t>(st.failed_caller) - reinterpret_cast<uintptr_t>(info.dli_fbase);
    }
    fprintf(stderr, "[ trace ] %s N=%ld %s+0x%lx reported=%d %s\n", scenario_.name, n, object, static_cast<unsigned long>(offset),
            obs.reported(), what[0] != '\0' ? what : "ok");
  }

  const Scenario &scenario_;
  void (*settle_)();
  const bool trace_ = getenv("ALLOCFAIL_TRACE") != nullptr;
  std::unique_ptr<Observation::Reference[]> reference_;
};

SweepReport Sweep(const Scenario &scenario, af::Mode mode, void (*settle)()) {
  SweepReport report;
  SweepRunner runner(scenario, settle);
  {
    // One-time work (lazily built tables, caches) happens in a throw-away run.
    SweepReport scratch;
    SweepRunner(scenario, settle).Run(0, mode, true, scratch);
  }
  runner.Run(0, mode, true, report);
  if (!report.faults.empty()) return report;
  for (long n = 1; n <= kMaxRuns; ++n) {
    if (runner.Run(n, mode, false, report) == 0) break;
    report.runs = n;
  }
  return report;
}

}  // namespace allocfail
