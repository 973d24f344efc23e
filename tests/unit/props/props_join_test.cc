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
#include "support/table_file.h"

namespace {

using propstest::SetPtr;

std::string FactPath(const std::string &suffix) { return PROPS_TEST_KSET_DIR "/kset." + suffix; }

void WriteFact(const std::string &suffix, const std::string &content) {
  std::ofstream(FactPath(suffix), std::ios::binary | std::ios::trunc) << content;
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

// Each row of golden/facts.table, read in a child that a hang cannot outlive.
TEST(PropsJoin, FactsAreReadWithoutTrustOrBlocking) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  const std::string fact = FactPath("trapcase"), good = FactPath("goodcase");
  WriteFact("goodcase", "good\n");
  vxtest::RunTable(PROPS_GOLDEN_DIR "/facts.table", [&](const vxtest::Row &r) -> std::vector<std::string> {
    if (!r.Args(2)) return {};
    const std::string at = r[1];
    unlink(fact.c_str());
    const int made = at == "fifo"      ? mkfifo(fact.c_str(), 0600)
                     : at == "symlink" ? symlink(good.c_str(), fact.c_str())
                     : at == "foreign" ? (WriteFact("trapcase", r[2]),
                                          chown(fact.c_str(), 1000, 1000) | chmod(fact.c_str(), 0666))
                                       : (WriteFact("trapcase", r[2]), 0);
    EXPECT_EQ(made, 0) << "setting up " << at;
    vxtest::ChildResult run = vxtest::RunInChild([&] {
      alarm(5);
      if (at == "read-error") vxtest::fault::Arm(vxtest::fault::Call::kRead, 1, EIO);
      uint32_t status = 99;
      char *cache = nullptr,
           *got = (r[0] == "zone" ? ReadKsetZone : ReadKsetFile)("trapcase", &cache, &status);
      printf("%s\n%u%s", vxtest::Text(got).c_str(), status, got == cache ? "" : " not cached");
      return 0;
    });
    EXPECT_EQ(run.status, 0) << "the read did not return";
    const size_t end = run.out.rfind('\n');
    return {run.out.substr(0, end), run.out.substr(end + 1)};
  });
  unlink(fact.c_str());
  unlink(good.c_str());
}

}  // namespace
