#include "client_common/client_props.h"

#include "client_common/log_buffer.h"
#include "props/props.h"

namespace {

constexpr const char *kSource = "client_props";

// Quote around a traced string, or nothing for a null one (shown as 0).
const char *Quote(const char *text) { return text != nullptr ? "\"" : ""; }
const char *Shown(const char *text) { return text != nullptr ? text : "0"; }
const char *Text(const char *text) { return text != nullptr ? text : "(null)"; }

// A null context reads like one without configuration and without log.
Properties *SetOf(const ClientContext *context) { return context != nullptr ? context->properties : nullptr; }
ClientLog *LogOf(const ClientContext *context) { return context != nullptr ? context->log : nullptr; }

}  // namespace

const char *ClientGetProperty(ClientContext *context, const char *key, const char *default_value) {
  uint32_t status = 0;
  const char *value = GetProperty(SetOf(context), key, default_value, &status);
  CLIENT_LOG(LogOf(context), LOG_LEVEL_TRACE, kSource, "GetProperty('%s', %s%s%s) => %d, %s%s%s", Text(key),
             Quote(default_value), Shown(default_value), Quote(default_value), static_cast<int>(status),
             Quote(value), Shown(value), Quote(value));
  // The trace shows what GetProperty gave (its default on failure); the
  // caller gets null for a failed read.
  if (status != 0) {
    value = nullptr;
    CLIENT_LOG(LogOf(context), LOG_LEVEL_ERROR, kSource, "Failed to read property '%s' from file '%s': %s",
               Text(key), CLIENT_CONF_PATH, Text(CPropsErr2Str(status)));
  }
  return value;
}

int32_t ClientGetPropertyTime(ClientContext *context, const char *key, char default_unit,
                              int32_t default_amount) {
  uint32_t status = 0;
  auto value = static_cast<int32_t>(
      GetPropertyTime(SetOf(context), key, default_unit, static_cast<uint32_t>(default_amount), &status));
  CLIENT_LOG(LogOf(context), LOG_LEVEL_TRACE, kSource, "GetPropertyTime('%s', %d) => status=%d, value=%d",
             Text(key), default_amount, static_cast<int>(status), value);
  if (status != 0) {
    value = 0;
    CLIENT_LOG(LogOf(context), LOG_LEVEL_ERROR, kSource,
               "Failed to read time property '%s' from file '%s': %s", Text(key), CLIENT_CONF_PATH,
               Text(CPropsErr2Str(status)));
  }
  return value;
}
