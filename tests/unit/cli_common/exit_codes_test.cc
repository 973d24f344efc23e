#include <gtest/gtest.h>

#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "cli_common.h"

namespace {

struct Row {
  int32_t code;
  const char *text;  // exactly as the command prints it
};

// clang-format off
const Row kCommon[] = {
    {0, "Success"}, {6, "Other misc errors"}, {7, "Usage error"}, {8, "Operation/command aborted by user"},
    {9, "Root privilege is required for the operation"}, {10, "Machine is not joined to any domain"},
    {11, "Machine has joined"}, {12, "Machine has joined to another domain"},
    {13, "vxagent is not running/not available"}, {14, "vxagent is running in disconnected mode"},
    {15, "failed to start vxagent"}, {16, "DNS Server May be down"}, {17, "Generic DNS Problem"},
    {18, "Active Directory Domain name is incorrect or not found in DNS"},
    {19, "Username or password is incorrect"}, {20, "Account has been disabled"},
    {21, "Account has expired"}, {22, "Account already exists"}, {23, "Account(user/machine)not found"},
    {24, "Account password has expired"}, {25, "Unable to find zone."}, {26, "Invalid container"},
    {27, "Permission denied"}, {28, "Clock skew error between host and Active Directory"},
    {29, "Invalid computer account"}, {30, "invalid credentials"}, {31, "Service ticket not valid"},
    {32, "Policy not matched"}, {33, "Password change rejected"}, {34, "Workstation denied"},
    {35, "Active Directory user not found"}, {36, "Active Directory group not found"},
    {38, "Unable to stop vxagent"}, {39, "The user has exceeded his join quota."}, {40, "Open file failed"},
    {41, "Cannot read file"}, {42, "Cannot copy file"}, {43, "Fetch distinguish name failed"},
    {44, "Bind to domain failed"}, {45, "Credentials not found"}, {46, "Credentials has expired."},
    {47, "SAM (pre-Win 2K) user names must be 20 characters or less"},
    {48, "SAM (pre-Win 2K) computer names must be 15 characters or less"}, {49, "Network not ready"},
    {50,
     "Invalid server name is encountered, which could be due to the supplied name is an IP address or is "
     "not an FQDN name or the server is neither a Global Catalog nor a writable domain controller."},
    {52, "User not found in zone"}, {53, "Group not found in zone"},
    {54, "Cannot find a read-write domain controller"}, {55, "Kerberos Policy Error (FAST Not Supported)"},
    {56,  // with its trailing blank
     "Principal's TGT revoked by Domain Controller, while getting service ticket, this could be due to "
     "machine is located in RODC site. "},
    {57, "The SPN violates Active Directory contraint."}, {58, "Unable to connect to domain controller."},
    {59, "Operation is in progress."}};

const Row kLocalAccount[] = {
    {156, "Manage Local Account Feature is enabled"}, {157, "Manage Local Account Feature is disabled"},
    {158, "Failed to reload local account"}, {159, "Failed to list local account"}};
// clang-format on

// Every row has its exact text; no other code has one, and no lookup falls
// back from one table to the other.
TEST(ExitCodes, EveryRowHasItsExactTextAndNoOtherCodeHasOne) {
  const struct {
    const ExitCodeMap &table;
    std::span<const Row> rows;
    std::vector<int32_t> without;
  } tables[] = {{CommonExitCodes, kCommon, {1, 2, 3, 4, 5, 37, 51, 60, -1, 156, 159}},
                {LocalAccountExitCodes, kLocalAccount, {0, 13, 155, 160}}};
  for (const auto &t : tables) {
    for (const Row &r : t.rows)
      EXPECT_EQ(ExitCodeMessage(t.table, r.code), std::string_view(r.text)) << r.code;
    for (int32_t code : t.without) EXPECT_EQ(ExitCodeMessage(t.table, code), std::nullopt) << code;
    EXPECT_EQ(t.table.size(), t.rows.size()) << "no row beyond those listed";
  }
}

}  // namespace
