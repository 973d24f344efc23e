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

TEST(GetUserObj, OtherRepliesGiveNoUserOrThrow) {
  enum Outcome { kNoUser, kIpcError, kKestError };
  const std::pair<Bytes, Outcome> cases[] = {
      {Int(1), kNoUser},      // non-zero status: no such user
      {Str("0"), kIpcError},  // unreadable reply
      {Int(0), kKestError},   // found, but without attribute set
  };
  for (const auto &[fields, outcome] : cases) {
    Agent agent;
    agent.ReplyFields(fields);
    kest::LocalRpcSession session(agent.path(), false, false);
    switch (outcome) {
      case kNoUser:
        EXPECT_EQ(session.getUserObj("nobody", kest::UNIX_ONLY), nullptr);
        break;
      case kIpcError:
        EXPECT_THROW(session.getUserObj("alice", kest::UNIX_ONLY), kest::IPCException);
        break;
      case kKestError:
        EXPECT_THROW(session.getUserObj("alice", kest::UNIX_ONLY), kest::KESTException);
        break;
    }
  }
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
