// Argument text for the audit trail, the principal-name lookup and the root
// check.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "cli_common.h"
#include "kest/rpc.h"
#include "support/agent.h"
#include "support/child_run.h"
#include "support/log_sink.h"

namespace {

TEST(JoinArguments, WordsAfterTheProgramNameJoinedBySingleBlanks) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"vxaccounts"}, "(none)"},
      {{"vxaccounts", ""}, "(none)"},
      {{"vxaccounts", "--list", "all", "--user"}, "--list all --user"},
      {{"vxaccounts", "-s", ""}, "-s "},
      {{"vxaccounts", "a b", "c"}, "a b c"},
  };
  for (auto [words, expected] : cases) {
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    EXPECT_EQ(JoinArguments(static_cast<int>(argv.size()) - 1, argv.data()), expected);
  }
  EXPECT_EQ(JoinArguments(0, nullptr), "(none)");
}

constexpr int kCannotIsolate = 77;

// In a mount namespace with /etc, /var and /dev of its own: a configuration
// that turns DEBUG on, the agent at the support library's default socket.
// Prints the principal names found, with the library flag GOFAST1 on and off,
// for a user with and without one, then once the agent is gone; then, as a
// real user other than root (effective root), runs the root check and
// prints the syslog records of the run.
int LookUpAndCheckRoot() {
  vxtest::TempDir scratch;
  const int dev_log = vxtest::EnterMountNamespace() ? vxtest::PrivateDev(scratch.path()) : -1;
  if (dev_log < 0 || mount("vx", "/etc", "tmpfs", 0, "mode=0755") != 0 ||
      mount("vx", "/var", "tmpfs", 0, "mode=0755") != 0 || mkdir("/etc/vorlex", 0755) != 0 ||
      mkdir("/var/vorlex", 0755) != 0)
    return kCannotIsolate;
  std::ofstream("/etc/vorlex/vorlex.conf") << "log: debug\n";
  {
    vxtest::Agent agent({.path = "/var/vorlex/daemon"});
    for (int fast : {1, 0}) {
      for (const char *attribute : {"userPrincipalName", "mail"}) {
        agent.ReplyFields(vxtest::Int(0) + vxtest::Set({attribute, "alice@EXAMPLE.COM"}));
        kest::GOFAST1 = fast;
        printf("%s|", GetUserUPN("alice").c_str());
      }
    }
  }
  printf("%s|", GetUserUPN("alice").c_str());
  if (setresuid(65534, 0, 0) != 0) return 120;
  const int status = rootCheck("cli.vxaccounts");
  char record[2048];
  for (ssize_t n; (n = recv(dev_log, record, sizeof record, MSG_DONTWAIT)) > 0;)
    printf("\n%.*s", static_cast<int>(n), record);
  return status;
}

// The lookup gives the principal name or the empty text, and a DEBUG record
// when the agent cannot be asked; the root check decides on the real user id
// alone (the e2e suite runs the other way round), naming the program.
TEST(UserLookupAndRootCheck, PrincipalNameOrEmptyAndARealUserOtherThanRootRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace and other user ids";
  const vxtest::ChildResult r = vxtest::RunInChild(LookUpAndCheckRoot);
  if (r.status == kCannotIsolate) GTEST_SKIP() << "no private mount namespace";
  EXPECT_EQ(r.status, 9);
  EXPECT_EQ(r.err, "Error: cli_common_test may only be run by root.\n");  // the short program name only
  EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "alice@EXAMPLE.COM||alice@EXAMPLE.COM|||");
  for (const char *record :
       {"GetUserUPN: Failed to get UPN for user 'alice', maybe vxagent is not running/not "
        "available.",
        "rootCheck: Error: cli_common_test may only be run by root."})
    EXPECT_NE(r.out.find(record), std::string::npos) << record << " in " << r.out;
}

}  // namespace
