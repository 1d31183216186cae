// Byte-string, memory and number helpers with their own exact semantics.
//
// They differ from the C library on purpose, and callers rely on it:
//  - characters are signed: bytes 0x80..0xFF count as -128..-1 wherever a
//    character's value is used (comparisons, KLOR_strchr, KLOR_atoi);
//  - case mapping knows only ASCII 'A'..'Z' / 'a'..'z'; no locale;
//  - KLOR_strncpy never pads; KLOR_strncmp/KLOR_strnicmp treat a limit of
//    0 or below like 1; KLOR_memcmp returns the wrapped 8-bit difference;
//  - KLOR_atoi is a weighted wrapping sum with no sign ("-5" gives -25,
//    "12a" gives 169); KLOR_atoi_hex counts any non-digit as a zero digit;
//  - KLOR_vsnprintf always clears buf[size - 1]; with a size of 0 or below
//    it writes nothing (buf may be null) and returns the full length;
//  - KLOR_memmove copies nothing for a count of 0 or below.
// None of them allocates, keeps state or reports an error; apart from the two
// number conversions (and the formatters' buffer when the size is 0 or
// below) none accepts a null pointer.
#pragma once

#include <cstdarg>

#include "klor/klor_export.h"

extern "C" {

KLOR_EXPORT int   KLOR_strlen(const char* s);
KLOR_EXPORT char* KLOR_strcpy(char* dst, const char* src);
KLOR_EXPORT char* KLOR_strncpy(char* dst, const char* src, int n);
KLOR_EXPORT char* KLOR_strcat(char* dst, const char* src);
KLOR_EXPORT char* KLOR_strncat(char* dst, const char* src, int n);
KLOR_EXPORT char  KLOR_tolower(char c);
KLOR_EXPORT char* KLOR_strupr(char* s);
KLOR_EXPORT char* KLOR_strlwr(char* s);
KLOR_EXPORT int   KLOR_strcmp(const char* a, const char* b);
KLOR_EXPORT int   KLOR_strncmp(const char* a, const char* b, int n);
KLOR_EXPORT int   KLOR_stricmp(const char* a, const char* b);
KLOR_EXPORT int   KLOR_strnicmp(const char* a, const char* b, int n);
KLOR_EXPORT char* KLOR_strchr(const char* s, int c);
KLOR_EXPORT int   KLOR_memcmp(const void* a, const void* b, int n);
KLOR_EXPORT char* KLOR_strstr(const char* s, const char* find);
KLOR_EXPORT void* KLOR_memmove(void* dst, const void* src, int n);
KLOR_EXPORT char* KLOR_eatwhite(char* s);
KLOR_EXPORT int   KLOR_atoi(const char* s);
KLOR_EXPORT int   KLOR_atoi_hex(const char* s);
KLOR_EXPORT int   KLOR_vsnprintf(char* buf, int size, const char* format, va_list args);
KLOR_EXPORT int   KLOR_snprintf(char* buf, int size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // extern "C"
