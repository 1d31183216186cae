// Byte-string, memory and number helpers (declared in klor_string.h).
//
// Every loop here works one byte at a time on purpose: the results are defined
// per byte (signed characters, wrapped differences, weighted sums), none of
// them may allocate or consult a locale, and callers rely on the exact
// semantics rather than on speed.
//
// Calls among them are fixed: the case-folding comparisons fold through
// KLOR_tolower, KLOR_strchr and KLOR_strstr measure with KLOR_strlen (once,
// before the scan), KLOR_strstr compares with KLOR_memcmp, and KLOR_snprintf
// formats through KLOR_vsnprintf.
#include "klor/klor_string.h"

#include <cstdint>
#include <cstdio>

namespace {

// A character's value: bytes 0x80..0xFF are -128..-1 whatever the platform's
// plain char is.
inline int charValue(char c) { return static_cast<signed char>(c); }

// The character of a byte reached through a void pointer.
inline int byteValue(const unsigned char* p) { return static_cast<signed char>(*p); }

inline bool isUpper(char c) { return c >= 'A' && c <= 'Z'; }
inline bool isLower(char c) { return c >= 'a' && c <= 'z'; }

// Blanks skipped by KLOR_eatwhite: space, tab, line feed; not CR, VT or FF.
inline bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// Digit value of a hexadecimal character; anything else counts as a 0 digit.
inline uint32_t hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return static_cast<uint32_t>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<uint32_t>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return static_cast<uint32_t>(c - 'a' + 10);
    return 0;
}

// The shared walk of the four string comparisons. `limit` is the signed
// pair limit; a walk without one passes nothing. The first pair is always
// compared, so a limit of 0 or below acts like 1:
//   ("a", "b", 0)   -> 'a' - 'b' = -1
//   ("ab", "ax", -5) -> first pair equal, limit reached -> 0
template <bool Folded>
int compareWalk(const char* a, const char* b, bool limited, int limit) {
    int compared = 0;
    for (;;) {
        const int ca = charValue(Folded ? KLOR_tolower(*a) : *a);
        const int cb = charValue(Folded ? KLOR_tolower(*b) : *b);
        ++compared;
        if (ca != cb || ca == 0 || (limited && compared >= limit)) return ca - cb;
        ++a;
        ++b;
    }
}

}  // namespace

extern "C" {

// --- Length, copying and appending ------------------------------------------

int KLOR_strlen(const char* s) {
    int length = 0;
    while (s[length] != '\0') ++length;
    return length;
}

char* KLOR_strcpy(char* dst, const char* src) {
    char* out = dst;
    while ((*out++ = *src++) != '\0') {
    }
    return dst;
}

// No padding: bytes of dst past the copied terminator keep their values, and
// when src has n or more characters no terminator is written at all. The
// limit counts down as unsigned, so a negative n is no practical bound.
//   src "abc", dst "XXXXXX": n 5 -> "abc\0XX", n 2 -> "abXXXX", n 0 -> unchanged
char* KLOR_strncpy(char* dst, const char* src, int n) {
    char* out = dst;
    for (uint32_t remaining = static_cast<uint32_t>(n); remaining != 0; --remaining) {
        const char c = *src++;
        *out++ = c;
        if (c == '\0') break;
    }
    return dst;
}

char* KLOR_strcat(char* dst, const char* src) {
    char* end = dst;
    while (*end != '\0') ++end;
    while ((*end++ = *src++) != '\0') {
    }
    return dst;
}

// A limit of 0 returns before either string is read. Otherwise at most n + 1
// bytes are written from dst's terminator on and the result is always
// terminated; a negative n appends the whole of src.
//   "ab" + "xyz": n 2 -> "abxy\0", n 3 -> "abxyz\0", n 4 -> "abxyz\0"
char* KLOR_strncat(char* dst, const char* src, int n) {
    if (n == 0) return dst;
    char* out = dst;
    while (*out != '\0') ++out;
    for (uint32_t remaining = static_cast<uint32_t>(n); remaining != 0; --remaining) {
        const char c = *src++;
        *out++ = c;
        if (c == '\0') return dst;
    }
    *out = '\0';
    return dst;
}

// Overlap-safe: forward when dst is at or below src, backward otherwise, so
// no byte is read after it was overwritten. A count of 0 or below copies
// nothing (a negative count cannot name a size to copy).
void* KLOR_memmove(void* dst, const void* src, int n) {
    if (n <= 0) return dst;
    auto out = static_cast<unsigned char*>(dst);
    auto in = static_cast<const unsigned char*>(src);
    if (reinterpret_cast<uintptr_t>(out) <= reinterpret_cast<uintptr_t>(in)) {
        for (int i = 0; i < n; ++i) out[i] = in[i];
    } else {
        for (int i = n; i > 0; --i) out[i - 1] = in[i - 1];
    }
    return dst;
}

// --- Case mapping: ASCII letters only ----------------------------------------

char KLOR_tolower(char c) { return isUpper(c) ? static_cast<char>(c + ('a' - 'A')) : c; }

char* KLOR_strupr(char* s) {
    for (char* p = s; *p != '\0'; ++p) {
        if (isLower(*p)) *p = static_cast<char>(*p - ('a' - 'A'));
    }
    return s;
}

char* KLOR_strlwr(char* s) {
    for (char* p = s; *p != '\0'; ++p) {
        if (isUpper(*p)) *p = static_cast<char>(*p + ('a' - 'A'));
    }
    return s;
}

// --- Comparison ----------------------------------------------------------------
// Result: a's character minus b's at the deciding position, both signed, so
// it lies in -255..255 and bytes 0x80..0xFF sort before ASCII:
//   "\xC0..." against "A" -> -64 - 65 = -129

int KLOR_strcmp(const char* a, const char* b) { return compareWalk<false>(a, b, false, 0); }

int KLOR_strncmp(const char* a, const char* b, int n) { return compareWalk<false>(a, b, true, n); }

// 'A' against '_' -> 'a' - '_' = 97 - 95 = 2
int KLOR_stricmp(const char* a, const char* b) { return compareWalk<true>(a, b, false, 0); }

int KLOR_strnicmp(const char* a, const char* b, int n) { return compareWalk<true>(a, b, true, n); }

// The first non-zero 8-bit difference, read as signed. Its sign follows the
// wrapped difference, not byte order:
//   0x01 - 0xFF -> 0x02 -> +2;  0x00 - 0x80 -> 0x80 -> -128;  'a' - 'A' -> 32
int KLOR_memcmp(const void* a, const void* b, int n) {
    auto pa = static_cast<const unsigned char*>(a);
    auto pb = static_cast<const unsigned char*>(b);
    for (int i = 0; i < n; ++i) {
        const auto difference = static_cast<unsigned char>(pa[i] - pb[i]);
        if (difference != 0) return byteValue(&difference);
    }
    return 0;
}

// --- Search ----------------------------------------------------------------------

// Examines exactly strlen(s) bytes, so the terminator is never found (c 0 ->
// null). The byte's signed value meets the whole int: 0xE9 matches c -23,
// never c 233.
char* KLOR_strchr(const char* s, int c) {
    const int length = KLOR_strlen(s);
    for (int i = 0; i < length; ++i) {
        if (charValue(s[i]) == c) return const_cast<char*>(s + i);
    }
    return nullptr;
}

// An empty find matches at s itself, even when s is empty. Positions are
// tried left to right while at least strlen(find) bytes remain.
char* KLOR_strstr(const char* s, const char* find) {
    const int findLength = KLOR_strlen(find);
    if (findLength == 0) return const_cast<char*>(s);
    const int length = KLOR_strlen(s);
    for (int position = 0; length - position >= findLength; ++position) {
        if (KLOR_memcmp(s + position, find, findLength) == 0) return const_cast<char*>(s + position);
    }
    return nullptr;
}

// --- Blanks ------------------------------------------------------------------------

char* KLOR_eatwhite(char* s) {
    while (isBlank(*s)) ++s;
    return s;
}

// --- Number conversion ---------------------------------------------------------------

// Sum of (v - 48) * 10^k over every character, k = characters after it, all
// in wrapping 32-bit arithmetic. Horner's form gives the same sum modulo
// 2^32. No sign, no blank skipping, no stop at a non-digit:
//   "-5" -> (45 - 48) * 10 + 5 = -25;  "12a" -> 100 + 20 + 49 = 169
int KLOR_atoi(const char* s) {
    if (s == nullptr) return 0;
    uint32_t sum = 0;
    for (; *s != '\0'; ++s) sum = sum * 10u + static_cast<uint32_t>(charValue(*s) - '0');
    return static_cast<int>(sum);
}

// Shift by one digit, then add the character's digit value (0 for a
// non-digit). Only the last eight characters survive the shifts:
//   "0x1F" -> 0x001F = 31;  "1g" -> 0x10 = 16
int KLOR_atoi_hex(const char* s) {
    if (s == nullptr) return 0;
    uint32_t value = 0;
    for (; *s != '\0'; ++s) value = (value << 4) + hexDigitValue(*s);
    return static_cast<int>(value);
}

// --- Formatting ----------------------------------------------------------------------

// buf[size - 1] is zeroed in every case, also when the output stopped short
// of it or the format failed. A size of 0 or below leaves buf untouched (it
// has no last byte) and only measures: the result is the full length, as the
// system gives it for size 0.
//   10-byte buf, output "ab"        -> "ab\0XXXXXX\0", result 2
//   10-byte buf, 12-character output -> 9 characters, '\0', result 12
int KLOR_vsnprintf(char* buf, int size, const char* format, va_list args) {
    if (size <= 0) return std::vsnprintf(nullptr, 0, format, args);
    const int result = std::vsnprintf(buf, static_cast<size_t>(size), format, args);
    buf[size - 1] = '\0';
    return result;
}

int KLOR_snprintf(char* buf, int size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = KLOR_vsnprintf(buf, size, format, args);
    va_end(args);
    return result;
}

}  // extern "C"
