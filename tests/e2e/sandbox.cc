#include "sandbox.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vxe2e {
namespace {

namespace fs = std::filesystem;

const char *const kPrivateDirs[] = {"/etc/vorlex", "/var/vorlex", "/var/log"};
const char *const kDevices[] = {"null", "zero", "urandom", "random"};
constexpr size_t kMaxDatagram = 8192;

int g_syslog_fd = -1;

std::string Errno(const std::string &what) { return what + ": " + strerror(errno); }

// Mounts a tmpfs at `dir`; throws on failure.
void MountTmpfs(const std::string &dir, const char *mode) {
  std::string opts = std::string("mode=") + mode;
  if (mount("vx-e2e", dir.c_str(), "tmpfs", 0, opts.c_str()) != 0)
    throw std::runtime_error(Errno("mount tmpfs on " + dir));
}

// Makes `dir` exist inside the namespace only: when it is missing, its parent
// is covered by an overlay whose upper layer lives in `scratch`.
void EnsureDir(const std::string &dir, const std::string &scratch) {
  if (fs::is_directory(dir)) return;
  std::string parent = fs::path(dir).parent_path().string();
  std::string base = scratch + "/ov" + std::to_string(std::hash<std::string>{}(parent));
  fs::create_directories(base + "/u");
  fs::create_directories(base + "/w");
  std::string opts = "lowerdir=" + parent + ",upperdir=" + base + "/u,workdir=" + base + "/w";
  if (mount("overlay", parent.c_str(), "overlay", 0, opts.c_str()) != 0)
    throw std::runtime_error(Errno("overlay on " + parent));
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) throw std::runtime_error(Errno("mkdir " + dir));
}

// A fresh /dev holding only the few devices the programs need, bound from
// the real one, and the standard descriptor links.
void PrivateDev(const std::string &scratch) {
  std::string real = scratch + "/realdev";
  fs::create_directories(real);
  if (mount("/dev", real.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
    throw std::runtime_error(Errno("bind /dev"));
  MountTmpfs("/dev", "0755");
  for (const char *dev : kDevices) {
    std::string target = std::string("/dev/") + dev;
    WriteFileAs(target, "", 0666);
    if (mount((real + "/" + dev).c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
      throw std::runtime_error(Errno("bind " + target));
  }
  symlink("/proc/self/fd", "/dev/fd");
  symlink("/proc/self/fd/0", "/dev/stdin");
  symlink("/proc/self/fd/1", "/dev/stdout");
  symlink("/proc/self/fd/2", "/dev/stderr");
  umount2(real.c_str(), MNT_DETACH);
}

void ListenOnDevLog() {
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) throw std::runtime_error(Errno("socket"));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strcpy(addr.sun_path, "/dev/log");
  if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
    throw std::runtime_error(Errno("bind /dev/log"));
  chmod("/dev/log", 0666);
  int size = 1 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  g_syslog_fd = fd;
}

void Build() {
  if (unshare(CLONE_NEWNS) != 0) throw std::runtime_error(Errno("unshare(CLONE_NEWNS)"));
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    throw std::runtime_error(Errno("make / private"));
  char tmpl[] = "/tmp/vx-e2e-ns.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) throw std::runtime_error(Errno("mkdtemp"));
  std::string scratch = tmpl;
  MountTmpfs(scratch, "0700");
  for (const char *dir : kPrivateDirs) {
    EnsureDir(dir, scratch);
    MountTmpfs(dir, "0755");
  }
  PrivateDev(scratch);
  ListenOnDevLog();
  // The overlays keep their upper layers alive; the scratch mount point
  // itself is no longer needed and the host's /tmp gets its directory back.
  umount2(scratch.c_str(), MNT_DETACH);
  rmdir(scratch.c_str());
}

std::string Enter() {
  if (geteuid() != 0)
    return "end-to-end tests need root: they run vxaccounts inside a private mount namespace";
  try {
    Build();
  } catch (const std::exception &e) {
    return std::string("cannot build the private mount namespace: ") + e.what();
  }
  return "";
}

void EmptyDir(const std::string &dir) {
  for (const auto &entry : fs::directory_iterator(dir)) fs::remove_all(entry.path());
}

}  // namespace

const std::string &EnterSandbox() {
  static const std::string reason = Enter();
  return reason;
}

void ResetState(const std::string &config, unsigned config_mode) {
  for (const char *dir : kPrivateDirs) EmptyDir(dir);
  WriteFileAs("/etc/vorlex/vorlex.conf", config, config_mode);
  WriteFileAs("/var/log/quarnel_client.log", "", 0644);
  DrainSyslog();
}

int SyslogFd() { return g_syslog_fd; }

SyslogRecord ParseSyslog(const std::string &raw) {
  SyslogRecord rec;
  rec.raw = raw;
  std::string rest = raw;
  if (!rest.empty() && rest[0] == '<') {
    size_t close = rest.find('>');
    if (close != std::string::npos) {
      rec.priority = atoi(rest.substr(1, close - 1).c_str());
      rest = rest.substr(close + 1);
    }
  }
  // glibc puts "Mmm dd hh:mm:ss " (16 bytes) before the ident.
  if (rest.size() > 16 && rest[3] == ' ' && rest[6] == ' ' && rest[9] == ':') rest = rest.substr(16);
  size_t colon = rest.find(": ");
  if (colon != std::string::npos) {
    rec.ident = rest.substr(0, colon);
    rec.text = rest.substr(colon + 2);
  } else {
    rec.text = rest;
  }
  while (!rec.text.empty() && (rec.text.back() == '\n' || rec.text.back() == '\0')) rec.text.pop_back();
  return rec;
}

std::vector<SyslogRecord> DrainSyslog() {
  std::vector<SyslogRecord> out;
  if (g_syslog_fd < 0) return out;
  char buf[kMaxDatagram];
  for (;;) {
    ssize_t n = recv(g_syslog_fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0) break;
    out.push_back(ParseSyslog(std::string(buf, static_cast<size_t>(n))));
  }
  return out;
}

void WriteFileAs(const std::string &path, const std::string &content, unsigned mode) {
  unlink(path.c_str());
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) throw std::runtime_error(Errno("create " + path));
  size_t done = 0;
  while (done < content.size()) {
    ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  fchown(fd, 0, 0);
  fchmod(fd, mode);
  close(fd);
}

std::string ReadWhole(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace vxe2e
