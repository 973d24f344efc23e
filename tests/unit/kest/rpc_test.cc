#include <gtest/gtest.h>

#include "kest/exception.h"
#include "kest/rpc.h"
#include "support/lrpc_test_peer.h"
#include "support/temp_dir.h"

namespace {

using vxtest::MsgBody;

constexpr uint16_t kGetObjectByName = 901;

std::string ExpectedRequest(const std::string &name) {
  return MsgBody(kGetObjectByName).String(name).UInt(kest::UNIX_ONLY).End();
}

TEST(GetUserObj, FoundUserCarriesItsAttributes) {
  vxtest::TempDir dir;
  const std::string path = dir.file("daemon");
  vxtest::LrpcTestPeer peer(
      path, {MsgBody(kGetObjectByName)
                 .Int(0)
                 .StringSet({"userPrincipalName", "alice@EXAMPLE.COM", "mail", "a@x", "mail", "b@x", "gecos"})
                 .End()});
  kest::LocalRpcSession session(path, false, false);
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
  ASSERT_EQ(peer.Requests().size(), 1u);
  EXPECT_EQ(peer.Requests()[0], ExpectedRequest("alice"));
}

TEST(GetUserObj, NonZeroStatusMeansNoSuchUser) {
  vxtest::TempDir dir;
  const std::string path = dir.file("daemon");
  vxtest::LrpcTestPeer peer(path, {MsgBody(kGetObjectByName).Int(1).End()});
  kest::LocalRpcSession session(path, false, false);
  EXPECT_EQ(session.getUserObj("nobody", kest::UNIX_ONLY), nullptr);
}

TEST(GetUserObj, UnreadableReplyThrowsIPCException) {
  vxtest::TempDir dir;
  const std::string path = dir.file("daemon");
  vxtest::LrpcTestPeer peer(path, {MsgBody(kGetObjectByName).String("0").End()});
  kest::LocalRpcSession session(path, false, false);
  EXPECT_THROW(session.getUserObj("alice", kest::UNIX_ONLY), kest::IPCException);
}

TEST(GetUserObj, FoundWithoutAttributeSetThrows) {
  vxtest::TempDir dir;
  const std::string path = dir.file("daemon");
  vxtest::LrpcTestPeer peer(path, {MsgBody(kGetObjectByName).Int(0).End()});
  kest::LocalRpcSession session(path, false, false);
  EXPECT_THROW(session.getUserObj("alice", kest::UNIX_ONLY), kest::KESTException);
}

TEST(LocalRpcSession, NoAgentThrowsIOExceptionWithReadableText) {
  vxtest::TempDir dir;
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
