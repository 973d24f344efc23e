#include "temp_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vxtest {

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "vxtest.XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::write(const std::string &name, const std::string &content, unsigned mode) const {
  std::string p = file(name);
  ::unlink(p.c_str());
  int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (fd < 0) throw std::runtime_error("cannot create " + p);
  size_t done = 0;
  while (done < content.size()) {
    ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  ::fchmod(fd, mode);
  ::close(fd);
  return p;
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

int CountOpenFds() {
  int count = 0;
  DIR *d = ::opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  while (struct dirent *e = ::readdir(d)) {
    if (e->d_name[0] != '.') ++count;
  }
  ::closedir(d);
  return count - 1;  // the directory stream itself
}

}  // namespace vxtest
