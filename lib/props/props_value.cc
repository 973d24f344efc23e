// Value processing: the exported entry points. The work is done by the
// query machine of props_expand.cc.
#include <stdlib.h>
#include <string.h>

#include "props/props_internal.h"

namespace {

using vxprops::SetStatus;

// The include reference "file:/path".
constexpr const char kIncludeTag[] = "file:/";

}  // namespace

namespace vxprops {

uint32_t ReadVariableName(const char *text, char (&name)[PROPS_MAX_VARIABLE_NAME + 1]) {
  uint32_t n = 0;
  while (n < PROPS_MAX_VARIABLE_NAME && IsNameChar(text[n])) name[n] = text[n], ++n;
  name[n] = '\0';
  return n;
}

const char *LookUpOutsideSet(Properties *props, const char *name, uint32_t *status) {
  const char *value = nullptr;
  if (props != nullptr) {
    value = GetJoinParam(name, &props->join_name, &props->join_site, &props->join_domain, &props->join_zone,
                         status);
    if (*status != PROPS_OK) return nullptr;
  }
  return value != nullptr ? value : getenv(name);
}

}  // namespace vxprops

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
  uint32_t n = vxprops::ReadVariableName(text, name);
  if (name_length != nullptr) *name_length = n;
  if (n == 0) return nullptr;
  uint32_t st = PROPS_OK;
  const char *value = vxprops::LookUpOutsideSet(props, name, &st);
  if (value == nullptr && st == PROPS_OK) {
    Property *p = MatchKey(props, name);
    if (p != nullptr && !(p->flags & PROP_F_PROCESSING)) {
      st = vxprops::ProcessProperty(props, p, false);
      value = p->processed;
    }
  }
  SetStatus(status, st);
  return st == PROPS_OK ? value : nullptr;
}

char *ProcessRawValue1(const char *text, Properties *props, uint32_t *status) {
  SetStatus(status, PROPS_OK);
  uint32_t st = PROPS_OK;
  char *result = vxprops::ProcessText(props, text, &st);
  SetStatus(status, st);
  return result;
}

void ProcessIncludeFile(Property *property, Properties *props, uint32_t *status) {
  SetStatus(status, PROPS_OK);
  if (property == nullptr) return;
  SetStatus(status, vxprops::ProcessProperty(props, property, true));
}

void ProcessRawValue(Property *property, Properties *props, uint32_t *status) {
  SetStatus(status, PROPS_OK);
  if (property == nullptr) return;
  SetStatus(status, vxprops::ProcessProperty(props, property, false));
}

}  // extern "C"
