#include <gtest/gtest.h>

#include <stdarg.h>

#include "kest/audit.h"
#include "kest/internal.h"
#include "support/lrpc_test_peer.h"
#include "support/temp_dir.h"

namespace {

using kest::internal::AuditEvent;

std::vector<std::string> Collect(int first, ...) {
  va_list args;
  va_start(args, first);
  std::vector<std::string> texts = kest::internal::CollectAuditArgs(args);
  va_end(args);
  return texts;
}

TEST(AuditArgs, TaggedTextsInOrderUntilTheEndTag) {
  EXPECT_EQ(Collect(0, kest::AUDIT_ARG_STRING, "--list all --user", kest::AUDIT_ARG_STRING, "Failed",
                    kest::AUDIT_ARG_END),
            (std::vector<std::string>{"--list all --user", "Failed"}));
  EXPECT_TRUE(Collect(0, kest::AUDIT_ARG_END).empty());
  // A null text is taken as empty; an unknown tag ends the list, since its
  // value cannot be skipped safely.
  EXPECT_EQ(Collect(0, kest::AUDIT_ARG_STRING, static_cast<const char *>(nullptr), 3, "x", kest::AUDIT_ARG_END),
            (std::vector<std::string>{""}));
}

TEST(AuditDelivery, SendsOneWayEventWithFieldsInOrder) {
  vxtest::TempDir dir;
  const std::string path = dir.file("daemon2");
  vxtest::LrpcTestPeer peer(path, {""});
  AuditEvent event{"S", "C", 2000, "u", 7, {"a"}};
  EXPECT_TRUE(kest::internal::DeliverAuditEvent(event, path));
  ASSERT_EQ(peer.Requests().size(), 1u);
  const unsigned char expected[] = {
      0xB0, 0x04,                                      // type 1200
      4, 1, 0, 0, 0, 'S', 4, 1, 0, 0, 0, 'C',          // suite, category
      2, 0xD0, 0x07, 0, 0,                             // event 2000
      4, 1, 0, 0, 0, 'u',                              // user
      2, 7, 0, 0, 0,                                   // pid
      7, 1, 0, 0, 0, 1, 0, 0, 0, 'a',                  // one text
      0};
  EXPECT_EQ(peer.Requests()[0], std::string(reinterpret_cast<const char *>(expected), sizeof expected));
}

TEST(AuditDelivery, LongerEventMatchesTheMessageLayout) {
  vxtest::TempDir dir;
  const std::string path = dir.file("daemon2");
  vxtest::LrpcTestPeer peer(path, {""});
  AuditEvent event{"Quarnel Suite", "Local Account Management", 2001, "alice@EXAMPLE.COM", 4242,
                   {"--list all --user", "Failed to list local account"}};
  EXPECT_TRUE(kest::internal::DeliverAuditEvent(event, path));
  const std::string expected = vxtest::MsgBody(1200)
                                   .String(event.suite)
                                   .String(event.category)
                                   .Int(2001)
                                   .String(event.user)
                                   .Int(4242)
                                   .StringSet(event.args)
                                   .End();
  ASSERT_EQ(peer.Requests().size(), 1u);
  EXPECT_EQ(peer.Requests()[0], expected);
}

TEST(AuditDelivery, UnreachableAgentIsReportedAsNotDelivered) {
  vxtest::TempDir dir;
  AuditEvent event{"S", "C", 2001, "u", 1, {}};
  EXPECT_FALSE(kest::internal::DeliverAuditEvent(event, dir.file("nothing-listens")));
  EXPECT_FALSE(kest::internal::DeliverAuditEvent(event, "relative/path"));
}

TEST(AuditFallback, OneLineNamingEveryValueWithQuotesEscaped) {
  AuditEvent event{"Quarnel Suite", "Local Account Management", 2001, "bob", 12, {"-l \"x\"", "line\nbreak"}};
  EXPECT_EQ(kest::internal::AuditFallbackLine(event),
            "audit event not delivered: suite=\"Quarnel Suite\" category=\"Local Account Management\" "
            "event=2001 user=\"bob\" pid=12 args=\"-l \\\"x\\\"\",\"line?break\"");
}

}  // namespace
