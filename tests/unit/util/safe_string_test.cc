#include "util/safe_string.h"

#include <ctype.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <climits>
#include <string>

#include "support/table_file.h"

namespace {

using vxtest::Row;
using Texts = std::vector<std::string>;

// What the call a row of golden/safe_string.table names gives for its arguments.
Texts Call(const Row &r) {
  const std::string &call = r[0];
  if (call == "strnchr" && r.Args(3)) {
    const int c = r.fields[3].quoted ? static_cast<unsigned char>(r[3][0]) : static_cast<int>(r.Number(3));
    return {std::to_string(SafeStrnChr(r.c_str(1), static_cast<size_t>(r.Number(2)), c))};
  }
  if (call == "strncpy" && r.Args(2)) {
    char dst[16];
    memset(dst, '#', sizeof dst);
    EXPECT_EQ(SafeStrnCpy(dst, r.c_str(1), static_cast<size_t>(r.Number(2))), dst);
    const std::string left(dst, strnlen(dst, sizeof dst));
    return {left == std::string(16, '#') ? "null" : left};
  }
  if (call == "strncmp" && r.Args(3)) {
    const int n = SafeStrnCmp(r.c_str(1), r.c_str(2), static_cast<size_t>(r.Number(3)));
    const bool exact = r.c_str(1) == nullptr || r.c_str(2) == nullptr;
    return {std::to_string(exact ? n : (n > 0) - (n < 0))};
  }
  if (call == "digits" && r.Args(1)) return {std::to_string(IsDigitStr(r.c_str(1)))};
  ADD_FAILURE() << "unknown call " << call;
  return {};
}

TEST(SafeString, EveryRowOfTheTableGivesItsResultsAndCopiesTakeNullAsEmpty) {
  vxtest::RunTable(UTIL_GOLDEN_DIR "/safe_string.table", Call);
  EXPECT_EQ(SafeStrnCpy(nullptr, "abc", 4), nullptr);
  for (const char *src : {"text", static_cast<const char *>(nullptr)}) {
    char *copy = SafeStrDup(src);
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, src ? src : "");
    free(copy);
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
}

}  // namespace
