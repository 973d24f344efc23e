#include "client_common/client_context.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stddef.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "client_common/client_msg.h"
#include "context_support.h"

namespace {

using vxtest::ContextFiles;

TEST(ClientContext, DefaultsWithoutAnyKeyOrWithoutConfiguration) {
  vxtest::TempDir dir;
  Properties *empty =
      LoadPropertiesWithoutSecurity(dir.write("e.conf", "# nothing\n").c_str(), nullptr, nullptr);
  ASSERT_NE(empty, nullptr);
  const bool system_conf = access(CLIENT_CONF_PATH, F_OK) == 0;
  for (Properties *props : {empty, static_cast<Properties *>(nullptr)}) {
    if (props == nullptr && system_conf) continue;  // it would load the machine's own file
    ClientContext ctx;
    InitClientContext(&ctx, props, nullptr, "vxaccounts", CLIENT_DEFAULT_EMERGENCY_LOG, "log.vxaccounts",
                      props ? "info" : "error");
    EXPECT_EQ(ctx.properties, props);
    EXPECT_EQ(ctx.operation_timeout, 300u);
    EXPECT_EQ(ctx.connect_timeout, 5u);
    EXPECT_EQ(ctx.msg_types, GetMsgTypeTable());
    EXPECT_EQ(ctx.session, nullptr);
    EXPECT_EQ(ctx.messages, nullptr);
    ASSERT_NE(ctx.log, nullptr);
    EXPECT_STREQ(ctx.log->socket_path, "/var/vorlex/daemon2");
    EXPECT_STREQ(ctx.log->destination, "file /var/log/quarnel_client.log");
    EXPECT_EQ(ctx.log->threshold, props ? 2u : 4u);
    EXPECT_EQ(ctx.log->connect_timeout, 5u);
    EXPECT_EQ(ctx.log->operation_timeout, 300u);
    EXPECT_STREQ(ctx.log->process_name, GetProcessName(&ctx));
    EXPECT_EQ(FreeClientContext(&ctx), 0u);
  }
}

TEST(ClientContext, LevelNameLookupAndFallBack) {
  const struct {
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
  for (const auto &c : cases) {
    ContextFiles files;
    ClientContext ctx;
    files.Init(&ctx, c.lines, c.default_level);
    EXPECT_EQ(ctx.log->threshold, c.level)
        << c.lines << " / " << (c.default_level ? c.default_level : "(null)");
    FreeClientContext(&ctx);
  }
}

TEST(ClientContext, TimeOutsFromTheConfiguration) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  const struct {
    const char *lines;
    uint32_t operation, connect;
    const char *report;  // the emergency file once the context is freed
  } cases[] = {
      {"lrpc.timeout: 10m\nlrpc.connect.timeout: 0\n", 600, 0, ""},
      // An explicit 0 is no limit; a missing key is the default.
      {"lrpc.timeout: 0\n", 0, 5, ""},
      // Not a time: the default, silently.
      {"lrpc.timeout: -7\n", 300, 5, ""},
      // A value that cannot be read at all: the default, never 0 (no limit).
      {"lrpc.timeout: file:/nonexistent/vorlex/missing\nlrpc.connect.timeout: file:relative.inc\n", 300, 5,
       ""},
      // Beyond 2^31 seconds the product turns negative: replaced and reported.
      {"lrpc.timeout: 25000d\nlrpc.connect.timeout: 100y\n", 300, 5,
       "DEBUG: Illegal value for property lrpc.timeout: -2134967296 -- value must be non-negative. Using "
       "300\n"
       "DEBUG: Illegal value for property lrpc.connect.timeout: -1141367296 -- value must be non-negative. "
       "Using 5\n"},
  };
  for (const auto &c : cases) {
    ContextFiles files;
    ClientContext ctx;
    files.Init(&ctx, std::string("log: debug\n") + c.lines);
    EXPECT_EQ(ctx.operation_timeout, c.operation) << c.lines;
    EXPECT_EQ(ctx.connect_timeout, c.connect) << c.lines;
    EXPECT_STREQ(ctx.log->socket_path, files.socket.c_str());
    EXPECT_EQ(FreeClientContext(&ctx), 0u);  // replays the unsent records
    std::string text;
    for (const std::string &r : files.Records()) text += r + "\n";
    EXPECT_EQ(text, c.report) << c.lines;
  }
}

// Callers lay the record out themselves: exactly eight fields in 56 bytes,
// and InitClientContext writes nothing around them.
TEST(ClientContext, RecordHasEightFieldsAndInitWritesNothingPastIt) {
  constexpr size_t kRecord = 56, kGuard = 64;
  const size_t offsets[][2] = {
      {offsetof(ClientContext, properties), 0},         {offsetof(ClientContext, log), 8},
      {offsetof(ClientContext, process_name), 16},      {offsetof(ClientContext, connect_timeout), 24},
      {offsetof(ClientContext, operation_timeout), 28}, {offsetof(ClientContext, msg_types), 32},
      {offsetof(ClientContext, session), 40},           {offsetof(ClientContext, messages), 48},
  };
  for (const auto &[got, want] : offsets) EXPECT_EQ(got, want);
  EXPECT_EQ(sizeof(ClientContext), kRecord);
  alignas(ClientContext) unsigned char bytes[kGuard + kRecord + kGuard];
  memset(bytes, 0xa5, sizeof bytes);
  auto *ctx = reinterpret_cast<ClientContext *>(bytes + kGuard);
  ContextFiles files;
  files.Init(ctx, "");
  size_t touched = 0;
  for (size_t i = 0; i < sizeof bytes; ++i)
    touched += (i < kGuard || i >= kGuard + kRecord) && bytes[i] != 0xa5;
  EXPECT_EQ(touched, 0u) << "guard bytes written";
  FreeClientContext(ctx);
}

TEST(ClientContext, ProcessNameFromProcSelfStat) {
  ClientContext ctx = {};
  const char *name = GetProcessName(&ctx);
  EXPECT_STREQ(name, program_invocation_short_name);  // the test binary's name fits in its comm
  EXPECT_EQ(GetProcessName(&ctx), name) << "kept after the first call";
  free(ctx.process_name);
  EXPECT_EQ(GetProcessName(nullptr), nullptr);
}

TEST(ClientContext, FailedOpenIsReportedAndTheContextStillFreesCleanly) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  ContextFiles files;
  ClientContext ctx;
  files.Init(&ctx, "log: debug\nlrpc.timeout: 25000d\n");
  EXPECT_EQ(EnableLogForwarding(&ctx), 1);  // nobody listens: replayed locally
  EXPECT_NE(ctx.log->emergency, nullptr);
  EXPECT_EQ(ctx.log->pending, nullptr);
  int fds = vxtest::CountOpenFds();
  EXPECT_EQ(OpenLRPC2Session(&ctx), 0);
  EXPECT_EQ(ctx.session, nullptr);
  EXPECT_EQ(vxtest::CountOpenFds(), fds);
  ASSERT_NE(NewClientMsg(&ctx, 111), nullptr);
  EXPECT_EQ(FreeClientContext(&ctx), 0u);
  EXPECT_EQ(ctx.log, nullptr);
  EXPECT_EQ(ctx.messages, nullptr);
  std::string log = files.Emergency();
  EXPECT_NE(log.find("Illegal value for property lrpc.timeout"), std::string::npos);
  EXPECT_NE(log.find("DEBUG: Failed to open connection to vxagent through '" + files.socket +
                     "' Socket error (No such file or directory)\n"),
            std::string::npos)
      << log;
}

}  // namespace
