// Value processing of one query: include steps, value walks and the
// $references between them, driven by an explicit stack on the heap.
//
// Processing property P walks P's raw value; a $reference to property Q
// that has no value yet suspends the walk and processes Q first (its own
// include step, then its value), and Q's value is then inserted. The
// recursion this describes is kept in `frames_`, one frame per property in
// progress (plus one for a bare text), so a chain of any length gives the
// value it would give unbounded: a reference to a property that is in
// progress stays literal text, whatever the depth.
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <new>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "props/props_internal.h"
#include "util/safe_string.h"
#include "util/scope.h"

namespace vxprops {
namespace {

using CString = vx::FreePtr<char>;

// The include reference "file:/path": the path starts after "file:".
constexpr size_t kIncludePathOffset = sizeof "file:" - 1;
// Property lookups of one query past which it indexes the keys once, so
// that a long chain costs linear time (MatchKey is linear per lookup).
constexpr uint32_t kIndexAfterLookups = 8;
constexpr uint32_t kNoMem = PROPS_ERR_NOMEM;

inline bool IsBlank(char ch) { return IsSpaceChar(static_cast<unsigned char>(ch)) != 0; }

inline void ClearProcessing(Property *p) { p->flags = static_cast<uint8_t>(p->flags & ~PROP_F_PROCESSING); }

// Appends an include element. Commas and whitespace are escaped so that the
// list splits exactly at the joins; backslashes and dollar signs so that
// list queries and value processing give the element back unchanged.
bool PutListElement(const char *element, bool first, TextBuf *list) {
  if (!first && !list->Put(',')) return false;
  for (const char *p = element; *p != '\0'; ++p) {
    bool special = *p == ',' || *p == '\\' || *p == '$' || IsWhitespaceChar(static_cast<unsigned char>(*p));
    if ((special && !list->Put('\\')) || !list->Put(*p)) return false;
  }
  return true;
}

// Reads the next value line of an include file: 1 with *line set, 0 at the
// end, -1 on exhausted memory (*status set).
int ReadIncludeLine(PmFile *r, char **line, uint32_t *status) {
  for (int c; (c = ReaderNext(r)) >= 0;) {
    if (IsLineEndChar(c)) continue;
    if (c == '#' || c == '!') {
      while ((c = ReaderNext(r)) >= 0 && !IsLineEndChar(c)) {
      }
      continue;
    }
    while (IsLineBlank(c)) c = ReaderNext(r);
    if (c < 0) break;
    if (IsLineEndChar(c)) continue;
    ReaderBack(r);
    *line = ReadValue(r, status);
    return *line != nullptr ? 1 : -1;
  }
  return 0;
}

// What a frame's current walk is for.
enum class Stage : uint8_t { kText, kIncludeName, kIncludeLine, kValue };

// An include step in progress: the file being read and the list so far.
struct Include {
  CString name;  // the expanded reference
  PmFile *reader = nullptr;
  TextBuf list;
  bool first = true;
  ~Include() { pmfclose(reader); }
};

// A property's fields as they were before this query touched them.
struct Saved {
  Property *property;
  char *value;
  char *processed;
  char *include_name;
  uint32_t include_status;
  uint8_t flags;
};

// Puts the property back as it was.
void Restore(const Saved &s) {
  Property *p = s.property;
  if (p->value != s.value) free(p->value), p->value = s.value;
  if (p->processed != s.processed) free(p->processed), p->processed = s.processed;
  if (p->include_name != s.include_name) free(p->include_name), p->include_name = s.include_name;
  p->include_status = s.include_status;
  p->flags = s.flags;
}

// Frees what the property's new fields replaced.
void Commit(const Saved &s) {
  const Property *p = s.property;
  if (p->value != s.value) free(s.value);
  if (p->include_name != s.include_name) free(s.include_name);
}

// One property in progress (or the bare text of ProcessRawValue1) and the
// text it is walking now.
struct Frame {
  Property *property = nullptr;  // null for a bare text
  bool include_only = false;     // stop after the include step
  Stage stage = Stage::kText;
  const char *pos = nullptr;  // next character of the walked text
  CString line;               // the walked include line, owned
  TextBuf out;
  size_t keep = 0;              // length that trimming must not cut
  Property *waiting = nullptr;  // referenced property being processed
  uint32_t name_length = 0;     // of that reference's name
  std::unique_ptr<Include> include;
  Saved before{};  // the property as it was when the frame started
};

// The frames in progress: the first in place (most queries need no
// other), the rest on the heap.
class FrameStack {
 public:
  bool empty() const { return !first_.has_value(); }
  size_t size() const { return first_.has_value() ? 1 + more_.size() : 0; }
  Frame &back() { return more_.empty() ? *first_ : more_.back(); }
  // False on exhausted memory.
  bool push() {
    if (!first_.has_value()) {
      first_.emplace();
      return true;
    }
    try {
      more_.emplace_back();
    } catch (...) {
      return false;
    }
    return true;
  }
  void pop() {
    if (!more_.empty()) {
      more_.pop_back();
    } else {
      first_.reset();
    }
  }

 private:
  std::optional<Frame> first_;
  std::vector<Frame> more_;
};

class Expander {
 public:
  explicit Expander(Properties *props) : props_(props) {}
  ~Expander() { Settle(); }
  Expander(const Expander &) = delete;
  Expander &operator=(const Expander &) = delete;

  uint32_t RunProperty(Property *property, bool include_only) {
    if (!Push(property, include_only)) return PROPS_ERR_NOMEM;
    Run();
    return returned_;
  }

  char *RunText(const char *text, uint32_t *status) {
    if (!Push(nullptr, false)) return SetStatus(status, PROPS_ERR_NOMEM), nullptr;
    StartWalk(frames_.back(), text, Stage::kText);
    Run();
    SetStatus(status, returned_);
    return returned_ == PROPS_OK ? text_.release() : nullptr;
  }

 private:
  void Run();
  bool Push(Property *property, bool include_only);
  void Enter();
  void ValueStage(Frame &f);
  void StartWalk(Frame &f, const char *text, Stage stage);
  void Walk();
  bool Reference(Frame &f, bool *pushed, uint32_t *status);
  bool Insert(Frame &f, const char *value, uint32_t name_length);
  void Resume(uint32_t status);
  void WalkDone(char *text, uint32_t status);
  void IncludeNameDone(Frame &f, CString name);
  void NextLine(Frame &f);
  void IncludeFailed(Frame &f, uint32_t status);
  void Finish(uint32_t status);
  bool Exhausted(uint32_t *status);
  Property *Find(const char *name);
  void Settle();

  Properties *props_;
  FrameStack frames_;
  // Properties whose frames finished inside others under this query: kept,
  // or put back when the budget runs out. Room for every frame in progress
  // is reserved when it is pushed, so adding to it never fails.
  std::vector<Saved> saved_;
  bool returned_set_ = false;  // the top frame finished; Resume its parent
  uint32_t returned_ = PROPS_OK;
  CString text_;  // the result of a bare text
  size_t expanded_ = 0;
  uint32_t references_ = 0;
  bool exhausted_ = false;
  uint32_t lookups_ = 0;
  bool indexed_ = false;
  std::unordered_map<std::string_view, Property *> index_;
};

void Expander::Run() {
  while (!frames_.empty()) {
    if (returned_set_) {
      returned_set_ = false;
      Resume(returned_);
    } else {
      Walk();
    }
  }
}

// Pushes a frame for the property and starts it; false on exhausted memory.
bool Expander::Push(Property *property, bool include_only) {
  const size_t need = saved_.size() + frames_.size();
  try {
    if (need > saved_.capacity()) saved_.reserve(std::max(need, 2 * saved_.capacity()));
  } catch (...) {
    return false;
  }
  if (!frames_.push()) return false;
  frames_.back().property = property;
  frames_.back().include_only = include_only;
  if (property != nullptr) Enter();
  return true;
}

// Starts the top frame's property: its include step once, then its value.
void Expander::Enter() {
  Frame &f = frames_.back();
  Property *p = f.property;
  f.before = {p, p->value, p->processed, p->include_name, p->include_status, p->flags};
  if (!(p->flags & PROP_F_INCLUDE_DONE)) {
    p->flags |= PROP_F_INCLUDE_DONE;
    if (IsIncludeFile(p->value)) {
      p->flags |= PROP_F_PROCESSING;
      return StartWalk(f, p->value, Stage::kIncludeName);
    }
  } else if (p->include_status != PROPS_OK) {
    return Finish(p->include_status);
  }
  ValueStage(f);
}

void Expander::ValueStage(Frame &f) {
  Property *p = f.property;
  if (f.include_only || p->processed != nullptr) return Finish(PROPS_OK);
  p->flags |= PROP_F_PROCESSING;
  StartWalk(f, p->value, Stage::kValue);
}

void Expander::StartWalk(Frame &f, const char *text, Stage stage) {
  if (text == nullptr) text = "";
  while (IsBlank(*text)) ++text;
  f.stage = stage;
  f.pos = text;
  f.keep = 0;
}

// Walks the top frame's text until it ends, fails or needs the value of a
// property that has none yet (a frame for it is then pushed).
void Expander::Walk() {
  Frame &f = frames_.back();
  bool ok = f.out.Held() || f.out.Expect(strlen(f.pos));  // once per text
  uint32_t status = PROPS_OK;
  while (ok && *f.pos != '\0') {
    const char *p = f.pos;
    if (*p == '$') {
      bool pushed = false;
      ok = Reference(f, &pushed, &status);
      if (pushed) return;  // f may have moved; the walk goes on in Resume
    } else if (*p == '\\') {
      if (p[1] == '\0') break;  // a backslash at the very end is dropped
      ok = f.out.Put(static_cast<char>(ProcessEscape(static_cast<unsigned char>(p[1]))));
      f.pos += 2;
      f.keep = f.out.Size();
    } else {
      // Plain text up to the next special character. A loop, not strcspn: a
      // checking string library may measure the whole rest of the text at
      // each call, which over many references would be quadratic.
      size_t run = 0;
      while (p[run] != '\0' && p[run] != '$' && p[run] != '\\') ++run;
      ok = f.out.Put(p, run);
      size_t solid = run;
      while (solid > 0 && IsBlank(p[solid - 1])) --solid;
      if (solid > 0) f.keep = f.out.Size() - (run - solid);
      f.pos += run;
    }
  }
  if (!ok) return WalkDone(nullptr, status != PROPS_OK ? status : kNoMem);
  f.out.Truncate(f.keep);
  char *text = f.out.Release();
  WalkDone(text, text != nullptr ? PROPS_OK : PROPS_ERR_NOMEM);
}

// Expands the reference at f.pos (a '$'): join fact, environment, then a
// property of the set. False with *status when the walk fails; *pushed when
// the property must be processed first.
bool Expander::Reference(Frame &f, bool *pushed, uint32_t *status) {
  char name[PROPS_MAX_VARIABLE_NAME + 1];
  uint32_t n = ReadVariableName(f.pos + 1, name);
  const char *value = nullptr;
  if (n > 0) {
    if (++references_ > PROPS_MAX_REFERENCES) return Exhausted(status);
    value = LookUpOutsideSet(props_, name, status);
    if (*status != PROPS_OK) return false;
  }
  if (n > 0 && value == nullptr) {
    Property *q = Find(name);
    if (q != nullptr && !(q->flags & PROP_F_PROCESSING)) {
      if (q->processed == nullptr) {
        f.waiting = q;
        f.name_length = n;
        *pushed = true;
        if (!Push(q, false)) *pushed = false, *status = PROPS_ERR_NOMEM;
        return *pushed;
      }
      value = q->processed;
    }
  }
  if (value != nullptr) return Insert(f, value, n) || (*status = PROPS_ERR_NOMEM, false);
  ++f.pos;  // no value: the '$' is text, and the name after it too
  f.keep = f.out.Size() + 1;
  return f.out.Put('$');
}

// Inserts the value of the reference at f.pos, charged to the budget.
bool Expander::Insert(Frame &f, const char *value, uint32_t name_length) {
  size_t length = strlen(value);
  if (length > PROPS_MAX_EXPANDED_TEXT - expanded_) return Exhausted(nullptr);
  expanded_ += length;
  f.pos += 1 + name_length;
  bool ok = f.out.Put(value, length);
  f.keep = f.out.Size();
  return ok;
}

// The property the top frame was waiting for is done with `status`.
void Expander::Resume(uint32_t status) {
  Frame &f = frames_.back();
  Property *q = f.waiting;
  f.waiting = nullptr;
  if (status == PROPS_OK && Insert(f, q->processed, f.name_length)) return;  // the walk goes on
  WalkDone(nullptr, status != PROPS_OK ? status : kNoMem);
}

// The top frame's walk gave `text` (owned) or failed with `status`.
void Expander::WalkDone(char *text, uint32_t status) {
  Frame &f = frames_.back();
  CString result(text);
  switch (f.stage) {
    case Stage::kText:
      text_ = std::move(result);
      return Finish(status);
    case Stage::kIncludeName:
      if (status != PROPS_OK) return IncludeFailed(f, status);
      return IncludeNameDone(f, std::move(result));
    case Stage::kIncludeLine:
      f.line.reset();
      if (status == PROPS_OK && !PutListElement(result.get(), f.include->first, &f.include->list))
        status = PROPS_ERR_NOMEM;
      if (status != PROPS_OK) return IncludeFailed(f, status);
      f.include->first = false;
      return NextLine(f);
    case Stage::kValue:
      ClearProcessing(f.property);
      if (status == PROPS_OK) f.property->processed = result.release();
      return Finish(status);
  }
}

// Opens the file the expanded reference names and starts reading it.
void Expander::IncludeNameDone(Frame &f, CString name) {
  f.include.reset(new (std::nothrow) Include);
  if (f.include == nullptr) return IncludeFailed(f, PROPS_ERR_NOMEM);
  const char *text = name.get();
  f.include->name = std::move(name);
  const char *path = strlen(text) >= kIncludePathOffset ? text + kIncludePathOffset : "";
  uint32_t status = PROPS_OK;
  f.include->reader = OpenPropFile(path, &status, 1);
  if (f.include->reader == nullptr) return IncludeFailed(f, status);
  NextLine(f);
}

// Expands the next line of the include file, or ends the include step with
// the list as the property's new raw value.
void Expander::NextLine(Frame &f) {
  char *line = nullptr;
  uint32_t status = PROPS_OK;
  int got = ReadIncludeLine(f.include->reader, &line, &status);
  if (got < 0) return IncludeFailed(f, status);
  if (got > 0) {
    f.line.reset(line);
    return StartWalk(f, line, Stage::kIncludeLine);
  }
  char *list = f.include->list.Release();
  if (list == nullptr) return IncludeFailed(f, PROPS_ERR_NOMEM);
  Property *p = f.property;
  ClearProcessing(p);
  p->include_status = PROPS_OK;
  p->include_name = f.include->name.release();  // the value before is kept in f.before
  p->value = list;
  f.include.reset();
  ValueStage(f);
}

// Ends the include step with `status`, which the property keeps.
void Expander::IncludeFailed(Frame &f, uint32_t status) {
  Property *p = f.property;
  ClearProcessing(p);
  p->include_status = status;
  if (f.include != nullptr) p->include_name = f.include->name.release();
  f.include.reset();
  Finish(status);
}

// Pops the top frame, which is done with `status`. A property that failed
// under a spent budget is put back at once; one that succeeded inside
// another is kept until the query ends, which decides.
void Expander::Finish(uint32_t status) {
  Frame &f = frames_.back();
  if (f.property != nullptr) {
    if (status == PROPS_OK && frames_.size() > 1) {
      saved_.push_back(f.before);
    } else if (exhausted_) {
      Restore(f.before);
    } else {
      Commit(f.before);
    }
  }
  frames_.pop();
  returned_set_ = true;
  returned_ = status;
}

// Marks the budget spent: the walk fails with 300 (false).
bool Expander::Exhausted(uint32_t *status) {
  exhausted_ = true;
  SetStatus(status, PROPS_ERR_NOMEM);
  return false;
}

Property *Expander::Find(const char *name) {
  if (props_ == nullptr) return nullptr;
  if (!indexed_ && ++lookups_ > kIndexAfterLookups) {
    indexed_ = true;
    try {
      size_t count = 0;
      for (const Property *p = props_->head; p != nullptr; p = p->next) ++count;
      index_.reserve(count);
      for (Property *p = props_->head; p != nullptr; p = p->next) index_.emplace(p->key, p);  // first wins
    } catch (...) {
      index_.clear();  // no index: linear lookups still work
    }
  }
  if (index_.empty()) return MatchKey(props_, name);
  auto it = index_.find(name);
  return it != index_.end() ? it->second : nullptr;
}

// Keeps what the query computed, or, when it ran out of budget, puts every
// property it touched back as it was before, so that nothing it computed is
// kept.
void Expander::Settle() {
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
    if (exhausted_) {
      Restore(*it);
    } else {
      Commit(*it);
    }
  }
}

}  // namespace

uint32_t ProcessProperty(Properties *props, Property *property, bool include_only) {
  // A property processed before answers at once: its include status stays,
  // and so does its value.
  if (property->flags & PROP_F_INCLUDE_DONE) {
    if (property->include_status != PROPS_OK) return property->include_status;
    if (include_only || property->processed != nullptr) return PROPS_OK;
  }
  Expander expander(props);
  return expander.RunProperty(property, include_only);
}

char *ProcessText(Properties *props, const char *text, uint32_t *status) {
  Expander expander(props);
  return expander.RunText(text, status);
}

}  // namespace vxprops
