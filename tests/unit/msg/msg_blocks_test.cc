// Received blocks (testdata/blocks.txt): NewMsgFromBuffer over the whole
// block, and the body check of a reply that arrives in parts, wherever the
// parts end, give one verdict; a received message has the type of its
// bytes, the flags of its type's row, the dump of its bytes and fields that
// only the reader of their kind takes. The one-line dump copes with any
// bytes, well-formed or not.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "client_common/msg_block.h"
#include "client_common/msg_types.h"
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

// A complete message over `size` bytes at `start`, bypassing validation.
Msg Unchecked(unsigned char *start, size_t size) {
  Msg msg{};
  msg.state = MSG_COMPLETE;
  msg.table = GetMsgTypeTable();
  msg.header_size = kHeader;
  msg.start = start;
  msg.end = start + size;
  msg.cur = start + std::min<size_t>(size, kHeader + 2);
  return msg;
}

// The dump of a complete message over `block`, unvalidated. The bytes sit
// in a block of their exact size, so that a read past them shows.
std::string DumpUnchecked(const std::string &block, size_t max = SIZE_MAX) {
  std::vector<unsigned char> bytes(block.begin(), block.end());
  const Msg msg = Unchecked(bytes.data(), bytes.size());
  return Dump(&msg, max);
}

// Runs the check over `body` arriving in parts that end at `cuts` (ascending)
// and at its end; true when the body is valid.
bool CheckedInParts(const std::string &body, std::initializer_list<size_t> cuts) {
  const auto *bytes = reinterpret_cast<const unsigned char *>(body.data());
  vx_msg::BodyCheck check;
  bool ok = true;
  for (size_t cut : cuts) {
    if (ok) ok = vx_msg::CheckBodyPart(&check, bytes, cut, body.size());
    EXPECT_LE(check.done, cut);
  }
  if (ok) ok = vx_msg::CheckBodyPart(&check, bytes, body.size(), body.size());
  return ok && check.state == vx_msg::BodyCheck::kEnd;
}

// The field readers, in the order of the tags they take (bool, int, uint,
// string, then string set).
uint32_t (*const kReaders[])(Msg *) = {
    [](Msg *m) { return MsgGetBool(m, nullptr); }, [](Msg *m) { return MsgGetInt(m, nullptr); },
    [](Msg *m) { return MsgGetUInt(m, nullptr); }, [](Msg *m) { return MsgGetString(m, nullptr); },
    [](Msg *m) { return MsgGetStringSet(m, nullptr); }};

TEST(MsgBlocks, ValidationAndDumpOfEveryBlock) {
  const std::vector<vxtest::Row> rows = vxtest::ReadTable(MSG_TESTDATA "/blocks.txt");
  EXPECT_GE(rows.size(), 40u);
  for (const vxtest::Row &r : rows) {
    SCOPED_TRACE(r.where);
    const struct {
      std::string block, dump;
      bool valid;
    } row{BlockOf(r, 1), r.results.empty() ? "" : r.results[0], r[0] == "ok"};
    EXPECT_TRUE((row.valid || r[0] == "bad") && r.results.size() == 1);
    for (int copy : {0, 1}) {
      std::string bytes = row.block;
      uint32_t status = 12345, type = 0, oneway = 9;
      uint16_t written = 0;
      MsgPtr msg = Receive(bytes, copy, &status);
      bytes.assign(bytes.size(), '\x7f');  // a copy is the message's own
      EXPECT_EQ(msg != nullptr, row.valid) << "copy=" << copy;
      EXPECT_EQ(status, row.valid ? MSG_OK : MSG_ERR_INVALID) << "copy=" << copy;
      if (msg == nullptr) continue;
      EXPECT_EQ(Dump(msg.get()), row.dump);
      EXPECT_TRUE(AllOk({MsgGetType(msg.get(), &type), MsgIsOneWay(msg.get(), &oneway)}));
      memcpy(&written, row.block.data() + kHeader, sizeof written);
      EXPECT_EQ(type, written);
      EXPECT_EQ(oneway, static_cast<uint32_t>(MsgTypeIsOneWay(GetMsgTypeTable(), type)))
          << "flags of the table";
    }
    // Field by field, a reader of the wrong kind gives 202 and leaves the
    // field for the right one (up to a kind no reader takes); at the end
    // mark every reader gives 203.
    MsgPtr msg = row.valid ? Receive(row.block, 1, nullptr) : nullptr;
    for (int right = 0; msg != nullptr && right >= 0;) {
      const int tag = *msg->cur;
      right = tag >= MDT_BOOL && tag <= MDT_STRING ? tag - 1 : tag == MDT_STRINGSET ? 4 : -1;
      for (int k = 0; k < 5; ++k)
        EXPECT_TRUE(k == right || kReaders[k](msg.get()) == (tag == MDT_END ? MSG_ERR_END : MSG_ERR_TYPE))
            << k;
      EXPECT_TRUE(right < 0 || kReaders[right](msg.get()) == MSG_OK) << right;
    }
    const std::string body = row.block.size() >= kHeader ? row.block.substr(kHeader) : std::string();
    for (size_t cut = 0; row.block.size() >= kHeader && cut <= body.size(); ++cut) {
      EXPECT_EQ(CheckedInParts(body, {cut}), row.valid) << "two parts, cut at " << cut;
      EXPECT_EQ(CheckedInParts(body, {cut / 3, cut / 2, cut}), row.valid)
          << "four parts, last cut at " << cut;
    }
    EXPECT_EQ(DumpUnchecked(row.block), row.dump);
    // Bounded to any length, the dump is the whole dump's prefix.
    size_t n = 0;
    while (n <= row.dump.size() + 1 && DumpUnchecked(row.block, n) == row.dump.substr(0, n)) ++n;
    EXPECT_EQ(n, row.dump.size() + 2) << "bounded to " << n << ": " << DumpUnchecked(row.block, n);
  }
  uint32_t status = 0;
  EXPECT_EQ(NewMsgFromBuffer(nullptr, 11, 1, GetMsgTypeTable(), kHeader, &status), nullptr);
  EXPECT_EQ(status, MSG_ERR_INVALID);
}

// A message announcing 64 million strings (256 MB) dumped to the room of a
// log record: the dump stops where the record would cut it, instead of
// rendering and walking the whole message first. Only the first page of
// the message is readable, so a dump that walks on crashes. A message
// being built renders what it holds so far; reading does not change the
// dump.
TEST(MsgDump, HugeBuildingAndNullMessages) {
  constexpr uint32_t kItems = 64u << 20;
  const std::string head = Block(MSGTYPE_CONTROL_LOG2, U8(MDT_STRINGSET) + U32(kItems), false);
  const size_t size = head.size() + size_t{kItems} * 4, page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void *map = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  ASSERT_EQ(mprotect(map, page, PROT_READ | PROT_WRITE), 0);
  memcpy(map, head.data(), head.size());  // the items of the first page: empty strings
  const Msg huge = Unchecked(static_cast<unsigned char *>(map), size);
  std::string expected = "ControlLog2[ss(";
  while (expected.size() < 510) expected += "\"\",";
  EXPECT_EQ(Dump(&huge, 510), expected.substr(0, 510));
  munmap(map, size);
  EXPECT_EQ(Dump(nullptr), "Msg=0");
  MsgPtr msg(NewMsg(MSGTYPE_RELOAD_LOCAL_ACCT, GetMsgTypeTable(), kHeader, nullptr));
  EXPECT_EQ(Dump(msg.get()), "ControlReloadLocalAccount[<incomplete>");
  ASSERT_EQ(MsgAddBool(msg.get(), 1), MSG_OK);
  EXPECT_EQ(Dump(msg.get()), "ControlReloadLocalAccount[True<incomplete>");
  ASSERT_TRUE(AllOk({MsgAddString(msg.get(), "x"), MsgComplete(msg.get()), MsgGetBool(msg.get(), nullptr)}));
  EXPECT_EQ(Dump(msg.get()), "ControlReloadLocalAccount[True,\"x\"]") << "reading does not change the dump";
}

}  // namespace
