// Join facts ($JOINNAME, $SITE, $DOMAIN, $ZONE) from PROPS_TEST_KSET_DIR/kset.<suffix>.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "props_test_util.h"

namespace {

using propstest::SetPtr;

std::string FactPath(const std::string &suffix) { return PROPS_TEST_KSET_DIR "/kset." + suffix; }

void WriteFact(const std::string &suffix, const std::string &content) {
  std::ofstream(FactPath(suffix), std::ios::binary | std::ios::trunc) << content;
}

// A line end after the name is part of the fact.
TEST(PropsJoin, ZoneNameComesFromTheCommonName) {
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
  ASSERT_EQ(unlink(FactPath("host").c_str()), 0);
  ASSERT_EQ(mkdir(FactPath("host").c_str(), 0755), 0);  // opens, but cannot be read
  SetProperty(fresh.get(), "h", "x$JOINNAME", nullptr);
  EXPECT_STREQ(GetProperty(fresh.get(), "h", "dflt", &status), "dflt");
  EXPECT_EQ(status, PROPS_ERR_SYSTEM);

  rmdir(FactPath("host").c_str());
  for (const char *s : {"site", "domain", "zonename"}) unlink(FactPath(s).c_str());
  unsetenv("DOMAIN");
}

}  // namespace
