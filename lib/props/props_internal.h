// Internal helpers shared by the files of the configuration library.
#ifndef VX_PROPS_PROPS_INTERNAL_H
#define VX_PROPS_PROPS_INTERNAL_H

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "props/props.h"
#include "util/growbuf.h"
#include "util/scope.h"

namespace vxprops {

using vx::SetStatus;

// Reader primitives behind pmfgetc/pmfungetc, inlined into the parsers.
// Bytes come back as 0..255 (unlike pmfgetc's signed values), so that the
// parsers index their byte tables directly and 0xFF is never the end.
inline int ReaderNext(PmFile *f) { return f->pos < f->end ? static_cast<unsigned char>(*f->pos++) : -1; }
inline void ReaderBack(PmFile *f) {
  if (f->pos > f->start) --f->pos;
}

// Blanks skipped at the start of a line: space, TAB, vertical tab.
inline bool IsLineBlank(int c) { return c == ' ' || c == '\t' || c == '\v'; }
inline bool IsLineEndChar(int c) { return c == '\n' || c == '\r' || c == '\f'; }
inline bool IsWhitespaceChar(int c) { return c == ' ' || c == '\t' || IsLineEndChar(c); }

// Builds one string in a GrowBuffer. A GrowBuffer grows by a fixed amount
// when full (2 bytes per GrowBufPutc, 2n per GrowBufPutmem of n bytes), so
// appending byte by byte would copy the block over and over. The sink
// gathers bytes in a staging block and hands them to the GrowBuffer only in
// batches at least as large as what it already holds, which makes its
// growth geometric and every append amortised O(1).
class Sink {
 public:
  Sink() { NewGrowBuffer(&buf_, 0); }
  ~Sink() {
    if (buf_.start != nullptr) GrowBufFree(&buf_, 0);
    if (stage_ != inline_) free(stage_);
  }
  Sink(const Sink &) = delete;
  Sink &operator=(const Sink &) = delete;

  // Appends one byte; false on exhausted memory (the sink is then failed
  // and every later append fails too).
  bool Put(int c) {
    if (stage_len_ < stage_cap_) {
      stage_[stage_len_++] = static_cast<char>(c);
      return true;
    }
    char byte = static_cast<char>(c);
    return PutSlow(&byte, 1);
  }
  bool Put(const char *data, size_t n) {
    if (n <= stage_cap_ - stage_len_) {
      if (n > 0) memcpy(stage_ + stage_len_, data, n);
      stage_len_ += n;
      return true;
    }
    return PutSlow(data, n);
  }

  size_t Size() const { return (buf_.start != nullptr ? GrowBufSize(&buf_) : 0) + stage_len_; }
  // Terminates the content and hands it over as a heap string; null on
  // exhausted memory. The sink is empty afterwards.
  char *Release();

 private:
  bool PutSlow(const char *data, size_t n);
  bool Flush();

  // Short strings (most keys and values) are staged without an allocation.
  static constexpr size_t kInlineStage = 128;

  GrowBuffer buf_;
  char inline_[kInlineStage];
  char *stage_ = inline_;
  size_t stage_len_ = 0;
  size_t stage_cap_ = kInlineStage;
  bool failed_ = false;
};

// A heap string built by appending. It grows geometrically with realloc, so
// appends are amortised O(1) and a large block is usually extended in place
// (untouched capacity is never resident). Used for the texts that value
// processing builds, where one string can be large and many can be open
// at once (one per property in progress).
class TextBuf {
 public:
  TextBuf() = default;
  ~TextBuf() { free(data_); }
  TextBuf(TextBuf &&other) noexcept : data_(other.data_), size_(other.size_), cap_(other.cap_) {
    other.data_ = nullptr;
    other.size_ = other.cap_ = 0;
  }
  TextBuf(const TextBuf &) = delete;
  TextBuf &operator=(const TextBuf &) = delete;
  TextBuf &operator=(TextBuf &&) = delete;

  // Appends; false on exhausted memory or past PROPS_MAX_STRING_SIZE.
  bool Put(char c) {
    if (size_ + 1 >= cap_ && !Reserve(1)) return false;
    data_[size_++] = c;
    return true;
  }
  bool Put(const char *data, size_t n) {
    if (n == 0) return true;
    if (n >= cap_ - size_ && !Reserve(n)) return false;
    memcpy(data_ + size_, data, n);
    size_ += n;
    return true;
  }
  // Whether a block is held.
  bool Held() const { return data_ != nullptr; }
  // Takes room for `n` more bytes, so that a text of known length is built
  // in one allocation; false on exhausted memory.
  bool Expect(size_t n) { return Reserve(n); }
  size_t Size() const { return size_; }
  // Cuts the content back to `length` bytes (no-op when not shorter).
  void Truncate(size_t length) {
    if (length < size_) size_ = length;
  }
  // Hands the content over as a heap string (the block shrunk when much of
  // it is unused); null on exhausted memory. The buffer is empty afterwards.
  char *Release();

 private:
  bool Reserve(size_t n);

  char *data_ = nullptr;
  size_t size_ = 0;
  size_t cap_ = 0;
};

// One query's value processing (see props_expand.cc). Both run without
// recursion and within the budget documented at GetProperty.
// The include step and then, unless `include_only`, the processed value of
// `property`; returns the status (0 or 300..305).
uint32_t ProcessProperty(Properties *props, Property *property, bool include_only);
// A new string: `text` trimmed, unescaped and expanded; null with *status.
char *ProcessText(Properties *props, const char *text, uint32_t *status);

// Characters of a $variable name.
inline bool IsNameChar(char ch) {
  return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_' ||
         ch == '.';
}

// Length of the $variable name at `text` (at most PROPS_MAX_VARIABLE_NAME),
// copied with its terminator into `name`.
uint32_t ReadVariableName(const char *text, char (&name)[PROPS_MAX_VARIABLE_NAME + 1]);

// The value of a join fact or environment variable of that name, or null
// (status set when a join fact could not be read).
const char *LookUpOutsideSet(Properties *props, const char *name, uint32_t *status);

// Key and value reading shared by the loader and the include reader.
char *ReadValue(PmFile *reader, uint32_t *status);

// Maps an open status of the secure open functions to a library status.
uint32_t OpenStatusToProps(uint32_t open_status);

// Looks up the key and makes sure its value is processed. Null when the
// default applies (nothing found, in progress) or processing failed
// (*status set).
Property *ProcessedProperty(Properties *props, const char *key, uint32_t *status);

}  // namespace vxprops

#endif
