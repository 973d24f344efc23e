// A string set encoded once, when the data directory is read, so that a list
// of a million entries is answered by sending bytes that already exist
// rather than by copying and encoding every entry for every request.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace agentsim {

class EncodedSet {
 public:
  // The set as the last field of a reply: MDT_STRINGSET tag, count, the
  // counted items, then the message's end mark.
  const std::string &wire() const { return wire_; }
  // The field alone, without the end mark.
  std::string_view field() const { return std::string_view(wire_).substr(0, wire_.size() - 1); }
  uint32_t count() const { return count_; }
  // The items, decoded again (for the replies that damage the set).
  std::vector<std::string> Entries() const;

 private:
  friend class EncodedSetBuilder;
  EncodedSet() = default;
  std::string wire_;
  uint32_t count_ = 0;
};

// Builds one EncodedSet item by item; Finish hands it out once.
class EncodedSetBuilder {
 public:
  // Room is made for `count` items holding `text_bytes` in all, so that a
  // large set is written once, without growing.
  EncodedSetBuilder(size_t count, size_t text_bytes);
  // Appends an item: `entry` followed by `suffix`.
  void Add(std::string_view entry, std::string_view suffix = {});
  std::shared_ptr<const EncodedSet> Finish();

 private:
  std::unique_ptr<EncodedSet> set_;
};

// Bytes to send: `head`, then the bytes of `tail` when there is one. A
// shared set ending an undamaged reply is sent from where it is kept.
struct OutFrame {
  std::string head;
  std::shared_ptr<const EncodedSet> tail;

  size_t size() const { return head.size() + (tail ? tail->wire().size() : 0); }
};

}  // namespace agentsim
