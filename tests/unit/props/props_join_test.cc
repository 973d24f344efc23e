// Join facts ($JOINNAME, $SITE, $DOMAIN, $ZONE), read from files under the
// test build's join fact prefix (PROPS_TEST_KSET_DIR/kset.<suffix>).
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>

#include "props_test_util.h"

namespace {

using propstest::SetPtr;

std::string FactPath(const std::string &suffix) { return std::string(PROPS_TEST_KSET_DIR) + "/kset." + suffix; }

void WriteFact(const std::string &suffix, const std::string &content) {
  std::ofstream(FactPath(suffix), std::ios::binary | std::ios::trunc) << content;
}

std::string ReadZone(const std::string &suffix, uint32_t *status) {
  char *cache = nullptr;
  char *got = ReadKsetZone(suffix.c_str(), &cache, status);
  std::string s = got != nullptr ? got : "(null)";
  EXPECT_EQ(got, cache);
  free(cache);
  return s;
}

TEST(PropsJoin, ZoneNameComesFromTheCommonName) {
  struct Case {
    const char *content;
    const char *zone;
  } cases[] = {
      {"CN=west,CN=Zones,DC=example,DC=com\n", "west"},
      {"OU=x,CN=east", "east"},
      {"CN=solo\n", "solo\n"},  // the line end is part of the fact
      {"OU=zones,DC=example\n", "<unknown>"},
      {"\n", "<unknown>"},
      {"cn=lower,OU=x\n", "<unknown>"},
      {"CN=,x", ""},
  };
  int i = 0;
  for (const auto &c : cases) {
    std::string suffix = "zonecase" + std::to_string(i++);
    WriteFact(suffix, c.content);
    uint32_t status = 99;
    EXPECT_EQ(ReadZone(suffix, &status), c.zone) << c.content;
    EXPECT_EQ(status, 0u);
    unlink(FactPath(suffix).c_str());
  }
}

TEST(PropsJoin, MissingOrEmptyFactFileGivesNothingWithoutStatus) {
  uint32_t status = 99;
  char *cache = nullptr;
  EXPECT_EQ(ReadKsetFile("no-such-fact", &cache, &status), nullptr);
  EXPECT_EQ(status, 0u);
  WriteFact("emptyfact", "");
  EXPECT_EQ(ReadKsetFile("emptyfact", &cache, &status), nullptr);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(ReadZone("emptyfact", &status), "(null)");
  EXPECT_EQ(cache, nullptr);
  unlink(FactPath("emptyfact").c_str());
}

TEST(PropsJoin, OnlyTheFirstLineIsRead) {
  WriteFact("lines", std::string(2000, 'h') + "\nsecond\n");
  uint32_t status = 99;
  char *cache = strdup("old");
  ASSERT_NE(ReadKsetFile("lines", &cache, &status), nullptr);
  EXPECT_EQ(strlen(cache), static_cast<size_t>(PROPS_KSET_LINE_SIZE - 1));
  free(cache);
  unlink(FactPath("lines").c_str());
}

TEST(PropsJoin, UnreadableFactIsASystemError) {
  ASSERT_EQ(mkdir(FactPath("dirfact").c_str(), 0755) == 0 || errno == EEXIST, true);
  uint32_t status = 0;
  char *cache = nullptr;
  EXPECT_EQ(ReadKsetFile("dirfact", &cache, &status), nullptr);  // fopen works, reading fails
  EXPECT_EQ(status, PROPS_ERR_SYSTEM);
  rmdir(FactPath("dirfact").c_str());
}

// All expansions through the fixed file names, in one test so that no two
// tests write them at the same time.
TEST(PropsJoin, VariablesExpandFromFactsFirstAndAreCached) {
  for (const char *s : {"host", "site", "domain", "zonename"}) unlink(FactPath(s).c_str());
  SetPtr set = propstest::NewSet();
  propstest::SetAll(set.get(), {{"SITE", "prop-site"}, {"a", "[$JOINNAME|$SITE|$DOMAIN|$ZONE]"}});
  setenv("DOMAIN", "env-domain", 1);
  unsetenv("JOINNAME");
  unsetenv("ZONE");
  EXPECT_STREQ(GetProperty(set.get(), "a", nullptr, nullptr), "[$JOINNAME|prop-site|env-domain|$ZONE]");
  EXPECT_EQ(set->join_site, nullptr);  // nothing cached for a missing file

  WriteFact("host", "myhost\n");
  WriteFact("site", "Default-Site");
  WriteFact("domain", "example.com\n");
  WriteFact("zonename", "CN=west,CN=Zones,DC=example,DC=com\n");
  SetProperty(set.get(), "b", "[$JOINNAME|$SITE|$DOMAIN|$ZONE]", nullptr);
  EXPECT_STREQ(GetProperty(set.get(), "b", nullptr, nullptr), "[myhost\n|Default-Site|example.com\n|west]");
  EXPECT_STREQ(set->join_zone, "west");

  WriteFact("zonename", "OU=changed\n");  // cached until the set is freed
  SetProperty(set.get(), "c", "$ZONE", nullptr);
  EXPECT_STREQ(GetProperty(set.get(), "c", nullptr, nullptr), "west");
  uint32_t status = 99;
  EXPECT_STREQ(GetJoinParam("ZONE", &set->join_name, &set->join_site, &set->join_domain, &set->join_zone, &status),
               "west");
  EXPECT_EQ(GetJoinParam("zone", &set->join_name, &set->join_site, &set->join_domain, &set->join_zone, &status),
            nullptr);
  EXPECT_EQ(status, 0u);

  SetPtr fresh = propstest::NewSet();
  SetProperty(fresh.get(), "z", "$ZONE", nullptr);
  EXPECT_STREQ(GetProperty(fresh.get(), "z", nullptr, nullptr), "<unknown>");

  ASSERT_EQ(unlink(FactPath("host").c_str()), 0);
  ASSERT_EQ(mkdir(FactPath("host").c_str(), 0755), 0);  // a fact that cannot be read
  SetProperty(fresh.get(), "h", "x$JOINNAME", nullptr);
  EXPECT_STREQ(GetProperty(fresh.get(), "h", "dflt", &status), "dflt");
  EXPECT_EQ(status, PROPS_ERR_SYSTEM);

  rmdir(FactPath("host").c_str());
  for (const char *s : {"site", "domain", "zonename"}) unlink(FactPath(s).c_str());
  unsetenv("DOMAIN");
}

}  // namespace
