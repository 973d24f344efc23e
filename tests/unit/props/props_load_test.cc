// Loader interfaces: statuses, the mapped-file reader, character classes
// and the security checks of the secure loader.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "props_test_util.h"

namespace {

using propstest::SetPtr;

TEST(PropsLoad, PathErrorsAndStatusTexts) {
  const std::pair<const char *, uint32_t> cases[] = {
      {nullptr, PROPS_ERR_NOENT}, {"", PROPS_ERR_NOENT}, {"relative/vorlex.conf", PROPS_ERR_NOT_ABSOLUTE},
      {"/nonexistent/vorlex.conf", PROPS_ERR_NOENT}, {"/", PROPS_ERR_SYSTEM} /* not a regular file */};
  for (auto [path, expected] : cases) {
    for (int secure = 0; secure < 2; ++secure) {
      uint32_t status = 0;
      EXPECT_EQ(LoadPropertiesInternal(path, nullptr, &status, secure), nullptr);
      EXPECT_EQ(status, expected) << (path ? path : "(null)") << " secure=" << secure;
    }
  }
  EXPECT_EQ(LoadProperties(nullptr, nullptr, nullptr), nullptr);  // null status tolerated
  const char *texts[] = {"Out of memory", "pathname is not absolute", "insufficient permissions",
                         "file does not exist", "system error", "file is world writable or not root owned"};
  for (uint32_t code = 300; code <= 305; ++code) EXPECT_STREQ(CPropsErr2Str(code), texts[code - 300]);
  EXPECT_EQ(CPropsErr2Str(0), nullptr);
  EXPECT_EQ(CPropsErr2Str(306), nullptr);
}

TEST(PropsLoad, CharacterClassesAndEscapes) {
  for (int c = -1; c < 256; ++c) {
    bool line_end = c == '\r' || c == '\n' || c == '\f';
    EXPECT_EQ(IsLineEnd(c), line_end ? 1 : 0) << c;
    EXPECT_EQ(IsWhitespace(c), line_end || c == ' ' || c == '\t' ? 1 : 0) << c;
  }
  const std::pair<int, int> escapes[] = {{'f', '\f'}, {'n', '\n'}, {'r', '\r'}, {'t', '\t'},
                                         {'v', '\v'}, {'a', 'a'},  {'\\', '\\'}, {':', ':'}};
  for (auto [in, out] : escapes) EXPECT_EQ(ProcessEscape(in), out);
}

TEST(PropsLoad, ReaderReturnsHighBytesAsDataAndStopsAtTheEnd) {
  vxtest::TempDir dir;
  PmFile *r = OpenPropFile(dir.write("bytes", "\xff" "a").c_str(), nullptr, 1);
  ASSERT_NE(r, nullptr);
  pmfungetc(r);  // never before the start
  EXPECT_EQ(pmfgetc(r), 0xff);
  EXPECT_EQ(pmfgetc(r), 'a');
  EXPECT_EQ(pmfgetc(r), -1);
  pmfungetc(r);
  EXPECT_EQ(pmfgetc(r), 'a');
  EXPECT_EQ(pmfclose(r), 0);
  r = pmfopen(dir.write("empty", "").c_str(), nullptr, 1);  // nothing to map
  ASSERT_NE(r, nullptr);
  pmfungetc(r);
  EXPECT_EQ(pmfgetc(r), -1);
  EXPECT_EQ(pmfclose(r), 0);
}

TEST(PropsLoad, ReadInValueStopsAfterItsLineEnd) {
  vxtest::TempDir dir;
  PmFile *r = OpenPropFile(dir.write("values", "one \"two three\"\nnext\\\n  line\nlast\\").c_str(), nullptr, 0);
  ASSERT_NE(r, nullptr);
  for (const char *expected : {"one two\\ three", "next line", "last", ""}) {
    char *v = ReadInValue(r, nullptr);
    EXPECT_STREQ(v, expected);
    free(v);
  }
  pmfclose(r);
}

TEST(PropsLoad, LongValuesAndManyLinesLoadWhole) {
  vxtest::TempDir dir;
  std::string big(3 << 20, 'x');
  std::string text = "big=" + big + "\nq=\"" + std::string(100000, ' ') + "\"\n";
  for (int i = 0; i < 20000; ++i) text += "k" + std::to_string(i) + "=" + std::to_string(i) + "\n";
  SetPtr set = propstest::LoadText(dir, text);
  ASSERT_NE(set, nullptr);
  EXPECT_EQ(MatchKey(set.get(), "big")->value, big);
  std::string escaped;
  for (int i = 0; i < 100000; ++i) escaped += "\\ ";
  EXPECT_EQ(MatchKey(set.get(), "q")->value, escaped);
  EXPECT_STREQ(MatchKey(set.get(), "k19999")->value, "19999");
}

// The secure loader refuses files that another user could replace or
// change; the plain loader only needs a regular file.
TEST(PropsSecurity, SecureLoaderRefusesReplaceableFiles) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to own test files as root and others";
  using Prepare = bool (*)(const vxtest::TempDir &, std::string *);
  const std::tuple<const char *, Prepare, uint32_t> cases[] = {
      {"root owned", [](const vxtest::TempDir &, std::string *) { return true; }, 0},
      {"world writable", [](const vxtest::TempDir &, std::string *p) { return chmod(p->c_str(), 0666) == 0; },
       PROPS_ERR_INSECURE},
      {"user owned", [](const vxtest::TempDir &, std::string *p) { return chown(p->c_str(), 1000, 1000) == 0; },
       PROPS_ERR_INSECURE},
      {"symlink",
       [](const vxtest::TempDir &d, std::string *p) {
         return symlink(p->c_str(), d.file("link").c_str()) == 0 && (*p = d.file("link"), true);
       },
       PROPS_ERR_INSECURE},
      {"hard link", [](const vxtest::TempDir &d, std::string *p) { return link(p->c_str(), d.file("2").c_str()) == 0; },
       PROPS_ERR_INSECURE},
  };
  int fds = vxtest::CountOpenFds();
  for (const auto &[name, prepare, secure_status] : cases) {
    SCOPED_TRACE(name);
    vxtest::TempDir dir;
    std::string path = dir.write("vorlex.conf", "key=value\n", 0644);
    ASSERT_TRUE(prepare(dir, &path));
    uint32_t status = 99;
    SetPtr secure(LoadProperties(path.c_str(), nullptr, &status));
    EXPECT_EQ(status, secure_status);
    EXPECT_EQ(secure == nullptr, secure_status != 0);
    SetPtr plain(LoadPropertiesWithoutSecurity(path.c_str(), nullptr, &status));
    EXPECT_EQ(status, 0u);
    EXPECT_STREQ(GetProperty(plain.get(), "key", nullptr, nullptr), "value");
  }
  EXPECT_EQ(vxtest::CountOpenFds(), fds);
}

}  // namespace
