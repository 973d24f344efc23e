// Runs a piece of the command in a forked child, the way the command runs
// it: whatever it writes to standard output and error is captured, and a
// call to exit() ends only the child.
#pragma once

#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "support/temp_dir.h"

namespace clitest {

struct ChildResult {
  int status = -1;  // exit status, or -1 when the child did not exit normally
  std::string out;
  std::string err;
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
    _exit(status);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  ChildResult result;
  result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  result.out = vxtest::ReadFile(out);
  result.err = vxtest::ReadFile(err);
  return result;
}

}  // namespace clitest
