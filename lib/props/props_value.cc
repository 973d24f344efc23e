// Value processing: trimming, escapes, $variables and include files.
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "props/props_internal.h"
#include "util/safe_string.h"
#include "util/scope.h"

namespace {

using vxprops::SetStatus;
using vxprops::Sink;

using CString = vx::FreePtr<char>;

// The include reference "file:/path": the path starts after this tag.
constexpr const char kIncludeTag[] = "file:/";
constexpr size_t kIncludePathOffset = sizeof "file:" - 1;

thread_local int expansion_depth = 0;
// A property that a lookup at the depth limit could not enter. While it is
// set, the run below the outermost lookup is abandoned: nothing it
// processes is kept, so that no value depends on the depth at which it was
// first met.
thread_local Property *cut_at = nullptr;
// Outermost lookups now settling the property where a run was cut, nested
// (each keeps the properties it is inside of marked in progress).
thread_local int settling = 0;
// Past PROPS_MAX_EXPANSION_RUNS nested settling runs a reference at the
// depth limit stays literal, so that the stack stays bounded.
thread_local bool cut_literal = false;

inline bool IsNameChar(char ch) {
  return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_' ||
         ch == '.';
}

inline bool IsBlank(char ch) { return IsSpaceChar(static_cast<unsigned char>(ch)) != 0; }

// True when a query of the property answers without processing anything:
// its value is kept, or its include step failed for good.
bool Settled(const Property *p) {
  return p->processed != nullptr || ((p->flags & PROP_F_INCLUDE_DONE) && p->include_status != PROPS_OK);
}

// At the depth limit: a settled property (or none, or one in progress)
// answers as usual; any other is where the run is cut.
const char *LookUpAtLimit(Properties *props, const char *name, uint32_t *status) {
  Property *p = MatchKey(props, name);
  if (p != nullptr && !(p->flags & PROP_F_PROCESSING) && !Settled(p)) {
    if (!cut_literal) cut_at = p;
    return nullptr;
  }
  return GetProperty(props, name, nullptr, status);
}

const char *LookUpDeeper(Properties *props, const char *name, uint32_t *status) {
  ++expansion_depth;
  const char *value = GetProperty(props, name, nullptr, status);
  --expansion_depth;
  return value;
}

// Looks the name up as a property, one expansion level deeper. The
// outermost lookup resolves cuts: it processes the property where the run
// stopped on its own (kept like any top-level query), then runs again, so a
// chain of any length gives the value it would give without a limit.
const char *LookUpProperty(Properties *props, const char *name, uint32_t *status) {
  if (props == nullptr || cut_at != nullptr) return nullptr;
  if (expansion_depth >= PROPS_MAX_EXPANSION_DEPTH) return LookUpAtLimit(props, name, status);
  for (;;) {
    const char *value = LookUpDeeper(props, name, status);
    if (cut_at == nullptr || expansion_depth > 0) return value;
    Property *stop = cut_at;
    cut_at = nullptr;
    if (settling >= PROPS_MAX_EXPANSION_RUNS) {
      const bool was_literal = cut_literal;
      cut_literal = true;
      value = LookUpDeeper(props, name, status);
      cut_literal = was_literal;
      return value;
    }
    ++settling;
    GetProperty(props, stop->key, nullptr, status);
    --settling;
    if (*status != PROPS_OK || !Settled(stop)) return nullptr;
  }
}

// Appends an include element. Commas and whitespace are escaped so that the
// list splits exactly at the joins; backslashes and dollar signs so that
// list queries and value processing give the element back unchanged.
bool PutListElement(const char *element, bool first, Sink *list) {
  if (!first && !list->Put(',')) return false;
  for (const char *p = element; *p != '\0'; ++p) {
    bool special =
        *p == ',' || *p == '\\' || *p == '$' || vxprops::IsWhitespaceChar(static_cast<unsigned char>(*p));
    if ((special && !list->Put('\\')) || !list->Put(*p)) return false;
  }
  return true;
}

// Reads the include file's lines as values and joins their expansions into
// a list; null with *status on failure.
char *ReadIncludeList(PmFile *r, Properties *props, uint32_t *status) {
  Sink list;
  bool first = true;
  for (int c; (c = vxprops::ReaderNext(r)) >= 0;) {
    if (vxprops::IsLineEndChar(c)) continue;
    if (c == '#' || c == '!') {
      while ((c = vxprops::ReaderNext(r)) >= 0 && !vxprops::IsLineEndChar(c)) {
      }
      continue;
    }
    while (vxprops::IsLineBlank(c)) c = vxprops::ReaderNext(r);
    if (c < 0) break;
    if (vxprops::IsLineEndChar(c)) continue;
    vxprops::ReaderBack(r);
    CString line(vxprops::ReadValue(r, status));
    if (line == nullptr) return nullptr;
    CString element(ProcessRawValue1(line.get(), props, status));
    if (element == nullptr) return nullptr;
    if (!PutListElement(element.get(), first, &list)) return SetStatus(status, PROPS_ERR_NOMEM), nullptr;
    first = false;
  }
  char *text = list.Release();
  if (text == nullptr) SetStatus(status, PROPS_ERR_NOMEM);
  return text;
}

// Expands, opens and reads the include reference of the property; returns
// the new list or null with *status. *name receives the expanded reference.
char *LoadInclude(Property *property, Properties *props, CString *name, uint32_t *status) {
  name->reset(ProcessRawValue1(property->value, props, status));
  if (*name == nullptr) return nullptr;
  const char *path = strlen(name->get()) >= kIncludePathOffset ? name->get() + kIncludePathOffset : "";
  PmFile *reader = OpenPropFile(path, status, 1);
  if (reader == nullptr) return nullptr;
  char *list = ReadIncludeList(reader, props, status);
  pmfclose(reader);
  return list;
}

}  // namespace

extern "C" {

int IsIncludeFile(const char *text) {
  if (text == nullptr) return 0;
  while (vxprops::IsWhitespaceChar(static_cast<unsigned char>(*text))) ++text;
  return strncmp(text, kIncludeTag, sizeof kIncludeTag - 1) == 0 ? 1 : 0;
}

const char *ExpandVariable(const char *text, Properties *props, uint32_t *name_length, uint32_t *status) {
  SetStatus(status, PROPS_OK);
  if (name_length != nullptr) *name_length = 0;
  if (text == nullptr) return nullptr;
  char name[PROPS_MAX_VARIABLE_NAME + 1];
  uint32_t n = 0;
  while (n < PROPS_MAX_VARIABLE_NAME && IsNameChar(text[n])) name[n] = text[n], ++n;
  name[n] = '\0';
  if (name_length != nullptr) *name_length = n;
  if (n == 0) return nullptr;
  uint32_t st = PROPS_OK;
  const char *value = nullptr;
  if (props != nullptr) {
    value =
        GetJoinParam(name, &props->join_name, &props->join_site, &props->join_domain, &props->join_zone, &st);
  }
  if (value == nullptr && st == PROPS_OK) value = getenv(name);
  if (value == nullptr && st == PROPS_OK) value = LookUpProperty(props, name, &st);
  SetStatus(status, st);
  return st == PROPS_OK ? value : nullptr;
}

char *ProcessRawValue1(const char *text, Properties *props, uint32_t *status) {
  SetStatus(status, PROPS_OK);
  if (text == nullptr) text = "";
  while (IsBlank(*text)) ++text;
  Sink out;
  size_t keep = 0;  // length that trimming must not cut
  bool ok = true;
  for (const char *p = text; ok && *p != '\0';) {
    if (*p == '$') {
      uint32_t len = 0;
      uint32_t st = PROPS_OK;
      const char *value = ExpandVariable(p + 1, props, &len, &st);
      if (st != PROPS_OK) return SetStatus(status, st), nullptr;
      ok = value != nullptr ? out.PutString(value) : out.Put('$');
      p += value != nullptr ? 1 + len : 1;
      keep = out.Size();
    } else if (*p == '\\') {
      if (p[1] == '\0') break;  // a backslash at the very end is dropped
      ok = out.Put(ProcessEscape(static_cast<unsigned char>(p[1])));
      p += 2;
      keep = out.Size();
    } else {
      size_t run = strcspn(p, "$\\");  // plain text up to the next special character
      ok = out.Put(p, run);
      size_t solid = run;
      while (solid > 0 && IsBlank(p[solid - 1])) --solid;
      if (solid > 0) keep = out.Size() - (run - solid);
      p += run;
    }
  }
  char *result = ok && out.Truncate(keep) ? out.Release() : nullptr;
  if (result == nullptr) SetStatus(status, PROPS_ERR_NOMEM);
  return result;
}

void ProcessIncludeFile(Property *property, Properties *props, uint32_t *status) {
  SetStatus(status, PROPS_OK);
  if (property == nullptr) return;
  if (property->flags & PROP_F_INCLUDE_DONE) {
    SetStatus(status, property->include_status);
    return;
  }
  property->flags |= PROP_F_INCLUDE_DONE;
  if (!IsIncludeFile(property->value)) return;
  property->flags |= PROP_F_PROCESSING;
  uint32_t st = PROPS_OK;
  CString name(nullptr);
  char *list = LoadInclude(property, props, &name, &st);
  property->flags &= static_cast<uint8_t>(~PROP_F_PROCESSING);
  if (cut_at != nullptr) {  // abandoned run: the step runs again later
    free(list);
    property->flags &= static_cast<uint8_t>(~PROP_F_INCLUDE_DONE);
    return;
  }
  property->include_status = st;
  SetStatus(status, st);
  free(property->include_name);
  property->include_name = name.release();
  if (list != nullptr) {
    free(property->value);
    property->value = list;
  }
}

void ProcessRawValue(Property *property, Properties *props, uint32_t *status) {
  SetStatus(status, PROPS_OK);
  if (property == nullptr) return;
  uint32_t st = PROPS_OK;
  ProcessIncludeFile(property, props, &st);
  if (st == PROPS_OK && property->processed == nullptr && cut_at == nullptr) {
    property->flags |= PROP_F_PROCESSING;
    char *processed = ProcessRawValue1(property->value, props, &st);
    property->flags &= static_cast<uint8_t>(~PROP_F_PROCESSING);
    if (cut_at == nullptr) {
      property->processed = processed;
    } else {
      free(processed);  // abandoned run: processed again later
    }
  }
  SetStatus(status, st);
}

}  // extern "C"
