#include "log_sink.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <sstream>

namespace vxtest {
namespace {

const char *const kDevices[] = {"null", "zero", "urandom", "random"};

bool Bind(const std::string &from, const std::string &to, unsigned long flags = MS_BIND) {
  return mount(from.c_str(), to.c_str(), nullptr, flags, nullptr) == 0;
}

}  // namespace

std::vector<std::string> EmergencyRecords(const std::string &content, const std::string &who) {
  static const std::regex kStamp("[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} ");
  constexpr size_t kStampSize = 16;
  std::vector<std::string> records;
  std::istringstream in(content);
  for (std::string line; std::getline(in, line);) {
    bool ours = line.size() > kStampSize + who.size() + 1 &&
                std::regex_match(line.substr(0, kStampSize), kStamp) &&
                line.compare(kStampSize, who.size() + 1, who + " ") == 0;
    records.push_back(ours ? line.substr(kStampSize + who.size() + 1) : line);
  }
  return records;
}

SyslogRecord ParseSyslog(const std::string &raw) {
  static const std::regex kForm(
      "<([0-9]+)>(?:[A-Z][a-z]{2} [ 0-9]{2} [0-9:]{8} )?([^:]*): ([\\s\\S]*?)[\n\\x00]*");
  std::smatch m;
  if (!std::regex_match(raw, m, kForm)) return {-1, "", raw, raw};
  return {std::stoi(m[1].str()), m[2].str(), m[3].str(), raw};
}

bool EnterMountNamespace() {
  return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

int PrivateDev(const std::string &scratch) {
  const std::string real = scratch + "/realdev";
  std::error_code ec;
  std::filesystem::create_directories(real, ec);
  bool ok = Bind("/dev", real, MS_BIND | MS_REC) && mount("vx-dev", "/dev", "tmpfs", 0, "mode=0755") == 0;
  for (const char *dev : kDevices) {
    const std::string path = std::string("/dev/") + dev;
    ok = ok && mknod(path.c_str(), S_IFREG | 0666, 0) == 0 && Bind(real + "/" + dev, path);
  }
  umount2(real.c_str(), MNT_DETACH);
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_un addr{AF_UNIX, "/dev/log"};
  if (!ok || symlink("/proc/self/fd", "/dev/fd") != 0 ||
      bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || chmod("/dev/log", 0666) != 0) {
    close(fd);
    return -1;
  }
  int size = 1 << 20;  // room for every datagram of a verbose run
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  return fd;
}

}  // namespace vxtest
