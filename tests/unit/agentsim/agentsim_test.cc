// Runs the vxagent-sim binary and talks to it with hand-made frames.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "client_common/msg.h"
#include "gtest/gtest.h"
#include "support/temp_dir.h"

namespace {

constexpr int kWaitMs = 10000;
constexpr uint32_t kMagic = 0xABCD8012u;

std::string U32(uint32_t v) { return std::string(reinterpret_cast<const char *>(&v), 4); }
std::string Str(const std::string &s) { return "\x04" + U32(static_cast<uint32_t>(s.size())) + s; }
std::string NullStr() { return "\x04" + U32(NULL_LENGTH); }
std::string Int(int32_t v) { return "\x02" + U32(static_cast<uint32_t>(v)); }
std::string UInt(uint32_t v) { return "\x03" + U32(v); }

std::string Frame(uint16_t type, const std::string &fields) {
  std::string body(reinterpret_cast<const char *>(&type), 2);
  body += fields + '\0';
  return U32(kMagic) + U32(static_cast<uint32_t>(body.size() + 8)) + body;
}

bool WaitFor(int fd, short events) {
  pollfd p{fd, events, 0};
  return ::poll(&p, 1, kWaitMs) == 1;
}

// Reads exactly n bytes, waiting at most kWaitMs for each piece.
bool ReadExactly(int fd, std::string *out, size_t n) {
  out->resize(n);
  for (size_t got = 0; got < n;) {
    if (!WaitFor(fd, POLLIN)) return false;
    ssize_t r = ::read(fd, out->data() + got, n - got);
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

class Agent {
 public:
  Agent(const vxtest::TempDir &dir, std::vector<std::string> extra) : socket_(dir.file("d2")) {
    std::vector<std::string> args = {VXAGENT_SIM_PATH, "--socket", socket_, "--kest-socket", dir.file("d"),
                                     "--data", dir.path(), "--record", dir.file("rec")};
    args.insert(args.end(), extra.begin(), extra.end());
    int out[2];
    if (::pipe(out) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      std::vector<char *> argv;
      for (std::string &a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    std::string line;
    for (std::string c; line.find('\n') == std::string::npos && ReadExactly(out[0], &c, 1);) line += c;
    ::close(out[0]);
    ready_line_ = line;
  }
  ~Agent() { Stop(); }

  const std::string &ready_line() const { return ready_line_; }
  const std::string &socket() const { return socket_; }

  // Sends SIGTERM and returns the wait status.
  int Stop() {
    int status = -1;
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, &status, 0);
      pid_ = -1;
    }
    return status;
  }

 private:
  std::string socket_;
  std::string ready_line_;
  pid_t pid_ = -1;
};

class Client {
 public:
  explicit Client(const std::string &path) : fd_(::socket(AF_UNIX, SOCK_STREAM, 0)) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
  }
  ~Client() { ::close(fd_); }

  bool Send(const std::string &bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  bool Handshake() {
    std::string word;
    return connected_ && Send(U32(3)) && ReadExactly(fd_, &word, 4) && word == U32(1);
  }
  // The next frame, decoded; null when none arrives or it is malformed.
  std::unique_ptr<Msg, void (*)(Msg *)> Receive() {
    std::unique_ptr<Msg, void (*)(Msg *)> none(nullptr, MsgFree);
    std::string header, body;
    if (!ReadExactly(fd_, &header, 8)) return none;
    uint32_t magic, total;
    std::memcpy(&magic, header.data(), 4);
    std::memcpy(&total, header.data() + 4, 4);
    if (magic != kMagic || total < 8 || total > (1u << 20) || !ReadExactly(fd_, &body, total - 8)) return none;
    std::string frame = header + body;
    return {NewMsgFromBuffer(frame.data(), total, 1, GetMsgTypeTable(), 8, nullptr), MsgFree};
  }

 private:
  int fd_;
  bool connected_ = false;
};

std::vector<std::string> ReadSet(Msg *msg) {
  char **set = nullptr;
  std::vector<std::string> out;
  if (MsgGetStringSet(msg, &set) != MSG_OK) return {"<no set>"};
  for (char **p = set; *p != nullptr; ++p) {
    out.emplace_back(*p);
    std::free(*p);
  }
  std::free(set);
  return out;
}

uint32_t TypeOf(Msg *msg) {
  uint32_t type = 0;
  MsgGetType(msg, &type);
  return type;
}

class AgentSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.write("passwd", "alice:x:1:1::/h:/bin/sh\nbob:x:2:2::/h:/bin/sh\n\ndave:x:4:4::/h:/bin/sh\n");
    dir_.write("group", "staff:x:10:alice\n");
    dir_.write("remove", "bob\n");
  }
  std::string Record(const std::string &name) { return vxtest::ReadFile(dir_.file("rec/" + name)); }

  vxtest::TempDir dir_;
};

TEST_F(AgentSimTest, ListRepliesFollowTheSelection) {
  Agent agent(dir_, {});
  ASSERT_EQ(agent.ready_line(), "ready " + agent.socket() + " " + dir_.file("d") + "\n");
  Client client(agent.socket());
  ASSERT_TRUE(client.Handshake());
  struct Case {
    const char *selection, *category;
    int32_t status;
    std::vector<std::string> entries;
  } cases[] = {
      {"all", "user", 0, {"alice:x:1:1::/h:/bin/sh", "bob:x:2:2::/h:/bin/sh", "dave:x:4:4::/h:/bin/sh"}},
      {"visible", "user", 0, {"alice:x:1:1::/h:/bin/sh", "dave:x:4:4::/h:/bin/sh"}},
      {"remove", "user", 0, {"bob:x:2:2::/h:/bin/sh"}},
      {"remove", "group", 0, {}},
      {"everything", "user", 1, {}},
      {"all", "users", 1, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.selection) + " " + c.category);
    ASSERT_TRUE(client.Send(Frame(113, Str(c.selection) + Str(c.category))));
    auto reply = client.Receive();
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(TypeOf(reply.get()), 113u);
    int32_t status = -1;
    ASSERT_EQ(MsgGetInt(reply.get(), &status), MSG_OK);
    EXPECT_EQ(status, c.status);
    if (c.status == 0) {
      EXPECT_EQ(ReadSet(reply.get()), c.entries);
    }
    EXPECT_EQ(MsgGetInt(reply.get(), &status), MSG_ERR_END);
  }
  std::string frame = "113\tpid=" + std::to_string(getpid()) + "\tuid=" + std::to_string(getuid()) +
                      "\tgid=" + std::to_string(getgid()) + "\n";
  EXPECT_EQ(Record("frames.log").substr(0, frame.size()), frame);
  std::string first = "113\tControlListLocalAccount[\"all\",\"user\"]\n";
  EXPECT_EQ(Record("requests.log").substr(0, first.size()), first);
}

// Lists and dumps are encoded when the data is read: a reload must replace
// them, with and without entries marked for removal.
TEST_F(AgentSimTest, ReloadReplacesListsAndDumps) {
  Agent agent(dir_, {});
  Client client(agent.socket());
  ASSERT_TRUE(client.Handshake());
  auto entries = [&](uint16_t type, const std::string &fields) {
    if (!client.Send(Frame(type, fields))) return std::vector<std::string>{"<not sent>"};
    auto reply = client.Receive();
    int32_t status = -1;
    if (reply == nullptr || MsgGetInt(reply.get(), &status) != MSG_OK || status != 0) return std::vector<std::string>{};
    return ReadSet(reply.get());
  };
  const std::string dump = Str("user"), visible = Str("visible") + Str("user");
  EXPECT_EQ(entries(114, dump), (std::vector<std::string>{"alice:x:1:1::/h:/bin/sh", "bob:x:2:2::/h:/bin/sh\tremove",
                                                          "dave:x:4:4::/h:/bin/sh"}));
  dir_.write("passwd", "erin:x:5:5::/h:/bin/sh\nbob:x:2:2::/h:/bin/sh\n");
  dir_.write("remove", "");
  ASSERT_TRUE(client.Send(Frame(112, std::string("\x01\x01\x01\x00", 4))));
  ASSERT_NE(client.Receive(), nullptr);
  const std::vector<std::string> both = {"erin:x:5:5::/h:/bin/sh", "bob:x:2:2::/h:/bin/sh"};
  EXPECT_EQ(entries(113, visible), both);
  EXPECT_EQ(entries(114, dump), both);
  EXPECT_EQ(entries(113, Str("remove") + Str("user")), std::vector<std::string>{});
}

// A list larger than the socket's buffer goes out in several pieces.
TEST_F(AgentSimTest, LongListArrivesWhole) {
  std::string passwd;
  std::vector<std::string> want;
  for (int i = 0; i < 20000; ++i) {
    want.push_back("user" + std::to_string(i) + ":x:" + std::to_string(i) + ":1::/h:/bin/sh");
    passwd += want.back() + "\n";
  }
  dir_.write("passwd", passwd);
  Agent agent(dir_, {});
  Client client(agent.socket());
  ASSERT_TRUE(client.Handshake());
  ASSERT_TRUE(client.Send(Frame(113, Str("all") + Str("user"))));
  auto reply = client.Receive();
  ASSERT_NE(reply, nullptr);
  int32_t status = -1;
  ASSERT_EQ(MsgGetInt(reply.get(), &status), MSG_OK);
  EXPECT_EQ(ReadSet(reply.get()), want);
}

TEST_F(AgentSimTest, WrongKindsSendsAListAsOneString) {
  Agent agent(dir_, {"--fault", "113:wrong-kinds"});
  Client client(agent.socket());
  ASSERT_TRUE(client.Handshake());
  ASSERT_TRUE(client.Send(Frame(113, Str("visible") + Str("user"))));
  auto reply = client.Receive();
  ASSERT_NE(reply, nullptr);
  char *status = nullptr, *joined = nullptr;
  ASSERT_EQ(MsgGetString(reply.get(), &status), MSG_OK);
  ASSERT_EQ(MsgGetString(reply.get(), &joined), MSG_OK);
  EXPECT_STREQ(status, "0");
  EXPECT_STREQ(joined, "alice:x:1:1::/h:/bin/sh,dave:x:4:4::/h:/bin/sh");
  std::free(status);
  std::free(joined);
}

TEST_F(AgentSimTest, ChallengesAreAnsweredBeforeTheReply) {
  Agent agent(dir_, {"--fault", "111:challenge=2", "--fault", "any:disabled"});
  Client client(agent.socket());
  ASSERT_TRUE(client.Handshake());
  ASSERT_TRUE(client.Send(Frame(111, "")));
  for (int i = 0; i < 2; ++i) {
    auto challenge = client.Receive();
    ASSERT_NE(challenge, nullptr);
    EXPECT_EQ(TypeOf(challenge.get()), 3u);
    ASSERT_TRUE(client.Send(Frame(3, "")));
  }
  auto reply = client.Receive();
  ASSERT_NE(reply, nullptr);
  uint32_t enabled = 1;
  EXPECT_EQ(MsgGetBool(reply.get(), &enabled), MSG_OK);
  EXPECT_EQ(enabled, 0u);
  std::string frames = Record("frames.log");
  EXPECT_EQ(frames.substr(0, 4), "111\t");
  EXPECT_NE(frames.find("\n3\t"), std::string::npos);
  EXPECT_EQ(Record("requests.log"), "111\tControlGetLocalAcctMgmtStatus[]\n");
}

TEST_F(AgentSimTest, LogRecordsAndAuditEventsAreRecordedEscaped) {
  Agent agent(dir_, {});
  Client client(agent.socket());
  ASSERT_TRUE(client.Handshake());
  std::string record = UInt(7) + Str("p") + Int(42) + Int(3) + Str("f") + Int(9) + Str("fn") + Str("a\tb\\c\nd");
  std::string end = UInt(0) + NullStr() + Int(0) + Int(0) + NullStr() + Int(0) + NullStr() + NullStr();
  ASSERT_TRUE(client.Send(Frame(107, record + end)));
  auto reply = client.Receive();
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(TypeOf(reply.get()), 107u);
  std::string args = "\x07" + U32(3) + U32(1) + "x" + U32(NULL_LENGTH) + U32(1) + "z";
  ASSERT_TRUE(client.Send(Frame(1200, Str("S") + Str("C") + Int(2000) + Str("root") + Int(5) + args)));
  ASSERT_TRUE(client.Send(Frame(107, record)));  // no end record
  ASSERT_NE(client.Receive(), nullptr);
  EXPECT_EQ(Record("log2.log"),
            "1\t7\tp\t42\t3\tf\t9\tfn\ta\\tb\\\\c\\nd\n1\tEND\n"
            "2\t7\tp\t42\t3\tf\t9\tfn\ta\\tb\\\\c\\nd\n2\tMALFORMED\tAt end of message\n");
  EXPECT_EQ(Record("audit.log"), "S\tC\t2000\troot\t5\tx\t(null)\tz\n");
}

TEST_F(AgentSimTest, GarbageDropsOnlyThatConnection) {
  Agent agent(dir_, {"--fault", "113:silent"});
  Client silent(agent.socket()), bad(agent.socket()), good(agent.socket());
  ASSERT_TRUE(silent.Handshake() && bad.Handshake() && good.Handshake());
  ASSERT_TRUE(silent.Send(Frame(113, Str("all") + Str("user"))));
  std::string frame = Frame(111, "");
  frame[0] = 0;  // wrong magic
  ASSERT_TRUE(bad.Send(frame));
  EXPECT_EQ(bad.Receive(), nullptr);
  ASSERT_TRUE(good.Send(Frame(111, "")));
  EXPECT_NE(good.Receive(), nullptr);
}

TEST_F(AgentSimTest, SigtermExitsZeroAndRemovesTheSockets) {
  Agent agent(dir_, {});
  int status = agent.Stop();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  struct stat st;
  EXPECT_NE(::lstat(agent.socket().c_str(), &st), 0);
  EXPECT_NE(::lstat(dir_.file("d").c_str(), &st), 0);
}

}  // namespace
