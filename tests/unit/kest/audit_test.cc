#include "kest/audit.h"

#include <gtest/gtest.h>
#include <stdarg.h>

#include "kest/internal.h"
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
  EXPECT_EQ(
      Collect(0, kest::AUDIT_ARG_STRING, static_cast<const char *>(nullptr), 3, "x", kest::AUDIT_ARG_END),
      (std::vector<std::string>{""}));
}

// Not delivered, the event falls back to one line naming every value.
TEST(AuditDelivery, UnreachableAgentIsReportedAndTheFallbackLineQuotesEveryValue) {
  vxtest::TempDir dir;
  AuditEvent event{"S", "C", 2001, "u", 1, {}};
  EXPECT_FALSE(kest::internal::DeliverAuditEvent(event, dir.file("nothing-listens")));
  event = {"Quarnel Suite", "Local Account Management", 2001, "bob", 12, {"-l \"x\\", "line\nbreak"}};
  EXPECT_EQ(kest::internal::AuditFallbackLine(event),
            "audit event not delivered: suite=\"Quarnel Suite\" category=\"Local Account Management\" "
            "event=2001 user=\"bob\" pid=12 args=\"-l \\\"x\\\\\",\"line?break\"");
}

}  // namespace
