// The loader: file syntax, prefix filter, property records.
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "props/props_internal.h"
#include "util/scope.h"

namespace vxprops {
namespace {

// Bytes that end a run: of a value outside quotes, the extra ones inside
// quotes, of a key.
constexpr char kValueStops[] = {'"', '\\', '\n', '\r', '\f'};
constexpr char kQuotedStops[] = {' ', '\t'};
constexpr char kKeyStops[] = {':', '=', ' ', '\t', '\\'};

// Byte classes for the run scanners: bit set = the byte ends a run.
enum StopClass : uint8_t { kStopValue = 1, kStopQuotedValue = 2, kStopKey = 4 };

struct StopTable {
  uint8_t cls[256] = {};
  constexpr StopTable() {
    for (char ch : kValueStops) cls[static_cast<unsigned char>(ch)] |= kStopValue | kStopQuotedValue;
    for (char ch : kQuotedStops) cls[static_cast<unsigned char>(ch)] |= kStopQuotedValue;
    for (char ch : kKeyStops) cls[static_cast<unsigned char>(ch)] |= kStopKey;
  }
};
constexpr StopTable kStops;

// End of the run of bytes from p that are not in class `stop`. Runs are
// short (keys and values of a few dozen bytes), so a table look-up per byte
// beats scanning whole words.
inline const char *ScanRun(const char *p, const char *end, StopClass stop) {
  while (p < end && (kStops.cls[static_cast<unsigned char>(*p)] & stop) == 0) ++p;
  return p;
}

inline bool IsKeySeparator(int c) { return c == ':' || c == '=' || c == ' ' || c == '\t'; }

// Appends the run of plain bytes at the reader's position.
bool CopyPlainRun(PmFile *r, bool quoted, Sink *out) {
  const char *p = ScanRun(r->pos, r->end, quoted ? kStopQuotedValue : kStopValue);
  bool ok = out->Put(r->pos, static_cast<size_t>(p - r->pos));
  r->pos = p;
  return ok;
}

// Skips whitespace, blank lines included, after a continuation backslash.
void SkipContinuation(PmFile *r) {
  int c;
  while ((c = ReaderNext(r)) >= 0 && IsWhitespaceChar(c)) {
  }
  if (c >= 0) ReaderBack(r);
}

// Skips the rest of the line, its line end included.
void SkipLine(PmFile *r) {
  int c;
  while ((c = ReaderNext(r)) >= 0 && !IsLineEndChar(c)) {
  }
}

// Stores one value character read outside quotes (not a quote, not a line end).
bool PutUnquoted(PmFile *r, int c, Sink *out, bool *at_end) {
  if (c != '\\') return out->Put(c);
  int next = ReaderNext(r);
  if (next < 0) {  // a backslash just before the end is dropped
    *at_end = true;
    return true;
  }
  if (IsLineEndChar(next)) {
    SkipContinuation(r);
    return out->Put(' ');
  }
  return out->Put('\\') && out->Put(next);
}

enum class Outcome { kNext, kEnd, kFailed, kMatched };

// Outcome of reading the key: the separator character, or the end.
struct KeyRead {
  Outcome outcome;
  int separator;
};

// Skips the line of a key that matches no prefix; `raw` is the character
// that failed to match (a line end there is the line's own end).
Outcome SkipUnmatched(PmFile *r, int raw, bool escaped) {
  if (escaped || !IsLineEndChar(raw)) SkipLine(r);
  return Outcome::kNext;
}

// Matches the beginning of the key against the sorted prefix array while
// reading it, starting with the pending character *c. kMatched leaves the
// matched prefix in `key` and the next unprocessed character in *c; kNext
// means the key matched no prefix and its line has been skipped.
Outcome MatchPrefix(PmFile *r, const char *const *prefixes, int *c, Sink *key) {
  if (prefixes[0] == nullptr) return SkipUnmatched(r, *c, false);
  size_t idx = 0;
  for (size_t n = 0; prefixes[idx][n] != '\0'; ++n, *c = ReaderNext(r)) {
    int raw = *c;
    int k = raw;
    if (raw < 0) return Outcome::kEnd;
    if (raw == '\\') {
      int e = ReaderNext(r);
      if (e < 0) return Outcome::kEnd;
      k = ProcessEscape(e);
    } else if (IsKeySeparator(raw)) {
      return SkipUnmatched(r, raw, false);
    }
    while (static_cast<unsigned char>(prefixes[idx][n]) != k) {
      const char *next = prefixes[idx + 1];
      if (next == nullptr || strncmp(next, prefixes[idx], n) != 0) return SkipUnmatched(r, raw, raw == '\\');
      ++idx;
    }
    if (!key->Put(k)) return Outcome::kFailed;
  }
  return Outcome::kMatched;
}

// Reads the rest of a key from its pending character c. Line ends belong
// to the key; the key ends at an unescaped separator or the end of file.
KeyRead ReadKeyRest(PmFile *r, int c, Sink *key) {
  for (;; c = ReaderNext(r)) {
    if (c < 0) return {Outcome::kEnd, -1};
    if (c == '\\') {
      int e = ReaderNext(r);
      if (e < 0) return {Outcome::kEnd, -1};
      c = ProcessEscape(e);
    } else if (IsKeySeparator(c)) {
      return {Outcome::kNext, c};
    } else {
      // A plain byte: take it with the run of plain bytes after it.
      const char *p = ScanRun(r->pos, r->end, kStopKey);
      bool ok = key->Put(c) && key->Put(r->pos, static_cast<size_t>(p - r->pos));
      r->pos = p;
      if (!ok) return {Outcome::kFailed, -1};
      continue;
    }
    if (!key->Put(c)) return {Outcome::kFailed, -1};
  }
}

// Reads the separator after the key: '=', or ' ', TAB or ':' followed by
// an optional '='.
void ReadSeparator(PmFile *r, int separator) {
  if (separator == '=') return;
  int c = ReaderNext(r);
  if (c >= 0 && c != '=') ReaderBack(r);
}

// Reads one key/value pair starting at the key's first character.
Outcome ReadPair(PmFile *r, int c, const char *const *prefixes, Properties *set, uint32_t *status) {
  Sink key;
  if (prefixes != nullptr) {
    Outcome o = MatchPrefix(r, prefixes, &c, &key);
    if (o == Outcome::kFailed) SetStatus(status, PROPS_ERR_NOMEM);
    if (o != Outcome::kMatched) return o;
  }
  KeyRead k = ReadKeyRest(r, c, &key);
  if (k.outcome == Outcome::kFailed) SetStatus(status, PROPS_ERR_NOMEM);
  if (k.outcome != Outcome::kNext) return k.outcome;
  ReadSeparator(r, k.separator);
  vx::FreePtr<char> key_text(key.Release());
  vx::FreePtr<char> value(ReadValue(r, status));
  if (key_text == nullptr || value == nullptr) return SetStatus(status, PROPS_ERR_NOMEM), Outcome::kFailed;
  if (NewProperty(set, key_text.get(), value.get(), status) == nullptr) return Outcome::kFailed;
  (void)key_text.release();  // both now owned by the property
  (void)value.release();
  return Outcome::kNext;
}

// Parses the whole file into `set`; false with *status on failure.
bool ParseFile(PmFile *r, const char *const *prefixes, Properties *set, uint32_t *status) {
  for (;;) {
    int c = ReaderNext(r);
    if (c < 0) return true;
    if (IsLineEndChar(c)) continue;
    if (c == '#' || c == '!') {
      SkipLine(r);
      continue;
    }
    while (IsLineBlank(c)) c = ReaderNext(r);
    if (c < 0) return true;
    if (IsLineEndChar(c)) continue;
    Outcome o = ReadPair(r, c, prefixes, set, status);
    if (o == Outcome::kEnd) return true;
    if (o == Outcome::kFailed) return false;
  }
}

}  // namespace

char *ReadValue(PmFile *r, uint32_t *status) {
  Sink out;
  bool quoted = false;
  bool ok = true;
  bool at_end = false;
  while (ok && !at_end) {
    ok = CopyPlainRun(r, quoted, &out);
    int c = ReaderNext(r);
    if (c < 0 || IsLineEndChar(c)) break;
    if (c == '"') {
      quoted = !quoted;
    } else if (quoted) {
      ok = ok && out.Put('\\') && out.Put(c);  // a quoted blank or backslash
    } else {
      ok = ok && PutUnquoted(r, c, &out, &at_end);
    }
  }
  char *value = ok ? out.Release() : nullptr;
  if (value == nullptr) SetStatus(status, PROPS_ERR_NOMEM);
  return value;
}

}  // namespace vxprops

using vxprops::SetStatus;

extern "C" {

char *ReadInValue(PmFile *reader, uint32_t *status) {
  SetStatus(status, PROPS_OK);
  if (reader == nullptr) return nullptr;
  return vxprops::ReadValue(reader, status);
}

Property *NewProperty(Properties *props, char *key, char *value, uint32_t *status) {
  SetStatus(status, PROPS_OK);
  if (props == nullptr) return nullptr;
  Property *p = static_cast<Property *>(calloc(1, sizeof(Property)));
  if (p == nullptr) {
    SetStatus(status, PROPS_ERR_NOMEM);
    return nullptr;
  }
  p->key = key;
  p->value = value;
  p->next = props->head;
  props->head = p;
  return p;
}

void FreeProperties(Properties *props) {
  if (props == nullptr) return;
  Property *p = props->head;
  while (p != nullptr) {
    Property *next = p->next;
    free(p->key);
    free(p->processed);
    free(p->value);
    free(p->include_name);
    free(p);
    p = next;
  }
  free(props->join_name);
  free(props->join_site);
  free(props->join_domain);
  free(props->join_zone);
  free(props);
}

Properties *LoadPropertiesInternal(const char *path, const char *const *prefixes, uint32_t *status,
                                   int secure) {
  SetStatus(status, PROPS_OK);
  uint32_t st = PROPS_OK;
  PmFile *reader = OpenPropFile(path, &st, secure);
  if (reader == nullptr) {
    SetStatus(status, st);
    return nullptr;
  }
  Properties *set = static_cast<Properties *>(calloc(1, sizeof(Properties)));
  if (set == nullptr) st = PROPS_ERR_NOMEM;
  if (set != nullptr && !vxprops::ParseFile(reader, prefixes, set, &st)) {
    FreeProperties(set);
    set = nullptr;
  }
  pmfclose(reader);
  SetStatus(status, st);
  return set;
}

Properties *LoadProperties(const char *path, const char *const *prefixes, uint32_t *status) {
  return LoadPropertiesInternal(path, prefixes, status, 1);
}

Properties *LoadPropertiesWithoutSecurity(const char *path, const char *const *prefixes, uint32_t *status) {
  return LoadPropertiesInternal(path, prefixes, status, 0);
}

}  // extern "C"
