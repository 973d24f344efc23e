#include "encoded_set.h"

#include <cstring>

#include "client_common/msg.h"

namespace agentsim {
namespace {

constexpr size_t kCountOffset = 1;  // after the tag
constexpr size_t kItemsOffset = kCountOffset + sizeof(uint32_t);

void PutU32(std::string *out, uint32_t v) { out->append(reinterpret_cast<const char *>(&v), sizeof v); }

uint32_t GetU32(const char *p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

}  // namespace

std::vector<std::string> EncodedSet::Entries() const {
  std::vector<std::string> entries;
  entries.reserve(count_);
  const std::string_view items = field().substr(kItemsOffset);
  for (size_t at = 0; at < items.size();) {
    const uint32_t length = GetU32(items.data() + at);
    entries.emplace_back(items.substr(at + sizeof length, length));
    at += sizeof length + length;
  }
  return entries;
}

EncodedSetBuilder::EncodedSetBuilder(size_t count, size_t text_bytes) : set_(new EncodedSet) {
  set_->wire_.reserve(kItemsOffset + count * sizeof(uint32_t) + text_bytes + 1);
  set_->wire_ += char(MDT_STRINGSET);
  PutU32(&set_->wire_, 0);
}

void EncodedSetBuilder::Add(std::string_view entry, std::string_view suffix) {
  PutU32(&set_->wire_, static_cast<uint32_t>(entry.size() + suffix.size()));
  set_->wire_.append(entry);
  set_->wire_.append(suffix);
  ++set_->count_;
}

std::shared_ptr<const EncodedSet> EncodedSetBuilder::Finish() {
  std::memcpy(set_->wire_.data() + kCountOffset, &set_->count_, sizeof set_->count_);
  set_->wire_ += char(MDT_END);
  return std::shared_ptr<const EncodedSet>(set_.release());
}

}  // namespace agentsim
