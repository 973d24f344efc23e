// Command-line options of vxaccounts: the option table, the name maps, the
// usage text and the cross-checks between options.
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "cli/cli_common.h"
#include "cli/cli_managelocal.h"
#include "kest/logger.h"

namespace {

constexpr char kShortOptions[] = "sRfpd:l:ugVvh";

const struct option kLongOptions[] = {
    {"status", no_argument, nullptr, 's'},     {"reload", no_argument, nullptr, 'R'},
    {"force", no_argument, nullptr, 'f'},      {"profileonly", no_argument, nullptr, 'p'},
    {"dump", required_argument, nullptr, 'd'}, {"list", required_argument, nullptr, 'l'},
    {"user", no_argument, nullptr, 'u'},       {"group", no_argument, nullptr, 'g'},
    {"verbose", no_argument, nullptr, 'V'},    {"version", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},       {nullptr, 0, nullptr, 0},
};

struct ListTypeRow {
  ListType type;
  const char *name;
};
constexpr ListTypeRow kListTypes[] = {{LIST_ALL, "all"}, {LIST_VISIBLE, "visible"}, {LIST_REMOVE, "remove"}};

struct CategoryRow {
  AccountCategory category;
  const char *name;
};
constexpr CategoryRow kCategories[] = {{CATEGORY_USER, "user"}, {CATEGORY_GROUP, "group"}};

struct ActionRow {
  ActionType action;
  const char *option;
};
constexpr ActionRow kActions[] = {
    {ACTION_STATUS, "--status"}, {ACTION_RELOAD, "--reload"}, {ACTION_LIST, "--list"}};

// Arguments of --dump that select a dump; anything else is ignored.
constexpr const char *kDumpNames[] = {"user", "group"};

constexpr char kUsageText[] =
    "List currently managed local accounts, get status of local account management,\n"
    "and force reload of local accounts from Active Directory\n"
    "usage: vxaccounts  [--status, -s]\n"
    "                      [--reload, -R [--force, -f] [--profileonly, -p]]\n"
    "                      [--list, -l <all, visible, remove> <--user, -u>|<--group, -g>]\n"
    "options:\n"
    "   -s, --status       Check if management of local account is currently enabled or disable in UNIX "
    "agent.\n"
    "                      If Unix agent is not running, get the value from vorlex.conf,\n"
    "                      at the same time 156 and 157 code is returned for Enable and Display status "
    "correspondingly\n"
    "   -R, --reload       Sync local user, local group file and APU list with information in Active "
    "Directory.\n"
    "                      This should fail with error if UNIX agent is disconnected or not running,\n"
    "                      or local account management is disabled.\n"
    "   -f, --force        Use with --reload option.\n"
    "                      Force reload of managed local user, local groups from Active Directory,\n"
    "                      regardless if AD contain newer information or not, and update local passwd/group\n"
    "                      This will fail with error if UNIX agent is disconnected or not running,\n"
    "                      or local account management is disabled.\n"
    "   -p, --profileonly  Use with --reload option.\n"
    "                      Reload the local user profile, local group profile only.\n"
    "   -l, --list <all, visible, remove>\n"
    "                      Use in conjunction with --user or --group option to list local users or local "
    "groups.\n"
    "                      Each of the entries display is in the file native format.\n"
    "                      User can specify what type of local account to list, and acceptable values\n"
    "                      are:\n"
    "                          visible: local profile accounts that are visible in the computer\n"
    "                          remove: local accounts that are marked for removal in the computer\n"
    "                          all: complete list of local accounts currently cached in UNIX agent\n"
    "                      This should fail with error if UNIX agent is not running, or local account "
    "management is disabled\n"
    "   -u, --user         Use with --list, when specify, return local user information\n"
    "   -g, --group        Use with --list, when specify, return local group information\n"
    "   -V, --verbose      Display verbose step by step information to help debug problem.\n"
    "                      It also log debug log messages to system log.\n"
    "   -v, --version      Display version information for the installed software\n"
    "   -h, --help         Print this help information and exit\n"
    "\n";

constexpr char kMultipleActions[] = "Error: multiple action are not allowed.";
constexpr char kMultipleCategories[] = "Error: multiple categories are not allowed.";
constexpr char kListNeedsCategory[] =
    "Error: options --list should be used in conjunction with --user/--group.";
constexpr char kCannotCombine[] = "Error: options %s and %s cannot be used together.";
constexpr char kFlagsNeedReload[] =
    "Error: options --force/--profileonly should be used in conjunction with --reload.";

OptionExitFunction g_option_exit = nullptr;

[[noreturn]] void EndProcess(int status) {
  if (g_option_exit != nullptr) g_option_exit(status);
  exit(status);
}

// Reports an option conflict and ends the process with the usage status.
[[noreturn]] void OptionError(const std::string &text) {
  auto logger = kest::Logger::GetThreadPrivateLogger(kCommandLogger);
  if (logger && logger->isEnabled(kest::Logger::ERROR)) {
    logger->log(kest::Logger::ERROR, kCommandLogSource, __LINE__, "CheckOptions", "%s", text.c_str());
  }
  (void)fprintf(stderr, "%s\n", text.c_str());
  EndProcess(EXIT_CODE_USAGE);
}

[[noreturn]] void UsageExit() {
  PrintUsage();
  EndProcess(EXIT_CODE_USAGE);
}

// The final check, once every option has been seen.
void CheckFinal(const CommandOptions &options) {
  if (options.action == ACTION_NONE) UsageExit();
  if (options.action == ACTION_LIST && options.category == CATEGORY_NONE) OptionError(kListNeedsCategory);
  if (options.action != ACTION_LIST && options.category != CATEGORY_NONE) {
    std::string action = ActionOptionName(options.action);
    std::string category = CategoryOptionName(options.category);
    char text[sizeof kCannotCombine + 32];
    (void)snprintf(text, sizeof text, kCannotCombine, action.c_str(), category.c_str());
    OptionError(text);
  }
  if ((options.force || options.profileOnly) && options.action != ACTION_RELOAD)
    OptionError(kFlagsNeedReload);
}

bool IsDumpName(const char *text) {
  for (const char *name : kDumpNames) {
    if (strcmp(text, name) == 0) return true;
  }
  return false;
}

// -l: the action, then its argument. Returns false when the argument is not
// a list selection (the caller prints the usage text).
bool ApplyList(CommandOptions &options, const char *argument) {
  CheckOptions(options, ACTION_LIST, CATEGORY_NONE);
  options.action = ACTION_LIST;
  if (argument[0] == '-') return false;
  options.listType = ParseListType(argument);
  return options.listType != LIST_INVALID;
}

}  // namespace

ListType ParseListType(const char *text) {
  if (text == nullptr) return LIST_INVALID;
  for (const ListTypeRow &row : kListTypes) {
    if (strcmp(text, row.name) == 0) return row.type;
  }
  return LIST_INVALID;
}

std::string ListTypeName(ListType listType) {
  for (const ListTypeRow &row : kListTypes) {
    if (row.type == listType) return row.name;
  }
  return std::string();
}

std::string CategoryName(AccountCategory category) {
  for (const CategoryRow &row : kCategories) {
    if (row.category == category) return row.name;
  }
  return std::string();
}

std::string ActionOptionName(ActionType action) {
  for (const ActionRow &row : kActions) {
    if (row.action == action) return row.option;
  }
  return std::string();
}

std::string CategoryOptionName(AccountCategory category) {
  if (category == CATEGORY_NONE) return std::string();
  return "--" + CategoryName(category);
}

void PrintUsage() { (void)fputs(kUsageText, stdout); }

void SetOptionExitFunction(OptionExitFunction function) { g_option_exit = function; }

void CheckOptions(const CommandOptions &options, ActionType newAction, AccountCategory newCategory) {
  if (newAction != ACTION_NONE) {
    if (options.action != ACTION_NONE) OptionError(kMultipleActions);
    return;
  }
  if (newCategory != CATEGORY_NONE) {
    if (options.category != CATEGORY_NONE) OptionError(kMultipleCategories);
    return;
  }
  CheckFinal(options);
}

namespace {

// An action or a category option: refused when one was given already.
void SetAction(CommandOptions &options, ActionType action) {
  CheckOptions(options, action, CATEGORY_NONE);
  options.action = action;
}

void SetCategory(CommandOptions &options, AccountCategory category) {
  CheckOptions(options, ACTION_NONE, category);
  options.category = category;
}

}  // namespace

std::optional<int> ParseOptions(int argc, char **argv, CommandOptions &options) {
  optind = 0;  // a fresh scan, also when called more than once
  for (int c; (c = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) != -1;) {
    switch (c) {
      case 's':
        SetAction(options, ACTION_STATUS);
        break;
      case 'R':
        SetAction(options, ACTION_RELOAD);
        break;
      case 'l':
        if (!ApplyList(options, optarg)) {
          PrintUsage();
          return EXIT_CODE_USAGE;
        }
        break;
      case 'u':
        SetCategory(options, CATEGORY_USER);
        break;
      case 'g':
        SetCategory(options, CATEGORY_GROUP);
        break;
      case 'f':
        options.force = 1;
        break;
      case 'p':
        options.profileOnly = 1;
        break;
      case 'V':
        options.verbose = true;
        break;
      case 'd':
        if (IsDumpName(optarg)) options.dumpName = optarg;
        break;
      case 'v':
        printf("%s\n", kVersionLine);
        return EXIT_CODE_SUCCESS;
      default:  // -h, an unknown option, a missing argument
        PrintUsage();
        return EXIT_CODE_USAGE;
    }
  }
  if (options.dumpName.empty()) CheckOptions(options, ACTION_NONE, CATEGORY_NONE);
  return std::nullopt;
}
