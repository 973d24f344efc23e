// Account list output: entries unchanged, one per line, up to a null one,
// read in place from a reply's string set.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli_managelocal.h"
#include "client_common/msg_types.h"
#include "support/wire.h"

namespace {

using Entry = std::optional<std::string>;  // nullopt: a null item

// A received list reply whose string set holds `entries`; the reader over
// it stays valid while the returned message lives.
struct Reply {
  Msg *msg = nullptr;
  MsgSetReader entries{};
  explicit Reply(const std::vector<Entry> &items) {
    std::string set = vxtest::U8(MDT_STRINGSET) + vxtest::U32(static_cast<uint32_t>(items.size()));
    for (const Entry &e : items) set += e ? vxtest::Item(*e) : vxtest::NullItem();
    std::string block = vxtest::Block(MSGTYPE_LIST_LOCAL_ACCT, set);
    msg = NewMsgFromBuffer(block.data(), static_cast<uint32_t>(block.size()), 1, GetMsgTypeTable(),
                           LRPC_HEADER_SIZE, nullptr);
    EXPECT_EQ(MsgOpenStringSet(msg, &entries, nullptr), MSG_OK);
  }
  ~Reply() { MsgFree(msg); }
};

// Prints `entries` to `out` (by default a pipe of one page) and returns what
// `in`, the other end, gave until the end, read meanwhile by a thread that
// takes no SIGALRM (closing both).
std::string Printed(const std::vector<Entry> &entries, int out = -1, int in = -1) {
  int fds[2];
  if (out < 0 && pipe2(fds, O_CLOEXEC) == 0) in = fds[0], out = fds[1], fcntl(out, F_SETPIPE_SZ, 4096);
  std::string got;
  std::thread reader([&] {
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
    char buf[100];  // slowly: the pipe stays full, the writer blocks
    for (ssize_t n; (n = read(in, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR);)
      got.append(buf, static_cast<size_t>(std::max<ssize_t>(n, 0)));
  });
  Reply reply(entries);
  EXPECT_TRUE(PrintListTo(out, reply.entries));
  close(out);
  reader.join();
  close(in);
  return got;
}

// On a terminal an entry's control bytes are shown escaped, so it cannot
// set the title, clear the screen, fill the clipboard or overwrite its own
// line; into a file or a pipe they go out unchanged.
TEST(PrintList, ControlBytesAreEscapedOnATerminalOnly) {
  const std::vector<Entry> entries = {"\x1b]0;owned\x07", "\x1b[2J", "\x1b]52;c;ZXZpbA==\x07",
                                      "x\r\x1b[2Kroot:x:0:0", "tab\tback\\slash\x7f"};
  std::string raw;
  for (const Entry &e : entries) raw += *e + "\n";
  const std::string shown =
      "\\x1b]0;owned\\x07\n"
      "\\x1b[2J\n"
      "\\x1b]52;c;ZXZpbA==\\x07\n"
      "x\\r\\x1b[2Kroot:x:0:0\n"
      "tab\tback\\slash\\x7f\n";
  EXPECT_EQ(Printed(entries), raw);
  int terminal, reader;
  ASSERT_EQ(openpty(&reader, &terminal, nullptr, nullptr, nullptr), 0);
  termios mode;
  tcgetattr(terminal, &mode);
  cfmakeraw(&mode);  // no line feed translation
  tcsetattr(terminal, TCSANOW, &mode);
  EXPECT_EQ(Printed(entries, terminal, reader), shown);
}

TEST(PrintList, EntriesAreWrittenUnchangedOnePerLine) {
  using namespace std::string_literals;
  const std::pair<std::vector<Entry>, std::string> cases[] = {
      {{}, ""},
      {{"a", "", "b"}, "a\n\nb\n"},
      {{"100%s %d %n", "%"}, "100%s %d %n\n%\n"},
      {{"a", std::nullopt, "b"}, "a\n"},
      {{std::nullopt, "b"}, ""},
      {{"nul\0inside"s, "\0"s, "z"}, "nul\n\nz\n"},
  };
  for (const auto &[entries, expected] : cases) EXPECT_EQ(Printed(entries), expected);
  EXPECT_TRUE(PrintListTo(-1, MsgSetReader{})) << "an empty reader writes nothing";
}

// A long list, with an entry longer than the output buffer, keeps its
// order; writes cut short and interrupted by a signal (no SA_RESTART) go on
// where they stopped: a slow reader on a small pipe, a timer signal every 50 µs.
TEST(PrintList, LongListsGoOnThroughShortAndInterruptedWrites) {
  std::vector<Entry> entries;
  std::string expected;
  for (int i = 0; i < 30000; ++i)
    entries.push_back("user" + std::to_string(i) + ":x:" + std::to_string(i) + ":");
  entries.insert(entries.begin() + 7000, std::string(200000, 'L'));
  for (const Entry &e : entries) expected += *e + "\n";
  struct sigaction action = {}, old_action;
  action.sa_handler = [](int) {};
  sigaction(SIGALRM, &action, &old_action);
  const struct itimerval every = {{0, 50}, {0, 50}}, off = {};
  setitimer(ITIMER_REAL, &every, nullptr);
  const std::string got = Printed(entries);
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &old_action, nullptr);
  EXPECT_TRUE(got == expected) << got.size() << " bytes of " << expected.size();
}

}  // namespace
