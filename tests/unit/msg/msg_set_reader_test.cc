// The in-place string-set reader: the same items, statuses and cursor as
// MsgGetStringSet, without a copy.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "msg_test_util.h"

using namespace msgtest;
using namespace std::string_literals;

namespace {

constexpr uint16_t kReply = MSGTYPE_LIST_LOCAL_ACCT;
using Items = std::vector<std::optional<std::string>>;  // nullopt: a null item

struct Read {
  uint32_t open = 0, next = 0;  // status of the open and of the read that ended the items
  Items items;
  ptrdiff_t cursor = 0;  // offset of the message's cursor afterwards
};

Read ReadInPlace(Msg *msg) {
  Read r;
  MsgSetReader reader;
  uint32_t count = 99;
  r.open = MsgOpenStringSet(msg, &reader, &count);
  EXPECT_EQ(count, r.open == MSG_OK ? reader.left : 0u);
  const char *item = "x";
  uint32_t length = 7;
  while ((r.next = MsgNextSetItem(&reader, &item, &length)) == MSG_OK)
    r.items.push_back(item != nullptr ? std::optional<std::string>(std::string(item, length)) : std::nullopt);
  EXPECT_TRUE(item == nullptr && length == 0 && reader.left == 0) << "after the last item";
  r.cursor = msg->cur - msg->start;
  return r;
}

// The set as copies; `n` is its count (a null item ends nothing here).
Read ReadCopies(Msg *msg, size_t n) {
  Read r;
  char **set = nullptr;
  r.open = MsgGetStringSet(msg, &set);
  EXPECT_TRUE(r.open == MSG_OK ? set != nullptr && set[n] == nullptr : set == nullptr) << "set ends after n";
  for (size_t i = 0; set != nullptr && i < n; ++i) {
    r.items.push_back(set[i] != nullptr ? std::optional<std::string>(set[i]) : std::nullopt);
    free(set[i]);
  }
  free(set);
  r.cursor = msg->cur - msg->start;
  return r;
}

// Every case is read both ways on its own copy of the block; `patch` writes
// a 32-bit value at an offset of the complete block, as a caller may through
// MsgGetBuffer after validation.
TEST(MsgSetReader, GivesWhatMsgGetStringSetGivesWithoutCopies) {
  const struct {
    const char *name;
    std::string fields;
    Items items;
    uint32_t open;  // the items always end with 203, as an empty reader does
    size_t patch_at = 0;
    uint32_t patch = 0;
    bool then_bool = true;  // a BOOL field follows
  } cases[] = {
      {"null and empty items", Set({"a", nullptr, ""}), {"a", std::nullopt, ""}, MSG_OK},
      {"NUL bytes inside an item", Set(std::vector<std::string>{"x\0y"s}), {"x\0y"s}, MSG_OK},
      {"empty set", Set({}), {}, MSG_OK},
      {"wrong kind", Int(1), {}, MSG_ERR_TYPE},
      {"at the end mark", "", {}, MSG_ERR_END, 0, 0, false},
      {"count NULL_LENGTH", Set({}), {}, MSG_ERR_INVALID, kHeader + 3, NULL_LENGTH},
      {"count beyond the block", Set({"a"}), {}, MSG_ERR_END, kHeader + 3, 0x40000000u},
      {"truncated item", Set({"a", "b"}), {"a"}, MSG_OK, kHeader + 12, 0xFFFFFFF0u},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string block = Block(kReply, c.fields + (c.then_bool ? Bool(1) : ""));
    MsgPtr in_place = Receive(block, 1, nullptr), copies = Receive(block, 1, nullptr);
    ASSERT_TRUE(in_place && copies);
    if (c.patch_at != 0) {
      memcpy(MsgGetBuffer(in_place.get(), nullptr, nullptr) + c.patch_at, &c.patch, 4);
      memcpy(MsgGetBuffer(copies.get(), nullptr, nullptr) + c.patch_at, &c.patch, 4);
    }
    const Read got = ReadInPlace(in_place.get()), want = ReadCopies(copies.get(), c.items.size());
    EXPECT_EQ(got.open, c.open);
    EXPECT_EQ(got.next, MSG_ERR_END);
    EXPECT_EQ(got.items, c.items);
    EXPECT_EQ(got.cursor, want.cursor) << "the cursor ends where MsgGetStringSet leaves it";
    if (c.open == MSG_OK && c.patch_at == 0) {
      Items as_c_strings = c.items;  // the copies are C strings: an item ends at a NUL byte
      for (auto &item : as_c_strings)
        if (item) item = item->c_str();
      EXPECT_EQ(want.items, as_c_strings);
      uint32_t b = 0;
      EXPECT_EQ(MsgGetBool(in_place.get(), &b), MSG_OK) << "the next field follows the set";
    }
    EXPECT_EQ(want.open, c.open == MSG_OK && c.patch_at != 0 ? uint32_t{MSG_ERR_END} : c.open)
        << "copies fail at once";
  }
}

TEST(MsgSetReader, RefusesWhatIsNotACompleteMessage) {
  MsgPtr building(NewMsg(kReply, GetMsgTypeTable(), kHeader, nullptr));
  MsgSetReader reader{building.get(), 5};
  uint32_t count = 3;
  EXPECT_EQ(MsgOpenStringSet(building.get(), &reader, &count), MSG_ERR_INVALID);
  EXPECT_TRUE(reader.msg == nullptr && reader.left == 0 && count == 0);
  EXPECT_EQ(MsgOpenStringSet(nullptr, nullptr, nullptr), MSG_ERR_INVALID);
  reader = MsgSetReader{building.get(), 1};
  EXPECT_EQ(MsgNextSetItem(&reader, nullptr, nullptr), MSG_ERR_INVALID) << "message still building";
  EXPECT_EQ(MsgNextSetItem(nullptr, nullptr, nullptr), MSG_ERR_INVALID);
  MsgSetReader empty{};
  EXPECT_EQ(MsgNextSetItem(&empty, nullptr, nullptr), MSG_ERR_END);
}

// A null reader skips the set like a null out-location of MsgGetStringSet.
TEST(MsgSetReader, NullReaderSkipsTheSet) {
  MsgPtr msg = Receive(Block(kReply, Set({"a", nullptr}) + Set({"b"}) + Int(5)), 1, nullptr);
  uint32_t count = 0;
  int32_t i = 0;
  EXPECT_EQ(MsgOpenStringSet(msg.get(), nullptr, &count), MSG_OK);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(MsgGetStringSet(msg.get(), nullptr), MSG_OK);
  EXPECT_EQ(MsgGetInt(msg.get(), &i), MSG_OK);
  EXPECT_EQ(i, 5);
}

}  // namespace
