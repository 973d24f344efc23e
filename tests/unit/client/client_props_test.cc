#include "client_common/client_props.h"

#include <gtest/gtest.h>

#include <string>

#include "context_support.h"

namespace {

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
  EXPECT_STREQ(ClientGetProperty(&t.ctx, "absent", "dflt"), "dflt");
  EXPECT_EQ(ClientGetPropertyTime(&t.ctx, "lrpc.timeout", 's', 300), 600);
  EXPECT_EQ(ClientGetPropertyTime(&t.ctx, "absent", 's', 300), 300);
  EXPECT_EQ(ClientGetProperty(&t.ctx, "missing", "d"), nullptr);
  EXPECT_EQ(ClientGetProperty(&t.ctx, "open", nullptr), nullptr);
  EXPECT_EQ(ClientGetProperty(&t.ctx, "open", "x y"), nullptr);
  EXPECT_EQ(ClientGetPropertyTime(&t.ctx, "missing", 's', 300), 0);
  const std::string open_error = "ERROR: Failed to read property 'open' from file '" CLIENT_CONF_PATH
                                 "': file is world writable or not root owned";
  const std::vector<std::string> expected = {
      "TRACE: GetProperty('name', 0) => 0, \"value\"",
      "TRACE: GetProperty('absent', \"dflt\") => 0, \"dflt\"",
      "TRACE: GetPropertyTime('lrpc.timeout', 300) => status=0, value=600",
      "TRACE: GetPropertyTime('absent', 300) => status=0, value=300",
      "TRACE: GetProperty('missing', \"d\") => 303, \"d\"",
      "ERROR: Failed to read property 'missing' from file '" CLIENT_CONF_PATH "': file does not exist",
      "TRACE: GetProperty('open', 0) => 305, 0",
      open_error,
      "TRACE: GetProperty('open', \"x y\") => 305, \"x y\"",
      open_error,
      "TRACE: GetPropertyTime('missing', 300) => status=303, value=0",
      "ERROR: Failed to read time property 'missing' from file '" CLIENT_CONF_PATH "': file does not exist",
  };
  EXPECT_EQ(t.Records(), expected);
}

}  // namespace
