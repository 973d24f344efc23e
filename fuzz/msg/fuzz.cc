// Fuzz target of the message layer. One input is used three ways:
//  - as a received block (header included), wrapped with and without copy,
//    then read field by field with every reader and dumped;
//  - as unchecked bytes of a complete message, dumped;
//  - as a script of appends that builds a request, dumped while building,
//    completed, re-validated and read back value by value.
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "client_common/msg.h"
#include "client_common/msg_impl.h"

namespace {

constexpr uint32_t kHeader = 8;
constexpr size_t kMaxInput = 1 << 20;

void Check(bool ok) {
  if (!ok) abort();
}

std::string DumpText(const Msg *msg) {
  char *text = MsgDump(msg);
  Check(text != nullptr);
  std::string out(text);
  free(text);
  return out;
}

bool EndsWith(const std::string &s, const char *tail) {
  const size_t n = strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// Reads a string set at the cursor in place, then puts the cursor back, so
// that MsgGetStringSet reads the same set after it. Gives the status, the
// items (each up to a NUL byte, as the copies hold it; "\x01null" for a null
// item) and where the cursor ended.
struct InPlace {
  uint32_t status;
  std::vector<std::string> items;
  unsigned char *cursor;
};
InPlace ReadInPlace(Msg *msg) {
  InPlace r{0, {}, nullptr};
  unsigned char *const start = msg->cur;
  MsgSetReader reader;
  uint32_t count = 0;
  r.status = MsgOpenStringSet(msg, &reader, &count);
  Check(r.status != MSG_OK || count == reader.left);
  const char *item = nullptr;
  uint32_t length = 0, next;
  while ((next = MsgNextSetItem(&reader, &item, &length)) == MSG_OK)
    r.items.push_back(item == nullptr ? std::string("\x01null") : std::string(item, strnlen(item, length)));
  Check(next == MSG_ERR_END && reader.left == 0);
  r.cursor = msg->cur;
  msg->cur = start;
  return r;
}

// Reads the next field with the first reader of its kind; MSG_ERR_TYPE when
// no reader takes it (password, blob, key values). A string set is read in
// place first and must give what MsgGetStringSet gives.
uint32_t ReadAny(Msg *msg) {
  uint32_t status = MSG_ERR_TYPE, u = 0, count = 0;
  int32_t i = 0;
  char *s = nullptr;
  char **set = nullptr;
  // A null item does not end a set's array: take its length from the block
  // (validated, so the count is there when the tag is).
  const bool is_set = msg->cur < msg->end && *msg->cur == MDT_STRINGSET;
  if (is_set) memcpy(&count, msg->cur + 1, sizeof count);
  const InPlace in_place = is_set ? ReadInPlace(msg) : InPlace{};
  for (int reader = 0; reader < 5 && status == MSG_ERR_TYPE; ++reader) {
    switch (reader) {
      case 0:
        status = MsgGetBool(msg, &u);
        break;
      case 1:
        status = MsgGetInt(msg, &i);
        break;
      case 2:
        status = MsgGetUInt(msg, &u);
        break;
      case 3:
        status = MsgGetString(msg, &s);
        break;
      default:
        status = MsgGetStringSet(msg, &set);
        break;
    }
  }
  free(s);
  if (is_set) Check(status == in_place.status && msg->cur == in_place.cursor);
  if (set != nullptr) {
    Check(in_place.items.size() == count);
    for (uint32_t k = 0; k < count; ++k) {
      Check(in_place.items[k] == (set[k] != nullptr ? std::string(set[k]) : std::string("\x01null")));
      free(set[k]);
    }
    Check(set[count] == nullptr);
    free(set);
  }
  return status;
}

Msg *Receive(const uint8_t *data, size_t size, int copy, uint32_t *status) {
  if (copy)
    return NewMsgFromBuffer(const_cast<uint8_t *>(data), static_cast<uint32_t>(size), 1, GetMsgTypeTable(),
                            kHeader, status);
  void *owned = malloc(size + 1);
  Check(owned != nullptr);
  if (size != 0) memcpy(owned, data, size);
  Msg *msg = NewMsgFromBuffer(owned, static_cast<uint32_t>(size), 0, GetMsgTypeTable(), kHeader, status);
  if (msg == nullptr) free(owned);
  return msg;
}

// Returns whether the block was accepted.
bool ReceiveAndRead(const uint8_t *data, size_t size, int copy) {
  uint32_t status = 0;
  Msg *msg = Receive(data, size, copy, &status);
  Check((msg != nullptr) == (status == MSG_OK));
  if (msg == nullptr) {
    Check(status == MSG_ERR_INVALID);
    return false;
  }
  // Strings render raw, so an embedded NUL may end the text early: only
  // the dump's success is checked here.
  DumpText(msg);
  for (size_t fields = 0;; ++fields) {
    Check(fields <= size);
    status = ReadAny(msg);
    if (status != MSG_OK) {
      Check(status == MSG_ERR_TYPE || status == MSG_ERR_END);
      break;
    }
  }
  MsgFree(msg);
  return true;
}

void DumpUnchecked(const uint8_t *data, size_t size) {
  Msg *msg = static_cast<Msg *>(calloc(1, sizeof(Msg)));
  auto *bytes = static_cast<unsigned char *>(malloc(size + 1));
  Check(msg != nullptr && bytes != nullptr);
  if (size != 0) memcpy(bytes, data, size);
  msg->state = MSG_COMPLETE;
  msg->table = GetMsgTypeTable();
  msg->header_size = kHeader;
  msg->start = msg->cur = bytes;
  msg->end = bytes + size;
  DumpText(msg);
  MsgFree(msg);
}

struct Field {
  uint8_t op;
  uint32_t number;
  std::string text;
};

// Turns the input into appends: one op byte, then its value.
std::vector<Field> Script(const uint8_t *data, size_t size) {
  std::vector<Field> fields;
  size_t at = 2;
  while (at < size) {
    Field f{static_cast<uint8_t>(data[at++] % 5), 0, {}};
    for (int i = 0; i < 4 && at < size; ++i) f.number = (f.number << 8) | data[at++];
    if (f.op == 3) {
      const size_t length = f.number % 64 < size - at ? f.number % 64 : size - at;
      f.text.assign(reinterpret_cast<const char *>(data + at), length);
      f.text = f.text.c_str(); /* what strlen will see */
      at += length;
    }
    fields.push_back(f);
  }
  return fields;
}

uint32_t Append(Msg *msg, const Field &f) {
  switch (f.op) {
    case 0:
      return MsgAddBool(msg, static_cast<int>(f.number));
    case 1:
      return MsgAddInt(msg, static_cast<int32_t>(f.number));
    case 2:
      return MsgAddUInt(msg, f.number);
    case 3:
      return MsgAddString(msg, f.text.c_str());
    default:
      return MsgAddString(msg, nullptr);
  }
}

void ReadBack(Msg *msg, const Field &f) {
  uint32_t u = 0;
  int32_t i = 0;
  char *s = reinterpret_cast<char *>(1);
  switch (f.op) {
    case 0:
      Check(MsgGetBool(msg, &u) == MSG_OK && u == (f.number != 0));
      break;
    case 1:
      Check(MsgGetInt(msg, &i) == MSG_OK && i == static_cast<int32_t>(f.number));
      break;
    case 2:
      Check(MsgGetUInt(msg, &u) == MSG_OK && u == f.number);
      break;
    case 3:
      Check(MsgGetString(msg, &s) == MSG_OK && s != nullptr && f.text == s);
      free(s);
      break;
    default:
      Check(MsgGetString(msg, &s) == MSG_OK && s == nullptr);
      break;
  }
}

void BuildFrom(const uint8_t *data, size_t size) {
  if (size < 2) return;
  const MsgTypeTable *table = GetMsgTypeTable();
  const MsgTypeEntry &row = table->rows[(data[0] | data[1] << 8) % table->count];
  Msg *msg = NewMsg(row.id, table, kHeader, nullptr);
  Check(msg != nullptr);
  const std::vector<Field> fields = Script(data, size);
  for (const Field &f : fields) Check(Append(msg, f) == MSG_OK);
  const std::string building = DumpText(msg);
  Check(building.rfind(row.name, 0) == 0 && EndsWith(building, "<incomplete>"));
  Check(MsgComplete(msg) == MSG_OK);
  uint32_t length = 0;
  unsigned char *block = MsgGetBuffer(msg, &length, nullptr);
  Check(block != nullptr && DumpText(msg) == building.substr(0, building.size() - 12) + "]");
  uint32_t status = 1;
  Msg *copy = NewMsgFromBuffer(block, length, 1, table, kHeader, &status);
  Check(copy != nullptr && status == MSG_OK);
  for (const Field &f : fields) ReadBack(copy, f);
  Check(MsgGetBool(copy, nullptr) == MSG_ERR_END);
  MsgFree(copy);
  MsgFree(msg);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > kMaxInput) return 0;
  const bool copied = ReceiveAndRead(data, size, 1);
  Check(ReceiveAndRead(data, size, 0) == copied);
  DumpUnchecked(data, size);
  BuildFrom(data, size);
  return 0;
}
