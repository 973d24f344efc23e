// The real vxaccounts against vxagent-sim, one row per way a run can end:
// the cases of testdata/runs.txt and the fault matrix built below. A row gives
// the command line, caller, agent state and faults and the configuration, and
// everything the run must leave: exit status, stdout, stderr, the audit event
// (at the agent or its syslog fall-back), the account requests the agent saw
// and the sessions that carried them, the credentials on every frame, the
// client-log records and the run time.
//
// The test process enters its own mount namespace once, with empty tmpfs over
// /etc/vorlex, /var/vorlex and /var/log (a missing one is made inside an
// overlay of its parent, so the host never changes) and a private /dev whose
// /dev/log is a datagram socket read by the test. There it runs vxaccounts and
// vxagent-sim, every wait bounded.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/log_sink.h"
#include "support/sanitizer.h"
#include "support/temp_dir.h"

namespace vxe2e {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uid_t kNobody = 65534;
const char *const kPrivateDirs[] = {"/etc/vorlex", "/var/vorlex", "/var/log"};
constexpr char kClientSocket[] = "/var/vorlex/daemon2";
constexpr char kEmergencyLog[] = "/var/log/quarnel_client.log";
// Made by the preloaded calloc (fail_release_list_block.c) when it fails.
constexpr char kFailMark[] = "/var/log/calloc-failed";
constexpr size_t kMaxDatagram = 8192;
constexpr double kRunLimitSeconds = 60;  // a run still going then is killed
constexpr double kReadySeconds = 10, kSyncSeconds = 2, kStopSeconds = 5, kAwaitSeconds = 10;
constexpr uint32_t kHello = 3;
const char *const kLevels[] = {"TRACE", "DEBUG", "INFO", "WARNING", "ERROR", "FATAL"};
enum { kTrace, kDebug, kWarning = 3 };
// The agent's data, which lists and dumps print: bob and wheel are marked for
// removal, root's principal is kUpn.
constexpr char kUpn[] = "admin@VORLEX.TEST";
const char kAlice[] = "alice:x:1001:1001:Alice Archer:/home/alice:/bin/bash\n";
const char kBob[] = "bob:x:1002:1002:Bob 100% Builder:/home/bob:/bin/sh\n";
const char kCarol[] = "carol:x:1003:1003::/home/carol:/bin/false\n";
const char kGroups[] = "staff:x:2001:alice,bob\nadmins:x:2002:carol\nwheel:x:2003:\n";

template <typename... T>
std::string S(const T &...parts) {
  return (std::string() + ... + std::string(parts));
}

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::vector<std::string> Split(const std::string &text, char sep) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, sep);) parts.push_back(part);
  if (sep != '\n' && !text.empty() && text.back() == sep) parts.emplace_back();
  return parts;
}

// Backslash, tab and newline escapes (as the agent writes them) undone.
std::string Unescape(const std::string &field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    bool escape = field[i] == '\\' && i + 1 < field.size();
    char c = escape ? field[++i] : field[i];
    out += !escape ? c : c == 't' ? '\t' : c == 'n' ? '\n' : c;
  }
  return out;
}

// ---- The sandbox ----

int g_syslog_fd = -1;

void Check(bool ok, const std::string &what) {
  if (!ok) throw std::runtime_error(what + ": " + strerror(errno));
}

void Mount(const char *src, const std::string &dir, const char *type, const std::string &opts) {
  Check(mount(src, dir.c_str(), type, 0, opts.c_str()) == 0, "mount " + dir);
}

// Makes `dir` exist inside the namespace only: when it is missing, its parent
// is covered by an overlay whose upper layer lives in `scratch`.
void EnsureDir(const std::string &dir, const std::string &scratch) {
  if (fs::is_directory(dir)) return;
  std::string parent = fs::path(dir).parent_path();
  std::string base = scratch + "/ov" + std::to_string(std::hash<std::string>{}(parent));
  fs::create_directories(base + "/u");
  fs::create_directories(base + "/w");
  Mount("overlay", parent, "overlay",
        "lowerdir=" + parent + ",upperdir=" + base + "/u,workdir=" + base + "/w");
  Check(mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST, "mkdir " + dir);
}

std::string Enter() {
  if (geteuid() != 0)
    return "end-to-end tests need root: they run vxaccounts inside a private mount namespace";
  try {
    Check(vxtest::EnterMountNamespace(), "unshare");
    char scratch[] = "/tmp/vx-e2e-ns.XXXXXX";
    Check(mkdtemp(scratch) != nullptr, "mkdtemp");
    Mount("vx-e2e", scratch, "tmpfs", "mode=0700");
    for (const char *dir : kPrivateDirs) {
      EnsureDir(dir, scratch);
      Mount("vx-e2e", dir, "tmpfs", "mode=0755");
    }
    Check((g_syslog_fd = vxtest::PrivateDev(scratch)) >= 0, "private /dev");
    umount2(scratch, MNT_DETACH);  // the overlays keep their upper layers alive
    rmdir(scratch);
  } catch (const std::exception &e) {
    return std::string("cannot build the private mount namespace: ") + e.what();
  }
  return "";
}

// Empty once inside the sandbox, else why it is unavailable.
const std::string &EnterSandbox() {
  static const std::string reason = Enter();
  return reason;
}

void DrainSyslog(std::vector<vxtest::SyslogRecord> *into) {
  char buf[kMaxDatagram];
  for (ssize_t n; g_syslog_fd >= 0 && (n = recv(g_syslog_fd, buf, sizeof buf, MSG_DONTWAIT)) >= 0;)
    if (into != nullptr) into->push_back(vxtest::ParseSyslog(std::string(buf, static_cast<size_t>(n))));
}

// A fresh file of root's (the test runs as root) with `mode`; throws on failure.
void WriteRootFile(const std::string &path, const std::string &content, unsigned mode) {
  fs::remove(path);
  std::ofstream(path) << content;
  fs::permissions(path, static_cast<fs::perms>(mode));
}

// Empties the private directories, writes the configuration (root, `mode`)
// and an empty emergency log, and drops queued syslog datagrams.
void ResetState(const std::string &config, unsigned mode) {
  for (const char *dir : kPrivateDirs) {
    for (const auto &entry : fs::directory_iterator(dir)) fs::remove_all(entry.path());
    fs::permissions(dir, static_cast<fs::perms>(0755));
  }
  WriteRootFile("/etc/vorlex/vorlex.conf", config, mode);
  WriteRootFile(kEmergencyLog, "", 0644);
  DrainSyslog(nullptr);
}

// ---- Processes: the command and the agent ----

// Forks `argv` with stdout and stderr on `out` and `err`, and `closed` (if
// any) closed, as user and group `uid` (when not root); sets its pidfd.
pid_t Spawn(const std::vector<std::string> &argv, int out, int err, uid_t uid, int *pidfd, int closed = -1) {
  pid_t pid = fork();
  if (pid == 0) {
    dup2(open("/dev/null", O_RDONLY), 0);
    dup2(out, 1);
    dup2(err, 2);
    if (closed >= 0) close(closed);
    if (uid != 0 &&
        (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0))
      _exit(126);
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  *pidfd = pid > 0 ? static_cast<int>(syscall(SYS_pidfd_open, pid, 0)) : -1;
  return pid;
}

// Waits up to `limit` s for the child to end, collecting syslog datagrams
// meanwhile (a full /dev/log queue would block its sender). Returns the wait
// status, or -1 when the child had to be killed.
int Reap(pid_t pid, int pidfd, double limit, std::vector<vxtest::SyslogRecord> *syslog) {
  auto start = Clock::now();
  int left = 0, ws = 0;
  while (pid > 0 && (left = static_cast<int>((limit - Since(start)) * 1000)) > 0) {
    pollfd fds[2] = {{pidfd, POLLIN, 0}, {g_syslog_fd, POLLIN, 0}};
    if (poll(fds, 2, left) > 0 && fds[0].revents) break;
    DrainSyslog(syslog);
  }
  bool killed = pid > 0 && left <= 0 && kill(pid, SIGKILL) == 0;
  if (pid <= 0 || waitpid(pid, &ws, 0) != pid) ws = -1;
  DrainSyslog(syslog);
  close(pidfd);
  return killed ? -1 : ws;
}

// vxagent-sim on the standard sockets, serving a data directory of its own
// and recording into another (its own output goes to agent.log there).
class Agent {
 public:
  ~Agent() { Stop(false); }

  // Writes the data (with `users` > 0, that many passwd lines user10000...
  // instead of alice, bob and carol) into its data directory, starts it and
  // waits (bounded) for its "ready" line: "" or what went wrong. With
  // `as_nobody` it runs as 65534 (an impostor): /var/vorlex becomes
  // writable for it (until the next ResetState) and its directories its own.
  std::string Start(int users, const std::vector<std::string> &faults, bool as_nobody) {
    std::string passwd = users > 0 ? "" : S(kAlice, kBob, kCarol);
    for (int i = 0; i < users; ++i) {
      const std::string n = std::to_string(10000 + i);
      passwd += S("user", n, ":x:", n, ":", n, "::/home/user", n, ":/bin/sh\n");
    }
    data_.write("passwd", passwd);
    data_.write("group", kGroups);
    data_.write("remove", "bob\nwheel\n");
    data_.write("upn", S("root ", kUpn, "\n"));
    if (as_nobody) {
      fs::permissions("/var/vorlex", static_cast<fs::perms>(01777));
      for (const std::string &dir : {data_.path(), record_.path()})
        Check(chown(dir.c_str(), kNobody, kNobody) == 0, "chown " + dir);
    }
    std::vector<std::string> argv{VX_E2E_AGENTSIM, "--socket",           kClientSocket,
                                  "--kest-socket", "/var/vorlex/daemon", "--data",
                                  data_.path(),    "--record",           record_.path()};
    for (const auto &f : faults) argv.insert(argv.end(), {"--fault", f});
    int log_fd = open(record_.file("agent.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    pid_ = Spawn(argv, log_fd, log_fd, as_nobody ? kNobody : 0, &pidfd_);
    close(log_fd);
    for (auto start = Clock::now(); pid_ > 0 && Since(start) < kReadySeconds; usleep(10000))
      if (("\n" + Record("agent.log")).find("\nready ") != std::string::npos) return "";
    return "the agent did not get ready: " + Record("agent.log");
  }

  // With `sync`, first lets it handle all sent before (a handshake on a fresh
  // connection passes its poll loop after it). Then SIGTERM and a bounded
  // wait: its exit status, -1 when it had to be killed.
  int Stop(bool sync) {
    if (pid_ <= 0) return 0;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{AF_UNIX, {}};
    strcpy(addr.sun_path, kClientSocket);
    uint32_t answer = 0;
    pollfd p{fd, POLLIN, 0};
    if (sync && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
        send(fd, &kHello, sizeof kHello, MSG_NOSIGNAL) == sizeof kHello &&
        poll(&p, 1, static_cast<int>(kSyncSeconds * 1000)) > 0)
      (void)!read(fd, &answer, sizeof answer);
    close(fd);
    kill(pid_, SIGTERM);
    int ws = Reap(pid_, pidfd_, kStopSeconds, nullptr);
    pid_ = pidfd_ = -1;
    return ws >= 0 && WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
  }

  // A file of the record directory (requests.log, frames.log, log2.log,
  // audit.log, agent.log); empty when missing.
  std::string Record(const std::string &name) const { return vxtest::ReadFile(record_.file(name)); }

  // Waits (bounded) until it has received a request of `type`.
  bool AwaitRequest(int type) const {
    for (auto start = Clock::now(); Since(start) < kAwaitSeconds; usleep(10000))
      if (("\n" + Record("requests.log")).find(S("\n", std::to_string(type), "\t")) != std::string::npos)
        return true;
    return false;
  }

 private:
  vxtest::TempDir data_, record_;
  pid_t pid_ = -1;
  int pidfd_ = -1;
};

// ---- The rows ----

// A client-log record; an expected one matches the whole text or, with
// `prefix`, its start, and file and function only when given (the emergency
// log has neither).
struct Rec {
  int level = -1;
  std::string text, file{}, function{};
  bool prefix = false;
};

struct Audit {
  std::string where{}, user{}, message{};  // where: "agent" or "syslog"
  int event = 0;                           // 0: no audit event anywhere
};

// One run; see testdata/runs.txt for the meaning of each field.
struct Row {
  std::string name, error{};  // error: what the table reader could not take
  std::vector<std::string> args{}, wrapper{}, faults{};
  uid_t caller = 0;
  bool agent = true, impostor = false, head = false, fail_list_block = false;
  int users = 0, closed_fd = -1, status = -1;
  std::string conf{};  // empty: "vxagent.local.account.manage: true"
  unsigned conf_mode = 0644;
  std::string out{}, err{}, err_regex{};
  Audit audit{};
  std::vector<int> requests{};
  size_t sessions = 1;
  std::vector<Rec> records{}, absent{};
  bool emergency_empty = false;
  std::vector<std::pair<int, std::string>> syslog{};
  double min_seconds = 0, max_seconds = 5;
};

void PrintTo(const Row &row, std::ostream *os) { *os << row.name; }

using Text = const std::string &;  // a value of the table

// Takes the first word (up to a blank) off `text`; throws when there is none.
std::string Take(std::string &text) {
  const size_t blank = std::min(text.find(' '), text.size());
  if (blank == 0) throw std::invalid_argument("a word is missing");
  std::string word = text.substr(0, blank);
  text.erase(0, std::min(blank + 1, text.size()));
  return word;
}

// A whole decimal (or, with `base` 8, octal) number; throws on anything else.
int Int(const std::string &text, int base = 10) {
  size_t used = 0;
  const int n = std::stoi(text, &used, base);
  if (used != text.size()) throw std::invalid_argument(text);
  return n;
}

// The position of `text` among `choices`; throws when it is not there.
size_t OneOf(const std::string &text, const std::vector<std::string> &choices) {
  const auto it = std::find(choices.begin(), choices.end(), text);
  if (it == choices.end()) throw std::invalid_argument(text);
  return static_cast<size_t>(it - choices.begin());
}

// A key that takes no value; throws when it has one.
bool Flag(const std::string &value) { return OneOf(value, {""}) == 0; }

std::vector<std::string> Words(std::string text) {
  std::vector<std::string> words;
  while (!text.empty()) words.push_back(Take(text));
  return words;
}

// "NUMBER TEXT".
std::pair<int, std::string> NumberAndText(std::string text) {
  const int n = Int(Take(text));
  return {n, text};
}

// "MIN MAX", whole seconds.
std::pair<double, double> MinMax(Text text) {
  const auto [min, max] = NumberAndText(text);
  return {min, Int(max)};
}

// "LEVEL[@FILE:FUNCTION] TEXT", TEXT ending in "..." for a prefix.
Rec ParseRec(std::string text) {
  const std::string head = Take(text);
  const size_t at = head.find('@'), colon = head.rfind(':');
  Rec r{.level = static_cast<int>(OneOf(head.substr(0, at), {kLevels, kLevels + 6})), .text = text};
  if (at != std::string::npos && (colon == std::string::npos || colon < at))
    throw std::invalid_argument(head);
  if (at != std::string::npos)
    r.file = head.substr(at + 1, colon - at - 1), r.function = head.substr(colon + 1);
  r.prefix = text.size() >= 3 && text.compare(text.size() - 3, 3, "...") == 0;
  if (r.prefix) r.text.resize(text.size() - 3);
  return r;
}

// "WHERE EVENT USER[: MESSAGE]": a failure (2001) has a message, a success (2000) none.
Audit ParseAudit(std::string text) {
  Audit a{.where = Take(text)};
  a.event = Int(Take(text));
  const size_t colon = std::min(text.find(": "), text.size());
  a.user = text.substr(0, colon);
  a.message = text.substr(std::min(colon + 2, text.size()));
  OneOf(a.where, {"agent", "syslog"});
  if (a.user.empty() || a.event != (colon == text.size() ? 2000 : 2001))
    throw std::invalid_argument("a user, and a message after \": \" for event 2001 only");
  return a;
}

// Each key of testdata/runs.txt: whether it may repeat, and what it sets.
struct Field {
  bool repeatable;
  void (*set)(Row &, Text);
};
// clang-format off
const std::map<std::string, Field> kFields{
    {"args", {false, [](Row &r, Text v) { r.args = Words(v); }}},
    {"caller", {false, [](Row &r, Text v) { r.caller = static_cast<uid_t>(Int(v)); }}},
    {"wrapper", {false, [](Row &r, Text v) { r.wrapper = Words(v); }}},
    {"agent", {false, [](Row &r, Text v) { r.agent = r.impostor = OneOf(v, {"impostor", "none"}) == 0; }}},
    {"fault", {true, [](Row &r, Text v) { r.faults.push_back(v); }}},
    {"users", {false, [](Row &r, Text v) { r.users = Int(v); }}},
    {"conf", {true, [](Row &r, Text v) { r.conf += v + "\n"; }}},
    {"conf-mode", {false, [](Row &r, Text v) { r.conf_mode = static_cast<unsigned>(Int(v, 8)); }}},
    {"fail-list-block", {false, [](Row &r, Text v) { r.fail_list_block = Flag(v); }}},
    {"closed-fd", {false, [](Row &r, Text v) { r.closed_fd = Int(v); }}},
    {"head", {false, [](Row &r, Text v) { r.head = Flag(v); }}},
    {"status", {false, [](Row &r, Text v) { r.status = Int(v); }}},
    {"usage", {false, [](Row &r, Text v) { r.out = Flag(v) ? vxtest::ReadFile(VX_E2E_USAGE) : ""; }}},
    {"out", {true, [](Row &r, Text v) { r.out += v + "\n"; }}},
    {"err", {true, [](Row &r, Text v) { r.err += v + "\n"; }}},
    {"err-regex", {false, [](Row &r, Text v) { r.err_regex = v; }}},
    {"audit", {false, [](Row &r, Text v) { r.audit = ParseAudit(v); }}},
    {"requests", {false, [](Row &r, Text v) { for (auto &w : Words(v)) r.requests.push_back(Int(w)); }}},
    {"sessions", {false, [](Row &r, Text v) { r.sessions = static_cast<size_t>(Int(v)); }}},
    {"record", {true, [](Row &r, Text v) { r.records.push_back(ParseRec(v)); }}},
    {"absent", {true, [](Row &r, Text v) { r.absent.push_back(ParseRec(v)); }}},
    {"emergency-empty", {false, [](Row &r, Text v) { r.emergency_empty = Flag(v); }}},
    {"syslog", {true, [](Row &r, Text v) { r.syslog.push_back(NumberAndText(v)); }}},
    {"seconds", {false, [](Row &r, Text v) { std::tie(r.min_seconds, r.max_seconds) = MinMax(v); }}},
};
// clang-format on

// The cases of testdata/runs.txt. A line the reader cannot take fails the case
// it belongs to (a case of its own before the first one).
std::vector<Row> ReadTable() {
  std::vector<Row> rows;
  std::set<std::string> names, keys;
  std::ifstream in(VX_E2E_TABLE);
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    const std::string where = S("testdata/runs.txt:", std::to_string(++number), ": ", line);
    if (line.empty() || line[0] == '#') continue;
    std::string value = Unescape(line);
    const std::string key = value.substr(0, value.find(' '));
    value.erase(0, std::min(key.size() + 1, value.size()));
    if (key == "case") {
      const bool valid = std::regex_match(value, std::regex("[A-Za-z0-9]+")) && names.insert(value).second;
      rows.push_back({.name = valid ? value : S("Line_", std::to_string(number)),
                      .error = valid ? "" : where + " (a name of letters and digits, once)\n"});
      keys.clear();
      continue;
    }
    if (rows.empty()) rows.push_back({.name = S("Line_", std::to_string(number))});
    try {
      const auto field = kFields.find(key);
      if (field == kFields.end()) throw std::invalid_argument("unknown key");
      if (!keys.insert(key).second && !field->second.repeatable) throw std::invalid_argument("given twice");
      field->second.set(rows.back(), value);
    } catch (const std::exception &e) {
      rows.back().error += S(where, " (", e.what(), ")\n");
    }
  }
  for (Row &r : rows) r.error += r.status < 0 ? "no status\n" : "";
  if (rows.empty()) rows.push_back({.name = "Table", .error = "testdata/runs.txt: no case"});
  return rows;
}

// The fault matrix: every transport failure of the agent (rows) during every
// action and during the forwarding of the client log (columns). The fault
// rides on the action's own request (107 for forwarding); handshake faults hit
// every connection; "agent killed" exits after the column's victim request; an
// impostor (the agent run by another user) is refused on every session and
// must receive nothing. Time-outs are 1 s; every request the agent got is
// dumped at TRACE and the failure reported.
constexpr double kTimeoutSeconds = 1;       // lrpc.timeout and lrpc.connect.timeout
constexpr double kFixedConnectSeconds = 5;  // support library: user lookup and audit event
constexpr double kSlackSeconds = 1;
// Users of the large list: enough that the reply (over 1 MiB) is read into a
// mapping rather than a heap block.
constexpr int kLargeListUsers = 30000;
const char kOpen[] = "Failed to open connection to vxagent through '/var/vorlex/daemon2' ";
const char kNoLogSession[] = "Failed to open logging connection to vxagent through '/var/vorlex/daemon2': ";
const char kRefused[] = "Refused peer at '/var/vorlex/daemon";
const std::map<int, std::string> kDumps{{111, "ControlGetLocalAcctMgmtStatus[]"},
                                        {112, "ControlReloadLocalAccount[False,False]"},
                                        {113, "ControlListLocalAccount[\"all\",\"user\"]"},
                                        {114, "ControlDumpLocalAccount[\"user\"]"}};

// How a run ends; an end no cell of its column reaches is left at status -1.
struct End {
  int status = -1;
  std::string out{}, err{};
};
const End kFallback{157, "Manage Local Account Feature is disabled\n"};
const End kNoSession{13, "", "vxagent is not running/not available\n"};
const End kListed{0, S(kAlice, kBob, kCarol)}, kListFailed{159, "", "Failed to list local account\n"};

struct Action {
  const char *name;
  std::vector<std::string> args;
  int request;  // the request that carries the fault
  int victim;   // the one after which a killed agent exits: dump sends no 111; forwarding's
                // records gathered at start go out before the session, so it is gone by then
  std::vector<int> requests;
  size_t before_kill;  // how many of them a killed agent gets
  bool manage;         // vxagent.local.account.manage in the configuration
  End answered, failed;
  int users = 0;
};
// clang-format off
const Action kActions[] = {
    {"Status", {"-s"}, 111, 111, {111}, 1, false, {156, "Manage Local Account Feature is enabled\n"}, {}},
    {"Reload", {"-R"}, 112, 111, {111, 112}, 1, true, {0}, {158, "", "Failed to reload local account\n"}},
    {"List", {"-l", "all", "-u"}, 113, 111, {111, 113}, 1, true, kListed, kListFailed},
    {"Dump", {"-d", "user"}, 114, 901, {114}, 0, true, {}, {255}},
    {"LogForwarding", {"-l", "all", "-u"}, 107, 107, {111, 113}, 0, true, kListed, {}},
    {"LargeList", {"-l", "all", "-u"}, 113, 111, {111, 113}, 1, true, {}, kListFailed, kLargeListUsers},
};
// clang-format on

// Per column, how a cell ends: A the answer (`answered`), C the status from
// the configuration (which says disabled where the agent says enabled),
// F the request failed (`failed`), N no session (13); - a cell not run,
// because another cell of the row ends the same way: the four damaged-frame
// rows give the same status (the transport tests tell them apart), and the
// silent handshake waits out the same time-outs in every column that has no
// session.
enum Scope { kHandshake, kRequest, kKilled, kImpostor };
struct Failure {
  const char *name;
  Scope scope;
  const char *kind;     // fault kind, e.g. "silent" or "refuse"
  const char *reason;   // transport text of the failed request, open or log send
  int waits;            // configured time-outs the run waits for
  int fixed_waits;      // fixed connect time-outs of the support library (user lookup, audit)
  bool support;         // its sessions get through (user lookup and audit event at the agent)
  const char *outcome;  // per column: status, reload, list, dump, log forwarding, large list
};
const Failure kFailures[] = {
    {"RefusedHandshake", kHandshake, "refuse", "Invalid message handle or operation", 0, 0, false, "CNNNNN"},
    {"SilentHandshake", kHandshake, "silent", "Timeout during operation", 2, 2, false, "C-N---"},
    {"TrickledHandshake", kHandshake, "trickle=0.4", "Timeout during operation", 2, 2, true, "C-N---"},
    {"ImpostorAgent", kImpostor, "", "Peer is neither root nor the calling user", 0, 0, false, "CNNNNN"},
    {"SilentAgent", kRequest, "silent", "Timeout during operation", 1, 0, true, "CFFFAF"},
    {"TrickledReply", kRequest, "trickle=0.4", "Timeout during operation", 1, 0, true, "CFFFAF"},
    {"CloseMidFrame", kRequest, "close-mid", "Socket closed", 0, 0, true, "CFFFAF"},
    {"WrongMagic", kRequest, "bad-magic", "Socket error", 0, 0, true, "CFFFAF"},
    {"ShortLength", kRequest, "short-length", "Socket error", 0, 0, true, "--F---"},
    {"HugeLength", kRequest, "huge-length", "Socket error", 0, 0, true, "---F-F"},
    {"InvalidBody", kRequest, "invalid-body", "Socket error", 0, 0, true, "-F---F"},
    {"EndlessChallenges", kRequest, "challenge=20", "Process authentication failed", 0, 0, true, "CFFFAF"},
    {"AgentKilled", kKilled, "exit", "Socket closed", 0, 0, false, "AFFNNF"},
};

Row Cell(const Failure &f, const Action &a, char outcome) {
  const End &end = outcome == 'A'   ? a.answered
                   : outcome == 'F' ? a.failed
                   : outcome == 'C' ? kFallback
                                    : kNoSession;
  const bool session = f.scope == kRequest || f.scope == kKilled;
  const bool failed = end.status != 0 && end.status != 156 && end.status != 157;
  Row r{.name = S(f.name, "During", a.name),
        .args = a.args,
        .impostor = f.scope == kImpostor,
        .users = a.users,
        .status = end.status,
        .out = end.out,
        .err = end.err};
  r.conf = S("vxagent.local.account.manage: ", a.manage ? "true" : "false",
             "\nlrpc.timeout: 1\nlrpc.connect.timeout: 1\nlog.vxaccounts: trace\nlog.kest: debug\n");
  if (f.scope == kHandshake) r.faults = {S("handshake:", f.kind)};
  if (session) r.faults = {S(std::to_string(f.scope == kRequest ? a.request : a.victim), ":", f.kind)};
  if (session) r.requests = a.requests;
  if (f.scope == kKilled) r.requests.resize(a.before_kill);
  if (a.request != 114 || end.status == 13)
    r.audit = {f.support ? "agent" : "syslog", f.support || f.scope == kKilled ? kUpn : "root",
               failed ? end.err.substr(0, end.err.size() - 1) : "", failed ? 2001 : 2000};
  r.max_seconds = f.waits * kTimeoutSeconds + f.fixed_waits * kFixedConnectSeconds + kSlackSeconds;
  r.min_seconds = f.waits * kTimeoutSeconds - 0.05;
  for (int type : r.requests) r.records.push_back({.level = kTrace, .text = "Request: " + kDumps.at(type)});
  const std::string reason = f.reason;
  if (!session) r.records.push_back({.level = kDebug, .text = kNoLogSession + reason});
  if (f.scope == kHandshake)
    r.records.push_back({.level = kDebug, .text = S(kOpen, reason, " ("), .prefix = true});
  if (f.scope == kImpostor) {
    r.records.push_back({.level = kDebug, .text = S(kOpen, reason, " (Operation not permitted)")});
    r.records.push_back({.level = kDebug, .text = S(kRefused, "2': uid 65534, pid "), .prefix = true});
    // The support library's sessions (principal name, audit event) name it too.
    r.syslog = {{15, S(kRefused, "': uid 65534, pid ")}, {15, S(kRefused, "2': uid 65534, pid ")}};
  }
  if (session && outcome == 'N')
    r.records.push_back({.level = kDebug, .text = kOpen, .prefix = true});  // agent gone before the session
  if (session && a.request == 107)
    r.records.push_back({.level = kWarning, .text = "Failed to send log message: " + reason});
  else if (session && (outcome == 'F' || outcome == 'C'))
    r.records.push_back(
        {.level = kWarning,
         .text = S("Failed to send message: ", reason, ", MsgType: ", std::to_string(a.request), ".")});
  return r;
}

std::vector<Row> MatrixCells() {
  std::vector<Row> rows;
  for (const Failure &f : kFailures)
    for (size_t c = 0; c < std::size(kActions); ++c)
      if (f.outcome[c] != '-') rows.push_back(Cell(f, kActions[c], f.outcome[c]));
  return rows;
}

// ---- The run and what it left ----

struct RunResult {
  int status = -1;  // exit status (128 + signal when one ended it)
  bool timed_out = false;
  pid_t pid = -1;
  double seconds = 0;
  std::string out, err;
  std::vector<vxtest::SyslogRecord> syslog;  // datagrams that reached /dev/log meanwhile
};

// Runs vxaccounts as `row` says, standard output on `out_fd` (when not -1;
// RunResult::out stays empty then), `meanwhile` once it is started.
RunResult RunVxaccounts(const Row &row, int out_fd, const std::function<void(pid_t)> &meanwhile) {
  RunResult r;
  int out = memfd_create("out", MFD_CLOEXEC), err = memfd_create("err", MFD_CLOEXEC), pidfd = -1;
  std::vector<std::string> argv = row.wrapper;
  argv.push_back(VX_E2E_VXACCOUNTS);
  argv.insert(argv.end(), row.args.begin(), row.args.end());
  auto start = Clock::now();
  r.pid = Spawn(argv, out_fd >= 0 ? out_fd : out, err, row.caller, &pidfd, row.closed_fd);
  if (r.pid > 0) meanwhile(r.pid);
  int ws = Reap(r.pid, pidfd, kRunLimitSeconds, &r.syslog);
  r.seconds = Since(start);
  r.timed_out = ws == -1;
  r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
  r.out = vxtest::ReadFile("/proc/self/fd/" + std::to_string(out));
  r.err = vxtest::ReadFile("/proc/self/fd/" + std::to_string(err));
  close(out);
  close(err);
  return r;
}

// log2.log lines: msgno, time, process, pid, level, file, line, function and
// the text with backslash, tab and newline escaped; shorter lines end a log.
// Every line must be readable and come from `pid`.
std::vector<Rec> AgentLog(const std::string &log2, pid_t pid) {
  std::vector<Rec> records;
  for (const auto &line : Split(log2, '\n')) {
    auto cells = Split(line, '\t');
    EXPECT_NE(cells.size() > 1 ? cells[1] : "", "MALFORMED")
        << "the agent could not read a log message: " << line;
    if (cells.size() < 9) continue;
    EXPECT_EQ(cells[2] + "[" + cells[3] + "]", S("vxaccounts[", std::to_string(pid), "]")) << line;
    records.push_back({atoi(cells[4].c_str()), Unescape(cells[8]), cells[5], cells[7]});
  }
  return records;
}

// The records of `pid` in the emergency log; a line of another shape has level 6.
std::vector<Rec> EmergencyLog(const std::string &content, pid_t pid) {
  std::vector<Rec> records;
  for (const std::string &r : vxtest::EmergencyRecords(content, S("vxaccounts[", std::to_string(pid), "]"))) {
    int level = 0;
    while (level < 6 && r.rfind(S(kLevels[level], ": "), 0) != 0) ++level;
    records.push_back({level, r.substr(r.find(": ") + 2)});
  }
  return records;
}

bool Matches(const Rec &want, const Rec &got) {
  if (got.level != want.level ||
      (!want.file.empty() && (got.file != want.file || got.function != want.function)))
    return false;
  return want.prefix ? got.text.rfind(want.text, 0) == 0 : got.text == want.text;
}

// The audit event at the agent, or its fall-back line in syslog at
// authpriv.notice (85).
void CheckAudit(const Row &row, const RunResult &run, const std::string &audit_log) {
  const Audit &a = row.audit;
  const std::string event = std::to_string(a.event), pid = std::to_string(run.pid);
  std::string args = row.args.empty() ? "(none)" : "";
  for (const auto &w : row.args) args += (args.empty() ? "" : " ") + w;
  std::vector<std::string> fallback, want_agent, want_syslog;
  for (const auto &rec : run.syslog)
    if (rec.text.find("audit event") != std::string::npos)
      fallback.push_back(S("<", std::to_string(rec.priority), ">", rec.text));
  if (a.where == "agent")
    want_agent = {S("Quarnel Suite\tLocal Account Management\t", event, "\t", a.user, "\t", pid, "\t", args,
                    a.message.empty() ? "" : "\t" + a.message)};
  if (a.where == "syslog")
    want_syslog = {
        S("<85>audit event not delivered: suite=\"Quarnel Suite\" category=\"Local Account Management\" ",
          "event=", event, " user=\"", a.user, "\" pid=", pid, " args=\"", args, "\"",
          a.message.empty() ? "" : ",\"" + a.message + "\"")};
  EXPECT_EQ(Split(audit_log, '\n'), want_agent) << "audit events at the agent";
  EXPECT_EQ(fallback, want_syslog) << "audit fall-back lines in syslog";
}

// The account requests (111 to 114) the command sent, in the order the agent
// got them, and the connections that carried them; the credentials
// (SO_PASSCRED) on every frame: each has some, and the command's name the
// user who ran it. An impostor gets no frame at all, and nothing the agent
// refuses reaches it.
void CheckAgentSide(const Row &row, const RunResult &run, const Agent &agent) {
  std::vector<int> seen;
  std::set<std::string> sessions;
  const std::string frames = agent.Record("frames.log");
  for (const auto &line : Split(frames, '\n')) {
    auto cells = Split(line, '\t');
    ASSERT_EQ(cells.size(), 5u) << line;
    EXPECT_NE(cells[1], "pid=?") << "a frame arrived without credentials: " << line;
    if (cells[1] != "pid=" + std::to_string(run.pid)) continue;
    EXPECT_EQ(cells[2], "uid=" + std::to_string(row.caller)) << line;
    const int type = atoi(cells[0].c_str());
    if (type < 111 || type > 114) continue;
    seen.push_back(type);
    sessions.insert(cells[4]);
  }
  EXPECT_EQ(seen, row.requests) << "account requests the agent received";
  EXPECT_EQ(sessions.size(), row.requests.empty() ? 0 : row.sessions)
      << "connections of the account requests";
  EXPECT_TRUE(frames.empty() || !row.impostor) << frames;
  EXPECT_EQ(agent.Record("agent.log").find("dropping a connection"), std::string::npos)
      << agent.Record("agent.log");
}

void CheckLogs(const Row &row, const RunResult &run, const std::string &log2) {
  const std::string emergency = vxtest::ReadFile(kEmergencyLog);
  std::vector<Rec> got = AgentLog(log2, run.pid), in_file = EmergencyLog(emergency, run.pid);
  got.insert(got.end(), in_file.begin(), in_file.end());
  const std::string where = S("\nlog2.log:\n", log2, "\nemergency log:\n", emergency);
  for (const Rec &want : row.records)
    EXPECT_TRUE(std::any_of(got.begin(), got.end(), [&](const Rec &r) { return Matches(want, r); }))
        << "missing: " << want.level << " \"" << want.text << "\"" << (want.prefix ? "..." : "") << where;
  for (const Rec &unwanted : row.absent)
    for (const Rec &r : got) EXPECT_FALSE(Matches(unwanted, r)) << r.level << " " << r.text;
  EXPECT_TRUE(emergency.empty() || !row.emergency_empty) << emergency;
  std::string all, ident = S("vxaccounts[", std::to_string(run.pid), "]");
  for (const auto &rec : run.syslog) all += rec.raw + "\n";
  for (const auto &want : row.syslog)
    EXPECT_TRUE(std::any_of(run.syslog.begin(), run.syslog.end(),
                            [&](const vxtest::SyslogRecord &r) {
                              return r.ident == ident && r.priority == want.first &&
                                     r.text.find(want.second) != std::string::npos;
                            }))
        << want.first << " " << want.second << " in:\n"
        << all;
}

class VxaccountsRun : public ::testing::TestWithParam<Row> {};

TEST_P(VxaccountsRun, EndsWithItsStatusOutputAndAuditEvent) {
  const Row &row = GetParam();
  ASSERT_EQ(row.error, "");
  if (!EnterSandbox().empty()) GTEST_SKIP() << "skipped: " << EnterSandbox();
  if (vxtest::kSanitized && row.fail_list_block)
    GTEST_SKIP() << "the preloaded calloc cannot stand beside the sanitizer's";
  if (vxtest::kSanitized && !row.wrapper.empty())
    GTEST_SKIP() << "LeakSanitizer cannot stop a process whose effective user is not its real one";
  ResetState(row.conf.empty() ? "vxagent.local.account.manage: true\n" : row.conf, row.conf_mode);
  Agent agent;
  ASSERT_EQ(row.agent ? agent.Start(row.users, row.faults, row.impostor) : "", "");
  int pipe_fds[2] = {-1, -1};
  ASSERT_TRUE(!row.head || pipe2(pipe_fds, O_CLOEXEC) == 0);
  std::string link, head;
  auto meanwhile = [&](pid_t pid) {
    if (row.closed_fd >= 0 && !row.requests.empty() && agent.AwaitRequest(row.requests.back()))
      link = fs::read_symlink(S("/proc/", std::to_string(pid), "/fd/", std::to_string(row.closed_fd)));
    if (!row.head) return;
    close(pipe_fds[1]);
    // Bounded: a command that writes nothing is killed by the run's limit after this.
    pollfd readable{pipe_fds[0], POLLIN, 0};
    char ch = 0;
    while (ch != '\n' && poll(&readable, 1, static_cast<int>(kAwaitSeconds * 1000)) == 1 &&
           read(pipe_fds[0], &ch, 1) == 1)
      head += ch;
    close(pipe_fds[0]);
  };
  if (row.fail_list_block) setenv("LD_PRELOAD", VX_E2E_FAIL_LIST_PRELOAD, 1);
  RunResult run = RunVxaccounts(row, pipe_fds[1], meanwhile);
  unsetenv("LD_PRELOAD");
  if (row.head) run.out = head;
  // A handshake that is never answered cannot be waited for.
  const bool silent = std::count(row.faults.begin(), row.faults.end(), "handshake:silent") > 0;
  EXPECT_EQ(agent.Stop(!silent), 0) << agent.Record("agent.log");

  ASSERT_FALSE(run.timed_out) << "vxaccounts did not end within " << kRunLimitSeconds << " s";
  EXPECT_EQ(access(kFailMark, F_OK) == 0, row.fail_list_block) << "a release-list block failed";
  EXPECT_EQ(link, row.closed_fd >= 0 ? "/dev/null" : "");
  EXPECT_EQ(run.status, row.status);
  EXPECT_EQ(run.out, row.out);
  EXPECT_EQ(run.err, !row.err_regex.empty() && std::regex_match(run.err, std::regex(row.err_regex))
                         ? run.err
                         : row.err);
  EXPECT_LE(run.seconds, row.max_seconds) << "longer than the time-outs it waits for";
  EXPECT_GE(run.seconds, row.min_seconds) << "the configured time-out was not waited for";
  CheckAudit(row, run, agent.Record("audit.log"));
  if (row.agent) CheckAgentSide(row, run, agent);
  CheckLogs(row, run, agent.Record("log2.log"));
}

INSTANTIATE_TEST_SUITE_P(Table, VxaccountsRun, ::testing::ValuesIn(ReadTable()),
                         [](const auto &param) { return param.param.name; });
INSTANTIATE_TEST_SUITE_P(Matrix, VxaccountsRun, ::testing::ValuesIn(MatrixCells()),
                         [](const auto &param) { return param.param.name; });

}  // namespace
}  // namespace vxe2e
