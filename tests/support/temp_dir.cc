#include "temp_dir.h"

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
  ::unlink(p.c_str());  // a new file, also where a link was
  std::ofstream(p, std::ios::binary) << content;
  if (::chmod(p.c_str(), mode) != 0) throw std::runtime_error("cannot create " + p);
  return p;
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

int CountOpenFds() {  // less the directory's own
  return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {})) - 1;
}

}  // namespace vxtest
