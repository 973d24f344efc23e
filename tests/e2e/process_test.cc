// How the command behaves as a process: started with a standard descriptor
// closed, writing into a pipe whose reader goes away, and a client of the
// exported library waiting while signals rain on it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "client_common/lrpc2.h"
#include "client_common/msg_types.h"
#include "harness.h"

namespace vxe2e {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kAwaitSeconds = 10;
const std::vector<std::string> kListAll{"-l", "all", "-u"};

// An agent serving `users` passwd lines, with `faults`.
struct Scene {
  Agent agent;
  Scene(const std::string &users, const std::vector<std::string> &faults) {
    ResetState("vxagent.local.account.manage: true\n");
    EXPECT_EQ(agent.Start({{"upn", S("root ", kUpn, "\n")}, {"passwd", users}}, faults), "");
  }
  // Stops the agent (with `sync`, after it handled everything sent) and
  // gives its audit lines.
  std::vector<std::string> Stop(bool sync = true) {
    EXPECT_EQ(agent.Stop(sync), 0);
    EXPECT_EQ(agent.Record("agent.log").find("dropping a connection"), std::string::npos)
        << "something not meant for the agent reached it:\n"
        << agent.Record("agent.log");
    return Split(agent.Record("audit.log"), '\n');
  }
  // Waits (bounded) until the agent has received a request of `type`.
  bool AwaitRequest(int type) {
    for (auto start = Clock::now(); Since(start) < kAwaitSeconds; usleep(10000))
      if (("\n" + agent.Record("requests.log")).find(S("\n", std::to_string(type), "\t")) !=
          std::string::npos)
        return true;
    return false;
  }
};

std::string Success(pid_t pid, const std::vector<std::string> &args) {
  return S("Quarnel Suite\tLocal Account Management\t2000\t", kUpn, "\t", std::to_string(pid), "\t",
           Join(args));
}

// A standard descriptor closed at start is /dev/null for the whole run, so
// no file or socket of the command takes its number. The agent delays the
// list reply, and the descriptor is looked at while the command waits.
class ClosedDescriptor : public SandboxTest<int> {};

TEST_P(ClosedDescriptor, IsDevNullWhileTheCommandRuns) {
  const int fd = GetParam();
  const std::string users = Users(3);
  Scene scene(users, {"113:delay=1"});
  std::string link;
  Launch launch{
      .closed_fd = fd, .meanwhile = [&](pid_t pid) {
        if (scene.AwaitRequest(113))
          link = std::filesystem::read_symlink(S("/proc/", std::to_string(pid), "/fd/", std::to_string(fd)));
      }};
  RunResult run = RunVxaccounts(kListAll, false, launch);
  EXPECT_EQ(link, "/dev/null");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, fd == 1 ? "" : users);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(scene.Stop(), std::vector<std::string>{Success(run.pid, kListAll)});
}

INSTANTIATE_TEST_SUITE_P(Standard, ClosedDescriptor, ::testing::Values(0, 1, 2),
                         [](const auto &param) { return S("Fd", std::to_string(param.param)); });

// `vxaccounts ... | head -1` on a long list: the reader takes one line and
// goes away. The run ends quietly with status 0; the list leaves its
// success audit event, the dump (which has none) leaves nothing.
struct PipeCase {
  const char *name;
  std::vector<std::string> args;
  bool audited;
};

void PrintTo(const PipeCase &c, std::ostream *os) { *os << c.name; }

class ClosedPipe : public SandboxTest<PipeCase> {};

TEST_P(ClosedPipe, EndsQuietlyAndKeepsTheAuditTrail) {
  const PipeCase &c = GetParam();
  constexpr int kEntries = 200000;
  Scene scene(Users(kEntries), {});
  int pipe_fds[2];
  ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
  std::string first;
  Launch launch{
      .out_fd = pipe_fds[1], .meanwhile = [&](pid_t) {
        close(pipe_fds[1]);
        // Bounded: a command that writes nothing is killed by the run's limit after this.
        pollfd readable{pipe_fds[0], POLLIN, 0};
        char ch;
        while (poll(&readable, 1, kAwaitSeconds * 1000) == 1 && read(pipe_fds[0], &ch, 1) == 1 && ch != '\n')
          first += ch;
        close(pipe_fds[0]);
      }};
  RunResult run = RunVxaccounts(c.args, false, launch);
  EXPECT_EQ(first, "user10000:x:10000:10000::/home/user10000:/bin/sh");
  EXPECT_EQ(run.signal, 0) << "killed by signal " << run.signal;
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  std::vector<std::string> audit = scene.Stop();
  EXPECT_EQ(audit,
            c.audited ? std::vector<std::string>{Success(run.pid, c.args)} : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(HeadOne, ClosedPipe,
                         ::testing::Values(PipeCase{"List", kListAll, true},
                                           PipeCase{"Dump", {"-d", "user"}, false}),
                         [](const auto &param) { return std::string(param.param.name); });

// A client that catches a signal (as a daemon using the library does) waits
// for an agent that never answers the handshake, while another process
// sends it signals without pause. The wait still ends at its time-out.
class SignalStorm : public SandboxTest<int> {};

void Caught(int) {}

TEST_P(SignalStorm, DoesNotExtendAWait) {
  const uint32_t timeout = static_cast<uint32_t>(GetParam());
  Scene scene("", {"handshake:silent"});
  struct sigaction caught = {}, previous = {};
  caught.sa_handler = Caught;
  ASSERT_EQ(sigaction(SIGUSR1, &caught, &previous), 0);
  // The storm ends on its own a few seconds after the time-out, so a wait
  // that it stretches ends too, late.
  const pid_t client = getpid();
  const pid_t storm = fork();
  if (storm == 0) {
    for (auto start = Clock::now(); Since(start) < timeout + 3 && kill(client, SIGUSR1) == 0;) usleep(200);
    _exit(0);
  }
  ASSERT_GT(storm, 0);
  uint32_t status = 0;
  const auto start = Clock::now();
  LRPC2Session *session = LRPC2Open("/var/vorlex/daemon2", GetMsgTypeTable(), 5, timeout, &status);
  const double took = Since(start);
  kill(storm, SIGKILL);
  waitpid(storm, nullptr, 0);
  sigaction(SIGUSR1, &previous, nullptr);
  LRPC2Close(session);
  EXPECT_EQ(session, nullptr);
  EXPECT_EQ(status, static_cast<uint32_t>(LRPC_ERR_TIMEOUT));
  EXPECT_GE(took, timeout - 0.01);
  EXPECT_LT(took, timeout + 0.5) << "signals stretched the wait";
  scene.Stop(false);
}

INSTANTIATE_TEST_SUITE_P(HandshakeTimeOut, SignalStorm, ::testing::Values(1));

}  // namespace
}  // namespace vxe2e
