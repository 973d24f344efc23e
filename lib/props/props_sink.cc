// Amortised string building on top of GrowBuffer.
#include <string.h>

#include "props/props_internal.h"

namespace vxprops {
namespace {

// First staging block on the heap; it doubles from here as needed.
constexpr size_t kMinStage = 512;
// First block of a TextBuf; it doubles from here as needed.
constexpr size_t kMinText = 32;
// Largest string the library builds (key, value, list element, list).
constexpr size_t kMaxStringSize = PROPS_MAX_STRING_SIZE;

}  // namespace

bool Sink::PutSlow(const char *data, size_t n) {
  if (failed_ || n > kMaxStringSize || Size() > kMaxStringSize - n) return failed_ = true, false;
  // Batches no smaller than the written length keep GrowBuffer growth geometric.
  if (stage_len_ > 0 && stage_len_ >= GrowBufSize(&buf_) && !Flush()) return false;
  if (n > stage_cap_ - stage_len_) {
    size_t cap = stage_cap_ * 2;
    if (cap < kMinStage) cap = kMinStage;
    if (cap < stage_len_ + n) cap = stage_len_ + n;
    char *grown = static_cast<char *>(realloc(stage_ == inline_ ? nullptr : stage_, cap));
    if (grown == nullptr) return failed_ = true, false;
    if (stage_ == inline_) memcpy(grown, inline_, stage_len_);
    stage_ = grown;
    stage_cap_ = cap;
  }
  memcpy(stage_ + stage_len_, data, n);
  stage_len_ += n;
  return true;
}

bool Sink::Flush() {
  if (failed_) return false;
  if (GrowBufPutmem(&buf_, static_cast<uint32_t>(stage_len_), stage_) == nullptr)
    return failed_ = true, false;
  stage_len_ = 0;
  return true;
}

char *Sink::Release() {
  if (!Put('\0')) return nullptr;
  if (buf_.start == nullptr || GrowBufSize(&buf_) == 0) {
    // Everything is still staged (the usual short string): one exact-size
    // block instead of a GrowBuffer block of twice the size shrunk again.
    char *text = static_cast<char *>(malloc(stage_len_));
    if (text == nullptr) return failed_ = true, nullptr;
    memcpy(text, stage_, stage_len_);
    stage_len_ = 0;
    return text;
  }
  return Flush() ? GrowBufRelease(&buf_) : nullptr;
}

bool TextBuf::Reserve(size_t n) {
  // One byte always stays free for the terminator Release adds.
  if (n > kMaxStringSize || size_ > kMaxStringSize - n) return false;
  size_t need = size_ + n + 1;
  if (data_ != nullptr && need <= cap_) return true;
  size_t cap = cap_ == 0 ? need : cap_;  // a first block of the size asked for
  if (cap < kMinText) cap = kMinText;
  while (cap < need) cap *= 2;
  char *grown = static_cast<char *>(data_ == nullptr ? malloc(cap) : realloc(data_, cap));
  if (grown == nullptr) return false;
  data_ = grown;
  cap_ = cap;
  return true;
}

char *TextBuf::Release() {
  if (data_ == nullptr && !Reserve(0)) return nullptr;
  data_[size_] = '\0';
  char *text = data_;
  if (cap_ - size_ - 1 >= kMinText) {
    text = static_cast<char *>(realloc(data_, size_ + 1));
    if (text == nullptr) text = data_;  // keeping the larger block is harmless
  }
  data_ = nullptr;
  size_ = cap_ = 0;
  return text;
}

}  // namespace vxprops
