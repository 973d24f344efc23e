// Loader interfaces: statuses, the mapped-file reader, character classes
// and the security checks of the secure loader.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "props_test_util.h"

namespace {

using propstest::Pairs;
using propstest::SetPtr;

TEST(PropsLoad, PathErrorsComeBeforeOpening) {
  struct Case {
    const char *path;
    uint32_t status;
  } cases[] = {
      {nullptr, PROPS_ERR_NOENT},
      {"", PROPS_ERR_NOENT},
      {"relative/vorlex.conf", PROPS_ERR_NOT_ABSOLUTE},
      {"/nonexistent/vorlex.conf", PROPS_ERR_NOENT},
      {"/", PROPS_ERR_SYSTEM},  // not a regular file
  };
  for (const Case &c : cases) {
    for (int secure = 0; secure < 2; ++secure) {
      uint32_t status = 0;
      EXPECT_EQ(LoadPropertiesInternal(c.path, nullptr, &status, secure), nullptr);
      EXPECT_EQ(status, c.status) << (c.path ? c.path : "(null)") << " secure=" << secure;
    }
  }
  EXPECT_EQ(LoadProperties(nullptr, nullptr, nullptr), nullptr);  // null status tolerated
}

TEST(PropsLoad, StatusTextsComeFromOneTable) {
  EXPECT_STREQ(CPropsErr2Str(300), "Out of memory");
  EXPECT_STREQ(CPropsErr2Str(301), "pathname is not absolute");
  EXPECT_STREQ(CPropsErr2Str(302), "insufficient permissions");
  EXPECT_STREQ(CPropsErr2Str(303), "file does not exist");
  EXPECT_STREQ(CPropsErr2Str(304), "system error");
  EXPECT_STREQ(CPropsErr2Str(305), "file is world writable or not root owned");
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
  std::string path = dir.write("bytes", std::string("\xff" "a\x80", 3));
  uint32_t status = 99;
  PmFile *r = OpenPropFile(path.c_str(), &status, 1);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(r->length, 3);
  pmfungetc(r);  // never before the start
  EXPECT_EQ(pmfgetc(r), 0xff);
  EXPECT_EQ(pmfgetc(r), 'a');
  pmfungetc(r);
  EXPECT_EQ(pmfgetc(r), 'a');
  EXPECT_EQ(pmfgetc(r), 0x80);
  EXPECT_EQ(pmfgetc(r), -1);
  EXPECT_EQ(pmfgetc(r), -1);
  EXPECT_EQ(pmfclose(r), 0);
  EXPECT_EQ(pmfgetc(nullptr), -1);
  EXPECT_EQ(pmfclose(nullptr), 0);
}

TEST(PropsLoad, EmptyFileGivesAnEmptySetAndAReaderAtItsEnd) {
  vxtest::TempDir dir;
  std::string path = dir.write("empty", "");
  uint32_t status = 99;
  PmFile *r = pmfopen(path.c_str(), &status, 1);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(pmfgetc(r), -1);
  pmfungetc(r);
  EXPECT_EQ(pmfgetc(r), -1);
  char *value = ReadInValue(r, &status);
  EXPECT_STREQ(value, "");
  free(value);
  EXPECT_EQ(pmfclose(r), 0);
  SetPtr set(LoadProperties(path.c_str(), nullptr, &status));
  ASSERT_NE(set, nullptr);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(set->head, nullptr);
}

TEST(PropsLoad, ReadInValueStopsAfterItsLineEnd) {
  vxtest::TempDir dir;
  std::string path = dir.write("values", "one \"two three\"\nnext\\\n  line\nlast\\");
  PmFile *r = OpenPropFile(path.c_str(), nullptr, 0);
  ASSERT_NE(r, nullptr);
  const char *expected[] = {"one two\\ three", "next line", "last", ""};
  for (const char *e : expected) {
    uint32_t status = 99;
    char *v = ReadInValue(r, &status);
    EXPECT_STREQ(v, e);
    EXPECT_EQ(status, 0u);
    free(v);
  }
  pmfclose(r);
  EXPECT_EQ(ReadInValue(nullptr, nullptr), nullptr);
}

TEST(PropsLoad, NewPropertyInsertsAtTheHead) {
  SetPtr set = propstest::NewSet();
  uint32_t status = 99;
  Property *a = NewProperty(set.get(), strdup("a"), strdup("1"), &status);
  Property *b = NewProperty(set.get(), strdup("b"), strdup("2"), &status);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(set->head, b);
  EXPECT_EQ(b->next, a);
  EXPECT_EQ(b->flags, 0);
  EXPECT_EQ(b->processed, nullptr);
  EXPECT_EQ(NewProperty(nullptr, nullptr, nullptr, &status), nullptr);
  FreeProperties(nullptr);
}

TEST(PropsLoad, LongValuesAndManyLinesLoadWhole) {
  vxtest::TempDir dir;
  std::string big(3 << 20, 'x');
  std::string quoted(100000, ' ');
  std::string text = "big=" + big + "\nq=\"" + quoted + "\"\n";
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
class PropsSecurity : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to own test files as root and others";
    path_ = dir_.write("vorlex.conf", "key=value\n", 0644);
  }
  void ExpectSecure(uint32_t expected_status) {
    uint32_t status = 99;
    SetPtr secure(LoadProperties(path_.c_str(), nullptr, &status));
    EXPECT_EQ(status, expected_status);
    EXPECT_EQ(secure == nullptr, expected_status != 0);
    SetPtr plain(LoadPropertiesWithoutSecurity(path_.c_str(), nullptr, &status));
    EXPECT_EQ(status, 0u);
    ASSERT_NE(plain, nullptr);
    EXPECT_STREQ(GetProperty(plain.get(), "key", nullptr, nullptr), "value");
  }
  vxtest::TempDir dir_;
  std::string path_;
};

TEST_F(PropsSecurity, RootOwnedFileLoads) { ExpectSecure(0); }

TEST_F(PropsSecurity, WorldWritableFileIsRefused) {
  ASSERT_EQ(chmod(path_.c_str(), 0666), 0);
  ExpectSecure(PROPS_ERR_INSECURE);
}

TEST_F(PropsSecurity, FileOfAnOrdinaryUserIsRefused) {
  ASSERT_EQ(chown(path_.c_str(), 1000, 1000), 0);
  ExpectSecure(PROPS_ERR_INSECURE);
}

TEST_F(PropsSecurity, SymbolicLinkIsRefused) {
  std::string target = path_;
  path_ = dir_.file("link.conf");
  ASSERT_EQ(symlink(target.c_str(), path_.c_str()), 0);
  ExpectSecure(PROPS_ERR_INSECURE);
}

TEST_F(PropsSecurity, HardLinkedFileIsRefused) {
  ASSERT_EQ(link(path_.c_str(), dir_.file("second").c_str()), 0);
  ExpectSecure(PROPS_ERR_INSECURE);
}

TEST_F(PropsSecurity, LoadsLeaveNoDescriptorOpen) {
  int before = vxtest::CountOpenFds();
  for (int i = 0; i < 3; ++i) {
    SetPtr set(LoadProperties(path_.c_str(), nullptr, nullptr));
    ASSERT_EQ(chmod(path_.c_str(), i == 0 ? 0666 : 0644), 0);
  }
  EXPECT_EQ(vxtest::CountOpenFds(), before);
}

}  // namespace
