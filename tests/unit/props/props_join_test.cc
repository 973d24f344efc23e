// Join facts ($JOINNAME, $SITE, $DOMAIN, $ZONE) from PROPS_TEST_KSET_DIR/kset.<suffix>.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "props_test_util.h"
#include "support/child_run.h"
#include "support/fault.h"
#include "support/secure_owner.h"

namespace {

using propstest::SetPtr;

std::string FactPath(const std::string &suffix) { return PROPS_TEST_KSET_DIR "/kset." + suffix; }

void WriteFact(const std::string &suffix, const std::string &content) {
  std::ofstream(FactPath(suffix), std::ios::binary | std::ios::trunc) << content;
}

// A line end after the name is part of the fact.
TEST(PropsJoin, ZoneNameComesFromTheCommonName) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  const std::pair<const char *, const char *> cases[] = {
      {"CN=,x", ""},           {"CN=west,CN=Zones,DC=example,DC=com\n", "west"},
      {"", "(null)"},          {"OU=x,CN=east", "east"},
      {"CN=solo\n", "solo\n"}, {"OU=zones,DC=example\n", "<unknown>"},
      {"\n", "<unknown>"},     {"cn=lower,OU=x\n", "<unknown>"},
  };
  for (auto [content, zone] : cases) {
    WriteFact("zonecase", content);
    uint32_t status = 99;
    char *cache = nullptr, *got = ReadKsetZone("zonecase", &cache, &status);
    EXPECT_EQ(got, cache);
    EXPECT_EQ(std::string(got != nullptr ? got : "(null)"), zone) << content;
    EXPECT_EQ(status, 0u);
    free(cache);
  }
  unlink(FactPath("zonecase").c_str());
}

// In one test so that no two tests write the fixed fact files at the same time.
TEST(PropsJoin, VariablesExpandFromFactsFirstAndAreCached) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  for (const char *s : {"host", "site", "domain", "zonename"}) unlink(FactPath(s).c_str());
  SetPtr set = propstest::NewSet({{"SITE", "prop-site"}, {"a", "[$JOINNAME|$SITE|$DOMAIN|$ZONE]"}});
  setenv("DOMAIN", "env-domain", 1);
  unsetenv("JOINNAME");
  unsetenv("ZONE");
  uint32_t status = 99;  // a missing fact is no failure and is not cached
  EXPECT_STREQ(GetProperty(set.get(), "a", nullptr, &status), "[$JOINNAME|prop-site|env-domain|$ZONE]");
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(set->join_site, nullptr);

  WriteFact("host", "myhost\n" + std::string(2000, 'h'));
  WriteFact("site", "Default-Site");
  WriteFact("domain", std::string(2000, 'd') + "\n");
  WriteFact("zonename", "CN=west,CN=Zones,DC=example,DC=com\n");
  SetProperty(set.get(), "b", "[$JOINNAME|$SITE|$ZONE]", nullptr);
  EXPECT_STREQ(GetProperty(set.get(), "b", nullptr, nullptr), "[myhost\n|Default-Site|west]");
  auto join_param = [&](const char *name) {
    return GetJoinParam(name, &set->join_name, &set->join_site, &set->join_domain, &set->join_zone, &status);
  };
  const char *domain = join_param("DOMAIN");
  EXPECT_EQ(std::string(domain), std::string(PROPS_KSET_LINE_SIZE - 1, 'd'));  // first line, bounded

  WriteFact("zonename", "OU=changed\n");  // cached until the set is freed
  SetProperty(set.get(), "c", "$ZONE", nullptr);
  EXPECT_STREQ(GetProperty(set.get(), "c", nullptr, nullptr), "west");
  EXPECT_EQ(join_param("zone"), nullptr);
  EXPECT_EQ(status, 0u);

  SetPtr fresh = propstest::NewSet({{"z", "$ZONE"}});
  EXPECT_STREQ(GetProperty(fresh.get(), "z", nullptr, nullptr), "<unknown>");
  for (long n : {1, 2}) {  // no memory for the path, then for the copy
    vxtest::fault::Arm(vxtest::fault::Call::kAlloc, n);
    EXPECT_EQ(ReadKsetFile("site", &fresh->join_site, &status), nullptr);
    vxtest::fault::Disarm();
    EXPECT_EQ(status, uint32_t{PROPS_ERR_NOMEM});
  }

  for (const char *s : {"host", "site", "domain", "zonename"}) unlink(FactPath(s).c_str());
  unsetenv("DOMAIN");
}

// A fact file that another user could have planted, or that would block,
// counts as missing (null, status 0) and never blocks; a failing read is a
// system error. Each read runs in a child that a hang cannot outlive.
TEST(PropsJoin, FactsAnotherUserCouldPlantCountAsMissing) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  const std::string fact = FactPath("trapcase"), good = FactPath("goodcase");
  WriteFact("goodcase", "good\n");
  // what is put at the fact's path, the result (line or "-" for null), the status
  const std::tuple<const char *, const char *, uint32_t> cases[] = {
      {"good file", "good\n", 0},
      {"FIFO", "-", 0},
      {"symbolic link", "-", 0},
      {"foreign world-writable file", "-", 0},
      {"read error", "-", PROPS_ERR_SYSTEM},
  };
  for (const auto &[what, line, expected] : cases) {
    const std::string kind = what;
    unlink(fact.c_str());
    if (kind == "FIFO") {
      ASSERT_EQ(mkfifo(fact.c_str(), 0600), 0);
    } else if (kind == "symbolic link") {
      ASSERT_EQ(symlink(good.c_str(), fact.c_str()), 0);
    } else {
      WriteFact("trapcase", "good\n");
      if (kind == "foreign world-writable file") {
        ASSERT_EQ(chown(fact.c_str(), 1000, 1000) | chmod(fact.c_str(), 0666), 0) << "needs root";
      }
    }
    vxtest::ChildResult run = vxtest::RunInChild([&] {
      alarm(5);
      if (kind == "read error") vxtest::fault::Arm(vxtest::fault::Call::kRead, 1, EIO);
      uint32_t status = 99;
      char *cache = nullptr, *got = ReadKsetFile("trapcase", &cache, &status);
      printf("%s|%u", got != nullptr ? got : "-", status);
      return 0;
    });
    EXPECT_EQ(run.status, 0) << what << ": the read did not return";
    EXPECT_EQ(run.out, std::string(line) + "|" + std::to_string(expected)) << what;
  }
  unlink(fact.c_str());
  unlink(good.c_str());
}

}  // namespace
