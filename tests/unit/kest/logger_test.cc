#include "kest/logger.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <string>

#include "kest/internal.h"
#include "kest/text.h"
#include "support/child_run.h"
#include "support/temp_dir.h"

namespace {

using kest::Logger;

// The longest configured prefix of "log.<name>" decides; keys and level names
// match in any case; a name that is no level counts as INFO.
TEST(LoggerThreshold, FallsBackThroughDottedPrefixesToDefault) {
  const struct {
    const char *conf, *logger;
    int expected;
  } cases[] = {
      {"", "cli.vxaccounts", Logger::INFO},
      {"log.cli: error\nlog: trace\n", "cli.vxaccounts", Logger::ERROR},
      {"log: warn\n", "cli.vxaccounts", Logger::WARNING},
      {"log: WARNING\nlog.cli.common: fatal\n", "cli.vxaccounts", Logger::WARNING},
      {"log: error\nlog.cli.vxaccounts: TRACE\n", "cli.vxaccounts", Logger::TRACE},
      {"LOG.CLI.VXACCOUNTS = Debug\n", "cli.vxaccounts", Logger::DEBUG},
      {"log.cli.vxaccounts: verbose\nlog: error\n", "cli.vxaccounts", Logger::INFO},
      {"log.cli: FATAL\n", "cli", Logger::FATAL},
      {"log.clifoo: debug\n", "cli.vxaccounts", Logger::INFO},
  };
  for (const auto &c : cases) {
    vxtest::TempDir dir;
    auto props = kest::internal::LoadConfiguration(dir.write("vorlex.conf", c.conf).c_str(), false);
    EXPECT_EQ(kest::internal::ConfiguredThreshold(*props, c.logger), c.expected) << c.conf;
  }
}

TEST(LoggerLevelTest, WrittenWhenEitherSetThresholdIsAtMostTheLevel) {
  Logger info("x", Logger::INFO, Logger::UNSET);
  EXPECT_FALSE(info.isEnabled(Logger::DEBUG));
  EXPECT_TRUE(info.isEnabled(Logger::INFO));
  EXPECT_TRUE(info.isEnabled(Logger::FATAL));
  // An unset second threshold admits nothing by itself.
  Logger both("x", Logger::ERROR, Logger::DEBUG);
  EXPECT_TRUE(both.isEnabled(Logger::DEBUG));
  EXPECT_FALSE(both.isEnabled(Logger::TRACE));
  // A thread's logger has no second threshold until one is set.
  EXPECT_EQ(Logger::GetThreadPrivateLogger("cli.vxaccounts")->secondThreshold(), Logger::UNSET);
}

// The syslog ident: the C library's short name of the program or, without
// one, the kernel's name of the process, else "unknown" (each in a child,
// the names cleared first).
TEST(KestText, DecimalUidsAndAProgramNameWhateverIsKnown) {
  EXPECT_EQ(kest::uidtoa(0) + " " + kest::uidtoa(4294967294u), "0 4294967294");
  for (const char *comm : {"vx-comm", ""}) {
    const vxtest::ChildResult r = vxtest::RunInChild([comm] {
      program_invocation_short_name = const_cast<char *>("");
      const_cast<std::string &>(kest::progname()).clear();
      prctl(PR_SET_NAME, comm);
      kest::detect_progname();
      return printf("%s", kest::progname().c_str()) > 0 ? 0 : 1;
    });
    EXPECT_EQ(r.out, *comm != '\0' ? comm : "unknown");
  }
}

}  // namespace
