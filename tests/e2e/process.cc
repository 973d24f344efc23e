#include "process.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>

namespace vxe2e {
namespace {

constexpr double kAgentReadySeconds = 10;
constexpr double kAgentStopSeconds = 5;
constexpr uint32_t kHello = 3;
constexpr const char *kClientSocket = "/var/vorlex/daemon2";
constexpr const char *kKestSocket = "/var/vorlex/daemon";

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int PidFd(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

int MillisLeft(Clock::time_point start, double limit) {
  double left = limit - Since(start);
  return left <= 0 ? 0 : static_cast<int>(left * 1000) + 1;
}

int DecodeStatus(int wstatus) {
  if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) return 128 + WTERMSIG(wstatus);
  return -1;
}

// Appends what `fd` holds now; false at end of file or error.
bool ReadSome(int fd, std::string &into) {
  char buf[4096];
  ssize_t n = read(fd, buf, sizeof buf);
  if (n > 0) {
    into.append(buf, static_cast<size_t>(n));
    return true;
  }
  return n < 0 && (errno == EINTR || errno == EAGAIN);
}

[[noreturn]] void ExecChild(const std::vector<std::string> &args, int out, int err, bool as_nobody) {
  int null_fd = open("/dev/null", O_RDONLY);
  dup2(null_fd >= 0 ? null_fd : 0, 0);
  dup2(out, 1);
  dup2(err, 2);
  if (as_nobody) {
    if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
        setresuid(kNobody, kNobody, kNobody) != 0)
      _exit(126);
  }
  std::vector<char *> argv;
  for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

// Collects the child's output and syslog datagrams until it has exited and
// closed its pipes, killing it once the limit has passed.
void Supervise(RunResult &r, int out_fd, int err_fd, int pidfd, double limit) {
  auto start = Clock::now();
  bool out_open = true, err_open = true, exited = false;
  while (out_open || err_open || !exited) {
    pollfd fds[4] = {{out_open ? out_fd : -1, POLLIN, 0},
                     {err_open ? err_fd : -1, POLLIN, 0},
                     {SyslogFd(), POLLIN, 0},
                     {exited ? -1 : pidfd, POLLIN, 0}};
    int wait_ms = r.timed_out ? 1000 : MillisLeft(start, limit);
    int n = poll(fds, 4, wait_ms);
    if (n == 0 && !r.timed_out) {
      r.timed_out = true;
      kill(r.pid, SIGKILL);
      continue;
    }
    if (fds[0].revents) out_open = ReadSome(out_fd, r.out);
    if (fds[1].revents) err_open = ReadSome(err_fd, r.err);
    if (fds[2].revents) {
      auto got = DrainSyslog();
      r.syslog.insert(r.syslog.end(), got.begin(), got.end());
    }
    if (fds[3].revents) {
      int ws = 0;
      if (waitpid(r.pid, &ws, 0) == r.pid) {
        r.status = DecodeStatus(ws);
        r.signal = WIFSIGNALED(ws) ? WTERMSIG(ws) : 0;
      }
      exited = true;
    }
    if (n == 0 && r.timed_out) break;  // killed and still silent: give up on the pipes
  }
  r.seconds = Since(start);
  auto rest = DrainSyslog();
  r.syslog.insert(r.syslog.end(), rest.begin(), rest.end());
}

}  // namespace

RunResult RunProgram(const std::string &program, const std::vector<std::string> &args,
                     bool as_nobody, double limit_seconds) {
  RunResult r;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return r;
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  r.pid = fork();
  if (r.pid == 0) ExecChild(argv, out[1], err[1], as_nobody);
  close(out[1]);
  close(err[1]);
  if (r.pid > 0) {
    int pidfd = PidFd(r.pid);
    Supervise(r, out[0], err[0], pidfd, limit_seconds);
    close(pidfd);
  }
  close(out[0]);
  close(err[0]);
  return r;
}

Agent::~Agent() { Stop(); }

std::string Agent::Start(const std::string &program, const std::string &data_dir,
                         const std::string &record_dir, const std::vector<std::string> &faults) {
  std::vector<std::string> argv{program, "--socket", kClientSocket, "--kest-socket", kKestSocket,
                                "--data", data_dir, "--record", record_dir};
  for (const auto &f : faults) {
    argv.push_back("--fault");
    argv.push_back(f);
  }
  log_path_ = record_dir + "/agent.stderr";
  int log_fd = open(log_path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  int out[2];
  if (log_fd < 0 || pipe2(out, O_CLOEXEC) != 0) return "cannot set up the agent's output";
  pid_ = fork();
  if (pid_ == 0) ExecChild(argv, out[1], log_fd, false);
  close(out[1]);
  close(log_fd);
  out_fd_ = out[0];
  if (pid_ < 0) return "fork failed";
  pidfd_ = PidFd(pid_);
  std::string line;
  auto start = Clock::now();
  while (line.find('\n') == std::string::npos) {
    pollfd p{out_fd_, POLLIN, 0};
    if (poll(&p, 1, MillisLeft(start, kAgentReadySeconds)) <= 0) return "agent not ready in time";
    if (!ReadSome(out_fd_, line)) return "agent exited before it was ready: " + ReadWhole(log_path_);
  }
  if (line.rfind("ready ", 0) != 0) return "unexpected first line from the agent: " + line;
  return "";
}

void Agent::Sync(double limit_seconds) {
  if (pid_ <= 0) return;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strcpy(addr.sun_path, kClientSocket);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
      send(fd, &kHello, sizeof kHello, MSG_NOSIGNAL) == sizeof kHello) {
    pollfd p{fd, POLLIN, 0};
    uint32_t answer = 0;
    if (poll(&p, 1, static_cast<int>(limit_seconds * 1000)) > 0) (void)!read(fd, &answer, sizeof answer);
  }
  if (fd >= 0) close(fd);
}

int Agent::Stop() {
  if (pid_ <= 0) return 0;
  kill(pid_, SIGTERM);
  pollfd p{pidfd_, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(kAgentStopSeconds * 1000)) <= 0) kill(pid_, SIGKILL);
  int ws = 0;
  int status = waitpid(pid_, &ws, 0) == pid_ && WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
  close(pidfd_);
  close(out_fd_);
  pid_ = -1;
  pidfd_ = out_fd_ = -1;
  return status;
}

}  // namespace vxe2e
