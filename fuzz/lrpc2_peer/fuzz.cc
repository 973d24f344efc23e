// Plays the agent's side of a session with arbitrary bytes. The first input
// byte picks the request type; the rest is everything the agent writes after
// accepting (handshake answer, replies, challenges). The agent then shuts
// its writing side, so the client sees the end of the stream instead of
// waiting, and drains what the client sends until the client closes.
//
// The agent runs on one long-lived thread that takes one input at a time:
// starting a thread per input spent most of the time setting up and tearing
// down the new thread's stack under the address sanitizer.
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "client_common/lrpc2.h"

namespace {

constexpr int kBoundMs = 2000;
constexpr uint32_t kTimeout = 1;
constexpr int kMaxTransactions = 3;
constexpr uint32_t kRequestTypes[] = {111, 112, 113, 114, 107, 1200};

struct Endpoint {
  std::string path;
  int listener = -1;
  Endpoint() {
    char dir[] = "/tmp/lrpc2-fuzz.XXXXXX";
    if (mkdtemp(dir) == nullptr) abort();
    path = std::string(dir) + "/agent.sock";
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bind(listener, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(listener, 8) != 0)
      abort();
  }
};

const Endpoint &SharedEndpoint() {
  static const Endpoint endpoint;
  return endpoint;
}

bool Ready(int fd) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, kBoundMs) == 1;
}

void PlayAgent(int listener, const uint8_t *data, size_t size) {
  if (!Ready(listener)) return;
  int conn = accept(listener, nullptr, nullptr);
  if (conn < 0) return;
  size_t done = 0;
  while (done < size) {
    ssize_t n = send(conn, data + done, size - done, MSG_NOSIGNAL);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  shutdown(conn, SHUT_WR);
  char sink[512];
  while (Ready(conn) && read(conn, sink, sizeof sink) > 0) {
  }
  close(conn);
}

// Hands each input to the agent thread and waits until the agent has
// finished with it. Created once and never destroyed, so that the waiting
// thread is not torn down under it when the fuzzer exits.
class AgentThread {
 public:
  static AgentThread &Shared() {
    static AgentThread *const agent = new AgentThread(SharedEndpoint().listener);
    return *agent;
  }

  void Start(const uint8_t *data, size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    data_ = data;
    size_ = size;
    pending_ = true;
    changed_.notify_all();
  }

  void Finish() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !pending_; });
  }

 private:
  explicit AgentThread(int listener) : listener_(listener) {
    std::thread([this] { Run(); }).detach();
  }

  void Run() {
    for (;;) {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return pending_; });
      const uint8_t *data = data_;
      const size_t size = size_;
      lock.unlock();
      PlayAgent(listener_, data, size);
      lock.lock();
      pending_ = false;
      changed_.notify_all();
    }
  }

  const int listener_;
  std::mutex mutex_;
  std::condition_variable changed_;
  const uint8_t *data_ = nullptr;
  size_t size_ = 0;
  bool pending_ = false;
};

Msg *NewRequest(uint32_t type) {
  uint32_t status = 0;
  Msg *m = NewMsg(type, GetMsgTypeTable(), LRPC_HEADER_SIZE, &status);
  if (m == nullptr) return nullptr;
  if (type == 112) {
    MsgAddBool(m, 1);
    MsgAddBool(m, 0);
  } else if (type != 111) {
    MsgAddString(m, "user");
  }
  MsgComplete(m);
  return m;
}

// Reads the reply's status and string set twice: in place, which also
// counts the items, and as MsgGetStringSet's array on a copy of the reply.
// The array ends at the first null item, so its items are freed by that
// count, not up to the first null.
void ReadReply(Msg *reply) {
  uint32_t length = 0;
  unsigned char *block = MsgGetBuffer(reply, &length, nullptr);
  Msg *copy = block != nullptr
                  ? NewMsgFromBuffer(block, length, 1, GetMsgTypeTable(), LRPC_HEADER_SIZE, nullptr)
                  : nullptr;
  int32_t value = 0;
  MsgGetInt(reply, &value);
  MsgSetReader reader{};
  uint32_t count = 0;
  if (MsgOpenStringSet(reply, &reader, &count) == MSG_OK) {
    const char *item = nullptr;
    while (MsgNextSetItem(&reader, &item, &length) == MSG_OK) {
    }
  }
  if (copy != nullptr) {
    char **set = nullptr;
    MsgGetInt(copy, &value);
    if (MsgGetStringSet(copy, &set) == MSG_OK && set != nullptr) {
      for (uint32_t i = 0; i < count; ++i) free(set[i]);
      free(set);
    }
    MsgFree(copy);
  }
  free(MsgDump(reply));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const Endpoint &e = SharedEndpoint();
  const uint32_t type = kRequestTypes[data[0] % (sizeof kRequestTypes / sizeof kRequestTypes[0])];
  AgentThread &agent = AgentThread::Shared();
  agent.Start(data + 1, size - 1);
  uint32_t status = 0;
  LRPC2Session *s = LRPC2Open(e.path.c_str(), GetMsgTypeTable(), kTimeout, kTimeout, &status);
  for (int i = 0; s != nullptr && i < kMaxTransactions; ++i) {
    Msg *request = NewRequest(type);
    Msg *reply = LRPC2Transact(s, request, kTimeout, &status);
    MsgFree(request);
    if (reply != nullptr) ReadReply(reply);
    MsgFree(reply);
    if (status != 0) break;
  }
  LRPC2Close(s);
  agent.Finish();
  return 0;
}
