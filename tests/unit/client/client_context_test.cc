#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "client_common/client_context.h"
#include "client_common/client_msg.h"
#include "context_support.h"

namespace {

using vxtest::ContextFiles;

TEST(ClientContext, DefaultsWithoutAnyKey) {
  vxtest::TempDir dir;
  std::string path = dir.write("empty.conf", "# nothing here\n");
  uint32_t status = 1;
  Properties *props = LoadPropertiesWithoutSecurity(path.c_str(), nullptr, &status);
  ASSERT_NE(props, nullptr);
  ClientContext ctx;
  InitClientContext(&ctx, props, nullptr, "vxaccounts", CLIENT_DEFAULT_EMERGENCY_LOG, "log.vxaccounts", "info");
  EXPECT_EQ(ctx.properties, props);
  EXPECT_EQ(ctx.operation_timeout, 300u);
  EXPECT_EQ(ctx.connect_timeout, 5u);
  EXPECT_EQ(ctx.msg_types, GetMsgTypeTable());
  EXPECT_EQ(ctx.session, nullptr);
  EXPECT_EQ(ctx.messages, nullptr);
  ASSERT_NE(ctx.log, nullptr);
  EXPECT_STREQ(ctx.log->socket_path, "/var/vorlex/daemon2");
  EXPECT_STREQ(ctx.log->destination, "file /var/log/quarnel_client.log");
  EXPECT_EQ(ctx.log->threshold, 2u);
  EXPECT_EQ(ctx.log->connect_timeout, 5u);
  EXPECT_EQ(ctx.log->operation_timeout, 300u);
  EXPECT_STREQ(ctx.log->process_name, GetProcessName(&ctx));
  EXPECT_EQ(FreeClientContext(&ctx), 0u);
}

TEST(ClientContext, UnloadableConfigurationGivesDefaults) {
  if (access(CLIENT_CONF_PATH, F_OK) == 0) GTEST_SKIP() << CLIENT_CONF_PATH << " exists on this machine";
  ClientContext ctx;
  InitClientContext(&ctx, nullptr, nullptr, "vxaccounts", "dest", "log.vxaccounts", "error");
  EXPECT_EQ(ctx.properties, nullptr);
  EXPECT_EQ(ctx.operation_timeout, 300u);
  EXPECT_EQ(ctx.connect_timeout, 5u);
  EXPECT_STREQ(ctx.log->socket_path, "/var/vorlex/daemon2");
  EXPECT_STREQ(ctx.log->destination, "dest");
  EXPECT_EQ(ctx.log->threshold, 4u);
  FreeClientContext(&ctx);
}

TEST(ClientContext, LevelNameLookupAndFallBack) {
  struct Case {
    const char *lines;
    const char *default_level;
    uint32_t level;
  } cases[] = {
      {"log.vxaccounts: debug\n", "info", 1},
      {"log: warning\n", "info", 3},
      {"log.vxaccounts: Trace\nlog: error\n", "info", 0},
      {"log: WARN\n", "info", 3},
      {"log.vxaccounts: verbose\n", "error", 2},
      {"", "ERROR", 4},
      {"", "Fatal", 2},
      {"", nullptr, 2},
      {"log.other: trace\n", "info", 2},
  };
  for (const Case &c : cases) {
    ContextFiles files;
    ClientContext ctx;
    files.Init(&ctx, c.lines, c.default_level);
    EXPECT_EQ(ctx.log->threshold, c.level) << c.lines << " / " << (c.default_level ? c.default_level : "(null)");
    FreeClientContext(&ctx);
  }
}

TEST(ClientContext, TimeOutsFromTheConfiguration) {
  ContextFiles files;
  ClientContext ctx;
  files.Init(&ctx, "lrpc.timeout: 10m\nlrpc.connect.timeout: 0\n");
  EXPECT_EQ(ctx.operation_timeout, 600u);
  EXPECT_EQ(ctx.connect_timeout, 0u);
  EXPECT_STREQ(ctx.log->socket_path, files.socket.c_str());
  FreeClientContext(&ctx);
}

// GetPropertyTime refuses a negative number itself (default), so a
// negative result comes only from a product beyond 2^31 seconds.
TEST(ClientContext, NegativeTimeOutsAreReplacedAndReported) {
  ContextFiles files;
  ClientContext ctx;
  files.Init(&ctx, "log: debug\nlrpc.timeout: 25000d\nlrpc.connect.timeout: 100y\n");
  EXPECT_EQ(ctx.operation_timeout, 300u);
  EXPECT_EQ(ctx.connect_timeout, 5u);
  EXPECT_EQ(FreeClientContext(&ctx), 0u);  // replays the unsent records
  std::string log = files.Emergency();
  std::string first =
      "DEBUG: Illegal value for property lrpc.timeout: -2134967296 -- value must be non-negative. Using 300\n";
  std::string second =
      "DEBUG: Illegal value for property lrpc.connect.timeout: -1141367296 -- value must be non-negative. Using 5\n";
  size_t a = log.find(first), b = log.find(second);
  ASSERT_NE(a, std::string::npos) << log;
  ASSERT_NE(b, std::string::npos) << log;
  EXPECT_LT(a, b);
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2);
}

TEST(ClientContext, MinusSevenIsNotATimeAndGivesTheDefaultSilently) {
  ContextFiles files;
  ClientContext ctx;
  files.Init(&ctx, "log: debug\nlrpc.timeout: -7\n");
  EXPECT_EQ(ctx.operation_timeout, 300u);
  FreeClientContext(&ctx);
  EXPECT_EQ(files.Emergency(), "");
}

TEST(ClientContext, ProcessNameFromProcSelfStat) {
  ClientContext ctx = {};
  std::string comm = vxtest::ReadFile("/proc/self/comm");
  if (!comm.empty() && comm.back() == '\n') comm.pop_back();
  const char *name = GetProcessName(&ctx);
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(name, comm);
  EXPECT_EQ(GetProcessName(&ctx), name) << "kept after the first call";
  free(ctx.process_name);
  EXPECT_EQ(GetProcessName(nullptr), nullptr);
}

TEST(ClientContext, FailedOpenIsReportedAndTheContextStillFreesCleanly) {
  ContextFiles files;
  ClientContext ctx;
  files.Init(&ctx, "log: debug\n");
  int fds = vxtest::CountOpenFds();
  EXPECT_EQ(OpenLRPC2Session(&ctx), 0);
  EXPECT_EQ(ctx.session, nullptr);
  EXPECT_EQ(vxtest::CountOpenFds(), fds);
  ASSERT_NE(NewClientMsg(&ctx, 111), nullptr);
  EXPECT_EQ(FreeClientContext(&ctx), 0u);
  EXPECT_EQ(ctx.log, nullptr);
  EXPECT_EQ(ctx.messages, nullptr);
  std::string log = files.Emergency();
  EXPECT_NE(log.find("DEBUG: Failed to open connection to vxagent through '" + files.socket +
                     "' Socket error (No such file or directory)\n"),
            std::string::npos)
      << log;
}

TEST(ClientContext, EnableLogForwardingSendsWhatWasGathered) {
  ContextFiles files;
  ClientContext ctx;
  files.Init(&ctx, "log: debug\nlrpc.timeout: 25000d\n");
  EXPECT_EQ(EnableLogForwarding(&ctx), 1);  // nobody listens: replayed locally
  EXPECT_NE(ctx.log->emergency, nullptr);
  EXPECT_EQ(ctx.log->pending, nullptr);
  EXPECT_EQ(FreeClientContext(&ctx), 0u);
  EXPECT_NE(files.Emergency().find("Illegal value for property lrpc.timeout"), std::string::npos);
}

}  // namespace
