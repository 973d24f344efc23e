// The record directory: what reached the agent, one line per event.
//
// Cells are tab-separated; inside a cell backslash, tab and line feed are
// written as \\, \t and \n, and a null cell as (null). Each file is opened
// with O_APPEND on its first line and every line goes out in one write(), so
// a reader never sees half a line.
#pragma once

#include <array>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "unique_fd.h"

namespace agentsim {

enum class RecordFile { kFrames, kRequests, kLog2, kAudit };

// One cell; std::nullopt is a null string.
using Cell = std::optional<std::string_view>;

class Recorder {
 public:
  // An empty directory records nothing. A missing directory is created.
  explicit Recorder(std::string dir);

  bool enabled() const { return !dir_.empty(); }
  void Write(RecordFile file, std::span<const Cell> cells);
  void Write(RecordFile file, std::initializer_list<Cell> cells) {
    Write(file, std::span<const Cell>(cells.begin(), cells.size()));
  }

 private:
  int FileFor(RecordFile file);

  std::string dir_;
  std::array<UniqueFd, 4> fds_;
};

// The text of one cell as it appears in a line.
std::string EscapeCell(Cell cell);

}  // namespace agentsim
