/* Bounded string functions and character classification.
 *
 * All functions accept null pointers and out-of-range character values
 * without fault. Classification functions take an int and answer 1 or 0:
 * for -1 (EOF) .. 255 the C library's answer in the current locale, and 0
 * for anything else, so a negative signed char never indexes outside the
 * classification table.
 */
#ifndef VX_UTIL_SAFE_STRING_H
#define VX_UTIL_SAFE_STRING_H

#include <stddef.h>
#include <stdint.h>

#include "util/vx_api.h"

VX_BEGIN_DECLS

/* Index of the first byte equal to c among the first n - 1 bytes, stopping
 * at the terminator (a search for NUL finds it within the bound); -1 when not
 * found, for a null string, or when n is 1. n of 0 bounds nothing. */
VX_API int32_t SafeStrnChr(const char *str, size_t n, int c);

/* Copies at most n - 1 bytes of src into dst, a buffer of n bytes, and
 * terminates dst. n of 1 or a null src stores only the terminator; n of 0
 * (no room at all) and a null dst store nothing. Returns dst. */
VX_API char *SafeStrnCpy(char *dst, const char *src, size_t n);

/* Heap copy of str (caller frees); null str gives a copy of "". Null only on
 * exhausted memory. */
VX_API char *SafeStrDup(const char *str);

/* strncmp over at most n bytes when both are non-null. Otherwise a null
 * string equals "": 0 when the other is null or empty, else -1 (a is null)
 * or 1 (b is null). */
VX_API int SafeStrnCmp(const char *a, const char *b, size_t n);

/* 1 when str is non-null, non-empty and all decimal digits (each byte taken
 * as a signed char, so bytes above 127 are no digits); else 0. */
VX_API int IsDigitStr(const char *str);

/* Case mapping of letters in the current locale; any other value, also one
 * outside -1..255, is returned unchanged. */
VX_API int SafeToUpper(int c);
VX_API int SafeToLower(int c);

VX_API int IsAlphaChar(int c);
VX_API int IsAlnumChar(int c);
VX_API int IsCntrlChar(int c);
VX_API int IsDigitChar(int c);
VX_API int IsGraphChar(int c);
VX_API int IsLowerChar(int c);
VX_API int IsPrintChar(int c);
VX_API int IsPunctChar(int c);
VX_API int IsSpaceChar(int c);
VX_API int IsUpperChar(int c);
VX_API int IsXdigitChar(int c);

VX_END_DECLS

#endif
