// vxagent-sim: the reference agent. Listens on the client socket and the
// support-library socket, answers requests from a data directory, records
// what it received and misbehaves on command. See README.md.
#include <getopt.h>
#include <signal.h>
#include <sys/signalfd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "accounts.h"
#include "faults.h"
#include "handlers.h"
#include "record.h"
#include "server.h"
#include "unique_fd.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr const char kUsage[] =
    "usage: vxagent-sim [--socket PATH] [--kest-socket PATH] [--data DIR] [--record DIR]\n"
    "                   [--fault SCOPE:KIND[=ARG]]...\n";

struct Options {
  std::string socket = "/var/vorlex/daemon2";
  std::string kest_socket = "/var/vorlex/daemon";
  std::string data;
  std::string record;
  agentsim::Faults faults;
};

enum OptionId { kSocket = 1, kKestSocket, kData, kRecord, kFault, kHelp };

constexpr option kLongOptions[] = {
    {"socket", required_argument, nullptr, kSocket},
    {"kest-socket", required_argument, nullptr, kKestSocket},
    {"data", required_argument, nullptr, kData},
    {"record", required_argument, nullptr, kRecord},
    {"fault", required_argument, nullptr, kFault},
    {"help", no_argument, nullptr, kHelp},
    {nullptr, 0, nullptr, 0},
};

// 0 when the run goes on, otherwise the exit status.
int ParseOptions(int argc, char **argv, Options *opts) {
  for (int id; (id = getopt_long(argc, argv, "", kLongOptions, nullptr)) != -1;) {
    std::string error;
    switch (id) {
      case kSocket:
        opts->socket = optarg;
        break;
      case kKestSocket:
        opts->kest_socket = optarg;
        break;
      case kData:
        opts->data = optarg;
        break;
      case kRecord:
        opts->record = optarg;
        break;
      case kFault:
        if (!opts->faults.Add(optarg, &error)) {
          (void)std::fprintf(stderr, "vxagent-sim: %s\n", error.c_str());
          return kExitUsage;
        }
        break;
      case kHelp:
        (void)std::fputs(kUsage, stdout);
        return -1;
      default:
        (void)std::fputs(kUsage, stderr);
        return kExitUsage;
    }
  }
  if (optind < argc || opts->socket == opts->kest_socket) {
    (void)std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  return 0;
}

// SIGTERM and SIGINT arrive through a descriptor the poll loop watches;
// SIGPIPE is ignored so that a peer gone away never kills the agent.
agentsim::UniqueFd StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  (void)signal(SIGPIPE, SIG_IGN);
  return agentsim::UniqueFd(signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
}

}  // namespace

int main(int argc, char **argv) {
  Options opts;
  if (int rc = ParseOptions(argc, argv, &opts); rc != 0) return rc < 0 ? 0 : rc;
  agentsim::UniqueFd stop = StopSignals();
  if (!stop) {
    std::perror("vxagent-sim: signalfd");
    return kExitFailure;
  }
  agentsim::Accounts accounts(opts.data);
  agentsim::Recorder recorder(opts.record);
  agentsim::Services services{opts.faults, accounts, recorder};
  agentsim::Server server(services);
  std::string error;
  if (!server.Listen(opts.socket, &error) || !server.Listen(opts.kest_socket, &error)) {
    (void)std::fprintf(stderr, "vxagent-sim: %s\n", error.c_str());
    return kExitFailure;
  }
  std::printf("ready %s %s\n", opts.socket.c_str(), opts.kest_socket.c_str());
  (void)std::fflush(stdout);
  server.Run(stop.get());
  return 0;
}
