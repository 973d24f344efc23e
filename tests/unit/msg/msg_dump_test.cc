// The one-line dump of messages, well-formed or not (testdata/blocks.txt).
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "msg_test_util.h"

using namespace msgtest;

namespace {

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

TEST(MsgDump, RendersEveryFieldKindAndMarker) {
  std::vector<BlockRow> rows = BlockRows();
  BlockRow blob{"a rendering longer than any first block",
                Block(MSGTYPE_CONTROL_LOG2, U8(MDT_BLOB) + Item(std::string(1000, 'Z'))),
                "ControlLog2[BLOB:[1000](5a", true};
  while (blob.dump.size() < 3023) blob.dump += " 5a";
  rows.push_back(blob);
  rows.back().dump += ")]";
  for (const BlockRow &row : rows) {
    EXPECT_EQ(DumpUnchecked(row.block), row.dump) << row.line;
    // Bounded to any length, the dump is the whole dump's prefix.
    size_t n = 0;
    while (n <= row.dump.size() + 1 && DumpUnchecked(row.block, n) == row.dump.substr(0, n)) ++n;
    EXPECT_EQ(n, row.dump.size() + 2)
        << row.line << ": bounded to " << n << ": " << DumpUnchecked(row.block, n);
  }
}

// A message announcing 64 million strings (256 MB) dumped to the room of a
// log record: the dump stops where the record would cut it, instead of
// rendering and walking the whole message first. Only the first page of
// the message is readable, so a dump that walks on crashes.
TEST(MsgDump, BoundedDumpOfAHugeMessageStopsAtItsBound) {
  constexpr uint32_t kItems = 64u << 20;
  const std::string head = Block(MSGTYPE_CONTROL_LOG2, U8(MDT_STRINGSET) + U32(kItems), false);
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

TEST(MsgDump, BuildingAndNullMessages) {
  EXPECT_EQ(Dump(nullptr), "Msg=0");
  MsgPtr msg(NewMsg(MSGTYPE_RELOAD_LOCAL_ACCT, GetMsgTypeTable(), kHeader, nullptr));
  EXPECT_EQ(Dump(msg.get()), "ControlReloadLocalAccount[<incomplete>");
  ASSERT_EQ(MsgAddBool(msg.get(), 1), MSG_OK);
  EXPECT_EQ(Dump(msg.get()), "ControlReloadLocalAccount[True<incomplete>");
  ASSERT_TRUE(AllOk({MsgAddString(msg.get(), "x"), MsgComplete(msg.get()), MsgGetBool(msg.get(), nullptr)}));
  EXPECT_EQ(Dump(msg.get()), "ControlReloadLocalAccount[True,\"x\"]") << "reading does not change the dump";
}

}  // namespace
