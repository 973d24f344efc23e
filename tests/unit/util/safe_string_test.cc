#include "util/safe_string.h"

#include <ctype.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <climits>
#include <string>

namespace {

TEST(SafeString, StrnChrHonoursBoundAndTerminator) {
  struct Case {
    const char *str;
    size_t n;
    int c;
    int32_t expected;
  };
  const Case cases[] = {
      {"hello", 0, 'o', 4},     {"hello", 5, 'o', -1}, {"hello", 6, 'o', 4},  {"hello", 1, 'h', -1},
      {"hello", 2, 'h', 0},     {"hello", 0, 'z', -1}, {"hello", 0, '\0', 5}, {"hello", 7, '\0', 5},
      {"hello", 6, '\0', -1},   {"a\0b", 10, 'b', -1}, {nullptr, 0, 'a', -1}, {"\xe9t\xe9", 0, 0xe9, 0},
      {"x=y", 0, '=' + 256, 1},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(SafeStrnChr(c.str, c.n, c.c), c.expected) << (c.str ? c.str : "(null)") << " n=" << c.n;
  }
}

TEST(SafeString, StrnCpyTruncatesAndTerminates) {
  struct Case {
    const char *src;
    size_t n;
    const char *expected;
  };
  const Case cases[] = {
      {"abcdef", 4, "abc"},     {"abcdef", 1, ""}, {"abcdef", 7, "abcdef"},
      {"abcdef", 99, "abcdef"}, {nullptr, 8, ""},  {"", 8, ""},
  };
  for (const Case &c : cases) {
    char dst[16];
    memset(dst, '#', sizeof dst);
    EXPECT_EQ(SafeStrnCpy(dst, c.src, c.n), dst);
    EXPECT_STREQ(dst, c.expected) << "n=" << c.n;
  }
}

TEST(SafeString, StrnCpyWithoutRoomWritesNothing) {
  char dst[4] = {'#', '#', '#', '#'};
  EXPECT_EQ(SafeStrnCpy(dst, "abc", 0), dst);
  EXPECT_EQ(dst[0], '#');
  EXPECT_EQ(SafeStrnCpy(nullptr, "abc", 4), nullptr);
}

TEST(SafeString, StrDupCopiesAndNullGivesEmpty) {
  char *copy = SafeStrDup("text");
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy, "text");
  free(copy);
  char *empty = SafeStrDup(nullptr);
  ASSERT_NE(empty, nullptr);
  EXPECT_STREQ(empty, "");
  free(empty);
}

int Sign(int v) { return (v > 0) - (v < 0); }

TEST(SafeString, StrnCmpTreatsNullAsEmpty) {
  struct Case {
    const char *a, *b;
    size_t n;
    int sign;
  };
  const Case cases[] = {
      {nullptr, nullptr, 5, 0}, {nullptr, "", 5, 0},  {"", nullptr, 5, 0},   {nullptr, "a", 5, -1},
      {"a", nullptr, 5, 1},     {"abc", "abd", 2, 0}, {"abc", "abd", 3, -1}, {"b", "a", 1, 1},
  };
  for (const Case &c : cases) {
    const int r = SafeStrnCmp(c.a, c.b, c.n);
    EXPECT_EQ(Sign(r), c.sign);
    if (c.a == nullptr || c.b == nullptr) {
      EXPECT_EQ(r, c.sign) << "exactly -1, 0 or 1";
    }
  }
}

TEST(SafeString, IsDigitStr) {
  EXPECT_EQ(IsDigitStr("0123456789"), 1);
  EXPECT_EQ(IsDigitStr(""), 0);
  EXPECT_EQ(IsDigitStr(nullptr), 0);
  EXPECT_EQ(IsDigitStr("12a"), 0);
  EXPECT_EQ(IsDigitStr("-1"), 0);
  EXPECT_EQ(IsDigitStr("1\xb2"), 0);  // a high byte is negative as signed char
}

TEST(SafeString, ClassificationMatchesTheCLibraryInRangeAndIsZeroOutside) {
  struct Class {
    const char *name;
    int (*ours)(int);
    int (*libc)(int);
  };
  const Class classes[] = {
      {"alpha", IsAlphaChar, isalpha}, {"alnum", IsAlnumChar, isalnum},    {"cntrl", IsCntrlChar, iscntrl},
      {"digit", IsDigitChar, isdigit}, {"graph", IsGraphChar, isgraph},    {"lower", IsLowerChar, islower},
      {"print", IsPrintChar, isprint}, {"punct", IsPunctChar, ispunct},    {"space", IsSpaceChar, isspace},
      {"upper", IsUpperChar, isupper}, {"xdigit", IsXdigitChar, isxdigit},
  };
  const int outside[] = {INT_MIN, -129, -2, 256, 300, INT_MAX};
  for (const Class &k : classes) {
    SCOPED_TRACE(k.name);
    for (int c = -1; c <= 255; ++c) ASSERT_EQ(k.ours(c), k.libc(c) != 0 ? 1 : 0) << c;
    for (int c : outside) EXPECT_EQ(k.ours(c), 0) << c;
  }
}

TEST(SafeString, CaseMappingLeavesOutOfRangeValuesAlone) {
  EXPECT_EQ(SafeToUpper('a'), 'A');
  EXPECT_EQ(SafeToLower('A'), 'a');
  EXPECT_EQ(SafeToUpper('1'), '1');
  EXPECT_EQ(SafeToUpper(-1), -1);
  const int outside[] = {INT_MIN, -5, -129, 256 + 'a', INT_MAX};
  for (int c : outside) {
    EXPECT_EQ(SafeToUpper(c), c);
    EXPECT_EQ(SafeToLower(c), c);
  }
}

}  // namespace
