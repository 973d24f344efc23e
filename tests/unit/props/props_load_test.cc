// The loader: golden files, the mapped-file reader, character classes and
// the security checks of the secure loader and of include files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "props_test_util.h"
#include "support/secure_owner.h"
#include "support/table_file.h"

namespace {

namespace fs = std::filesystem;
using propstest::SetPtr;

// golden/<case>.conf, loaded with the prefixes of <case>.prefixes (one a
// line) if present, gives the (key, raw value) pairs of <case>.expected (one
// a line, both quoted), newest first.
TEST(PropsGolden, EveryCaseLoadsTheExpectedPairs) {
  int cases = 0;
  for (const auto &entry : fs::directory_iterator(PROPS_GOLDEN_DIR)) {
    fs::path conf = entry.path();
    if (conf.extension() != ".conf") continue;
    SCOPED_TRACE(conf.stem().string());
    const fs::path filter = fs::path(conf).replace_extension(".prefixes");
    std::vector<const char *> prefixes;
    const auto prefix_rows = fs::exists(filter) ? vxtest::ReadTable(filter) : std::vector<vxtest::Row>();
    for (const auto &row : prefix_rows) prefixes.push_back(row.c_str(0));
    prefixes.push_back(nullptr);
    uint32_t status = 99;
    SetPtr set(
        LoadPropertiesWithoutSecurity(conf.c_str(), fs::exists(filter) ? prefixes.data() : nullptr, &status));
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(status, 0u);
    propstest::Pairs loaded, expected;
    for (const Property *p = set->head; p != nullptr; p = p->next) loaded.emplace_back(p->key, p->value);
    for (const auto &row : vxtest::ReadTable(fs::path(conf).replace_extension(".expected"))) {
      EXPECT_EQ(row.fields.size(), 2u) << row.where;
      expected.emplace_back(row[0], row[1]);
    }
    EXPECT_EQ(loaded, expected);
    ++cases;
  }
  EXPECT_GE(cases, 15);
}

TEST(PropsLoad, LineEndsAndWhitespace) {
  for (int c = -1; c < 256; ++c) {
    bool line_end = c == '\r' || c == '\n' || c == '\f';
    EXPECT_EQ(IsLineEnd(c), line_end ? 1 : 0) << c;
    EXPECT_EQ(IsWhitespace(c), line_end || c == ' ' || c == '\t' ? 1 : 0) << c;
  }
}

// Bytes come as signed char values, except 0xFF, which must not read as the end.
TEST(PropsLoad, ReaderGivesHighBytesAsDataAndReadInValueStopsAtItsLineEnd) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  vxtest::TempDir dir;
  PmFile *r = OpenPropFile(dir.write("bytes", "\177\200\376\377a").c_str(), nullptr, 1);
  ASSERT_NE(r, nullptr);
  pmfungetc(r);  // never before the start
  for (int expected : {0x7f, -128, -2, 0xff, int{'a'}, -1}) EXPECT_EQ(pmfgetc(r), expected);
  pmfungetc(r);
  EXPECT_EQ(pmfgetc(r), 'a');
  EXPECT_EQ(pmfclose(r), 0);
  r = pmfopen(dir.write("empty", "").c_str(), nullptr, 1);  // nothing to map
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(pmfgetc(r), -1);
  EXPECT_EQ(pmfclose(r), 0);
  r = OpenPropFile(dir.write("values", "one \"two three\"\nnext\\\n  line\nlast\\").c_str(), nullptr, 0);
  ASSERT_NE(r, nullptr);
  for (const char *expected : {"one two\\ three", "next line", "last", ""}) {
    char *v = ReadInValue(r, nullptr);
    EXPECT_STREQ(v, expected);
    free(v);
  }
  pmfclose(r);
}

TEST(PropsLoad, LongValuesLoadWhole) {
  vxtest::TempDir dir;
  std::string big(3 << 20, 'x'), escaped;
  for (int i = 0; i < 100000; ++i) escaped += "\\ ";
  std::string path = dir.write("long.conf", "big=" + big + "\nq=\"" + std::string(100000, ' ') + "\"\n");
  SetPtr set(LoadPropertiesWithoutSecurity(path.c_str(), nullptr, nullptr));
  ASSERT_NE(set, nullptr);
  EXPECT_EQ(MatchKey(set.get(), "big")->value, big);
  EXPECT_EQ(MatchKey(set.get(), "q")->value, escaped);
}

// A file that another user could replace or change (golden/security.table)
// fails with 305 where all checks apply: the secure loader, and an include
// file whatever the main file was loaded with, for every query and again on
// each. The plain loader needs a regular file only. Other failures keep
// their own status.
TEST(PropsSecurity, ReplaceableFilesFailWhereAllChecksApply) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  const int fds = vxtest::CountOpenFds();
  for (const vxtest::Row &r : vxtest::ReadTable(PROPS_GOLDEN_DIR "/security.table")) {
    SCOPED_TRACE(r.where);
    const std::string change = r[0];
    const auto expected = static_cast<uint32_t>(std::stoul(r.results.at(0)));
    if (change == "user-owned" && geteuid() != 0) continue;  // only root gives files away
    vxtest::TempDir dir;
    std::string path = dir.write("conf", "key=value\n", 0644), other = dir.file("other");
    ASSERT_EQ(change == "world-writable" ? chmod(path.c_str(), 0666)
              : change == "user-owned"   ? chown(path.c_str(), 1000, 1000)
              : change == "symlink"      ? symlink(path.c_str(), other.c_str())
              : change == "hard-link"    ? link(path.c_str(), other.c_str())
                                         : 0,
              0);
    path = change == "symlink"     ? other
           : change == "absent"    ? dir.file("absent")
           : change == "directory" ? dir.path()
                                   : path;
    uint32_t status = 99;
    SetPtr secure(LoadProperties(path.c_str(), nullptr, &status));
    EXPECT_EQ(status, expected);
    SetPtr plain(LoadPropertiesWithoutSecurity(path.c_str(), nullptr, &status));
    EXPECT_EQ(status, expected == PROPS_ERR_INSECURE ? 0 : expected);
    EXPECT_STREQ(GetProperty(plain.get(), "key", nullptr, nullptr), status == 0 ? "value" : nullptr);
    if (expected == 0) continue;
    SetPtr set(LoadPropertiesWithoutSecurity(
        dir.write("main.conf", "users: file:" + path + "\nother: $users\n").c_str(), nullptr, nullptr));
    for (int round = 0; round < 2; ++round) {
      uint32_t st[5] = {}, count = 9;
      EXPECT_STREQ(GetProperty(set.get(), "users", "dflt", &st[0]), "dflt");
      EXPECT_EQ(GetPropertyInt(set.get(), "users", 5, &st[1]), 0);
      EXPECT_EQ(IsStringInPropertyList(set.get(), "users", "x", nullptr, &st[2]), 0);
      EXPECT_EQ(GetValueList(set.get(), "users", &count, &st[3]), nullptr);
      EXPECT_STREQ(GetProperty(set.get(), "other", "dflt", &st[4]), "dflt");  // a reference to it fails too
      EXPECT_EQ(std::vector<uint32_t>({st[0], st[1], st[2], st[3], st[4], count}),
                std::vector<uint32_t>({expected, expected, expected, expected, expected, 0}));
    }
  }
  EXPECT_EQ(vxtest::CountOpenFds(), fds);
}

}  // namespace
