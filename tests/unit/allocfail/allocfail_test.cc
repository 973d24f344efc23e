// Sweeps allocation failures over every scenario of every module: for each
// N, allocation N fails (and in the second mode every allocation from the
// Nth on), until a run completes without any failure injected. A run must
// not crash, leak a block or a descriptor, let an exception escape, or give
// a status that the contract does not give for exhausted memory; where the
// code survives a failed allocation, its results must be those of the
// unfailed run.
//
// Failures the code survives by design (counted as "survived" per sweep;
// ALLOCFAIL_TRACE=1 prints the call site of every failed allocation):
//  - the shrinking realloc of GrowBufRelease (the unshrunk block is kept),
//    behind MsgComplete of plain messages, MsgDump and value building;
//  - inside the client log: a record that cannot be gathered is dropped
//    (status 1 is reported only to ClientLogWrite's caller), a log session
//    that cannot be opened or a send that fails switches to the emergency
//    log, a replay that cannot read a record stops there, and an emergency
//    file log that cannot be opened becomes a discard log;
//  - inside InitClientContext, which reports nothing: a property read that
//    fails gives the built-in default (level, socket path, time-outs), a
//    process name that cannot be copied stays null.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "scenarios.h"

namespace allocfail {
namespace {

namespace af = vxtest::allocfail;

constexpr size_t kFaultsShown = 8;
constexpr size_t kSurvivedShown = 12;

struct Param {
  Scenario scenario;
  af::Mode mode;
};

void PrintTo(const Param &p, std::ostream *os) { *os << p.scenario.name; }

std::vector<Param> AllParams() {
  std::vector<Scenario> all;
  for (auto group : {UtilMsgScenarios, TransportScenarios, PropsScenarios, ClientScenarios}) {
    for (const Scenario &s : group()) all.push_back(s);
  }
  std::vector<Param> params;
  for (af::Mode mode : {af::Mode::kNth, af::Mode::kFromNth}) {
    for (const Scenario &s : all) params.push_back({s, mode});
  }
  return params;
}

std::string Name(const testing::TestParamInfo<Param> &info) {
  return std::string(info.param.scenario.name) + (info.param.mode == af::Mode::kNth ? "_Nth" : "_FromNth");
}

std::string Join(const std::vector<long> &ns, size_t shown) {
  std::string out;
  for (size_t i = 0; i < ns.size() && i < shown; ++i) out += (i ? "," : "") + std::to_string(ns[i]);
  if (ns.size() > shown) out += ",...";
  return out;
}

void Settle() { GetEnv().agent.AwaitIdle(); }

class AllocFailSweep : public testing::TestWithParam<Param> {
 protected:
  static void SetUpTestSuite() { GetEnv(); }
};

TEST_P(AllocFailSweep, EveryFailureIsReportedAndCleanedUp) {
  const Param &p = GetParam();
  const SweepReport r = Sweep(p.scenario, p.mode, Settle);
  RecordProperty("n_swept", static_cast<int>(r.runs));
  printf("[ allocfail ] %-40s %-8s N=1..%-4ld swept (%ld allocations unfailed), %zu survived%s%s, %zu faults, %zu known\n",
         p.scenario.name, p.mode == af::Mode::kNth ? "Nth" : "from-Nth", r.runs, r.allocations, r.survived.size(),
         r.survived.empty() ? "" : " at N=", Join(r.survived, kSurvivedShown).c_str(), r.faults.size(),
         r.known.size());
  EXPECT_GT(r.runs, 0) << "the scenario allocates nothing";
  for (size_t i = 0; i < r.faults.size() && i < kFaultsShown; ++i) ADD_FAILURE() << r.faults[i];
  if (r.faults.size() > kFaultsShown) ADD_FAILURE() << r.faults.size() - kFaultsShown << " more faults";
  if (!r.known.empty()) {
    GTEST_SKIP() << "known fault: " << r.known.front() << " (" << r.known.size() << " N values)";
  }
}

INSTANTIATE_TEST_SUITE_P(Modules, AllocFailSweep, testing::ValuesIn(AllParams()), Name);

}  // namespace
}  // namespace allocfail
