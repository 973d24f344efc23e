#include "util/safe_string.h"

#include <ctype.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <climits>
#include <string>

namespace {

TEST(SafeString, StrnChrHonoursBoundAndTerminator) {
  const struct {
    const char *str;
    size_t n;
    int c;
    int32_t expected;
  } cases[] = {
      {"hello", 0, 'o', 4},     {"hello", 5, 'o', -1}, {"hello", 6, 'o', 4},  {"hello", 1, 'h', -1},
      {"hello", 2, 'h', 0},     {"hello", 0, 'z', -1}, {"hello", 0, '\0', 5}, {"hello", 7, '\0', 5},
      {"hello", 6, '\0', -1},   {"a\0b", 10, 'b', -1}, {nullptr, 0, 'a', -1}, {"\xe9t\xe9", 0, 0xe9, 0},
      {"x=y", 0, '=' + 256, 1},
  };
  for (const auto &c : cases)
    EXPECT_EQ(SafeStrnChr(c.str, c.n, c.c), c.expected) << (c.str ? c.str : "(null)") << " n=" << c.n;
}

TEST(SafeString, CopiesTruncateTerminateAndTakeNullAsEmpty) {
  const struct {
    const char *src;
    size_t n;
    const char *expected;  // null: nothing written
  } cases[] = {{"abcdef", 4, "abc"}, {"abcdef", 1, ""}, {"abcdef", 7, "abcdef"}, {"abcdef", 99, "abcdef"},
               {nullptr, 8, ""},     {"", 8, ""},       {"abc", 0, nullptr}};
  for (const auto &c : cases) {
    char dst[16];
    memset(dst, '#', sizeof dst);
    EXPECT_EQ(SafeStrnCpy(dst, c.src, c.n), dst);
    EXPECT_EQ(std::string(dst, strnlen(dst, sizeof dst)), c.expected ? c.expected : std::string(16, '#'))
        << "n=" << c.n;
  }
  EXPECT_EQ(SafeStrnCpy(nullptr, "abc", 4), nullptr);
  for (const char *src : {"text", static_cast<const char *>(nullptr)}) {
    char *copy = SafeStrDup(src);
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, src ? src : "");
    free(copy);
  }
}

TEST(SafeString, StrnCmpTreatsNullAsEmpty) {
  const struct {
    const char *a, *b;
    size_t n;
    int sign;
  } cases[] = {
      {nullptr, nullptr, 5, 0}, {nullptr, "", 5, 0},  {"", nullptr, 5, 0},   {nullptr, "a", 5, -1},
      {"a", nullptr, 5, 1},     {"abc", "abd", 2, 0}, {"abc", "abd", 3, -1}, {"b", "a", 1, 1},
  };
  for (const auto &c : cases) {
    const int r = SafeStrnCmp(c.a, c.b, c.n);
    EXPECT_EQ((r > 0) - (r < 0), c.sign);
    EXPECT_TRUE((c.a != nullptr && c.b != nullptr) || r == c.sign)
        << "with a null: exactly -1, 0 or 1, not " << r;
  }
}

TEST(SafeString, ClassificationMatchesTheCLibraryInRangeAndIsZeroOutside) {
  const struct {
    const char *name;
    int (*ours)(int);
    int (*libc)(int);
  } classes[] = {
      {"alpha", IsAlphaChar, isalpha}, {"alnum", IsAlnumChar, isalnum},    {"cntrl", IsCntrlChar, iscntrl},
      {"digit", IsDigitChar, isdigit}, {"graph", IsGraphChar, isgraph},    {"lower", IsLowerChar, islower},
      {"print", IsPrintChar, isprint}, {"punct", IsPunctChar, ispunct},    {"space", IsSpaceChar, isspace},
      {"upper", IsUpperChar, isupper}, {"xdigit", IsXdigitChar, isxdigit},
  };
  const int outside[] = {INT_MIN, -129, -2, 256, 300, 256 + 'a', INT_MAX};
  for (const auto &k : classes) {
    SCOPED_TRACE(k.name);
    for (int c = -1; c <= 255; ++c) ASSERT_EQ(k.ours(c), k.libc(c) != 0 ? 1 : 0) << c;
    for (int c : outside) EXPECT_EQ(k.ours(c), 0) << c;
  }
  EXPECT_TRUE(SafeToUpper('a') == 'A' && SafeToLower('A') == 'a' && SafeToUpper('1') == '1' &&
              SafeToUpper(-1) == -1);
  for (int c : outside) EXPECT_TRUE(SafeToUpper(c) == c && SafeToLower(c) == c) << c;
  EXPECT_TRUE(IsDigitStr("0123456789") == 1 && !IsDigitStr("") && !IsDigitStr(nullptr) &&
              !IsDigitStr("12a") && !IsDigitStr("-1") &&
              !IsDigitStr("1\xb2"));  // a high byte is negative as a signed char
}

}  // namespace
