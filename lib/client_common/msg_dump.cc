// One-line text rendering of a message for debug logs. Works on any bytes:
// what cannot be read ends the text with a marker instead of failing.
#include <stdlib.h>
#include <string.h>

#include <charconv>

#include "client_common/msg.h"
#include "client_common/msg_impl.h"

using vx_msg::ByteSpan;

namespace {

constexpr uint32_t kDumpFirstBlock = 512;
constexpr size_t kHexChunk = 256; /* bytes of a blob rendered per append */

constexpr char kNullMsg[] = "Msg=0";
constexpr char kTypeMissing[] = "<msg-type-missing>";
constexpr char kIncomplete[] = "<incomplete>";
constexpr char kUnknownTag[] = "<unknown MsgType>";

// Text under construction, at most `limit` characters: what goes past it is
// dropped, and Full tells the renderers to stop walking the message. The
// first failed append makes it fail as a whole.
class Text {
 public:
  explicit Text(size_t limit) : left_(limit) { NewGrowBuffer(&buf_, kDumpFirstBlock); }
  ~Text() { GrowBufFree(&buf_, 0); }
  Text(const Text &) = delete;
  Text &operator=(const Text &) = delete;

  void Mem(const void *data, size_t size) {
    if (!ok_ || left_ == 0) return;
    if (size > left_) size = left_;
    left_ -= size;
    if (GrowBufPutmem(&buf_, static_cast<uint32_t>(size), data) == nullptr) ok_ = false;
  }
  bool Full() const { return left_ == 0; }
  void Put(const char *str) { Mem(str, strlen(str)); }
  void Char(char c) { Mem(&c, 1); }
  template <typename T>
  void Number(T value) {
    char digits[16];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    Mem(digits, static_cast<size_t>(result.ptr - digits));
  }
  // Hands the NUL-terminated text to the caller; null when any append failed.
  char *Release() {
    if (ok_ && GrowBufPutmem(&buf_, 1, "") == nullptr) ok_ = false;  // past the limit too
    return ok_ ? GrowBufRelease(&buf_) : nullptr;
  }

 private:
  GrowBuffer buf_;
  size_t left_;
  bool ok_ = true;
};

// One counted item: `bytes` is null for a null item. False when the bytes
// run out.
bool TakeItem(ByteSpan *span, const unsigned char **bytes, uint32_t *length) {
  if (!span->U32(length)) return false;
  *bytes = nullptr;
  if (*length == NULL_LENGTH) return true;
  *bytes = span->p;
  return span->Skip(*length);
}

// Takes the next counted item; a null item is written as `null_text` and
// leaves *bytes null.
bool TakeOrNull(Text &out, ByteSpan *span, const char *null_text, const unsigned char **bytes,
                uint32_t *length) {
  if (!TakeItem(span, bytes, length)) return false;
  if (*bytes == nullptr) out.Put(null_text);
  return true;
}

bool RenderString(Text &out, ByteSpan *span) {
  const unsigned char *bytes;
  uint32_t length;
  if (!TakeOrNull(out, span, "STRING:0", &bytes, &length)) return false;
  if (bytes == nullptr) return true;
  out.Char('"');
  out.Mem(bytes, length); /* raw: quotes and line breaks are not escaped */
  out.Char('"');
  return true;
}

bool RenderPassword(Text &out, ByteSpan *span) {
  const unsigned char *bytes;
  uint32_t length;
  if (!TakeItem(span, &bytes, &length)) return false;
  out.Put(bytes == nullptr ? "PASSWORD:0" : "(password)");
  return true;
}

void PutHex(Text &out, const unsigned char *bytes, uint32_t length) {
  static constexpr char kDigits[] = "0123456789abcdef";
  char chunk[kHexChunk * 3];
  size_t used = 0;
  for (uint32_t i = 0; i < length; ++i) {
    if (i > 0) chunk[used++] = ' ';
    chunk[used++] = kDigits[bytes[i] >> 4];
    chunk[used++] = kDigits[bytes[i] & 0xF];
    if (used + 3 > sizeof chunk) {
      out.Mem(chunk, used);
      used = 0;
      if (out.Full()) return;
    }
  }
  out.Mem(chunk, used);
}

bool RenderBlob(Text &out, ByteSpan *span) {
  const unsigned char *bytes;
  uint32_t length;
  if (!TakeOrNull(out, span, "BLOB:0", &bytes, &length)) return false;
  if (bytes == nullptr) return true;
  out.Put("BLOB:[");
  out.Number(length);
  out.Put("](");
  PutHex(out, bytes, length);
  out.Char(')');
  return true;
}

bool RenderStringSet(Text &out, ByteSpan *span) {
  uint32_t count;
  if (!span->U32(&count)) return false;
  out.Put("ss(");
  for (uint32_t i = 0; i < count && !out.Full(); ++i) {
    if (i > 0) out.Char(',');
    if (!RenderString(out, span)) return false;
  }
  out.Char(')');
  return true;
}

bool RenderKeyValues(Text &out, ByteSpan *span) {
  uint32_t count;
  if (!span->U32(&count)) return false;
  out.Put("kv(");
  for (uint32_t i = 0; i < count && !out.Full(); ++i) {
    out.Put(i > 0 ? ",(" : "(");
    if (!RenderString(out, span)) return false;
    out.Char(',');
    if (!RenderString(out, span)) return false;
    out.Char(')');
  }
  out.Char(')');
  return true;
}

// Renders the payload of a known field tag; false when the bytes run out.
bool RenderField(Text &out, ByteSpan *span, uint8_t tag) {
  uint8_t byte;
  uint32_t word;
  switch (tag) {
    case MDT_BOOL:
      if (!span->U8(&byte)) return false;
      out.Put(byte != 0 ? "True" : "False");
      return true;
    case MDT_INT:
      if (!span->U32(&word)) return false;
      out.Number(static_cast<int32_t>(word));
      return true;
    case MDT_UINT:
      if (!span->U32(&word)) return false;
      out.Char('u');
      out.Number(word);
      return true;
    case MDT_STRING:
      return RenderString(out, span);
    case MDT_PASSWORD:
      return RenderPassword(out, span);
    case MDT_BLOB:
      return RenderBlob(out, span);
    case MDT_STRINGSET:
      return RenderStringSet(out, span);
    default:
      return RenderKeyValues(out, span);
  }
}

void RenderBody(Text &out, ByteSpan span, const MsgTypeTable *table) {
  uint16_t type;
  if (span.left < MSG_TYPE_SIZE) {
    out.Put(kTypeMissing);
    return;
  }
  memcpy(&type, span.p, MSG_TYPE_SIZE);
  span.Skip(MSG_TYPE_SIZE);
  const char *name = MsgTypeName(table, type);
  if (name != nullptr) {
    out.Put(name);
  } else {
    out.Number(type);
  }
  out.Char('[');
  for (bool first = true; !out.Full(); first = false) {
    uint8_t tag;
    if (!span.U8(&tag)) return out.Put(kIncomplete);
    if (tag == MDT_END) return out.Char(']');
    if (tag > MDT_LAST) return out.Put(kUnknownTag);
    if (!first) out.Char(',');
    if (!RenderField(out, &span, tag)) return out.Put(kIncomplete);
  }
}

}  // namespace

char *MsgDump(const Msg *msg) { return MsgDumpBounded(msg, SIZE_MAX); }

char *MsgDumpBounded(const Msg *msg, size_t max_chars) {
  Text out(max_chars);
  if (msg == nullptr) {
    out.Put(kNullMsg);
  } else {
    RenderBody(out, vx_msg::MsgBody(msg), msg->table);
  }
  return out.Release();
}
