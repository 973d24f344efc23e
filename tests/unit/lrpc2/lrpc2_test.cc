// The session transport. Sessions run from the table testdata/exchanges.txt
// (its head says how to read it): each row opens a session and, when that
// succeeds, makes one transaction. The rows pin the exact request bytes with
// the sender's credentials, the challenge exchange, the peer check, the
// deadline of each step and every way a session fails. Then the waits and
// the status texts.
#include "client_common/lrpc2.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <thread>
#include <utility>

#include "client_common/lrpc2_io.h"
#include "client_common/msg_ptr.h"
#include "support/agent.h"

namespace vxtest {
namespace {

using Clock = std::chrono::steady_clock;
using Answers = Agent::Answers;
using vx::MsgPtr;

constexpr int kSelf = -1;  // the user the test runs as

// The requests the rows name, built as the client builds them.
MsgPtr Request(const std::string &name) {
  const uint32_t type = name == "reload" ? 112 : name == "dump" ? 114 : name == "one-way" ? 1200 : 111;
  if (type == 111 && name != "status" && name != "large") throw std::invalid_argument("no request " + name);
  MsgPtr m(NewMsg(type, GetMsgTypeTable(), LRPC_HEADER_SIZE, nullptr));
  if (name == "reload") MsgAddBool(m.get(), 1), MsgAddBool(m.get(), 0);
  if (name == "dump") MsgAddString(m.get(), "root");
  if (name == "one-way") MsgAddInt(m.get(), 2000);
  if (name == "large") MsgAddString(m.get(), std::string(1u << 20, 'x').c_str());
  MsgComplete(m.get());
  return m;
}

// A row: its name and settings (key to value; "fault" repeats).
struct Exchange {
  std::string name;
  std::multimap<std::string, std::string> set;
  std::string Get(const std::string &key, const std::string &fallback) const {
    const auto it = set.find(key);
    return it != set.end() ? it->second : fallback;
  }
};

// Parts joined by "+", each hex digits or a defined name, optionally *N.
Bytes ParseBytes(const std::string &text, const std::map<std::string, Bytes> &names) {
  Bytes out;
  std::istringstream parts(text);
  for (std::string part; std::getline(parts, part, '+');) {
    const size_t star = part.find('*');
    const std::string item = part.substr(0, star);
    Bytes one = names.count(item) ? names.at(item) : "";
    if (one.empty() && item.size() % 2 == 0 &&
        item.find_first_not_of("0123456789ABCDEF") == std::string::npos)
      for (size_t i = 0; i < item.size(); i += 2)
        one += static_cast<char>(std::stoi(item.substr(i, 2), 0, 16));
    if (one.empty()) throw std::invalid_argument("bad bytes " + part);
    for (int n = star == std::string::npos ? 1 : std::stoi(part.substr(star + 1)); n > 0; --n) out += one;
  }
  return out;
}

// Answers separated by ","; ANSWER*N of a name alone is N answers.
Answers ParseAnswers(const std::string &text, const std::map<std::string, Bytes> &names) {
  Answers out;
  std::istringstream answers(text);
  for (std::string answer; std::getline(answers, answer, ',');) {
    const size_t star = answer.find('+') == std::string::npos ? answer.find('*') : std::string::npos;
    const std::string one = answer.substr(0, star);
    for (int n = star == std::string::npos ? 1 : std::stoi(answer.substr(star + 1)); n > 0; --n)
      out.push_back(one == "hang-up" ? Agent::kHangUp : ParseBytes(one, names));
  }
  return out;
}

// The rows of testdata/exchanges.txt and the names it defines; a line that
// does not parse fails the test.
std::vector<Exchange> Exchanges(std::map<std::string, Bytes> &names) {
  static const std::set<std::string> kKeys = {"peer",         "welcome", "reply", "fault",   "request",
                                              "open-timeout", "timeout", "agent", "caller",  "storm",
                                              "open",         "status",  "at",    "received"};
  std::vector<Exchange> rows;
  std::ifstream in(LRPC2_TEST_DATA "/exchanges.txt");
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    const size_t colon = line.find(": ");
    Exchange row{line.substr(0, colon), {}};
    std::istringstream settings(line.substr(colon == std::string::npos ? line.size() : colon + 2));
    for (std::string setting; settings >> setting;) {
      const size_t eq = setting.find('=');
      row.set.emplace(setting.substr(0, eq), eq == std::string::npos ? "" : setting.substr(eq + 1));
      EXPECT_TRUE(row.name == "define" || kKeys.count(setting.substr(0, eq))) << line;
    }
    EXPECT_TRUE(colon != std::string::npos && !row.set.empty()) << line;
    if (row.name != "define") rows.push_back(row);
    for (const auto &[name, bytes] : row.set)
      if (row.name == "define") names[name] = ParseBytes(bytes, names);
  }
  EXPECT_GT(rows.size(), 30u);
  return rows;
}

// Runs `fn` as the effective user `euid`, on a thread of its own (the raw
// system call changes the calling thread only); as kSelf, right here.
void AsUser(int euid, const std::function<void()> &fn) {
  if (euid == kSelf) return fn();
  std::thread([&] {
    ASSERT_EQ(syscall(SYS_setresuid, -1, euid, -1), 0);
    fn();
  }).join();
}

std::atomic<int> g_signals{0};

// Counts the signals of a storm; after 20,000 (4 s) it ignores the rest, so
// that a wait they stretch still ends, late.
void Caught(int) {
  if (++g_signals == 20000) signal(SIGUSR1, SIG_IGN);
}

// Interrupts the calling thread with SIGUSR1 every 200 µs while it lives; the
// handler restarts no call.
struct SignalStorm {
  timer_t timer = {};
  SignalStorm() {
    struct sigaction caught = {};
    caught.sa_handler = Caught;
    sigaction(SIGUSR1, &caught, nullptr);
    struct sigevent event = {};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = SIGUSR1;
    event._sigev_un._tid = gettid();
    const struct itimerspec every = {{0, 200000}, {0, 200000}};
    g_signals = 0;
    EXPECT_EQ(timer_create(CLOCK_MONOTONIC, &event, &timer), 0);
    EXPECT_EQ(timer_settime(timer, 0, &every, nullptr), 0);
  }
  ~SignalStorm() {
    timer_delete(timer);
    signal(SIGUSR1, SIG_IGN);  // one may still be pending
  }
};

// A listener that never accepts, its queue of one taken by a filler: a
// connect waits for a slot. After `then_ms` (unless negative) it takes the
// filler, which lets one more in, never answered; or, with `close_listener`,
// it closes.
struct FullQueue {
  TempDir dir;
  const std::string path = dir.file("agent.sock");
  int listener = socket(AF_UNIX, SOCK_STREAM, 0), filler = socket(AF_UNIX, SOCK_STREAM, 0);
  std::thread then;

  FullQueue(int then_ms, bool close_listener) {
    struct sockaddr_un addr = {AF_UNIX, {}};
    strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    const auto *sa = reinterpret_cast<struct sockaddr *>(&addr);
    EXPECT_TRUE(bind(listener, sa, sizeof addr) == 0 && listen(listener, 0) == 0 &&
                connect(filler, sa, sizeof addr) == 0);
    if (then_ms < 0) return;
    then = std::thread([this, then_ms, close_listener] {
      std::this_thread::sleep_for(std::chrono::milliseconds(then_ms));
      close(close_listener ? std::exchange(listener, -1) : accept(listener, nullptr, nullptr));
    });
  }
  ~FullQueue() {
    if (then.joinable()) then.join();
    close(filler);
    close(listener);
  }
};

TEST(LRPC2Session, EachExchangeEndsWithItsStatusBytesAndTime) {
  TempDir shared;  // agents and callers of every user reach sockets here
  ASSERT_EQ(chmod(shared.path().c_str(), 0777), 0);
  auto previous = signal(SIGPIPE, SIG_DFL);
  std::map<std::string, Bytes> names;
  for (const Exchange &c : Exchanges(names)) {
    SCOPED_TRACE(c.name);
    const Answers welcome = ParseAnswers(c.Get("welcome", "welcome"), names);
    const Answers reply = ParseAnswers(c.Get("reply", "bool-reply"), names);
    const bool opens = c.set.count("open") == 0;
    const auto expected = static_cast<uint32_t>(std::stoul(c.Get("status", "0")));
    const double at = std::stod(c.Get("at", "0"));
    const std::optional<Bytes> received =
        c.set.count("received") ? std::optional(ParseBytes(c.Get("received", ""), names)) : std::nullopt;
    const std::string peer = c.Get("peer", "agent"), kind = peer.substr(0, peer.find(':')),
                      arg = peer.substr(std::min(peer.size(), kind.size() + 1));
    const int agent_uid = std::stoi(c.Get("agent", "-1")), caller_uid = std::stoi(c.Get("caller", "-1"));
    const auto open_timeout = static_cast<uint32_t>(std::stoul(c.Get("open-timeout", "1")));
    const auto timeout = static_cast<uint32_t>(std::stoul(c.Get("timeout", "5")));
    if ((agent_uid != kSelf || caller_uid != kSelf) && geteuid() != 0) continue;  // needs root
    const int fds = CountOpenFds();
    std::optional<Agent> agent;
    std::optional<FullQueue> queue;
    if (kind == "agent") {
      std::vector<std::string> faults;
      for (auto [f, end] = c.set.equal_range("fault"); f != end; ++f) faults.push_back(f->second);
      AsUser(agent_uid, [&] {
        agent.emplace(
            Agent::Options{.path = shared.file("agent.sock"), .welcome = welcome, .faults = faults});
      });
      agent->Reply([&reply](const Bytes &) { return reply; });
    } else if (kind != "path") {
      ASSERT_TRUE(kind == "full" || kind == "full-freed" || kind == "full-closed");
      queue.emplace(arg.empty() ? -1 : std::stoi(arg), kind == "full-closed");
    }
    const char *path = agent           ? agent->path().c_str()
                       : queue         ? queue->path.c_str()
                       : arg == "null" ? nullptr
                                       : arg.c_str();
    const MsgPtr request = Request(c.Get("request", "status"));
    std::optional<SignalStorm> storm;
    if (c.set.count("storm")) storm.emplace();
    uint32_t status = 1;
    pid_t pid = 0;
    uid_t uid = 0;
    int refused = -1;
    std::chrono::duration<double> took{};
    AsUser(caller_uid, [&] {
      auto start = Clock::now();
      LRPC2Session *s = LRPC2Open(path, GetMsgTypeTable(), open_timeout, open_timeout, &status);
      refused = LRPC2RefusedPeer(&pid, &uid);
      EXPECT_EQ(LRPC2RefusedPeer(nullptr, nullptr), refused);
      ASSERT_EQ(s != nullptr, opens);
      if (s != nullptr) {
        EXPECT_EQ(s->read_fd, s->write_fd);
        EXPECT_EQ(s->is_socket, 1u);
        int on = 0;
        socklen_t len = sizeof on;
        EXPECT_EQ(getsockopt(s->read_fd, SOL_SOCKET, SO_PASSCRED, &on, &len), 0);
        EXPECT_EQ(on, 1);
        if (welcome.size() > 1) {
          EXPECT_TRUE(agent->AwaitIdle());  // the agent has closed its end
        }
        start = Clock::now();
        MsgPtr got(LRPC2Transact(s, request.get(), timeout, &status));
        uint32_t enabled = 0;
        EXPECT_EQ(got != nullptr, expected == 0 && !reply.empty());
        EXPECT_TRUE(!got || (MsgGetBool(got.get(), &enabled) == 0 && enabled == 1));
        EXPECT_NE(fcntl(s->read_fd, F_GETFL) & O_NONBLOCK, 0);
      }
      took = Clock::now() - start;
      LRPC2Close(s);
    });
    EXPECT_GT(storm ? (storm.reset(), g_signals.load()) : 101, 100);
    EXPECT_EQ(status, expected);
    EXPECT_GE(took.count(), at - 0.05);
    EXPECT_LT(took.count(), at + 0.4);
    EXPECT_EQ(refused, expected == 419 ? 1 : 0);
    EXPECT_EQ(std::pair(pid, uid),
              expected == 419 ? std::pair(getpid(), uid_t(agent_uid)) : std::pair(0, 0u));
    EXPECT_TRUE(!agent || agent->AwaitIdle());
    if (agent && received) {
      EXPECT_EQ(agent->Received(), *received);
      const agentsim::Credentials sender = agent->Creds();
      if (received->size() > 4 && caller_uid == kSelf) {
        EXPECT_EQ(std::tuple(sender.pid, sender.uid, sender.gid), std::tuple(getpid(), getuid(), getgid()));
      }
    }
    agent.reset();
    queue.reset();
    EXPECT_EQ(CountOpenFds(), fds);
  }
  signal(SIGPIPE, previous);
}

TEST(LRPC2Transact, RefusesMissingSessionOrUnfinishedRequest) {
  MsgPtr complete = Request("status");
  uint32_t status = 0;
  MsgPtr building(NewMsg(111, GetMsgTypeTable(), LRPC_HEADER_SIZE, &status));
  LRPC2Session fake = {-1, -1, GetMsgTypeTable(), 1};
  EXPECT_EQ(LRPC2Transact(nullptr, complete.get(), 1, &status), nullptr);
  EXPECT_EQ(status, 411u);
  for (Msg *m : {static_cast<Msg *>(nullptr), building.get()}) {
    EXPECT_EQ(LRPC2Transact(&fake, m, 1, &status), nullptr);
    EXPECT_EQ(status, 406u);
  }
  EXPECT_EQ(LRPC2Transact(nullptr, nullptr, 1, nullptr), nullptr);
  EXPECT_EQ(LRPC2Open("x", nullptr, 1, 1, nullptr), nullptr);  // a null status is tolerated
}

// The waits, and the whole-buffer calls with a plain time-out (0: none).
TEST(LRPC2Io, WaitsReportReadinessTimeOutAndHangUp) {
  int idle[2], readable[2], hung_up[2];
  for (int *p : {idle, readable, hung_up})
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, p), 0);
  ASSERT_EQ(write(readable[1], "x", 1), 1);
  close(hung_up[1]);
  EXPECT_EQ(RecvWait(idle[0], 0), 0);
  EXPECT_EQ(SendWait(idle[0], 0), 1);
  EXPECT_EQ(RecvWait(readable[0], 1), 1);
  char byte = 0;
  EXPECT_EQ(ReadFull(readable[0], &byte, 1, 0) + WriteFull(idle[0], &byte, 1, 1), 0u);
  errno = EINVAL;
  EXPECT_EQ(RecvWait(hung_up[0], 1), -1);
  EXPECT_EQ(errno, 0);
  for (int fd : {idle[0], idle[1], readable[0], readable[1], hung_up[0]}) close(fd);
  EXPECT_EQ(SendWait(idle[0], 1), -1);  // POLLNVAL
}

// Samples at both ends of the table and around its one gap (417).
TEST(LRPC2Err2Str, GivesTheTextOfKnownCodesAndNullForOthers) {
  const std::pair<uint32_t, const char *> cases[] = {
      {400, "Socket path does not exist"},
      {407, "Out of memory"},
      {413, "Bad magic number in communication, potential network or byte order issue"},
      {416, "File operation error"},
      {418, "Timeout while connecting"},
      {419, "Peer is neither root nor the calling user"},
  };
  for (const auto &[code, text] : cases) EXPECT_STREQ(LRPC2Err2Str(code), text) << code;
  for (uint32_t code : {0u, 205u, 399u, 417u, 420u}) EXPECT_EQ(LRPC2Err2Str(code), nullptr) << code;
}

}  // namespace
}  // namespace vxtest
