/* Configuration properties.
 *
 * The suite keeps its settings in a text file of key/value properties. This
 * library loads such a file into a Properties set, processes values on
 * demand (include files, trimming, escapes, $variables) and answers typed
 * queries about them.
 *
 * File syntax, in brief:
 *   - lines end at CR, LF or form feed; blank lines are skipped;
 *   - '#' or '!' in the first column starts a comment line;
 *   - leading blanks (space, TAB, VT) are skipped; the key runs up to the
 *     first ':', '=', space or TAB; "\c" puts c (through ProcessEscape) into
 *     the key; a key alone on its line continues on the next line;
 *   - separator: '=', or a space/TAB/':' optionally followed by one '=';
 *   - the value runs to the line end; '"' toggles quoting (inside quotes a
 *     space, TAB or backslash is stored with a backslash before it); a
 *     backslash before a line end continues the value on the next line,
 *     replacing the line end and following whitespace by one space;
 *   - a key may occur more than once: the last occurrence wins.
 * Values are stored raw by the loader and processed on first query.
 *
 * Ownership: a Properties set is allocated by the loader and released only
 * by FreeProperties, which frees every Property and every string in it.
 * Strings returned as "borrowed" live until the set is freed. Functions
 * documented as returning a "new" string or array hand it to the caller,
 * who frees it with free.
 *
 * Statuses: every function with a `status` out-parameter sets it to 0 on
 * entry and to one of the PROPS_ERR_* codes on failure (exceptions are
 * noted). A null status pointer is tolerated everywhere. No function
 * prints, logs or throws. The library shares no state between sets; a set
 * must not be used by two threads at once (queries fill caches in the set).
 */
#ifndef VX_PROPS_PROPS_H
#define VX_PROPS_PROPS_H

#include <stdint.h>

#include "util/vx_api.h"

VX_BEGIN_DECLS

/* Status codes; CPropsErr2Str gives their texts. */
enum {
  PROPS_OK = 0,
  PROPS_ERR_NOMEM = 300,        /* "Out of memory" */
  PROPS_ERR_NOT_ABSOLUTE = 301, /* "pathname is not absolute" */
  PROPS_ERR_PERMISSION = 302,   /* "insufficient permissions" */
  PROPS_ERR_NOENT = 303,        /* "file does not exist" */
  PROPS_ERR_SYSTEM = 304,       /* "system error" */
  PROPS_ERR_INSECURE = 305      /* "file is world writable or not root owned" */
};

/* Property flag bits. */
enum {
  PROP_F_PROCESSING = 0x01,   /* value processing in progress (self-reference guard) */
  PROP_F_NUM_PARSED = 0x02,   /* numeric value parsed (by Int or Time, shared) */
  PROP_F_NUM_VALID = 0x04,    /* numeric value valid */
  PROP_F_BOOL_PARSED = 0x08,  /* boolean value parsed */
  PROP_F_BOOL_VALID = 0x10,   /* boolean value valid */
  PROP_F_INCLUDE_DONE = 0x20, /* include processing done */
  PROP_F_BOOL_TRUE = 0x40     /* boolean value is true */
};

/* Longest $variable name looked up; the rest of a longer name is text. */
#define PROPS_MAX_VARIABLE_NAME 1024
/* Budget of one query's value processing (see GetProperty): bytes of text
 * inserted for $references, and $references followed. */
#define PROPS_MAX_EXPANDED_TEXT (64u << 20)
#define PROPS_MAX_REFERENCES 1000000u
/* Longest key, value or list element the library builds, in bytes; a longer
 * one fails as exhausted memory (300). */
#define PROPS_MAX_STRING_SIZE (1u << 30)
/* Size of the buffer the first line of a join fact file is read into. */
#define PROPS_KSET_LINE_SIZE 1024
/* Initial capacity (entries) of the array built by GetValueList. */
#define PROPS_VALUE_LIST_INITIAL 30

/* One key/value pair, owned by its Properties set. */
typedef struct Property {
  struct Property *next;   /* next (older) property in the list */
  char *key;               /* key as read, escapes resolved */
  char *value;             /* raw value; replaced once by an include list */
  char *processed;         /* trimmed and expanded value; null until processed */
  char *include_name;      /* expanded include reference, once attempted */
  uint32_t include_status; /* status left by include processing */
  uint8_t flags;           /* PROP_F_* bits */
  int32_t number;          /* cached numeric value (shared by Int and Time) */
} Property;

/* A loaded configuration set. */
typedef struct Properties {
  Property *head;    /* most recently added first; null when empty */
  char *join_name;   /* cached $JOINNAME, or null */
  char *join_site;   /* cached $SITE, or null */
  char *join_domain; /* cached $DOMAIN, or null */
  char *join_zone;   /* cached $ZONE, or null */
} Properties;

/* Read-only mapped file, read a byte at a time. */
typedef struct PmFile {
  int64_t length;    /* file length in bytes */
  const char *pos;   /* current position */
  const char *start; /* start of the mapping (null for an empty file) */
  const char *end;   /* start + length */
} PmFile;

/* Opaque iterator over the keys of a set. */
typedef struct PropertyIter PropertyIter;

/* ---- Loading -------------------------------------------------------- */

/* Loads the file at `path` with all security checks: a regular file, not a
 * symbolic link, one hard link, not writable by others, owned by a system
 * account. `prefixes` is null (load every key) or a null-terminated array of
 * strings in ascending order: only keys beginning with one of them are
 * loaded. Returns a new set (free with FreeProperties) or null with:
 * 303 null/empty path or no such file, 301 relative path, 305 insecure file
 * (owner, world-writable, symbolic link, hard links), 302 permission denied,
 * 304 other system errors, 300 exhausted memory. An empty file, or one with
 * only comments and blank lines, gives an empty set and status 0. A key or
 * value longer than PROPS_MAX_STRING_SIZE bytes gives 300. */
VX_API Properties *LoadProperties(const char *path, const char *const *prefixes, uint32_t *status);

/* As LoadProperties, but only the regular-file and same-file checks. Include
 * files named by values are still opened with all checks. */
VX_API Properties *LoadPropertiesWithoutSecurity(const char *path, const char *const *prefixes,
                                                 uint32_t *status);

/* The loader behind both: all checks when `secure` is non-zero. */
VX_API Properties *LoadPropertiesInternal(const char *path, const char *const *prefixes, uint32_t *status,
                                          int secure);

/* Frees every property and string of the set, then the set. Null is ignored. */
VX_API void FreeProperties(Properties *props);

/* Inserts a new zeroed property at the head of the list. It takes ownership
 * of `key` and `value` (heap strings) on success only; on failure (null with
 * 300, or null without status for a null set) they stay the caller's. */
VX_API Property *NewProperty(Properties *props, char *key, char *value, uint32_t *status);

/* Text of a status code (static, never freed); null for unknown codes. */
VX_API const char *CPropsErr2Str(uint32_t code);

/* ---- Mapped file reader --------------------------------------------- */

/* Checks the path and maps it: 303 for a null or empty path, 301 when it is
 * not absolute, otherwise as pmfopen. */
VX_API PmFile *OpenPropFile(const char *path, uint32_t *status, int secure);

/* Opens the file (securely when `secure` is non-zero), maps all of it
 * read-only and closes the stream. A file of length 0 gives a reader that
 * is at its end at once. Returns a new reader (release with pmfclose) or
 * null with 300, 302, 303, 304 or 305 as for LoadProperties. */
VX_API PmFile *pmfopen(const char *path, uint32_t *status, int secure);

/* The next byte as a signed char value: 0..127 as they are, 0x80..0xFE as
 * -128..-2. A 0xFF byte is data and comes back as 255, so that it is never
 * taken for the end: -1 is only the end of the mapping (or a null reader). */
VX_API int pmfgetc(PmFile *reader);

/* Steps back one byte, never before the start. */
VX_API void pmfungetc(PmFile *reader);

/* Unmaps and frees the reader; returns the result of munmap (0 on success,
 * and 0 for a null or empty reader). */
VX_API int pmfclose(PmFile *reader);

/* 1 for CR, LF and form feed, else 0. */
VX_API int IsLineEnd(int c);

/* 1 for TAB, space and every line end character, else 0. */
VX_API int IsWhitespace(int c);

/* The character that "\c" stands for: f n r t v give form feed, line feed,
 * carriage return, TAB and vertical tab; any other c stands for itself. */
VX_API int ProcessEscape(int c);

/* Reads one value from the current position to its line end (quoting and
 * continuation lines resolved as described above). Returns a new string,
 * possibly empty; null only on exhausted memory (300) or a null reader. A
 * value longer than PROPS_MAX_STRING_SIZE bytes counts as exhausted memory. */
VX_API char *ReadInValue(PmFile *reader, uint32_t *status);

/* ---- Value processing ----------------------------------------------- */

/* Runs include processing, then (once) fills property->processed with the
 * trimmed, unescaped and expanded raw value. Status 0 or the code of the
 * failed include, lookup or allocation. One query: the budget of
 * GetProperty applies. */
VX_API void ProcessRawValue(Property *property, Properties *props, uint32_t *status);

/* Returns a new string: `text` without leading and trailing blanks, with
 * escapes resolved and $name references expanded from the join facts, the
 * environment and the set (in that order). An escaped or inserted character
 * ends a trailing run of blanks, so neither is cut. Null with 300 on
 * exhausted memory or with the status of a failed lookup. Properties it
 * meets are processed and cached as by GetProperty, within one budget: past
 * PROPS_MAX_EXPANDED_TEXT inserted bytes or PROPS_MAX_REFERENCES references
 * the result is null with 300 and nothing the call computed is kept. */
VX_API char *ProcessRawValue1(const char *text, Properties *props, uint32_t *status);

/* Expands the variable whose name starts at `text` (just after a '$'): the
 * longest run of letters, digits, '_' and '.', cut at
 * PROPS_MAX_VARIABLE_NAME characters. `*name_length` receives the length of
 * the name used. Returns the borrowed value (a join fact cached in the set,
 * an environment string, or a processed value of the set), or null when the
 * name is empty or unknown (status 0) or a lookup failed (status set).
 * References between properties are followed to any depth (the nesting is
 * kept on the heap, not the stack); a reference to a property being
 * processed is not expanded. A property lookup is one query (see
 * GetProperty for its budget). */
VX_API const char *ExpandVariable(const char *text, Properties *props, uint32_t *name_length,
                                  uint32_t *status);

/* 1 when `text`, after leading IsWhitespace characters, begins with
 * "file:/"; 0 otherwise or for null. */
VX_API int IsIncludeFile(const char *text);

/* Once per property: when its raw value is an include reference, expands it,
 * opens the named file with all security checks (whatever checks the main
 * file had), reads its lines as values and replaces the raw value by the
 * list of their expansions (commas between elements, commas and whitespace
 * inside elements escaped). The status (0 or 300..305) is stored in the
 * property and reported again on every later call, except a step that ran
 * out of the budget of GetProperty: that one is not kept and runs again on
 * the next call. */
VX_API void ProcessIncludeFile(Property *property, Properties *props, uint32_t *status);

/* Looks up one of the join variables "JOINNAME", "SITE", "DOMAIN" and "ZONE"
 * in its cache field, reading the join fact file on first use. Returns the
 * borrowed cached value, or null for any other name, a missing file
 * (status 0, tried again next time) or a read error (304) / exhausted memory
 * (300). */
VX_API const char *GetJoinParam(const char *name, char **join_name, char **join_site, char **join_domain,
                                char **join_zone, uint32_t *status);

/* Reads the first line (line end included, at most PROPS_KSET_LINE_SIZE - 1
 * bytes) of the join fact file named by the build's join fact prefix plus
 * `suffix` into *cache (a new string; any previous content is freed) and
 * returns it. The file is opened with all checks of SecureOpenForReading,
 * without blocking: a file that cannot be opened or fails a check (a FIFO
 * or other non-regular file, a symbolic link, a second hard link, a file
 * writable by others or owned by a non-system user) is treated as missing:
 * null with status 0. An empty file gives null, with 304 when the read
 * failed. */
VX_API char *ReadKsetFile(const char *suffix, char **cache, uint32_t *status);

/* As ReadKsetFile, but stores the zone name: the text after the first "CN="
 * up to the next comma or the end, or "<unknown>" without "CN=". */
VX_API char *ReadKsetZone(const char *suffix, char **cache, uint32_t *status);

/* ---- Queries -------------------------------------------------------- */

/* First property from the head whose key equals `key` (case-sensitive), or
 * null. The newest definition wins. */
VX_API Property *MatchKey(Properties *props, const char *key);

/* Borrowed processed value of the key, or `def` when the set or key is null,
 * the key is absent, its value is being processed (self reference), or
 * processing fails (status then set).
 *
 * Processing a value may process the properties it refers to (each is
 * cached), to any depth. One query has a budget: at most
 * PROPS_MAX_EXPANDED_TEXT bytes inserted for $references (join facts,
 * environment variables and property values together, counted at each
 * insertion) and at most PROPS_MAX_REFERENCES $references followed. Past
 * either the query gives `def` with 300 and keeps nothing it computed: the
 * property and every property processed under it are left as they were
 * before the query (a later query runs them again; join facts it read stay
 * cached), and the set stays usable. The typed queries, the list queries'
 * include step and the value processing functions above share this rule. */
VX_API const char *GetProperty(Properties *props, const char *key, const char *def, uint32_t *status);

/* 1 for "true", "yes", "y" (any case) or "1"; 0 for "false", "no", "n" (any
 * case) or "0"; `def` for any other value or an absent key. 0 with the
 * status when processing fails. */
VX_API uint32_t GetPropertyBool(Properties *props, const char *key, uint32_t def, uint32_t *status);

/* strtol base 0 of the processed value (trailing text ignored); `def` when
 * nothing converts or it does not fit in 32 bits. 0 with the status when
 * processing fails. */
VX_API int32_t GetPropertyInt(Properties *props, const char *key, int32_t def, uint32_t *status);

/* Seconds: a non-negative decimal number followed by an optional unit letter
 * (see TimePropertyFactor; only the one character after the number is read,
 * none means `unit`, even a unit whose factor is 0: the value is then valid
 * and 0). Otherwise, and when the product does not fit in 32 bits,
 * default_amount * TimePropertyFactor(unit). Shares its cached number
 * with GetPropertyInt: whichever parses a property first fixes the number
 * both return. 0 with the status when processing fails. */
VX_API uint32_t GetPropertyTime(Properties *props, const char *key, char unit, uint32_t default_amount,
                                uint32_t *status);

/* Seconds per unit: s 1, m 60, h 3600, d 86400, w 604800, M 2628000,
 * y 31536000; 0 for any other character. */
VX_API uint32_t TimePropertyFactor(char unit);

/* Adds copies of key and value at the head, shadowing earlier definitions.
 * Nothing for a null set, key or value; 300 on exhausted memory. */
VX_API void SetProperty(Properties *props, const char *key, const char *value, uint32_t *status);

/* 1 when `needle` equals an element of the key's list (elements split at
 * commas and whitespace, escapes resolved), else 0. An absent key uses
 * `def_list` (an include reference there is added to the set as the key).
 * 0 for a null set, key or needle, or an empty needle. */
VX_API int IsStringInPropertyList(Properties *props, const char *key, const char *needle,
                                  const char *def_list, uint32_t *status);

/* 1 when `value` equals a number or lies in an inclusive range "a - b" of
 * the key's comma-separated list, else 0. Absent key as above. */
VX_API int IsIntegerInPropertyList(Properties *props, const char *key, int32_t value, const char *def_list,
                                   uint32_t *status);

/* New null-terminated array of new strings, one per element of the key's
 * list; *count receives the number of elements. Null with count and status
 * untouched when the set, key, count or status pointer is null; null with
 * count 0 when the key is absent or the list is empty; null with count
 * UINT32_MAX and 300 on exhausted memory anywhere, the include step
 * included (also when a failed include step reports its stored 300 again);
 * null with count 0 and the include status when include processing fails
 * otherwise. The caller frees each string and the array. An
 * element longer than PROPS_MAX_STRING_SIZE bytes counts as exhausted memory. */
VX_API char **GetValueList(Properties *props, const char *key, uint32_t *count, uint32_t *status);

/* New iterator over the keys beginning with `prefix` (every key for a null
 * or empty prefix). The iterator keeps the prefix pointer, which must stay
 * valid while it is used, and reads the prefix afresh at each step: a prefix
 * buffer changed between calls selects by its new content. Null for a null
 * set (status 0) or with 300. */
VX_API PropertyIter *PropertyIterator(Properties *props, const char *prefix, uint32_t *status);

/* Next matching key (borrowed), newest first, duplicates included; null at
 * the end or for a null iterator. */
VX_API const char *PropertyNext(PropertyIter *iter);

/* Frees the iterator; null is ignored. */
VX_API void FreePropertyIterator(PropertyIter *iter);

VX_END_DECLS

#endif
