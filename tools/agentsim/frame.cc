#include "frame.h"

#include <cstring>
#include <span>

#include "client_common/msg.h"

namespace agentsim {
namespace {

constexpr uint32_t kBadMagic = 0xDEADBEEFu;
constexpr uint32_t kShortLength = 4;
constexpr uint32_t kHugeLength = 0x7FFFFFF0u;
constexpr unsigned char kInvalidTag = 9;
constexpr size_t kLengthOffset = 4;

void PutU32(std::string *out, uint32_t v) { out->append(reinterpret_cast<const char *>(&v), sizeof v); }

void SetU32(std::string *out, size_t offset, uint32_t v) { std::memcpy(out->data() + offset, &v, sizeof v); }

void PutCounted(std::string *out, const std::string &s) {
  PutU32(out, static_cast<uint32_t>(s.size()));
  out->append(s);
}

// The field as a STRING, for replies of the wrong kinds.
std::string AsText(const Field &field) {
  struct {
    std::string operator()(Bool b) const { return b.value ? "1" : "0"; }
    std::string operator()(int32_t v) const { return std::to_string(v); }
    std::string operator()(uint32_t v) const { return std::to_string(v); }
    std::string operator()(const std::string &s) const { return s; }
    std::string operator()(const std::vector<std::string> &set) const {
      std::string joined;
      for (const std::string &s : set) joined += (joined.empty() ? "" : ",") + s;
      return joined;
    }
    std::string operator()(const SharedSet &set) const { return (*this)(set->Entries()); }
  } visitor;
  return std::visit(visitor, field);
}

void PutField(std::string *out, const Field &field) {
  struct {
    std::string *out;
    void operator()(Bool b) const { *out += {char(MDT_BOOL), char(b.value ? 1 : 0)}; }
    void operator()(int32_t v) const {
      *out += char(MDT_INT);
      PutU32(out, static_cast<uint32_t>(v));
    }
    void operator()(uint32_t v) const {
      *out += char(MDT_UINT);
      PutU32(out, v);
    }
    void operator()(const std::string &s) const {
      *out += char(MDT_STRING);
      PutCounted(out, s);
    }
    void operator()(const std::vector<std::string> &set) const {
      *out += char(MDT_STRINGSET);
      PutU32(out, static_cast<uint32_t>(set.size()));
      for (const std::string &s : set) PutCounted(out, s);
    }
    void operator()(const SharedSet &set) const { out->append(set->field()); }
  } visitor{out};
  std::visit(visitor, field);
}

// Bounded reader over the bytes of a message body.
struct Cursor {
  const unsigned char *p;
  size_t left;

  bool Take(size_t n, const unsigned char **at) {
    if (left < n) return false;
    *at = p;
    p += n;
    left -= n;
    return true;
  }
  bool U32(uint32_t *v) {
    const unsigned char *at;
    if (!Take(sizeof *v, &at)) return false;
    std::memcpy(v, at, sizeof *v);
    return true;
  }
  bool Counted(std::optional<std::string> *item) {
    uint32_t length;
    const unsigned char *at;
    if (!U32(&length)) return false;
    if (length == NULL_LENGTH) {
      item->reset();
      return true;
    }
    if (!Take(length, &at)) return false;
    item->emplace(reinterpret_cast<const char *>(at), length);
    return true;
  }
  bool SkipCounted(uint32_t count) {
    std::optional<std::string> ignored;
    for (uint32_t i = 0; i < count; ++i) {
      if (!Counted(&ignored)) return false;
    }
    return true;
  }
  // Skips the payload of a field with `tag`.
  bool SkipPayload(unsigned char tag) {
    const unsigned char *at;
    uint32_t count;
    switch (tag) {
      case MDT_BOOL: return Take(1, &at);
      case MDT_INT:
      case MDT_UINT: return Take(4, &at);
      case MDT_STRING:
      case MDT_PASSWORD:
      case MDT_BLOB: return SkipCounted(1);
      case MDT_STRINGSET: return U32(&count) && SkipCounted(count);
      case MDT_KEYVALUES: return U32(&count) && count <= UINT32_MAX / 2 && SkipCounted(2 * count);
      default: return false;
    }
  }
};

// Header (length left open), type and `fields`, without the end mark.
std::string EncodeHead(uint32_t type, std::span<const Field> fields) {
  std::string out(kHeaderSize, '\0');
  SetU32(&out, 0, kFrameMagic);
  uint16_t type16 = static_cast<uint16_t>(type);
  out.append(reinterpret_cast<const char *>(&type16), sizeof type16);
  for (const Field &field : fields) PutField(&out, field);
  return out;
}

}  // namespace

uint32_t ReadStringSetField(const Msg *msg, size_t index, std::vector<std::optional<std::string>> *out) {
  uint32_t length = 0, status = 0;
  const unsigned char *block = MsgGetBuffer(msg, &length, &status);
  if (block == nullptr || status != MSG_OK || length < kHeaderSize + 2) return MSG_ERR_INVALID;
  Cursor cur{block + kHeaderSize + 2, length - kHeaderSize - 2};
  const unsigned char *tag;
  for (size_t i = 0; i < index; ++i) {
    if (!cur.Take(1, &tag) || *tag == MDT_END) return MSG_ERR_END;
    if (!cur.SkipPayload(*tag)) return MSG_ERR_INVALID;
  }
  if (!cur.Take(1, &tag) || *tag == MDT_END) return MSG_ERR_END;
  if (*tag != MDT_STRINGSET) return MSG_ERR_TYPE;
  uint32_t count = 0;
  if (!cur.U32(&count) || count == NULL_LENGTH) return MSG_ERR_INVALID;
  out->clear();
  for (uint32_t i = 0; i < count; ++i) {
    if (!cur.Counted(&out->emplace_back())) return MSG_ERR_INVALID;
  }
  return MSG_OK;
}

std::string EncodeWord(uint32_t word) {
  std::string out;
  PutU32(&out, word);
  return out;
}

OutFrame EncodeReplyFrame(uint32_t type, const std::vector<Field> &fields, ReplyForm form) {
  const SharedSet *last = fields.empty() ? nullptr : std::get_if<SharedSet>(&fields.back());
  if (form != ReplyForm::kNormal || last == nullptr) return OutFrame{EncodeReply(type, fields, form), nullptr};
  OutFrame frame{EncodeHead(type, std::span<const Field>(fields).first(fields.size() - 1)), *last};
  SetU32(&frame.head, kLengthOffset, static_cast<uint32_t>(frame.size()));
  return frame;
}

std::string EncodeReply(uint32_t type, const std::vector<Field> &fields, ReplyForm form) {
  std::string out(kHeaderSize, '\0');
  uint16_t type16 = static_cast<uint16_t>(type);
  out.append(reinterpret_cast<const char *>(&type16), sizeof type16);
  if (form != ReplyForm::kNoFields) {
    for (const Field &field : fields) PutField(&out, form == ReplyForm::kWrongKinds ? Field(AsText(field)) : field);
  }
  if (form == ReplyForm::kInvalidBody) out += char(kInvalidTag);
  out += char(MDT_END);
  SetU32(&out, 0, form == ReplyForm::kBadMagic ? kBadMagic : kFrameMagic);
  uint32_t length = static_cast<uint32_t>(out.size());
  if (form == ReplyForm::kShortLength) length = kShortLength;
  if (form == ReplyForm::kHugeLength) length = kHugeLength;
  SetU32(&out, kLengthOffset, length);
  if (form == ReplyForm::kCloseMid) out.resize(out.size() / 2);
  return out;
}

bool FormClosesConnection(ReplyForm form) { return form == ReplyForm::kCloseMid || form == ReplyForm::kHugeLength; }

}  // namespace agentsim
