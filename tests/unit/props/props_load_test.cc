// The loader: golden files, statuses, the mapped-file reader, character
// classes and the security checks of the secure loader.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "props_test_util.h"
#include "support/secure_owner.h"

namespace {

namespace fs = std::filesystem;
using propstest::SetPtr;

// A (key, value) pair as a line of a .expected file: both quoted, with \\,
// \" and \xHH (bytes outside printable ASCII) escapes.
std::string Line(const std::string &key, const std::string &value) {
  std::string line;
  for (const std::string *text : {&key, &value}) {
    line += line.empty() ? "\"" : " \"";
    for (unsigned char c : *text) {
      char hex[5];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      line += c == '"' || c == '\\'  ? std::string{'\\', static_cast<char>(c)}
              : c < 0x20 || c > 0x7e ? hex
                                     : std::string(1, static_cast<char>(c));
    }
    line += '"';
  }
  return line;
}

std::vector<std::string> Lines(const fs::path &path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// golden/<case>.conf, loaded with the prefixes of <case>.prefixes (one a line)
// if present, gives the (key, raw value) pairs of <case>.expected (one a line).
TEST(PropsGolden, EveryCaseLoadsTheExpectedPairs) {
  int cases = 0;
  for (const auto &entry : fs::directory_iterator(PROPS_GOLDEN_DIR)) {
    fs::path conf = entry.path();
    if (conf.extension() != ".conf") continue;
    SCOPED_TRACE(conf.stem().string());
    fs::path filter = fs::path(conf).replace_extension(".prefixes");
    std::vector<std::string> prefix_lines = Lines(filter);
    std::vector<const char *> prefixes;
    for (const auto &p : prefix_lines) prefixes.push_back(p.c_str());
    prefixes.push_back(nullptr);
    const char *const *used = fs::exists(filter) ? prefixes.data() : nullptr;
    uint32_t status = 99;
    SetPtr set(LoadPropertiesWithoutSecurity(conf.c_str(), used, &status));
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(status, 0u);
    std::vector<std::string> lines;
    for (const Property *p = set->head; p != nullptr; p = p->next) lines.push_back(Line(p->key, p->value));
    EXPECT_EQ(lines, Lines(fs::path(conf).replace_extension(".expected")));
    ++cases;
  }
  EXPECT_GE(cases, 15);
}

TEST(PropsLoad, PathErrorsAndStatusTexts) {
  // "/" is not a regular file.
  const std::pair<const char *, uint32_t> cases[] = {
      {"relative/vorlex.conf", PROPS_ERR_NOT_ABSOLUTE}, {nullptr, PROPS_ERR_NOENT}, {"", PROPS_ERR_NOENT},
      {"/nonexistent/vorlex.conf", PROPS_ERR_NOENT},    {"/", PROPS_ERR_SYSTEM},
  };
  for (auto [path, expected] : cases) {
    for (int secure = 0; secure < 2; ++secure) {
      uint32_t status = 0;
      EXPECT_EQ(LoadPropertiesInternal(path, nullptr, &status, secure), nullptr);
      EXPECT_EQ(status, expected) << (path ? path : "(null)") << " secure=" << secure;
    }
  }
  EXPECT_EQ(LoadProperties(nullptr, nullptr, nullptr), nullptr);  // null status tolerated
  const char *texts[] = {
      "Out of memory",
      "pathname is not absolute",
      "insufficient permissions",
      "file does not exist",
      "system error",
      "file is world writable or not root owned",
  };
  for (uint32_t code = 300; code <= 305; ++code) EXPECT_STREQ(CPropsErr2Str(code), texts[code - 300]);
  for (uint32_t code : {0u, 299u, 306u}) EXPECT_EQ(CPropsErr2Str(code), nullptr) << code;
}

TEST(PropsLoad, CharacterClassesAndEscapes) {
  for (int c = -1; c < 256; ++c) {
    bool line_end = c == '\r' || c == '\n' || c == '\f';
    EXPECT_EQ(IsLineEnd(c), line_end ? 1 : 0) << c;
    EXPECT_EQ(IsWhitespace(c), line_end || c == ' ' || c == '\t' ? 1 : 0) << c;
  }
  const std::pair<int, int> escapes[] = {{'f', '\f'}, {'n', '\n'}, {'r', '\r'},  {'t', '\t'},
                                         {'v', '\v'}, {'a', 'a'},  {'\\', '\\'}, {':', ':'}};
  for (auto [in, out] : escapes) EXPECT_EQ(ProcessEscape(in), out);
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

// The secure loader refuses files that another user could replace or
// change; the plain loader only needs a regular file.
TEST(PropsSecurity, SecureLoaderRefusesReplaceableFiles) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to own test files as root and others";
  int fds = vxtest::CountOpenFds();
  for (const std::string change : {"none", "world writable", "user owned", "symlink", "hard link"}) {
    SCOPED_TRACE(change);
    vxtest::TempDir dir;
    std::string path = dir.write("vorlex.conf", "key=value\n", 0644), other = dir.file("other");
    ASSERT_EQ(change == "world writable" ? chmod(path.c_str(), 0666)
              : change == "user owned"   ? chown(path.c_str(), 1000, 1000)
              : change == "symlink"      ? symlink(path.c_str(), other.c_str())
              : change == "hard link"    ? link(path.c_str(), other.c_str())
                                         : 0,
              0);
    if (change == "symlink") path = other;
    const uint32_t expected = change == "none" ? 0 : PROPS_ERR_INSECURE;
    uint32_t status = 99;
    SetPtr secure(LoadProperties(path.c_str(), nullptr, &status));
    EXPECT_EQ(status, expected);
    EXPECT_EQ(secure == nullptr, expected != 0);
    SetPtr plain(LoadPropertiesWithoutSecurity(path.c_str(), nullptr, &status));  // needs a regular file only
    EXPECT_EQ(status, 0u);
    EXPECT_STREQ(GetProperty(plain.get(), "key", nullptr, nullptr), "value");
  }
  EXPECT_EQ(vxtest::CountOpenFds(), fds);
}

}  // namespace
