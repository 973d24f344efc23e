#include "handlers.h"

#include <cstdlib>
#include <memory>
#include <optional>

#include "frame.h"
#include "util/scope.h"

namespace agentsim {
namespace {

// Status of a list, dump or lookup the agent cannot serve (unknown
// selection, category or login, or a request it cannot read).
constexpr int32_t kStatusUnknown = 1;
constexpr const char *kPrincipalAttribute = "userPrincipalName";

using OptString = std::optional<std::string>;

uint32_t ReadString(Msg *msg, OptString *out) {
  char *raw = nullptr;
  uint32_t status = MsgGetString(msg, &raw);
  vx::FreePtr<char> owned(raw);
  if (status == MSG_OK) *out = raw != nullptr ? OptString(raw) : std::nullopt;
  return status;
}

// The items of the string set at the cursor, null items kept as nullopt
// (MsgGetStringSet's array cannot show the items after a null one).
uint32_t ReadStringSet(Msg *msg, std::vector<OptString> *out) {
  MsgSetReader reader{};
  uint32_t count = 0;
  uint32_t status = MsgOpenStringSet(msg, &reader, &count);
  for (uint32_t i = 0; status == MSG_OK && i < count; ++i) {
    const char *item = nullptr;
    uint32_t length = 0;
    status = MsgNextSetItem(&reader, &item, &length);
    if (status == MSG_OK)
      out->push_back(item != nullptr ? OptString(std::string(item, length)) : std::nullopt);
  }
  return status;
}

Cell AsCell(const OptString &s) { return s ? Cell(*s) : std::nullopt; }

std::optional<Category> ParseCategory(const OptString &name) {
  if (name == "user") return Category::kUser;
  if (name == "group") return Category::kGroup;
  return std::nullopt;
}

std::optional<Selection> ParseSelection(const OptString &name) {
  if (name == "all") return Selection::kAll;
  if (name == "visible") return Selection::kVisible;
  if (name == "remove") return Selection::kRemove;
  return std::nullopt;
}

Reply StatusOnly(int32_t status) { return Reply{false, {status}}; }

Reply StatusAndEntries(std::vector<std::string> entries) {
  return Reply{false, {int32_t{0}, std::move(entries)}};
}

Reply StatusAndEntries(SharedSet entries) { return Reply{false, {int32_t{0}, std::move(entries)}}; }

Reply HandleStatus(Msg *, const FaultPlan &plan, Services &) { return Reply{false, {Bool{!plan.disabled}}}; }

Reply HandleReload(Msg *, const FaultPlan &plan, Services &services) {
  services.accounts.Reload();
  return StatusOnly(plan.status.value_or(0));
}

Reply HandleList(Msg *request, const FaultPlan &plan, Services &services) {
  OptString selection_name, category_name;
  std::optional<Selection> selection;
  std::optional<Category> category;
  if (ReadString(request, &selection_name) == MSG_OK && ReadString(request, &category_name) == MSG_OK) {
    selection = ParseSelection(selection_name);
    category = ParseCategory(category_name);
  }
  int32_t status = plan.status.value_or(selection && category ? 0 : kStatusUnknown);
  if (status != 0 || !selection || !category) return StatusOnly(status != 0 ? status : kStatusUnknown);
  return StatusAndEntries(services.accounts.Listing(*category, *selection));
}

Reply HandleDump(Msg *request, const FaultPlan &plan, Services &services) {
  OptString name;
  std::optional<Category> category;
  if (ReadString(request, &name) == MSG_OK) category = ParseCategory(name);
  int32_t status = plan.status.value_or(category ? 0 : kStatusUnknown);
  if (status != 0 || !category) return StatusOnly(status != 0 ? status : kStatusUnknown);
  return StatusAndEntries(services.accounts.Dump(*category));
}

Reply HandleObjectByName(Msg *request, const FaultPlan &plan, Services &services) {
  OptString name;
  uint32_t scope = 0;
  const std::string *principal = nullptr;
  if (ReadString(request, &name) == MSG_OK && MsgGetUInt(request, &scope) == MSG_OK && name) {
    principal = services.accounts.Principal(*name);
  }
  int32_t status = plan.status.value_or(principal != nullptr ? 0 : kStatusUnknown);
  if (status != 0 || principal == nullptr) return StatusOnly(status);
  return StatusAndEntries({kPrincipalAttribute, *principal});
}

struct Log2Record {
  uint32_t time = 0;
  OptString process;
  int32_t pid = 0;
  int32_t level = 0;
  OptString file;
  int32_t line = 0;
  OptString function;
  OptString text;

  bool IsEnd() const {
    return time == 0 && pid == 0 && level == 0 && line == 0 && !process && !file && !function && !text;
  }
};

uint32_t ReadLog2Record(Msg *msg, Log2Record *r) {
  uint32_t st = MsgGetUInt(msg, &r->time);
  if (st == MSG_OK) st = ReadString(msg, &r->process);
  if (st == MSG_OK) st = MsgGetInt(msg, &r->pid);
  if (st == MSG_OK) st = MsgGetInt(msg, &r->level);
  if (st == MSG_OK) st = ReadString(msg, &r->file);
  if (st == MSG_OK) st = MsgGetInt(msg, &r->line);
  if (st == MSG_OK) st = ReadString(msg, &r->function);
  if (st == MSG_OK) st = ReadString(msg, &r->text);
  return st;
}

const char *ErrText(uint32_t status) {
  const char *text = MsgErr2Str(status);
  return text != nullptr ? text : "unknown status";
}

// Records every record up to and including the end record. A message that
// stops early or holds a field of another kind ends with a MALFORMED line.
Reply HandleLog2(Msg *request, const FaultPlan &, Services &services) {
  const std::string msgno = std::to_string(++services.log2_messages);
  for (;;) {
    Log2Record r;
    if (uint32_t st = ReadLog2Record(request, &r); st != MSG_OK) {
      services.recorder.Write(RecordFile::kLog2, {msgno, "MALFORMED", ErrText(st)});
      break;
    }
    if (r.IsEnd()) {
      services.recorder.Write(RecordFile::kLog2, {msgno, "END"});
      break;
    }
    services.recorder.Write(
        RecordFile::kLog2,
        {msgno, std::to_string(r.time), AsCell(r.process), std::to_string(r.pid), std::to_string(r.level),
         AsCell(r.file), std::to_string(r.line), AsCell(r.function), AsCell(r.text)});
  }
  return Reply{};
}

Reply HandleAuditEvent(Msg *request, const FaultPlan &, Services &services) {
  OptString suite, category, user;
  int32_t event = 0, pid = 0;
  std::vector<OptString> args;
  uint32_t st = ReadString(request, &suite);
  if (st == MSG_OK) st = ReadString(request, &category);
  if (st == MSG_OK) st = MsgGetInt(request, &event);
  if (st == MSG_OK) st = ReadString(request, &user);
  if (st == MSG_OK) st = MsgGetInt(request, &pid);
  if (st == MSG_OK) st = ReadStringSet(request, &args);
  if (st != MSG_OK) {
    services.recorder.Write(RecordFile::kAudit, {"MALFORMED", ErrText(st)});
    return Reply{};
  }
  const std::string event_text = std::to_string(event), pid_text = std::to_string(pid);
  std::vector<Cell> cells = {AsCell(suite), AsCell(category), event_text, AsCell(user), pid_text};
  for (const OptString &arg : args) cells.push_back(AsCell(arg));
  services.recorder.Write(RecordFile::kAudit, cells);
  return Reply{};
}

Reply HandleOther(Msg *, const FaultPlan &, Services &) { return Reply{}; }

struct HandlerRow {
  uint32_t type;
  Reply (*handle)(Msg *request, const FaultPlan &plan, Services &services);
};

constexpr HandlerRow kHandlers[] = {
    {MSGTYPE_CONTROL_LOG2, HandleLog2},
    {MSGTYPE_GET_LOCAL_ACCT_MGMT, HandleStatus},
    {MSGTYPE_RELOAD_LOCAL_ACCT, HandleReload},
    {MSGTYPE_LIST_LOCAL_ACCT, HandleList},
    {MSGTYPE_DUMP_LOCAL_ACCT, HandleDump},
    {MSGTYPE_GET_OBJECT_BY_NAME, HandleObjectByName},
    {MSGTYPE_AUDIT_TRAIL_EVENT, HandleAuditEvent},
};

}  // namespace

Reply HandleRequest(uint32_t type, Msg *request, const FaultPlan &plan, Services &services) {
  auto handle = HandleOther;
  for (const HandlerRow &row : kHandlers) {
    if (row.type == type) handle = row.handle;
  }
  Reply reply = handle(request, plan, services);
  reply.one_way = MsgTypeIsOneWay(GetMsgTypeTable(), type) != 0;
  return reply;
}

}  // namespace agentsim
