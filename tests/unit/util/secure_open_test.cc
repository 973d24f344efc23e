#include "util/secure_open.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
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

// The status of an open that gave `fd` or `f`, after checking that result
// and status agree; writes `text` to what was opened and closes it. (`st`
// is read here, after the open has set it.)
uint32_t Done(int fd, const uint32_t &st, const char *text = "") {
  EXPECT_EQ(fd >= 0, st == SOPEN_OK) << "descriptor " << fd << ", status " << st;
  if (fd < 0) return st;
  EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << "the descriptor keeps O_NONBLOCK";
  EXPECT_TRUE(*text == '\0' || write(fd, text, strlen(text)) == static_cast<ssize_t>(strlen(text)));
  close(fd);
  return st;
}
uint32_t Done(FILE *f, const uint32_t &st, const char *text = "") {
  EXPECT_EQ(f != nullptr, st == SOPEN_OK) << "status " << st;
  if (f == nullptr) return st;
  fputs(text, f);
  fclose(f);
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
      uint32_t st = kUnset, status;
      if (!writing && call != "read") {
        const int flags = (call == "trunc-read" ? O_RDONLY : O_WRONLY) | O_TRUNC;
        status = Done(SecureOpen(path, flags, 0, secure ? 0 : SOPEN_PLAIN, &st), st);
      } else if (stream) {
        status = writing ? Done((secure ? SecureFOpenForWriting : FOpenForWriting)(path, 0600, mode, &st), st,
                                "new")
                         : Done((secure ? SecureFOpenForReading : FOpenForReading)(path, &st), st);
      } else {
        status =
            writing ? Done((secure ? SecureOpenForWriting : OpenForWriting)(path, 0600, mode, &st), st, "new")
                    : Done((secure ? SecureOpenForReading : OpenForReading)(path, &st), st);
      }
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

TEST(SecureOpen, NullStatusIsTolerated) {
  VXTEST_SKIP_UNLESS_OWN_FILES_PASS_OWNER_CHECK();
  TempDir dir;
  EXPECT_EQ(SecureOpenForReading(dir.file("absent").c_str(), nullptr), -1);
  const uint32_t st = SOPEN_OK;
  EXPECT_EQ(Done(SecureFOpenForReading(dir.write("good", "old").c_str(), nullptr), st), SOPEN_OK);
}

}  // namespace
