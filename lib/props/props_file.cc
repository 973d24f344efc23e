// Mapped-file reader, character classes and status texts.
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>

#include "props/props_internal.h"
#include "util/secure_open.h"
#include "util/status_text.h"

namespace {

constexpr vx::StatusText kStatusTexts[] = {
    {PROPS_ERR_NOMEM, "Out of memory"},
    {PROPS_ERR_NOT_ABSOLUTE, "pathname is not absolute"},
    {PROPS_ERR_PERMISSION, "insufficient permissions"},
    {PROPS_ERR_NOENT, "file does not exist"},
    {PROPS_ERR_SYSTEM, "system error"},
    {PROPS_ERR_INSECURE, "file is world writable or not root owned"},
};

struct OpenStatusMap {
  uint32_t open_status;
  uint32_t props_status;
};

// Open failures that callers can act on; everything else is a system error.
constexpr OpenStatusMap kOpenStatusMap[] = {
    {SOPEN_NOENT, PROPS_ERR_NOENT},          {SOPEN_BAD_OWNER, PROPS_ERR_INSECURE},
    {SOPEN_WORLD_WRITE, PROPS_ERR_INSECURE}, {SOPEN_ACCESS, PROPS_ERR_PERMISSION},
    {SOPEN_SYMLINK, PROPS_ERR_INSECURE},     {SOPEN_HARDLINKS, PROPS_ERR_INSECURE},
};

// Maps the open stream's file; false on failure. An empty file needs no
// mapping: the reader is then at its end at once.
bool MapStream(FILE *stream, PmFile *reader) {
  if (fseeko(stream, 0, SEEK_END) != 0) return false;
  off_t length = ftello(stream);
  if (length < 0) return false;
  reader->length = length;
  if (length == 0) return true;
  // The whole file is read once from start to end: populating the mapping
  // up front spares a page fault per page.
  void *map =
      mmap(nullptr, static_cast<size_t>(length), PROT_READ, MAP_PRIVATE | MAP_POPULATE, fileno(stream), 0);
  if (map == MAP_FAILED) return false;
  reader->start = static_cast<const char *>(map);
  reader->pos = reader->start;
  reader->end = reader->start + length;
  return true;
}

}  // namespace

namespace vxprops {

uint32_t OpenStatusToProps(uint32_t open_status) {
  for (const OpenStatusMap &m : kOpenStatusMap) {
    if (m.open_status == open_status) return m.props_status;
  }
  return PROPS_ERR_SYSTEM;
}

}  // namespace vxprops

using vxprops::SetStatus;

extern "C" {

const char *CPropsErr2Str(uint32_t code) { return vx::FindStatusText(kStatusTexts, code); }

PmFile *OpenPropFile(const char *path, uint32_t *status, int secure) {
  SetStatus(status, PROPS_OK);
  if (path == nullptr || path[0] == '\0') {
    SetStatus(status, PROPS_ERR_NOENT);
    return nullptr;
  }
  if (path[0] != '/') {
    SetStatus(status, PROPS_ERR_NOT_ABSOLUTE);
    return nullptr;
  }
  return pmfopen(path, status, secure);
}

PmFile *pmfopen(const char *path, uint32_t *status, int secure) {
  SetStatus(status, PROPS_OK);
  PmFile *reader = static_cast<PmFile *>(calloc(1, sizeof(PmFile)));
  if (reader == nullptr) {
    SetStatus(status, PROPS_ERR_NOMEM);
    return nullptr;
  }
  uint32_t open_status = 0;
  FILE *stream = secure ? SecureFOpenForReading(path, &open_status) : FOpenForReading(path, &open_status);
  if (stream == nullptr) {
    free(reader);
    SetStatus(status, vxprops::OpenStatusToProps(open_status));
    return nullptr;
  }
  bool mapped = MapStream(stream, reader);
  (void)fclose(stream);
  if (!mapped) {
    free(reader);
    SetStatus(status, PROPS_ERR_NOMEM);
    return nullptr;
  }
  return reader;
}

int pmfgetc(PmFile *reader) {
  int c = reader == nullptr ? -1 : vxprops::ReaderNext(reader);
  // Signed char values, except 0xFF: as -1 it would read as the end.
  return c >= 0x80 && c < 0xFF ? c - 0x100 : c;
}

void pmfungetc(PmFile *reader) {
  if (reader != nullptr) vxprops::ReaderBack(reader);
}

int pmfclose(PmFile *reader) {
  if (reader == nullptr) return 0;
  int result = 0;
  if (reader->start != nullptr)
    result = munmap(const_cast<char *>(reader->start), static_cast<size_t>(reader->length));
  free(reader);
  return result;
}

int IsLineEnd(int c) { return vxprops::IsLineEndChar(c) ? 1 : 0; }

int IsWhitespace(int c) { return vxprops::IsWhitespaceChar(c) ? 1 : 0; }

int ProcessEscape(int c) {
  switch (c) {
    case 'f':
      return '\f';
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 't':
      return '\t';
    case 'v':
      return '\v';
    default:
      return c;
  }
}

}  // extern "C"
