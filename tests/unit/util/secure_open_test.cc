#include "util/secure_open.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support/secure_owner.h"
#include "support/table_file.h"
#include "support/temp_dir.h"

namespace {

using vxtest::ReadFile;
using vxtest::TempDir;

constexpr uint32_t kUnset = 0xdeadu;

// Opens `path` as CALL of a row says, through the stream function of the
// call with `stream`: checks that result and status agree and that the
// descriptor keeps O_NONBLOCK, writes "new" to what a write mode opened and
// closes it. Returns the status.
uint32_t Open(const char *path, const std::string &call, bool secure, bool stream, int mode) {
  const bool trunc = call.rfind("trunc-", 0) == 0, writing = call != "read" && !trunc;
  uint32_t st = kUnset;
  FILE *f = nullptr;
  int fd = -1;
  if (trunc) {
    fd = SecureOpen(path, (call == "trunc-read" ? O_RDONLY : O_WRONLY) | O_TRUNC, 0, secure ? 0 : SOPEN_PLAIN,
                    &st);
  } else if (stream) {
    f = writing ? (secure ? SecureFOpenForWriting : FOpenForWriting)(path, 0600, mode, &st)
                : (secure ? SecureFOpenForReading : FOpenForReading)(path, &st);
  } else {
    fd = writing ? (secure ? SecureOpenForWriting : OpenForWriting)(path, 0600, mode, &st)
                 : (secure ? SecureOpenForReading : OpenForReading)(path, &st);
  }
  fd = f != nullptr ? fileno(f) : fd;
  EXPECT_EQ(fd >= 0, st == SOPEN_OK) << "descriptor " << fd << ", status " << st;
  if (fd < 0) return st;
  EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << "the descriptor keeps O_NONBLOCK";
  EXPECT_TRUE(!writing || write(fd, "new", 3) == 3);
  EXPECT_EQ(f != nullptr ? fclose(f) : close(fd), 0);
  return st;
}

// Makes the file "good" holding "old" in `d`, and what `kind` names; returns the path to open.
std::string MakePath(const TempDir &d, const std::string &kind, unsigned mode, const std::string &owner) {
  const std::string good = d.write("good", "old", mode), other = d.file("other");
  int rc = owner != "-" ? chown(good.c_str(), static_cast<uid_t>(std::stoul(owner)), 0) : 0;
  if (kind == "symlink") rc |= symlink(good.c_str(), other.c_str());
  if (kind == "dangling") rc |= symlink(d.file("absent").c_str(), other.c_str());
  if (kind == "hardlink") rc |= link(good.c_str(), other.c_str());
  if (kind == "fifo") rc |= mkfifo(other.c_str(), 0644);
  EXPECT_EQ(rc, 0) << "making " << kind;
  if (kind == "file") return good;
  if (kind == "dir") return d.path();
  if (kind == "notdir") return good + "/x";
  return other;  // "absent" and "null" create nothing there
}

// Each row of golden/secure_open.table, through the descriptor and the
// stream function of its call: the status, what the files hold afterwards,
// the mode of a file the call created, and nothing left open.
TEST(SecureOpen, EveryRowOfTheTableGivesItsStatusAndFiles) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  for (const vxtest::Row &r : vxtest::ReadTable(UTIL_GOLDEN_DIR "/secure_open.table")) {
    SCOPED_TRACE(r.where);
    ASSERT_EQ(r.fields.size(), 7u);
    const std::string kind = r[0], call = r[4];
    const bool secure = r[3] == "secure", writing = call != "read" && call.rfind("trunc-", 0) != 0;
    if (r[2] != "-" && geteuid() != 0) continue;  // only root gives files away
    for (bool stream : {false, true}) {
      TempDir dir;
      const std::string made = MakePath(dir, kind, static_cast<unsigned>(r.Number(1)), r[2]);
      const char *path = kind != "null" ? made.c_str() : nullptr;
      const int fds = vxtest::CountOpenFds();
      const int mode = writing ? static_cast<int>(r.Number(4)) : 0;
      const uint32_t status = Open(path, call, secure, stream, mode);
      EXPECT_EQ(status, r.Number(5)) << (stream ? "stream" : "descriptor");
      const bool linked = kind == "symlink" || kind == "hardlink";
      EXPECT_EQ(r[6] == "-" ? "-" : ReadFile(path) + (linked ? "|" + ReadFile(dir.file("good")) : ""), r[6]);
      struct stat sb {};
      const bool created = writing && status == SOPEN_OK && (kind == "absent" || mode == WRITE_MODE_REPLACE);
      EXPECT_TRUE(!created || (stat(path, &sb) == 0 && (sb.st_mode & 0777) == 0600)) << "creation mode";
      EXPECT_EQ(vxtest::CountOpenFds(), fds);
    }
  }
}

}  // namespace
