// The one-line dump of messages, well-formed or not.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "msg_test_util.h"

using namespace msgtest;

namespace {

constexpr uint16_t kLog2 = MSGTYPE_CONTROL_LOG2;

// MsgDump's text, or with `max` the bounded dump's.
std::string Dump(const Msg *msg, size_t max = SIZE_MAX) {
  char *text = max == SIZE_MAX ? MsgDump(msg) : MsgDumpBounded(msg, max);
  std::string out = text != nullptr ? text : "<null>";
  free(text);
  return out;
}

// The dump of a complete message over any bytes, bypassing validation, to
// show how it copes with bytes that validation would have refused. The
// bytes sit in a block of their exact size, so that a read past them shows.
std::string DumpUnchecked(const std::string &block, size_t max = SIZE_MAX) {
  std::vector<unsigned char> bytes(block.begin(), block.end());
  Msg msg{};
  msg.state = MSG_COMPLETE;
  msg.table = GetMsgTypeTable();
  msg.header_size = kHeader;
  msg.start = bytes.data();
  msg.end = msg.start + block.size();
  msg.cur = msg.start + std::min<size_t>(block.size(), kHeader + 2);
  return Dump(&msg, max);
}

std::string Pw(const std::string &item) { return U8(MDT_PASSWORD) + item; }
std::string Blob(const std::string &item) { return U8(MDT_BLOB) + item; }
std::string Kv(const std::string &pairs, uint32_t count) { return U8(MDT_KEYVALUES) + U32(count) + pairs; }

TEST(MsgDump, RendersEveryFieldKindAndMarker) {
  std::string long_blob, long_hex;  // a rendering longer than any first block
  for (int i = 0; i < 1000; ++i) {
    long_blob += static_cast<char>(i * 7);
    char two[4];
    long_hex += std::string(two, snprintf(two, sizeof two, i ? " %02x" : "%02x", (i * 7) & 0xFF));
  }
  long_hex = "ControlLog2[BLOB:[1000](" + long_hex + ")]";
  // Each block and its dump.
  const std::pair<std::string, std::string> cases[] = {
      {Block(MSGTYPE_RELOAD_LOCAL_ACCT, Bool(1) + Bool(0)), "ControlReloadLocalAccount[True,False]"},
      {Block(MSGTYPE_GET_LOCAL_ACCT_MGMT, ""), "ControlGetLocalAcctMgmtStatus[]"},
      {Block(MSGTYPE_DUMP_LOCAL_ACCT, Str("root")), "ControlDumpLocalAccount[\"root\"]"},
      {Block(kLog2, Str("a\"b\nc")), "ControlLog2[\"a\"b\nc\"]"},
      {Block(kLog2, U8(MDT_STRING) + NullItem() + Str("")), "ControlLog2[STRING:0,\"\"]"},
      {Block(kLog2, Blob(Item(std::string("\x01\xff", 2)))), "ControlLog2[BLOB:[2](01 ff)]"},
      {Block(kLog2, Blob(NullItem()) + Blob(Item(""))), "ControlLog2[BLOB:0,BLOB:[0]()]"},
      {Block(kLog2, Blob(Item(long_blob))), long_hex},
      {Block(kLog2, Pw(Item("secret")) + Pw(NullItem())), "ControlLog2[(password),PASSWORD:0]"},
      {Block(kLog2, Int(-7) + Int(INT32_MIN) + UInt(5) + UInt(UINT32_MAX)),
       "ControlLog2[-7,-2147483648,u5,u4294967295]"},
      {Block(kLog2, Bool(2)), "ControlLog2[True]"},
      {Block(kLog2, Set({"a", "b"}) + Set({}) + Set({nullptr})),
       "ControlLog2[ss(\"a\",\"b\"),ss(),ss(STRING:0)]"},
      {Block(kLog2, Kv(Item("k") + NullItem() + Item("x") + Item("y"), 2)),
       "ControlLog2[kv((\"k\",STRING:0),(\"x\",\"y\"))]"},
      {Block(kLog2, Kv("", 0)), "ControlLog2[kv()]"},
      {Block(4242, Bool(0)), "4242[False]"},
      {Block(kLog2, "") + "junk", "ControlLog2[]"},
      {std::string(kHeader, '\0'), "<msg-type-missing>"},
      {std::string(kHeader, '\0') + "\x6b", "<msg-type-missing>"},
      {std::string(3, '\0'), "<msg-type-missing>"},
      {Block(kLog2, Bool(1) + U8(9) + Bool(1)), "ControlLog2[True<unknown MsgType>"},
      {Block(kLog2, U8(9)), "ControlLog2[<unknown MsgType>"},
      {Block(kLog2, Bool(1), false), "ControlLog2[True<incomplete>"},
      {Block(kLog2, "", false), "ControlLog2[<incomplete>"},
      {Block(kLog2, U8(MDT_BOOL), false), "ControlLog2[<incomplete>"},
      {Block(kLog2, Bool(0) + U8(MDT_INT) + "\x01\x02", false), "ControlLog2[False,<incomplete>"},
      {Block(kLog2, U8(MDT_STRING) + U32(5) + "ab", false), "ControlLog2[<incomplete>"},
      {Block(kLog2, U8(MDT_STRING) + "\x05", false), "ControlLog2[<incomplete>"},
      {Block(kLog2, U8(MDT_STRINGSET) + U32(3) + Item("a"), false), "ControlLog2[ss(\"a\",<incomplete>"},
      {Block(kLog2, U8(MDT_STRINGSET) + "\x01", false), "ControlLog2[<incomplete>"},
      {Block(kLog2, Kv(Item("k"), 1), false), "ControlLog2[kv((\"k\",<incomplete>"},
      {Block(kLog2, Blob(U32(4) + "\x01"), false), "ControlLog2[<incomplete>"},
      {Block(kLog2, U8(MDT_STRINGSET) + U32(NULL_LENGTH), false), "ControlLog2[ss(<incomplete>"},
  };
  for (const auto &[block, text] : cases) {
    EXPECT_EQ(DumpUnchecked(block), text);
    // Bounded to any length, the dump is the whole dump's prefix.
    size_t n = 0;
    while (n <= text.size() + 1 && DumpUnchecked(block, n) == text.substr(0, n)) ++n;
    EXPECT_EQ(n, text.size() + 2) << "bounded to " << n << " characters: " << DumpUnchecked(block, n);
  }
}

// A message announcing 64 million strings (256 MB) dumped to the room of a
// log record: the dump stops where the record would cut it, instead of
// rendering and walking the whole message first. Only the first page of
// the message is readable, so a dump that walks on crashes.
TEST(MsgDump, BoundedDumpOfAHugeMessageStopsAtItsBound) {
  constexpr uint32_t kItems = 64u << 20;
  const std::string head = Block(kLog2, U8(MDT_STRINGSET) + U32(kItems), false);
  const size_t size = head.size() + size_t{kItems} * 4, page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void *map = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  ASSERT_EQ(mprotect(map, page, PROT_READ | PROT_WRITE), 0);
  memcpy(map, head.data(), head.size());  // the items of the first page: empty strings
  Msg msg{};
  msg.state = MSG_COMPLETE;
  msg.table = GetMsgTypeTable();
  msg.header_size = kHeader;
  msg.start = msg.cur = static_cast<unsigned char *>(map);
  msg.end = msg.start + size;
  std::string expected = "ControlLog2[ss(";
  while (expected.size() < 510) expected += "\"\",";
  EXPECT_EQ(Dump(&msg, 510), expected.substr(0, 510));
  munmap(map, size);
}

TEST(MsgDump, BuildingReceivedAndNullMessages) {
  EXPECT_EQ(Dump(nullptr), "Msg=0");
  MsgPtr msg(NewMsg(MSGTYPE_RELOAD_LOCAL_ACCT, GetMsgTypeTable(), kHeader, nullptr));
  EXPECT_EQ(Dump(msg.get()), "ControlReloadLocalAccount[<incomplete>");
  ASSERT_EQ(MsgAddBool(msg.get(), 1), MSG_OK);
  EXPECT_EQ(Dump(msg.get()), "ControlReloadLocalAccount[True<incomplete>");
  ASSERT_TRUE(AllOk({MsgAddString(msg.get(), "x"), MsgComplete(msg.get()), MsgGetBool(msg.get(), nullptr)}));
  EXPECT_EQ(Dump(msg.get()), "ControlReloadLocalAccount[True,\"x\"]") << "reading does not change the dump";
  std::string block = Block(MSGTYPE_LIST_LOCAL_ACCT, Int(0) + Set({"root:x:0:0::/root:/bin/sh"}));
  block.replace(0, 4, U32(0xABCD8012u));  // a header as received
  msg = Receive(block, 0, nullptr);
  EXPECT_EQ(Dump(msg.get()), "ControlListLocalAccount[0,ss(\"root:x:0:0::/root:/bin/sh\")]");
}

}  // namespace
