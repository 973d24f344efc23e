// The constant message type table and its lookups.
#include "client_common/msg_types.h"

#include <stdlib.h>

namespace {

constexpr uint32_t kNone = 0u;
constexpr uint32_t kWipe = MSGF_SENSITIVE;
constexpr uint32_t kOneWay = MSGF_ONEWAY;
// Bit 2 comes with the agent's own table; only its sensitive half matters here.
constexpr uint32_t kWipe3 = MSGF_SENSITIVE | 2u;

// Sorted by id: the lookups below are binary searches.
constexpr MsgTypeEntry kRows[] = {
    {0, "DISCONNECT", kNone},
    {1, "_ProcessAuthChallenge", kNone},
    {2, "_ProcessAuthResponse", kNone},
    {3, "_ProcessAuthChallenge2", kNone},
    {100, "ControlPing", kNone},
    {101, "ControlFlushCache", kWipe3},
    {102, "ControlShutdown", kWipe3},
    {103, "ControlLog", kNone},
    {104, "ControlReloadProps", kWipe3},
    {107, "ControlLog2", kNone},
    {108, "ControlReloadModule", kWipe3},
    {110, "ControlUpdateConfFile", kWipe3},
    {111, "ControlGetLocalAcctMgmtStatus", kNone},
    {112, "ControlReloadLocalAccount", kWipe3},
    {113, "ControlListLocalAccount", kWipe3},
    {114, "ControlDumpLocalAccount", kWipe3},
    {200, "KRB5ServiceNameToPrincipal", kNone},
    {500, "NSSGetPasswdDataByName", kWipe},
    {501, "NSSGetPasswdDataByUID", kWipe},
    {502, "NSSBeginPasswdIteration", kNone},
    {503, "NSSEndPasswdIteration", kNone},
    {504, "NSSGetCurrentPasswdData", kWipe},
    {505, "NSSNextPasswd", kOneWay},
    {506, "NSSGetUserGroupIDs", kNone},
    {507, "NSSGetGroupDataByName", kNone},
    {508, "NSSGetGroupDataByGID", kNone},
    {509, "NSSBeginGroupIteration", kNone},
    {510, "NSSEndGroupIteration", kNone},
    {511, "NSSGetCurrentGroupData", kNone},
    {512, "NSSNextGroup", kOneWay},
    {513, "NSSGetShadowDataByName", kWipe3},
    {514, "NSSBeginShadowIteration", kNone},
    {515, "NSSEndShadowIteration", kNone},
    {516, "NSSGetCurrentShadowData", kWipe3},
    {517, "NSSNextShadow", kOneWay},
    {525, "NSSSetNetgroupIteration", kNone},
    {528, "NSSInnetgr", kNone},
    {529, "NSSBeginObjectIteration", kNone},
    {530, "NSSEndObjectIteration", kNone},
    {531, "NSSNextObject", kNone},
    {532, "NSSGetProtoDataByName", kNone},
    {533, "NSSGetProtoDataByNumber", kNone},
    {534, "NSSGetCurrentProtoData", kNone},
    {535, "NSSGetRpcDataByName", kNone},
    {536, "NSSGetRpcDataByNumber", kNone},
    {537, "NSSGetCurrentRpcData", kNone},
    {538, "NSSGetHostDataByName", kNone},
    {539, "NSSGetHostDataByAddr", kNone},
    {540, "NSSGetCurrentHostData", kNone},
    {541, "NSSGetNetDataByName", kNone},
    {542, "NSSGetNetDataByAddr", kNone},
    {543, "NSSGetCurrentNetData", kNone},
    {544, "NSSGetAliasDataByName", kNone},
    {545, "NSSGetCurrentAliasData", kNone},
    {553, "NSSGetServDataByName", kNone},
    {554, "NSSGetServDataByPort", kNone},
    {555, "NSSGetCurrentServData", kNone},
    {568, "NSSGetEtherAddrByName", kNone},
    {569, "NSSGetEtherNameByAddr", kNone},
    {700, "PAMUserIsOurResponsibility", kNone},
    {701, "PAMGetUnixName", kNone},
    {702, "PAMVerifyPassword", kWipe},
    {703, "PAMIsUserAllowedAccess", kWipe3},
    {704, "PAMDoesLegacyConflictExist", kNone},
    {705, "PAMTimeUntilPasswordChange", kWipe3},
    {706, "PAMCreateKrb5Creds", kWipe3},
    {707, "PAMMayChangePassword", kNone},
    {708, "PAMChangePassword", kWipe},
    {709, "PAMGetSessionEnv", kWipe3},
    {710, "PAMCreateHomeDirectory", kWipe3},
    {711, "PAMUserLoggedIn", kWipe3},
    {712, "PAMUserLoggedOut", kWipe3},
    {714, "PAMGetNetworkStatus", kNone},
    {715, "PAMIsUserAllowedAccess2", kWipe3},
    {716, "PAMIsMachinePolicyReady", kNone},
    {717, "PAMTimeUntilPasswordChangeForDisplay", kWipe3},
    {718, "PAMUserLoggedOut2", kWipe3},
    {719, "PAMRenewKrb5Creds", kWipe3},
    {720, "PAMStoreKrb5CredsInDefaultCCache", kWipe3},
    {721, "PAMValidateUserGroup", kWipe3},
    {722, "PAMIsMfaRequired", kWipe3},
    {723, "PAMUpdatePACGroups", kNone},
    {724, "PAMIsAlwaysPermitLogin", kWipe3},
    {725, "PAMIsMfaEnabled", kNone},
    {726, "PAMIsUserAllowedAccess3", kWipe3},
    {800, "ZoneGetUser", kWipe3},
    {801, "ZoneRefreshObject", kWipe3},
    {900, "VXAPIGetObjectByID", kWipe3},
    {901, "VXAPIGetObjectByName", kWipe3},
    {902, "VXAPIGetObjectByGUID", kWipe3},
    {903, "VXAPIGetObjectBySID", kWipe3},
    {904, "VXAPIAuthValidatePlainTextUser", kWipe3},
    {905, "VXAPIAuthValidateKerberosUser", kWipe3},
    {906, "VXAPIAuthGetNtlmChallenge", kWipe3},
    {907, "VXAPIAuthValidateNtlmUser", kWipe3},
    {908, "VXAPILdapFetch", kWipe3},
    {909, "VXAPILdapPagedSearch", kWipe3},
    {910, "VXAPILdapPagedSearchGetNext", kWipe3},
    {911, "VXAPIAuthMakeNtlmNegotiate", kWipe3},
    {912, "VXAPIAuthMakeNtlmAuthenticate", kWipe3},
    {913, "VXAPIAuthValidateNtlmPlainTextUser", kWipe3},
    {914, "VXAPILdapPagedSearchClose", kWipe3},
    {915, "VXAPIGetErrSystemString", kWipe3},
    {916, "VXAPIValidateUserGroup", kWipe3},
    {917, "VXAPIPing", kNone},
    {918, "VXAPIAuthValidateAccount", kNone},
    {919, "VXAPIAuthMakeNtlmAuthenticate2", kWipe3},
    {920, "VXAPIAuthValidateNtlmPlainTextUser2", kWipe3},
    {921, "VXAPIGetDomainRids", kWipe3},
    {922, "VXAPINetworkChange", kWipe3},
    {923, "VXAPIGetNetworkStatus", kNone},
    {924, "VXAPISetSessionID", kNone},
    {925, "VXAPIAuthGetNtlmChallenge2", kWipe3},
    {926, "VXAPIAuthValidateNtlmUser2", kWipe3},
    {927, "VXAPIGetAuditLevel", kWipe},
    {928, "VXAPIGetDomainControllers", kNone},
    {929, "VXAPILdapSearch", kWipe3},
    {930, "VXAPILdapSearchGetNext", kWipe3},
    {931, "VXAPILdapSearchClose", kWipe3},
    {932, "VXAPIAuthValidatePlainTextUserNonVLX", kWipe3},
    {933, "VXAPIGetKerberosName", kNone},
    {1100, "RQIIsUserAllowedAccessByAudit", kWipe3},
    {1101, "RQIGetAuditLevel", kWipe},
    {1102, "RQIIsUserAllowedAccessByAudit2", kWipe3},
    {1103, "RQIReplacePasswdWithNoLoginShellByAudit", kNone},
    {1200, "ATProxySetAuditTrailEvent", kOneWay},
    {1300, "PAMCloudStartAuth", kWipe3},
    {1301, "PAMCloudAnswerChallenge", kWipe3},
};

constexpr MsgTypeTable kTable = {static_cast<uint32_t>(sizeof kRows / sizeof kRows[0]), kRows};

int CompareId(const void *key, const void *row) {
  const uint32_t id = *static_cast<const uint32_t *>(key);
  const uint32_t other = static_cast<const MsgTypeEntry *>(row)->id;
  return (id > other) - (id < other);
}

const MsgTypeEntry *FindRow(const MsgTypeTable *table, uint32_t id) {
  if (table == nullptr || table->rows == nullptr) return nullptr;
  return static_cast<const MsgTypeEntry *>(
      bsearch(&id, table->rows, table->count, sizeof(MsgTypeEntry), CompareId));
}

int HasFlag(const MsgTypeTable *table, uint32_t id, uint32_t flag) {
  const MsgTypeEntry *row = FindRow(table, id);
  return row != nullptr && (row->flags & flag) != 0 ? 1 : 0;
}

}  // namespace

const MsgTypeTable *GetMsgTypeTable(void) { return &kTable; }

const char *MsgTypeName(const MsgTypeTable *table, uint32_t id) {
  const MsgTypeEntry *row = FindRow(table, id);
  return row != nullptr ? row->name : nullptr;
}

int MsgTypeIsSensitive(const MsgTypeTable *table, uint32_t id) { return HasFlag(table, id, MSGF_SENSITIVE); }

int MsgTypeIsOneWay(const MsgTypeTable *table, uint32_t id) { return HasFlag(table, id, MSGF_ONEWAY); }
