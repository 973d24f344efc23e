// The client context: settings, record layout and property access.
#include "client_common/client_context.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stddef.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "client_common/client_props.h"
#include "context_support.h"
#include "support/table_file.h"

namespace {

using vxtest::ContextFiles;

TEST(ClientContext, DefaultsWithoutAnyKeyOrWithoutConfiguration) {
  EXPECT_EQ(GetProcessName(nullptr), nullptr);
  vxtest::TempDir dir;
  Properties *empty =
      LoadPropertiesWithoutSecurity(dir.write("e.conf", "# nothing\n").c_str(), nullptr, nullptr);
  ASSERT_NE(empty, nullptr);
  for (Properties *props : {empty, static_cast<Properties *>(nullptr)}) {
    if (props == nullptr && access(CLIENT_CONF_PATH, F_OK) == 0)
      continue;  // it would load the machine's file
    ClientContext ctx;
    InitClientContext(&ctx, props, nullptr, "vxaccounts", CLIENT_DEFAULT_EMERGENCY_LOG, "log.vxaccounts",
                      props ? "info" : "error");
    EXPECT_TRUE(ctx.properties == props && ctx.msg_types == GetMsgTypeTable() && ctx.session == nullptr &&
                ctx.messages == nullptr);
    ASSERT_NE(ctx.log, nullptr);
    EXPECT_STREQ(ctx.log->socket_path, "/var/vorlex/daemon2");
    EXPECT_STREQ(ctx.log->destination, "file /var/log/quarnel_client.log");
    EXPECT_EQ(ctx.log->threshold, props ? 2u : 4u);
    EXPECT_TRUE(ctx.operation_timeout == 300 && ctx.connect_timeout == 5 && ctx.log->connect_timeout == 5 &&
                ctx.log->operation_timeout == 300);
    EXPECT_STREQ(ctx.log->process_name, program_invocation_short_name);  // from /proc/self/stat
    EXPECT_EQ(GetProcessName(&ctx), ctx.process_name) << "kept after the first call";
    EXPECT_EQ(FreeClientContext(&ctx), 0u);
  }
  EXPECT_EQ(FreeClientContext(nullptr), 0u);
}

// The threshold comes from the level key, then each shorter prefix, then
// the caller's default (names without regard to case; an unknown one is
// 2); the time-outs as testdata/context_settings.table says.
TEST(ClientContext, LevelAndTimeOutsFromTheConfiguration) {
  for (const vxtest::Row &c : vxtest::ReadTable(CLIENT_TEST_DATA "/context_settings.table")) {
    SCOPED_TRACE(c.where);
    ASSERT_EQ(c.results.size(), 4u);
    ContextFiles files;
    ClientContext ctx;
    files.Init(&ctx, c[0], c.c_str(1));
    const std::vector<std::string> got = {std::to_string(ctx.log->threshold),
                                          std::to_string(ctx.operation_timeout),
                                          std::to_string(ctx.connect_timeout)};
    EXPECT_EQ(got, std::vector<std::string>(c.results.begin(), c.results.begin() + 3));
    EXPECT_TRUE(ctx.log->operation_timeout == ctx.operation_timeout &&
                ctx.log->connect_timeout == ctx.connect_timeout);
    EXPECT_STREQ(ctx.log->socket_path, files.socket.c_str());
    EXPECT_EQ(FreeClientContext(&ctx), 0u);  // replays the unsent records
    std::string text;
    for (const std::string &r : files.Records()) text += r + "\n";
    EXPECT_EQ(text, vxtest::OwnFilesPassOwnerCheck() ? c.results.at(3) : "");
  }
}

// Callers lay the record out themselves: exactly eight fields in 56 bytes,
// and InitClientContext writes nothing around them.
TEST(ClientContext, RecordHasEightFieldsAndInitWritesNothingPastIt) {
  constexpr size_t kRecord = 56, kGuard = 64;
  const std::vector<size_t> offsets = {
      offsetof(ClientContext, properties),        offsetof(ClientContext, log),
      offsetof(ClientContext, process_name),      offsetof(ClientContext, connect_timeout),
      offsetof(ClientContext, operation_timeout), offsetof(ClientContext, msg_types),
      offsetof(ClientContext, session),           offsetof(ClientContext, messages)};
  EXPECT_EQ(offsets, (std::vector<size_t>{0, 8, 16, 24, 28, 32, 40, 48}));
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

TEST(ClientProps, NoConfigurationGivesTheDefaults) {
  ClientContext ctx = {};
  EXPECT_STREQ(ClientGetProperty(&ctx, "k", "d"), "d");
  EXPECT_EQ(ClientGetProperty(&ctx, "k", nullptr), nullptr);
  EXPECT_EQ(ClientGetPropertyTime(&ctx, "lrpc.timeout", 's', 300), 300);
  EXPECT_EQ(ClientGetPropertyTime(&ctx, "lrpc.timeout", 'm', 5), 300);
  EXPECT_EQ(ClientGetPropertyTime(nullptr, "lrpc.timeout", 's', 7), 7);
}

// Every read is traced with what GetProperty gave; a failed one is
// reported at ERROR, always naming the main file, and only then turned
// into null or 0 for the caller.
TEST(ClientProps, ReadsAreTracedAndFailuresReported) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  vxtest::DirectContext t("log: trace\nlrpc.timeout: 10m\nname: value\n");
  const std::string missing = t.files.dir.file("missing.list"),
                    open = t.files.dir.write("open.list", "a\n", 0666);
  SetProperty(t.ctx.properties, "missing", ("file:" + missing).c_str(), nullptr);
  SetProperty(t.ctx.properties, "open", ("file:" + open).c_str(), nullptr);
  EXPECT_STREQ(ClientGetProperty(&t.ctx, "name", nullptr), "value");
  EXPECT_EQ(ClientGetPropertyTime(&t.ctx, "lrpc.timeout", 's', 300), 600);
  EXPECT_EQ(ClientGetProperty(&t.ctx, "missing", "d"), nullptr);
  EXPECT_EQ(ClientGetProperty(&t.ctx, "open", nullptr), nullptr);
  EXPECT_EQ(ClientGetPropertyTime(&t.ctx, "missing", 's', 300), 0);
  const std::vector<std::string> expected = {
      "TRACE: GetProperty('name', 0) => 0, \"value\"",
      "TRACE: GetPropertyTime('lrpc.timeout', 300) => status=0, value=600",
      "TRACE: GetProperty('missing', \"d\") => 303, \"d\"",
      "ERROR: Failed to read property 'missing' from file '" CLIENT_CONF_PATH "': file does not exist",
      "TRACE: GetProperty('open', 0) => 305, 0",
      "ERROR: Failed to read property 'open' from file '" CLIENT_CONF_PATH
      "': file is world writable or not root owned",
      "TRACE: GetPropertyTime('missing', 300) => status=303, value=0",
      "ERROR: Failed to read time property 'missing' from file '" CLIENT_CONF_PATH "': file does not exist",
  };
  EXPECT_EQ(t.Records(), expected);
}

}  // namespace
