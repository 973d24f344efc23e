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
  bool PutString(const char *s);

  size_t Size() const { return (buf_.start != nullptr ? GrowBufSize(&buf_) : 0) + stage_len_; }
  // Cuts the content back to `length` bytes (not more than Size()).
  bool Truncate(size_t length);
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
