// A private temporary directory, removed with everything in it when the
// object goes out of scope.
#pragma once

#include <string>

namespace vxtest {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::string &path() const { return path_; }
  // Absolute path of `name` inside the directory.
  std::string file(const std::string &name) const { return path_ + "/" + name; }
  // Writes `content` to `name` (created or replaced) with `mode`; returns its path.
  std::string write(const std::string &name, const std::string &content, unsigned mode = 0644) const;

 private:
  std::string path_;
};

// Reads a whole file; empty when it cannot be read.
std::string ReadFile(const std::string &path);

// Number of open descriptors of this process (for leak checks).
int CountOpenFds();

}  // namespace vxtest
