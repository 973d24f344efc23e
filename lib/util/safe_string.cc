// Bounded string functions and character classification that accept null
// pointers and any int without fault.

#include "util/safe_string.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <cstdint>

namespace {

// The C library's classification tables cover EOF and the unsigned char
// values; anything else would index outside them.
constexpr int kFirstClassifiable = EOF;
constexpr int kLastClassifiable = 255;

bool Classifiable(int c) { return c >= kFirstClassifiable && c <= kLastClassifiable; }

int Classify(int (*test)(int), int c) { return Classifiable(c) && test(c) != 0 ? 1 : 0; }

}  // namespace

extern "C" {

int32_t SafeStrnChr(const char *str, size_t n, int c) {
  if (str == nullptr) return -1;
  const size_t limit = n == 0 ? SIZE_MAX : n - 1;
  const char wanted = static_cast<char>(c);
  for (size_t i = 0; i < limit && i <= INT32_MAX; ++i) {
    if (str[i] == wanted) return static_cast<int32_t>(i);
    if (str[i] == '\0') break;
  }
  return -1;
}

char *SafeStrnCpy(char *dst, const char *src, size_t n) {
  if (dst == nullptr || n == 0) return dst;
  size_t len = 0;
  if (src != nullptr) {
    while (len < n - 1 && src[len] != '\0') ++len;
    memcpy(dst, src, len);
  }
  dst[len] = '\0';
  return dst;
}

char *SafeStrDup(const char *str) { return strdup(str != nullptr ? str : ""); }

int SafeStrnCmp(const char *a, const char *b, size_t n) {
  if (a != nullptr && b != nullptr) return strncmp(a, b, n);
  const bool a_empty = a == nullptr || a[0] == '\0';
  const bool b_empty = b == nullptr || b[0] == '\0';
  if (a_empty == b_empty) return 0;
  return a_empty ? -1 : 1;
}

int IsDigitStr(const char *str) {
  if (str == nullptr || str[0] == '\0') return 0;
  for (const char *p = str; *p != '\0'; ++p) {
    if (IsDigitChar(static_cast<signed char>(*p)) == 0) return 0;
  }
  return 1;
}

int SafeToUpper(int c) { return Classifiable(c) ? toupper(c) : c; }
int SafeToLower(int c) { return Classifiable(c) ? tolower(c) : c; }

int IsAlphaChar(int c) { return Classify(isalpha, c); }
int IsAlnumChar(int c) { return Classify(isalnum, c); }
int IsCntrlChar(int c) { return Classify(iscntrl, c); }
int IsDigitChar(int c) { return Classify(isdigit, c); }
int IsGraphChar(int c) { return Classify(isgraph, c); }
int IsLowerChar(int c) { return Classify(islower, c); }
int IsPrintChar(int c) { return Classify(isprint, c); }
int IsPunctChar(int c) { return Classify(ispunct, c); }
int IsSpaceChar(int c) { return Classify(isspace, c); }
int IsUpperChar(int c) { return Classify(isupper, c); }
int IsXdigitChar(int c) { return Classify(isxdigit, c); }

}  // extern "C"
