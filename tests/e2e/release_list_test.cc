// A release-list block that cannot be allocated changes nothing the user
// sees: the request is still sent and the agent's answer decides the exit
// status, message and audit event.
#include <stdlib.h>
#include <unistd.h>

#include "harness.h"
#include "support/temp_dir.h"

namespace vxe2e {
namespace {

struct Row {
  const char *name;
  std::vector<std::string> args;
  int status;
  std::string out, err;
};

const Row kRows[] = {
    {"StatusDisabledByTheAgent", {"-s"}, 157, "Manage Local Account Feature is disabled\n", ""},
    {"ReloadWhileDisabled",
     {"-R"},
     255,
     "",
     "The local account management is disabled, can't reload local account. Please enable it first\n"},
    {"ListWhileDisabled",
     {"-l", "all", "-u"},
     255,
     "",
     "The local account management is disabled, can't list local account. Please enable it first.\n"},
};

class ReleaseListBlockFails : public SandboxTest<Row> {};

TEST_P(ReleaseListBlockFails, TheAgentStillAnswers) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the preloaded allocator cannot stand beside the sanitizer's";
#endif
  const Row &row = GetParam();
  ResetState("vxagent.local.account.manage: true\n", 0644);  // the configuration would say enabled
  vxtest::TempDir data, record;
  data.write("upn", "root root@EXAMPLE.TEST\n");
  data.write("passwd", "alice:x:1001:1001::/home/alice:/bin/bash\n");
  data.write("group", "staff:x:2001:alice\n");
  data.write("remove", "");
  Agent agent;
  ASSERT_EQ(agent.Start(data.path(), record.path(), {"111:disabled"}), "");
  const std::string mark = record.file("calloc-failed");
  setenv("LD_PRELOAD", VX_E2E_FAIL_LIST_PRELOAD, 1);
  setenv("VX_FAIL_MARK", mark.c_str(), 1);
  RunResult run = RunVxaccounts(row.args, false, 10);
  unsetenv("LD_PRELOAD");
  unsetenv("VX_FAIL_MARK");
  EXPECT_EQ(agent.Stop(), 0);
  EXPECT_EQ(access(mark.c_str(), F_OK), 0) << "no release-list block was failed";
  EXPECT_EQ(run.status, row.status);
  EXPECT_EQ(run.out, row.out);
  EXPECT_EQ(run.err, row.err);
}

INSTANTIATE_TEST_SUITE_P(Table, ReleaseListBlockFails, ::testing::ValuesIn(kRows),
                         [](const auto &param) { return std::string(param.param.name); });

}  // namespace
}  // namespace vxe2e
