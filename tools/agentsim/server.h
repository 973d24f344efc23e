// The poll loop: two listening sockets, every accepted connection, the
// signal descriptor and the deadlines of held-back replies.
#pragma once

#include <list>
#include <memory>
#include <string>
#include <vector>

#include "connection.h"
#include "handlers.h"
#include "unique_fd.h"

namespace agentsim {

class Server {
 public:
  explicit Server(Services &services) : services_(services) {}
  // Closes every connection and removes the socket files it created.
  ~Server();
  Server(const Server &) = delete;
  Server &operator=(const Server &) = delete;

  // Creates a listening socket at `path` (mode 0666). A stale socket file
  // nobody listens on is replaced; false with a reason in *error otherwise.
  bool Listen(const std::string &path, std::string *error);

  // Serves until `signal_fd` becomes readable or a request with the `exit`
  // fault is done. Another Run goes on where this one stopped.
  void Run(int signal_fd);

  // True when no connection is open and none waits to be accepted.
  bool Idle() const;

 private:
  struct Listener {
    UniqueFd fd;
    std::string path;
  };

  void AcceptAll(Listener &listener);
  int PollTimeoutMs() const;
  bool ServeOnce(int signal_fd);

  Services &services_;
  std::vector<Listener> listeners_;
  std::list<Connection> connections_;
  bool accept_paused_ = false;
};

}  // namespace agentsim
