#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "client_common/log_buffer.h"
#include "client_common/lrpc2.h"
#include "client_common/msg_impl.h"
#include "props/props.h"

#include "scenarios.h"

namespace allocfail {
namespace {

std::string U32(uint32_t v) { return std::string(reinterpret_cast<const char *>(&v), 4); }
std::string Tag(int tag) { return std::string(1, static_cast<char>(tag)); }
std::string Item(const char *s) { return s == nullptr ? U32(0xFFFFFFFFu) : U32(static_cast<uint32_t>(strlen(s))) + s; }

// Body fields of every kind, in the order the read scenario reads them.
std::string EveryFieldKind() {
  std::string f;
  f += Tag(1) + "\1";                             // BOOL true
  f += Tag(2) + U32(static_cast<uint32_t>(-5));   // INT -5
  f += Tag(3) + U32(7);                           // UINT 7
  f += Tag(4) + Item("abc");                      // STRING
  f += Tag(4) + Item(nullptr);                    // STRING null
  f += Tag(7) + U32(4) + Item("a") + Item(nullptr) + Item("bcd") + Item("");  // STRINGSET
  f += Tag(5) + Item("secret");                   // PASSWORD
  f += Tag(6) + U32(2) + std::string("\x01\xff", 2);  // BLOB
  f += Tag(8) + U32(2) + Item("k") + Item("v") + Item("k2") + Item(nullptr);  // KEYVALUES
  return f;
}

constexpr uint16_t kReplyType = 113;
// Bytes of the end record of a ControlLog2 message: eight tagged fields.
constexpr ptrdiff_t kEndRecordBytes = 40;
constexpr size_t kLongestRecordText = 500;

// A record text after which the end record no longer fits in the block of
// the pending message (see ClientLogWrite), found by building the same
// message here.
std::string EndRecordText() {
  for (size_t length = 1; length < kLongestRecordText; ++length) {
    const std::string text(length, 'x');
    Msg *m = NewMsg(MSGTYPE_CONTROL_LOG2, GetMsgTypeTable(), LRPC_HEADER_SIZE, nullptr);
    MsgAddUInt(m, 0);
    MsgAddString(m, kLogProcess);
    MsgAddInt(m, 0);
    MsgAddInt(m, LOG_LEVEL_INFO);
    MsgAddString(m, kLogSource);
    MsgAddInt(m, 0);
    MsgAddString(m, kEndRecordFunction);
    MsgAddString(m, text.c_str());
    const ptrdiff_t room = m->buf.end - m->buf.cur;
    MsgFree(m);
    if (room > kEndRecordBytes / 4 && room < kEndRecordBytes / 2) return text;
  }
  throw std::runtime_error("no record text fills the log message's block");
}

// More list elements than GetValueList's first array holds.
std::string ManyItems() {
  std::string items;
  for (int i = 0; i < 2 * PROPS_VALUE_LIST_INITIAL; ++i) items += "i" + std::to_string(i) + " ";
  return items;
}

}  // namespace

Env::Env() : long_text(600, 's') {
  const uint16_t type = kReplyType;
  reply_block = std::string(8, '\0') + std::string(reinterpret_cast<const char *>(&type), 2) + EveryFieldKind() + Tag(0);
  include = dir.write("list.inc", "alice\n# comment\n   bob smith\n$name\n");
  include_ref = "file:" + include;
  conf = dir.write("props.conf",
                   "# allocation sweep configuration\n"
                   "name = world\n"
                   "greeting: hello $name\n"
                   "quoted = \"a  b\" \\\n   continued\n"
                   "self: $self\n"
                   "env: $ALLOCFAIL_ENV\n"
                   "join: at $JOINNAME\n"
                   "escaped = tab\\there \\$name\n"
                   "num = 0x10\n"
                   "flag = yes\n"
                   "span = 5m\n"
                   "ints = 1, 5-9, 12 - 14\n"
                   "words = alpha, \"beta gamma\" delta\n"
                   "inc = " + include_ref + "\n"
                   "long = " + long_text + "\n"
                   "many = " + ManyItems() + "\n");
  setenv("ALLOCFAIL_ENV", "from-env", 1);
  emergency = dir.write("emergency.log", "");
  emergency_dest = "file " + emergency;
  no_socket = dir.file("nobody.sock");
  end_record_text = EndRecordText();
  ctx_conf = dir.write("context.conf",
                       "vxagent.clients.socket2 = " + agent.path() + "\n"
                       "lrpc.timeout = 5\n"
                       "lrpc.connect.timeout = 2\n"
                       "log.allocfail = trace\n"
                       "allocfail = " + emergency_dest + "\n");
}

const Env &GetEnv() {
  static const Env env;
  return env;
}

Digest DigestOf(const void *bytes, size_t length) {
  uint32_t h = 2166136261u;
  const auto *p = static_cast<const unsigned char *>(bytes);
  for (size_t i = 0; i < length; ++i) h = (h ^ p[i]) * 16777619u;
  return Digest{length, h};
}

Digest DigestOf(const char *text) { return text == nullptr ? Digest{0, 0} : DigestOf(text, strlen(text)); }

void Truncate(const std::string &path) {
  int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd >= 0) close(fd);
}

}  // namespace allocfail
