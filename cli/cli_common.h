// Common command services of the suite's commands: exit codes, the
// command-line text for the audit trail, the acting user's principal name
// and the root check.
//
// Exit codes: every command ends with a numbered exit code, and each code has
// one fixed message that the command prints or records in its failure audit
// event. Codes 0 to 59 are shared by all commands (CommonExitCodes); codes
// from 156 upward belong to one command each (this command's are
// LocalAccountExitCodes). A code below 156 is looked up in the shared table,
// one from 156 upward in the command's own; no lookup falls back from one
// table to the other. Messages hold no printf conversions: print them
// unchanged, followed by a newline.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>

// ---- Exit codes --------------------------------------------------------

// The codes this command ends with.
enum ExitCode : int32_t {
  EXIT_CODE_SUCCESS = 0,
  EXIT_CODE_MISC = 6,  // an unexpected exception
  EXIT_CODE_USAGE = 7,
  EXIT_CODE_NOT_ROOT = 9,
  EXIT_CODE_AGENT_UNAVAILABLE = 13,
  EXIT_CODE_FIRST_COMMAND_CODE = 156,  // codes from here on are the command's own
  EXIT_CODE_LOCAL_ACCOUNT_ENABLED = 156,
  EXIT_CODE_LOCAL_ACCOUNT_DISABLED = 157,
  EXIT_CODE_RELOAD_FAILED = 158,
  EXIT_CODE_LIST_FAILED = 159,
};

struct ExitCodeRow {
  int32_t code;
  std::string_view message;
};

// A constant list of rows in ascending code order, no code repeated.
using ExitCodeTable = std::span<const ExitCodeRow>;

// Code-to-message map over an ExitCodeTable. The maps below are complete
// before main runs: they are constant-initialised (no code runs to build
// them, nothing to release at exit) and never change, so lookups are plain
// reads from any thread.
class ExitCodeMap {
 public:
  constexpr explicit ExitCodeMap(ExitCodeTable rows) : rows_(rows) {}
  size_t size() const { return rows_.size(); }
  // The row of `code`, or null when the table has none.
  const ExitCodeRow *find(int32_t code) const;

 private:
  ExitCodeTable rows_;
};

extern const ExitCodeMap CommonExitCodes;        // codes 0 to 59 (none for 1-5, 37)
extern const ExitCodeMap LocalAccountExitCodes;  // codes 156 to 159

// The message of `code` in `table`, or no text when the table has no such
// row. The text lives as long as the program.
std::optional<std::string_view> ExitCodeMessage(const ExitCodeMap &table, int32_t code);

// ---- Argument text, user lookup, root check ----------------------------

// Logger and source name of this module's records.
inline constexpr char kCommonLogger[] = "cli.common";
inline constexpr char kCommonLogSource[] = "cli_common";
// The agent's directory socket when the configuration names none.
inline constexpr char kDefaultKestdSocket[] = "/var/vorlex/daemon";

// The value of `key` in the support library's configuration (keys in any
// letter case), read under the configuration's lock; `fallback` when absent.
std::string ReadSupportProperty(const char *key, const std::string &fallback);

// The command-line words after the program name joined by single blanks, or
// "(none)" when that gives the empty text.
std::string JoinArguments(int argc, char **argv);

// The user principal name of `userName` as the agent knows it, or the empty
// text when the agent has no such user, the user has none, or the agent
// cannot be asked (then one DEBUG record through "cli.common"). Never throws.
std::string GetUserUPN(const std::string &userName);

// 0 when the real user id is 0. Otherwise tells the caller on standard error
// (and at DEBUG through the logger `loggerName`) that the program may only
// be run by root, and gives EXIT_CODE_NOT_ROOT.
int rootCheck(const std::string &loggerName);

// ---- Process set-up ----------------------------------------------------

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// no file or socket opened later takes a standard descriptor's number and
// receives what is meant for standard output or error. Call it first, before
// anything is opened. False when /dev/null could not be opened.
bool OpenStandardDescriptors();
