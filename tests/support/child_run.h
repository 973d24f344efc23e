// Runs a piece of code in a forked child: whatever it writes to standard
// output and error is captured, and a call to exit() (or anything else the
// child does to its process: dropping privileges, entering a namespace) ends
// with the child.
#pragma once

#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "temp_dir.h"

#ifdef VX_COVERAGE
// Writes the counters of a coverage build: a child that ends with _exit()
// would otherwise lose what it reached.
extern "C" void __gcov_dump(void);
#endif

namespace vxtest {

// Ends a forked child at once (no exit handlers, no stdio flush of the
// parent's buffers), keeping what it reached in a coverage build.
[[noreturn]] inline void ExitChild(int status) {
#ifdef VX_COVERAGE
  __gcov_dump();
#endif
  _exit(status);
}

struct ChildResult {
  int status = -1;  // exit status, or -1 when the child did not exit normally
  pid_t pid = -1;
  std::string out, err;
};

inline ChildResult RunInChild(const std::function<int()> &body) {
  vxtest::TempDir dir;
  const std::string out = dir.file("out"), err = dir.file("err");
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) _exit(120);
    int status = body();
    fflush(nullptr);
    ExitChild(status);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  return {WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1, pid, vxtest::ReadFile(out), vxtest::ReadFile(err)};
}

}  // namespace vxtest
