#include "kest/properties.h"

#include <gtest/gtest.h>

#include "kest/internal.h"
#include "support/temp_dir.h"

namespace {

// Keys match in any case and the last definition wins; a present key with an
// empty value is not absent; a time span that is none gives the fallback.
TEST(KestProperties, KeysInAnyCaseLastDefinitionWinsFallbacksForAbsentKeysAndTimes) {
  vxtest::TempDir dir;
  auto props = kest::internal::LoadConfiguration(
      dir.write("vorlex.conf",
                "VXAgent.Local.Account.Manage: first\nvxagent.socket = /run/a\n"
                "vxagent.local.account.MANAGE:  second  \nempty:\nLRPC.Timeout: 1m\nsoon: soon\ntwo: 2\n")
          .c_str(),
      false);
  props->lock().doLock();
  EXPECT_EQ(props->get(kest::PN::VXAGENT_LOCAL_ACCOUNT_MANAGE), "second");
  EXPECT_EQ(props->get("VXAGENT.SOCKET", "/var/vorlex/daemon"), "/run/a");
  EXPECT_TRUE(props->contains("Vxagent.Socket"));
  EXPECT_EQ(props->get("vxagent.socketx"), "");
  EXPECT_EQ(props->get("vxagent.socketx", "dflt"), "dflt");
  EXPECT_FALSE(props->contains("vxagent"));
  EXPECT_EQ(props->get("Empty", "dflt"), "");
  props->lock().unLock();
  for (const auto &[key, seconds] :
       {std::pair("lrpc.timeout", 60u), {"two", 2u}, {"soon", 30u}, {"absent", 30u}})
    EXPECT_EQ(kest::internal::ConfiguredSeconds(*props, key, 30), seconds) << key;
}

}  // namespace
