// Helpers of the message tests: raw block construction, the block notation
// of testdata/blocks.txt and owning handles.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "client_common/msg.h"
#include "client_common/msg_impl.h"
#include "client_common/msg_ptr.h"
#include "support/wire.h"

namespace msgtest {

constexpr uint32_t kHeader = 8;

using vx::MsgPtr;

using vxtest::Block, vxtest::Bool, vxtest::Int, vxtest::Item, vxtest::NullItem, vxtest::Set, vxtest::Str,
    vxtest::U32, vxtest::U8, vxtest::UInt;

// A received message over a copy of `block`, or over a malloc'd block it owns.
inline MsgPtr Receive(const std::string &block, int copy, uint32_t *status) {
  void *bytes =
      copy ? const_cast<char *>(block.data()) : memcpy(malloc(block.size() + 1), block.data(), block.size());
  Msg *msg =
      NewMsgFromBuffer(bytes, static_cast<uint32_t>(block.size()), copy, GetMsgTypeTable(), kHeader, status);
  if (msg == nullptr && !copy) free(bytes);
  return MsgPtr(msg);
}

// Whether every status, taken in order, is MSG_OK.
inline bool AllOk(std::initializer_list<uint32_t> statuses) {
  for (uint32_t s : statuses)
    if (s != MSG_OK) return false;
  return true;
}

// The block of a complete message, header included.
inline std::string Bytes(const Msg *msg) {
  uint32_t length = 0;
  const unsigned char *p = MsgGetBuffer(msg, &length, nullptr);
  return p != nullptr ? std::string(reinterpret_cast<const char *>(p), length) : std::string();
}

// `text` with its escapes \xHH decoded.
inline std::string Unescape(const std::string &text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool hex = text.compare(i, 2, "\\x") == 0;
    out += hex ? static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16)) : text[i];
    i += hex ? 3 : 0;
  }
  return out;
}

// Appends the bytes of `text` in the block notation of testdata/blocks.txt;
// false when a word is not of it.
inline bool ParseBlock(const std::string &text, std::string *out) {
  static const std::vector<std::string> kTags = {"END",      "BOOL", "INT",       "UINT",     "STRING",
                                                 "PASSWORD", "BLOB", "STRINGSET", "KEYVALUES"};
  std::istringstream words(text);
  for (std::string w; words >> w;) {
    const auto tag = std::find(kTags.begin(), kTags.end(), w);
    const std::string inside = Unescape(w.substr(1, w.size() - 2)), kind = w.substr(0, w.find(':'));
    const size_t at = std::min(kind.size() + 1, w.size());
    size_t used = 0;
    const long long n = isdigit(w[at]) || w[at] == '-' ? std::stoll(w.substr(at), &used, 0) : 0;
    if (tag != kTags.end()) {
      *out += U8(static_cast<uint8_t>(tag - kTags.begin()));
    } else if (w == "null") {
      *out += NullItem();
    } else if (w.size() >= 2 && (w[0] == '"' || w[0] == '\'') && w.back() == w[0]) {
      *out += w[0] == '"' ? Item(inside) : inside;
    } else if (used == 0 || at + used != w.size()) {
      return false;
    } else if (kind == "u8" || kind == "u32") {
      *out += kind == "u8" ? U8(static_cast<uint8_t>(n)) : U32(static_cast<uint32_t>(n));
    } else if (kind == "msg" || kind == "zeros") {
      *out += kind == "msg" ? Block(static_cast<uint16_t>(n), "", false)
                            : std::string(static_cast<size_t>(n), '\0');
    } else {
      return false;
    }
  }
  return true;
}

// One line of testdata/blocks.txt.
struct BlockRow {
  std::string line, block, dump;
  bool valid;
};

// The rows of testdata/blocks.txt; a malformed line fails the test.
inline std::vector<BlockRow> BlockRows() {
  std::vector<BlockRow> rows;
  std::ifstream in(MSG_TESTDATA "/blocks.txt");
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    const size_t blank = line.find(' '), arrow = line.find(" => ");
    BlockRow row{line, "", arrow != std::string::npos ? Unescape(line.substr(arrow + 4)) : "",
                 line.substr(0, blank) == "ok"};
    const bool ok = (row.valid || line.substr(0, blank) == "bad") && arrow != std::string::npos &&
                    ParseBlock(line.substr(blank, arrow - blank), &row.block);
    EXPECT_TRUE(ok) << "malformed: " << line;
    if (ok) rows.push_back(row);
  }
  EXPECT_GE(rows.size(), 40u) << MSG_TESTDATA "/blocks.txt";
  return rows;
}

}  // namespace msgtest
