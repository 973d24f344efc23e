#include "kest/rpc.h"

#include <gtest/gtest.h>

#include "kest/exception.h"
#include "support/agent.h"

namespace {

using namespace vxtest;

constexpr uint16_t kGetObjectByName = 901;

TEST(GetUserObj, FoundUserCarriesItsAttributes) {
  Agent agent;
  agent.ReplyFields(Int(0) +
                    Set({"userPrincipalName", "alice@EXAMPLE.COM", "mail", "a@x", "mail", "b@x", "gecos"}));
  kest::LocalRpcSession session(agent.path(), false, false);
  session.authenticateProcess();
  auto user = session.getUserObj("alice", kest::UNIX_ONLY);
  ASSERT_NE(user, nullptr);
  EXPECT_TRUE(user->attributeExists(kest::KEST_USER_PRINCIPAL_NAME, true));
  EXPECT_TRUE(user->attributeExists("USERPRINCIPALNAME", true));
  EXPECT_FALSE(user->attributeExists("USERPRINCIPALNAME", false));
  EXPECT_EQ(std::string((*user)[kest::KEST_USER_PRINCIPAL_NAME]), "alice@EXAMPLE.COM");
  EXPECT_EQ((*user)["mail"].size(), 2u);
  // A trailing name without a value is an attribute without values.
  EXPECT_TRUE(user->attributeExists("gecos", true));
  EXPECT_EQ((*user)["gecos"].size(), 0u);
  EXPECT_EQ(std::string((*user)["absent"]), "");
  EXPECT_EQ(agent.Frames(),
            std::vector<Bytes>{Frame(kGetObjectByName, Str("alice") + UInt(kest::UNIX_ONLY))});
}

// What getUserObj makes of a reply: "user", "null" or "IPCException".
std::string Outcome(const Bytes &fields) {
  Agent agent;
  agent.ReplyFields(fields);
  kest::LocalRpcSession session(agent.path(), false, false);
  try {
    return session.getUserObj("alice", kest::UNIX_ONLY) != nullptr ? "user" : "null";
  } catch (const kest::IPCException &) {
    return "IPCException";
  }
}

TEST(GetUserObj, OtherRepliesGiveNoUserOrThrow) {
  EXPECT_EQ(Outcome(Int(1)), "null");            // non-zero status: no such user
  EXPECT_EQ(Outcome(Str("0")), "IPCException");  // unreadable reply
  EXPECT_EQ(Outcome(Int(0)), "IPCException");    // found, but without attribute set
}

TEST(LocalRpcSession, NoAgentThrowsIOExceptionWithReadableText) {
  TempDir dir;
  try {
    kest::LocalRpcSession session(dir.file("daemon"), false, false);
    FAIL() << "no exception";
  } catch (const kest::Base_Exception &error) {
    EXPECT_NE(dynamic_cast<const kest::IOException *>(&error), nullptr);
    EXPECT_NE(std::string(error.what()).find("daemon"), std::string::npos) << error.what();
  }
  EXPECT_THROW(kest::LocalRpcSession("", false, false), std::exception);
}

}  // namespace
