// List-valued properties: membership tests and element lists.
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "props/props_internal.h"
#include "util/safe_string.h"

namespace {

using vxprops::SetStatus;
using vxprops::Sink;

inline bool IsListSeparator(char ch) {
  return ch == ',' || vxprops::IsWhitespaceChar(static_cast<unsigned char>(ch));
}

// The raw list of the key after include processing, or the default list.
// Null when there is no list (a null default) or include processing failed
// (*status set).
const char *ListText(Properties *props, const char *key, const char *def_list, uint32_t *status) {
  Property *p = MatchKey(props, key);
  if (p == nullptr) {
    if (def_list == nullptr) return nullptr;
    if (!IsIncludeFile(def_list)) return def_list;
    SetProperty(props, key, def_list, status);
    if (*status != PROPS_OK) return nullptr;
    p = props->head;
  }
  ProcessIncludeFile(p, props, status);
  return *status == PROPS_OK ? p->value : nullptr;
}

// Walks one element from *p, escapes resolved, calling put(ch) for each
// character; *p ends on the separator or the terminator. A backslash just
// before the terminator ends the element without reading past it.
template <typename Put>
bool WalkElement(const char **p, Put put) {
  const char *s = *p;
  bool ok = true;
  while (ok && *s != '\0' && !IsListSeparator(*s)) {
    if (*s == '\\') {
      if (s[1] == '\0') {
        ++s;
        break;
      }
      ok = put(static_cast<char>(ProcessEscape(static_cast<unsigned char>(s[1]))));
      s += 2;
    } else {
      ok = put(*s++);
    }
  }
  *p = s;
  return ok;
}

// Skips what follows an element: at most one comma, then whitespace.
// True when another element follows.
bool NextElement(const char **p) {
  const char *s = *p;
  if (*s == ',') ++s;
  while (*s != '\0' && vxprops::IsWhitespaceChar(static_cast<unsigned char>(*s))) ++s;
  *p = s;
  return *s != '\0';
}

// Reads an int as "%d" would; false when no number starts at *p or it does
// not fit.
bool ScanInt(const char **p, long *value) {
  const char *s = *p;
  while (IsSpaceChar(static_cast<unsigned char>(*s))) ++s;
  const char *digits = (*s == '+' || *s == '-') ? s + 1 : s;
  if (*digits < '0' || *digits > '9') return false;
  char *end = nullptr;
  errno = 0;
  *value = strtol(s, &end, 10);
  if (errno == ERANGE || *value < INT_MIN || *value > INT_MAX) return false;
  *p = end;
  return true;
}

// True when the item ("n" or "a - b") at the start of `item` holds value.
bool ItemHolds(const char *item, long value) {
  long first = 0;
  long last = 0;
  if (!ScanInt(&item, &first)) return false;
  while (IsSpaceChar(static_cast<unsigned char>(*item))) ++item;
  if (*item == '-' && (++item, ScanInt(&item, &last))) return first <= value && value <= last;
  return value == first;
}

// A growing null-terminated array of heap strings.
class StringArray {
 public:
  ~StringArray() {
    for (uint32_t i = 0; i < count_; ++i) free(items_[i]);
    free(items_);
  }
  bool Add(char *s) {
    if (count_ + 2 > capacity_) {
      size_t cap = capacity_ == 0 ? PROPS_VALUE_LIST_INITIAL : size_t{capacity_} * 2;
      if (cap > UINT32_MAX / sizeof(char *)) return false;
      char **grown = static_cast<char **>(realloc(items_, cap * sizeof(char *)));
      if (grown == nullptr) return false;
      items_ = grown;
      capacity_ = static_cast<uint32_t>(cap);
    }
    items_[count_++] = s;
    items_[count_] = nullptr;
    return true;
  }
  uint32_t count() const { return count_; }
  char **Release() {
    char **items = items_;
    items_ = nullptr;
    count_ = 0;
    return items;
  }

 private:
  char **items_ = nullptr;
  uint32_t count_ = 0;
  uint32_t capacity_ = 0;
};

// Splits the list into heap strings; false on exhausted memory.
bool SplitList(const char *s, StringArray *out) {
  while (*s != '\0' && IsListSeparator(*s)) ++s;
  if (*s == '\0') return true;
  do {
    Sink element;
    if (!WalkElement(&s, [&element](char ch) { return element.Put(ch); })) return false;
    char *text = element.Release();
    if (text == nullptr || !out->Add(text)) return free(text), false;
  } while (NextElement(&s));
  return true;
}

}  // namespace

extern "C" {

int IsStringInPropertyList(Properties *props, const char *key, const char *needle, const char *def_list,
                           uint32_t *status) {
  SetStatus(status, PROPS_OK);
  if (props == nullptr || key == nullptr || needle == nullptr || needle[0] == '\0') return 0;
  uint32_t st = PROPS_OK;
  const char *s = ListText(props, key, def_list, &st);
  SetStatus(status, st);
  if (s == nullptr) return 0;
  do {
    const char *n = needle;
    bool equal = true;
    WalkElement(&s, [&](char ch) {
      equal = equal && *n == ch;
      if (*n != '\0') ++n;
      return true;
    });
    if (equal && *n == '\0') return 1;
  } while (NextElement(&s));
  return 0;
}

int IsIntegerInPropertyList(Properties *props, const char *key, int32_t value, const char *def_list,
                            uint32_t *status) {
  SetStatus(status, PROPS_OK);
  if (props == nullptr || key == nullptr) return 0;
  uint32_t st = PROPS_OK;
  const char *s = ListText(props, key, def_list, &st);
  SetStatus(status, st);
  for (; s != nullptr; s = strchr(s, ',')) {
    if (*s == ',') ++s;
    if (ItemHolds(s, value)) return 1;
  }
  return 0;
}

char **GetValueList(Properties *props, const char *key, uint32_t *count, uint32_t *status) {
  if (props == nullptr || key == nullptr || count == nullptr || status == nullptr) return nullptr;
  *status = PROPS_OK;
  *count = 0;
  if (MatchKey(props, key) == nullptr) return nullptr;
  const char *s = ListText(props, key, nullptr, status);
  if (s == nullptr) {
    if (*status == PROPS_ERR_NOMEM) *count = UINT32_MAX;
    return nullptr;
  }
  StringArray list;
  if (!SplitList(s, &list)) {
    *count = UINT32_MAX;
    *status = PROPS_ERR_NOMEM;
    return nullptr;
  }
  *count = list.count();
  return list.Release();
}

}  // extern "C"
