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

// Header (length left open), type and `fields`, without the end mark.
std::string EncodeHead(uint32_t type, std::span<const Field> fields) {
  std::string out(LRPC_HEADER_SIZE, '\0');
  SetU32(&out, 0, LRPC_MAGIC);
  uint16_t type16 = static_cast<uint16_t>(type);
  out.append(reinterpret_cast<const char *>(&type16), sizeof type16);
  for (const Field &field : fields) PutField(&out, field);
  return out;
}

}  // namespace

std::string EncodeWord(uint32_t word) {
  std::string out;
  PutU32(&out, word);
  return out;
}

OutFrame EncodeReplyFrame(uint32_t type, const std::vector<Field> &fields, ReplyForm form) {
  const SharedSet *last = fields.empty() ? nullptr : std::get_if<SharedSet>(&fields.back());
  if (form != ReplyForm::kNormal || last == nullptr)
    return OutFrame{EncodeReply(type, fields, form), nullptr};
  OutFrame frame{EncodeHead(type, std::span<const Field>(fields).first(fields.size() - 1)), *last};
  SetU32(&frame.head, kLengthOffset, static_cast<uint32_t>(frame.size()));
  return frame;
}

std::string EncodeReply(uint32_t type, const std::vector<Field> &fields, ReplyForm form) {
  std::string out(LRPC_HEADER_SIZE, '\0');
  uint16_t type16 = static_cast<uint16_t>(type);
  out.append(reinterpret_cast<const char *>(&type16), sizeof type16);
  if (form != ReplyForm::kNoFields) {
    for (const Field &field : fields)
      PutField(&out, form == ReplyForm::kWrongKinds ? Field(AsText(field)) : field);
  }
  if (form == ReplyForm::kInvalidBody) out += char(kInvalidTag);
  out += char(MDT_END);
  SetU32(&out, 0, form == ReplyForm::kBadMagic ? kBadMagic : LRPC_MAGIC);
  uint32_t length = static_cast<uint32_t>(out.size());
  if (form == ReplyForm::kShortLength) length = kShortLength;
  if (form == ReplyForm::kHugeLength) length = kHugeLength;
  SetU32(&out, kLengthOffset, length);
  if (form == ReplyForm::kCloseMid) out.resize(out.size() / 2);
  return out;
}

bool FormClosesConnection(ReplyForm form) {
  return form == ReplyForm::kCloseMid || form == ReplyForm::kHugeLength;
}

}  // namespace agentsim
