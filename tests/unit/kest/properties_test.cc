#include "kest/properties.h"

#include <gtest/gtest.h>

#include "kest/internal.h"
#include "support/temp_dir.h"

namespace {

std::unique_ptr<kest::Properties> Load(const vxtest::TempDir &dir, const std::string &text) {
  return kest::internal::LoadConfiguration(dir.write("vorlex.conf", text).c_str(), false);
}

TEST(KestProperties, KeysMatchInAnyCaseTheLastDefinitionWinsAndAbsentKeysGiveTheFallback) {
  vxtest::TempDir dir;
  auto props = Load(dir,
                    "VXAgent.Local.Account.Manage: first\nvxagent.socket = /run/a\n"
                    "vxagent.local.account.MANAGE:  second  \nempty:\n");
  props->lock().doLock();
  EXPECT_EQ(props->get(kest::PN::VXAGENT_LOCAL_ACCOUNT_MANAGE), "second");
  EXPECT_EQ(props->get("VXAGENT.SOCKET", "/var/vorlex/daemon"), "/run/a");
  EXPECT_TRUE(props->contains("Vxagent.Socket"));
  props->lock().unLock();
  EXPECT_EQ(props->get("vxagent.socketx"), "");
  EXPECT_EQ(props->get("vxagent.socketx", "dflt"), "dflt");
  EXPECT_FALSE(props->contains("vxagent"));
  EXPECT_EQ(props->get("Empty", "dflt"), "");  // a present key with an empty value is not absent
}

TEST(KestProperties, TimeSpansInSecondsWithFallback) {
  const std::pair<const char *, unsigned> cases[] = {
      {"lrpc.timeout: 2\n", 2}, {"LRPC.Timeout: 1m\n", 60}, {"lrpc.timeout: soon\n", 30}, {"", 30}};
  for (const auto &[text, seconds] : cases) {
    vxtest::TempDir dir;
    auto props = Load(dir, text);
    EXPECT_EQ(kest::internal::ConfiguredSeconds(*props, "lrpc.timeout", 30), seconds) << text;
  }
}

TEST(KestProperties, UnreadableFileGivesAnEmptySet) {
  auto missing = kest::internal::LoadConfiguration("/nonexistent/vorlex.conf", true);
  ASSERT_NE(missing, nullptr);
  EXPECT_EQ(missing->get("log", "none"), "none");
  vxtest::TempDir dir;
  // World-writable: refused by the secure load.
  auto insecure = kest::internal::LoadConfiguration(dir.write("w.conf", "log: debug\n", 0666).c_str(), true);
  EXPECT_FALSE(insecure->contains("log"));
}

}  // namespace
