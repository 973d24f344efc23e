// Scalar queries, run-time properties and key iteration.
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "props/props_internal.h"
#include "util/safe_string.h"

struct PropertyIter {
  Property *next;
  const char *prefix;  // the caller's, read afresh at each step
};

namespace {

using vxprops::SetStatus;

struct TimeUnit {
  char letter;
  uint32_t seconds;
};

constexpr TimeUnit kTimeUnits[] = {
    {'s', 1}, {'m', 60}, {'h', 3600}, {'d', 86400}, {'w', 604800}, {'M', 2628000}, {'y', 31536000},
};

struct BoolWord {
  const char *word;
  bool exact_case;  // "1" and "0" only as written
  bool value;
};

constexpr BoolWord kBoolWords[] = {
    {"true", false, true},   {"yes", false, true}, {"y", false, true},  {"1", true, true},
    {"false", false, false}, {"no", false, false}, {"n", false, false}, {"0", true, false},
};

inline void ClearFlags(Property *p, uint8_t bits) { p->flags = static_cast<uint8_t>(p->flags & ~bits); }

void ParseBool(Property *p) {
  p->flags |= PROP_F_BOOL_PARSED;
  ClearFlags(p, PROP_F_BOOL_VALID | PROP_F_BOOL_TRUE);
  for (const BoolWord &w : kBoolWords) {
    bool same = w.exact_case ? strcmp(w.word, p->processed) == 0 : strcasecmp(w.word, p->processed) == 0;
    if (!same) continue;
    p->flags |= PROP_F_BOOL_VALID;
    if (w.value) p->flags |= PROP_F_BOOL_TRUE;
    return;
  }
}

void ParseInt(Property *p) {
  p->flags |= PROP_F_NUM_PARSED;
  char *end = nullptr;
  errno = 0;
  long value = strtol(p->processed, &end, 0);
  if (end == p->processed) return;
  p->number = static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long>(value)));
  if (errno != ERANGE && value >= INT32_MIN && value <= INT32_MAX) p->flags |= PROP_F_NUM_VALID;
}

// Reads "%d%c" as sscanf would: a decimal number after optional blanks,
// then the single character after it (none at the end of the text).
// False when no number is there or it does not fit an int.
bool ScanNumberAndUnit(const char *text, long *number, int *unit) {
  const char *p = text;
  while (IsSpaceChar(static_cast<unsigned char>(*p))) ++p;
  if (*p == '+' || *p == '-') ++p;
  if (*p < '0' || *p > '9') return false;
  char *end = nullptr;
  errno = 0;
  *number = strtol(text, &end, 10);
  if (errno == ERANGE || *number < INT_MIN || *number > INT_MAX) return false;
  *unit = static_cast<unsigned char>(*end);
  return true;
}

void ParseTime(Property *p, char default_unit) {
  p->flags |= PROP_F_NUM_PARSED;
  long number = 0;
  int unit = 0;
  if (!ScanNumberAndUnit(p->processed, &number, &unit) || number < 0) return;
  // A bare number takes the default unit whatever its factor (0 gives 0);
  // a unit letter without a factor makes the value invalid.
  const bool bare = unit == '\0';
  uint32_t factor = TimePropertyFactor(bare ? default_unit : static_cast<char>(unit));
  if (factor == 0 && !bare) return;
  uint64_t product = static_cast<uint64_t>(number) * factor;
  if (product > UINT32_MAX) return;  // does not fit: the default applies
  p->number = static_cast<int32_t>(static_cast<uint32_t>(product));
  p->flags |= PROP_F_NUM_VALID;
}

// The property a typed read parses, or null; then *absent is what the read
// gives: the default when the key is missing, 0 when the lookup failed.
template <typename T>
Property *TypedProperty(Properties *props, const char *key, T def, uint32_t *status, T *absent) {
  uint32_t st = PROPS_OK;
  Property *p = vxprops::ProcessedProperty(props, key, &st);
  SetStatus(status, st);
  *absent = st == PROPS_OK ? def : 0;
  return p;
}

}  // namespace

namespace vxprops {

Property *ProcessedProperty(Properties *props, const char *key, uint32_t *status) {
  Property *p = MatchKey(props, key);
  if (p == nullptr || (p->flags & PROP_F_PROCESSING)) return nullptr;
  ProcessRawValue(p, props, status);
  return p->processed != nullptr ? p : nullptr;
}

}  // namespace vxprops

extern "C" {

Property *MatchKey(Properties *props, const char *key) {
  if (props == nullptr || key == nullptr) return nullptr;
  for (Property *p = props->head; p != nullptr; p = p->next) {
    if (strcmp(p->key, key) == 0) return p;
  }
  return nullptr;
}

const char *GetProperty(Properties *props, const char *key, const char *def, uint32_t *status) {
  SetStatus(status, PROPS_OK);
  Property *p = vxprops::ProcessedProperty(props, key, status);
  return p != nullptr ? p->processed : def;
}

uint32_t GetPropertyBool(Properties *props, const char *key, uint32_t def, uint32_t *status) {
  uint32_t absent;
  Property *p = TypedProperty(props, key, def, status, &absent);
  if (p == nullptr) return absent;
  if (!(p->flags & PROP_F_BOOL_PARSED)) ParseBool(p);
  if (!(p->flags & PROP_F_BOOL_VALID)) return def;
  return (p->flags & PROP_F_BOOL_TRUE) ? 1 : 0;
}

int32_t GetPropertyInt(Properties *props, const char *key, int32_t def, uint32_t *status) {
  int32_t absent;
  Property *p = TypedProperty(props, key, def, status, &absent);
  if (p == nullptr) return absent;
  if (!(p->flags & PROP_F_NUM_PARSED)) ParseInt(p);
  return (p->flags & PROP_F_NUM_VALID) ? p->number : def;
}

uint32_t GetPropertyTime(Properties *props, const char *key, char unit, uint32_t default_amount,
                         uint32_t *status) {
  uint32_t fallback = default_amount * TimePropertyFactor(unit);
  uint32_t st = PROPS_OK;
  Property *p = vxprops::ProcessedProperty(props, key, &st);
  SetStatus(status, st);
  if (p == nullptr) return st == PROPS_OK ? fallback : 0;
  if (!(p->flags & PROP_F_NUM_PARSED)) ParseTime(p, unit);
  return (p->flags & PROP_F_NUM_VALID) ? static_cast<uint32_t>(p->number) : fallback;
}

uint32_t TimePropertyFactor(char unit) {
  for (const TimeUnit &u : kTimeUnits) {
    if (u.letter == unit) return u.seconds;
  }
  return 0;
}

void SetProperty(Properties *props, const char *key, const char *value, uint32_t *status) {
  SetStatus(status, PROPS_OK);
  if (props == nullptr || key == nullptr || value == nullptr) return;
  char *key_copy = SafeStrDup(key);
  char *value_copy = SafeStrDup(value);
  if (key_copy == nullptr || value_copy == nullptr ||
      NewProperty(props, key_copy, value_copy, status) == nullptr) {
    free(key_copy);
    free(value_copy);
    SetStatus(status, PROPS_ERR_NOMEM);
  }
}

PropertyIter *PropertyIterator(Properties *props, const char *prefix, uint32_t *status) {
  SetStatus(status, PROPS_OK);
  if (props == nullptr) return nullptr;
  PropertyIter *it = static_cast<PropertyIter *>(malloc(sizeof(PropertyIter)));
  if (it == nullptr) {
    SetStatus(status, PROPS_ERR_NOMEM);
    return nullptr;
  }
  it->next = props->head;
  it->prefix = prefix;
  return it;
}

const char *PropertyNext(PropertyIter *iter) {
  if (iter == nullptr) return nullptr;
  const size_t prefix_length = iter->prefix != nullptr ? strlen(iter->prefix) : 0;
  while (iter->next != nullptr) {
    Property *p = iter->next;
    iter->next = p->next;
    if (prefix_length == 0 || strncmp(p->key, iter->prefix, prefix_length) == 0) return p->key;
  }
  return nullptr;
}

void FreePropertyIterator(PropertyIter *iter) { free(iter); }

}  // extern "C"
