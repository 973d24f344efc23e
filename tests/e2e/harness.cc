#include "harness.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vxe2e {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const char *const kPrivateDirs[] = {"/etc/vorlex", "/var/vorlex", "/var/log"};
constexpr char kClientSocket[] = "/var/vorlex/daemon2";
constexpr size_t kMaxDatagram = 8192;
constexpr double kReadySeconds = 10, kSyncSeconds = 2, kStopSeconds = 5;
constexpr uint32_t kHello = 3;

int g_syslog_fd = -1;

void Check(bool ok, const std::string &what) {
  if (!ok) throw std::runtime_error(what + ": " + strerror(errno));
}

void Mount(const char *src, const std::string &dir, const char *type, const std::string &opts) {
  Check(mount(src, dir.c_str(), type, 0, opts.c_str()) == 0, "mount " + dir);
}

// A fresh file of root's (the test runs as root) with `mode`; throws on failure.
void WriteRootFile(const std::string &path, const std::string &content, unsigned mode) {
  fs::remove(path);
  std::ofstream(path) << content;
  fs::permissions(path, static_cast<fs::perms>(mode));
}

// Makes `dir` exist inside the namespace only: when it is missing, its parent
// is covered by an overlay whose upper layer lives in `scratch`.
void EnsureDir(const std::string &dir, const std::string &scratch) {
  if (fs::is_directory(dir)) return;
  std::string parent = fs::path(dir).parent_path();
  std::string base = scratch + "/ov" + std::to_string(std::hash<std::string>{}(parent));
  fs::create_directories(base + "/u");
  fs::create_directories(base + "/w");
  Mount("overlay", parent, "overlay",
        "lowerdir=" + parent + ",upperdir=" + base + "/u,workdir=" + base + "/w");
  Check(mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST, "mkdir " + dir);
}

std::string Enter() {
  if (geteuid() != 0)
    return "end-to-end tests need root: they run vxaccounts inside a private mount namespace";
  try {
    Check(vxtest::EnterMountNamespace(), "unshare");
    char scratch[] = "/tmp/vx-e2e-ns.XXXXXX";
    Check(mkdtemp(scratch) != nullptr, "mkdtemp");
    Mount("vx-e2e", scratch, "tmpfs", "mode=0700");
    for (const char *dir : kPrivateDirs) {
      EnsureDir(dir, scratch);
      Mount("vx-e2e", dir, "tmpfs", "mode=0755");
    }
    Check((g_syslog_fd = vxtest::PrivateDev(scratch)) >= 0, "private /dev");
    umount2(scratch, MNT_DETACH);  // the overlays keep their upper layers alive
    rmdir(scratch);
  } catch (const std::exception &e) {
    return std::string("cannot build the private mount namespace: ") + e.what();
  }
  return "";
}

void DrainSyslog(std::vector<vxtest::SyslogRecord> *into) {
  char buf[kMaxDatagram];
  for (ssize_t n; g_syslog_fd >= 0 && (n = recv(g_syslog_fd, buf, sizeof buf, MSG_DONTWAIT)) >= 0;)
    if (into != nullptr) into->push_back(vxtest::ParseSyslog(std::string(buf, static_cast<size_t>(n))));
}

// Forks `argv` with stdout and stderr on `out` and `err`, and `closed` (if
// any) closed; sets its pidfd.
pid_t Spawn(const std::vector<std::string> &argv, int out, int err, bool as_nobody, int *pidfd,
            int closed = -1) {
  pid_t pid = fork();
  if (pid == 0) {
    dup2(open("/dev/null", O_RDONLY), 0);
    dup2(out, 1);
    dup2(err, 2);
    if (closed >= 0) close(closed);
    if (as_nobody && (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
                      setresuid(kNobody, kNobody, kNobody) != 0))
      _exit(126);
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  *pidfd = pid > 0 ? static_cast<int>(syscall(SYS_pidfd_open, pid, 0)) : -1;
  return pid;
}

// Waits up to `limit` s for the child to end, collecting syslog datagrams
// meanwhile (a full /dev/log queue would block its sender). Returns the wait
// status, or -1 when the child had to be killed.
int Reap(pid_t pid, int pidfd, double limit, std::vector<vxtest::SyslogRecord> *syslog) {
  auto start = Clock::now();
  int left = 0, ws = 0;
  while (pid > 0 && (left = static_cast<int>((limit - Since(start)) * 1000)) > 0) {
    pollfd fds[2] = {{pidfd, POLLIN, 0}, {g_syslog_fd, POLLIN, 0}};
    if (poll(fds, 2, left) > 0 && fds[0].revents) break;
    DrainSyslog(syslog);
  }
  bool killed = pid > 0 && left <= 0 && kill(pid, SIGKILL) == 0;
  if (pid <= 0 || waitpid(pid, &ws, 0) != pid) ws = -1;
  DrainSyslog(syslog);
  close(pidfd);
  return killed ? -1 : ws;
}

}  // namespace

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::string Join(const std::vector<std::string> &words) {
  std::string text;
  for (const auto &w : words) text += (text.empty() ? "" : " ") + w;
  return text;
}

const std::string &EnterSandbox() {
  static const std::string reason = Enter();
  return reason;
}

void ResetState(const std::string &config, unsigned mode) {
  for (const char *dir : kPrivateDirs) {
    for (const auto &entry : fs::directory_iterator(dir)) fs::remove_all(entry.path());
    fs::permissions(dir, static_cast<fs::perms>(0755));
  }
  WriteRootFile("/etc/vorlex/vorlex.conf", config, mode);
  WriteRootFile(kEmergencyLog, "", 0644);
  DrainSyslog(nullptr);
}

RunResult RunVxaccounts(const std::vector<std::string> &args, const Launch &launch) {
  RunResult r;
  int out = memfd_create("out", MFD_CLOEXEC), err = memfd_create("err", MFD_CLOEXEC), pidfd = -1;
  std::vector<std::string> argv = launch.wrapper;
  argv.push_back(VX_E2E_VXACCOUNTS);
  argv.insert(argv.end(), args.begin(), args.end());
  auto start = Clock::now();
  r.pid =
      Spawn(argv, launch.out_fd >= 0 ? launch.out_fd : out, err, launch.as_nobody, &pidfd, launch.closed_fd);
  if (r.pid > 0 && launch.meanwhile) launch.meanwhile(r.pid);
  int ws = Reap(r.pid, pidfd, kRunLimitSeconds, &r.syslog);
  r.seconds = Since(start);
  r.timed_out = ws == -1;
  r.signal = WIFSIGNALED(ws) ? WTERMSIG(ws) : 0;
  r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + r.signal;
  r.out = vxtest::ReadFile("/proc/self/fd/" + std::to_string(out));
  r.err = vxtest::ReadFile("/proc/self/fd/" + std::to_string(err));
  close(out);
  close(err);
  return r;
}

std::string Agent::Start(const std::vector<std::pair<std::string, std::string>> &files,
                         const std::vector<std::string> &faults, bool as_nobody) {
  for (const auto &[name, content] : files) data_.write(name, content);
  if (as_nobody) {
    fs::permissions("/var/vorlex", static_cast<fs::perms>(01777));
    for (const std::string &dir : {data_.path(), record_.path()})
      Check(chown(dir.c_str(), kNobody, kNobody) == 0, "chown " + dir);
  }
  std::vector<std::string> argv{VX_E2E_AGENTSIM, "--socket",           kClientSocket,
                                "--kest-socket", "/var/vorlex/daemon", "--data",
                                data_.path(),    "--record",           record_.path()};
  for (const auto &f : faults) argv.insert(argv.end(), {"--fault", f});
  std::string log_path = record_.file("agent.log");
  int log_fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  pid_ = Spawn(argv, log_fd, log_fd, as_nobody, &pidfd_);
  close(log_fd);
  for (auto start = Clock::now(); pid_ > 0 && Since(start) < kReadySeconds; usleep(10000))
    if (("\n" + Record("agent.log")).find("\nready ") != std::string::npos) return "";
  return "the agent did not get ready: " + Record("agent.log");
}

int Agent::Stop(bool sync) {
  if (pid_ <= 0) return 0;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{AF_UNIX, {}};
  strcpy(addr.sun_path, kClientSocket);
  uint32_t answer = 0;
  pollfd p{fd, POLLIN, 0};
  if (sync && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
      send(fd, &kHello, sizeof kHello, MSG_NOSIGNAL) == sizeof kHello &&
      poll(&p, 1, static_cast<int>(kSyncSeconds * 1000)) > 0)
    (void)!read(fd, &answer, sizeof answer);
  close(fd);
  kill(pid_, SIGTERM);
  int ws = Reap(pid_, pidfd_, kStopSeconds, nullptr);
  pid_ = pidfd_ = -1;
  return ws >= 0 && WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
}

std::string Users(int count) {
  std::string lines;
  for (int i = 0; i < count; ++i) {
    std::string n = std::to_string(10000 + i);
    lines += S("user", n, ":x:", n, ":", n, "::/home/user", n, ":/bin/sh\n");
  }
  return lines;
}

std::string Unescape(const std::string &field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    bool escape = field[i] == '\\' && i + 1 < field.size();
    char c = escape ? field[++i] : field[i];
    out += !escape ? c : c == 't' ? '\t' : c == 'n' ? '\n' : c;
  }
  return out;
}

std::vector<std::string> Split(const std::string &text, char sep) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, sep);) parts.push_back(part);
  if (sep != '\n' && !text.empty() && text.back() == sep) parts.emplace_back();
  return parts;
}

}  // namespace vxe2e
