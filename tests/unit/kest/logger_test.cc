#include "kest/logger.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "kest/internal.h"
#include "support/temp_dir.h"

namespace {

using kest::Logger;

struct ThresholdCase {
  const char *conf;
  const char *logger;
  int expected;
};

// The longest configured prefix of "log.<name>" decides; names match in any
// case; a name that is no level counts as INFO.
const ThresholdCase kThresholdCases[] = {
    {"", "cli.vxaccounts", Logger::INFO},
    {"log.cli: error\nlog: trace\n", "cli.vxaccounts", Logger::ERROR},
    {"log: warn\n", "cli.vxaccounts", Logger::WARNING},
    {"log: WARNING\nlog.cli.common: fatal\n", "cli.vxaccounts", Logger::WARNING},
    {"log: error\nlog.cli.vxaccounts: TRACE\n", "cli.vxaccounts", Logger::TRACE},
    {"LOG.CLI.VXACCOUNTS = Debug\n", "cli.vxaccounts", Logger::DEBUG},
    {"log.cli.vxaccounts: verbose\nlog: error\n", "cli.vxaccounts", Logger::INFO},
    {"log.cli: debug\n", "cli", Logger::DEBUG},
    {"log.clifoo: debug\n", "cli.vxaccounts", Logger::INFO},
};

TEST(LoggerThreshold, FallsBackThroughDottedPrefixesToDefault) {
  for (const ThresholdCase &c : kThresholdCases) {
    vxtest::TempDir dir;
    auto props = kest::internal::LoadConfiguration(dir.write("vorlex.conf", c.conf).c_str(), false);
    EXPECT_EQ(kest::internal::ConfiguredThreshold(*props, c.logger), c.expected) << c.conf;
  }
}

TEST(LoggerThreshold, AnyLevelNameInAnyCase) {
  const std::pair<const char *, int> names[] = {{"trace", 0},   {"Debug", 1}, {"INFO", 2},  {"warn", 3},
                                                {"Warning", 3}, {"error", 4}, {"FATAL", 5}, {"loud", -1}};
  for (const auto &[name, level] : names) EXPECT_EQ(kest::internal::ParseLevelName(name), level) << name;
}

TEST(LoggerLevelTest, WrittenWhenEitherSetThresholdIsAtMostTheLevel) {
  Logger info("x", Logger::INFO, Logger::UNSET);
  EXPECT_FALSE(info.isEnabled(Logger::DEBUG));
  EXPECT_TRUE(info.isEnabled(Logger::INFO));
  EXPECT_TRUE(info.isEnabled(Logger::FATAL));
  // An unset second threshold admits nothing by itself.
  Logger error("x", Logger::ERROR, Logger::UNSET);
  EXPECT_FALSE(error.isEnabled(Logger::TRACE));
  Logger both("x", Logger::ERROR, Logger::DEBUG);
  EXPECT_TRUE(both.isEnabled(Logger::DEBUG));
  EXPECT_FALSE(both.isEnabled(Logger::TRACE));
}

TEST(ThreadPrivateLogger, OnePerNamePerThread) {
  auto first = Logger::GetThreadPrivateLogger("cli.vxaccounts");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, Logger::GetThreadPrivateLogger("cli.vxaccounts"));
  EXPECT_NE(first, Logger::GetThreadPrivateLogger("cli.common"));
  EXPECT_EQ(first->secondThreshold(), Logger::UNSET);
  std::shared_ptr<Logger> other;
  std::thread([&] { other = Logger::GetThreadPrivateLogger("cli.vxaccounts"); }).join();
  EXPECT_NE(first, other);
}

}  // namespace
