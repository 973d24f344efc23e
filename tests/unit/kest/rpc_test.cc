#include "kest/rpc.h"

#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include "kest/exception.h"
#include "support/agent.h"
#include "support/child_run.h"
#include "support/sanitizer.h"

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

// What getUserObj makes of a reply: "user <principal name>", "null" or
// "IPCException".
std::string Outcome(const Bytes &fields) {
  Agent agent;
  agent.ReplyFields(fields);
  kest::LocalRpcSession session(agent.path(), false, false);
  try {
    auto user = session.getUserObj("alice", kest::UNIX_ONLY);
    return user ? "user " + std::string((*user)[kest::KEST_USER_PRINCIPAL_NAME]) : "null";
  } catch (const kest::IPCException &) {
    return "IPCException";
  }
}

// The fields of a reply naming alice's principal, then `pairs` more
// attributes, laid out in place (a few hundred megabytes are built once):
// each pair names an attribute of its own when `distinct`, else "mail".
Bytes ManyAttributes(size_t pairs, bool distinct, size_t value_bytes) {
  Bytes fields = Int(0) + U8(MDT_STRINGSET) + U32(static_cast<uint32_t>(2 * pairs + 2)) +
                 Item(kest::KEST_USER_PRINCIPAL_NAME) + Item("alice@EXAMPLE.COM");
  const std::string value(value_bytes, 'v');
  fields.reserve(fields.size() + pairs * (18 + value_bytes));
  for (size_t i = 0; i < pairs; ++i) {
    fields += Item(distinct ? "attr" + std::to_string(i) : "mail");
    fields += U32(static_cast<uint32_t>(value.size()));
    fields += value;
  }
  return fields;
}

// A non-zero status is no such user; an unreadable reply, a found user
// without attribute set and one attribute too many throw; a null name ends
// the list; a value is read as a C string.
TEST(GetUserObj, EachReplyGivesItsUserOrNoneOrThrows) {
  const Bytes upn = Item(kest::KEST_USER_PRINCIPAL_NAME);
  const std::pair<Bytes, std::string> cases[] = {
      {Int(1), "null"},
      {Str("0"), "IPCException"},
      {Int(0), "IPCException"},
      {ManyAttributes(kest::RPC_MAX_ATTRIBUTES, true, 0), "IPCException"},
      {Int(0) + Set({kest::KEST_USER_PRINCIPAL_NAME, "p", nullptr, "x"}), "user p"},
      {Int(0) + U8(MDT_STRINGSET) + U32(2) + upn + Item(std::string_view("a\0b", 3)), "user a"},
  };
  for (const auto &[fields, outcome] : cases) EXPECT_EQ(Outcome(fields), outcome);
}

long StatusKb(const char *field) {
  const std::string status = ReadFile("/proc/self/status");
  const size_t at = status.find(field);
  return at == std::string::npos ? -1 : atol(status.c_str() + at + strlen(field));
}

// What a lookup in a child process costs, apart from the agent's own copy of
// the reply (the agent is a thread of the parent): "<1 when alice's principal
// name came back> <CPU seconds> <how far the peak resident size grew above the
// start, kB>".
std::string LookUpInChild(const std::string &path) {
  return RunInChild([&] {
           const long before = StatusKb("VmRSS:");
           const clock_t start = clock();
           bool found = false;
           try {
             kest::LocalRpcSession session(path, false, false);
             auto user = session.getUserObj("alice", kest::UNIX_ONLY);
             found = user && std::string((*user)[kest::KEST_USER_PRINCIPAL_NAME]) == "alice@EXAMPLE.COM";
           } catch (...) {
           }
           printf("%d %f %ld", found, static_cast<double>(clock() - start) / CLOCKS_PER_SEC,
                  StatusKb("VmHWM:") - before);
           return 0;
         })
      .out;
}

// The attribute list is read once, in place: time follows the reply's size,
// not the square of its names, and memory the reply's size plus a little.
TEST(GetUserObj, ReadsALargeReplyOnceInPlace) {
  const struct {
    const char *name;
    size_t pairs;
    bool distinct;  // each pair names an attribute of its own, else all name "mail"
    size_t value_bytes;
    double max_cpu_seconds;
  } cases[] = {
      {"300,000 distinct names", 300000, true, 1, 0.5},
      {"240 MB of values of one attribute", 3500000, false, 56, 2},
  };
  for (const auto &c : cases) {
    const Bytes fields = ManyAttributes(c.pairs, c.distinct, c.value_bytes);
    Agent agent;
    agent.Reply([&fields](const Bytes &) { return Agent::Answers{Frame(kGetObjectByName, fields)}; });
    int found = 0;
    double cpu_seconds = 99;
    long growth_kb = -1;
    EXPECT_EQ(sscanf(LookUpInChild(agent.path()).c_str(), "%d %lf %ld", &found, &cpu_seconds, &growth_kb), 3);
    EXPECT_EQ(found, 1) << c.name;
    EXPECT_LT(cpu_seconds, c.max_cpu_seconds * (vxtest::kSanitized ? 5 : 1)) << c.name;
    EXPECT_LT(growth_kb, static_cast<long>(fields.size() / 1024 + 64 * 1024))
        << c.name << ", reply of " << fields.size() / 1024 << " kB";
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
