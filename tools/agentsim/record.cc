#include "record.h"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

namespace agentsim {
namespace {

constexpr const char *kFileNames[] = {"frames.log", "requests.log", "log2.log", "audit.log"};
constexpr mode_t kFileMode = 0644;
constexpr mode_t kDirMode = 0755;

}  // namespace

Recorder::Recorder(std::string dir) : dir_(std::move(dir)) {
  if (enabled() && ::mkdir(dir_.c_str(), kDirMode) != 0 && errno != EEXIST) {
    (void)std::fprintf(stderr, "vxagent-sim: cannot create record directory %s: %s\n", dir_.c_str(),
                       strerror(errno));
  }
}

std::string EscapeCell(Cell cell) {
  if (!cell) return "(null)";
  std::string out;
  out.reserve(cell->size());
  for (char c : *cell) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      default:
        out += c;
    }
  }
  return out;
}

int Recorder::FileFor(RecordFile file) {
  UniqueFd &fd = fds_[static_cast<size_t>(file)];
  if (!fd) {
    std::string path = dir_ + "/" + kFileNames[static_cast<size_t>(file)];
    fd.reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, kFileMode));
    if (!fd) (void)std::fprintf(stderr, "vxagent-sim: cannot open %s: %s\n", path.c_str(), strerror(errno));
  }
  return fd.get();
}

void Recorder::Write(RecordFile file, std::span<const Cell> cells) {
  if (!enabled()) return;
  std::string line;
  for (const Cell &cell : cells) {
    if (&cell != cells.data()) line += '\t';
    line += EscapeCell(cell);
  }
  line += '\n';
  int fd = FileFor(file);
  if (fd < 0) return;
  ssize_t n = ::write(fd, line.data(), line.size());
  if (n != static_cast<ssize_t>(line.size())) {
    (void)std::fprintf(stderr, "vxagent-sim: short write to %s\n", kFileNames[static_cast<size_t>(file)]);
  }
}

}  // namespace agentsim
