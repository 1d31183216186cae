// Reference models of the string and number utilities, written from their
// rules over std::string (the bytes before the terminator), for the string
// fuzzer. Characters are signed: bytes 0x80..0xFF count as -128..-1.
#pragma once

#include <cstdint>
#include <string>

namespace klor_fuzz {

inline int charValue(unsigned char byte) { return byte >= 0x80 ? static_cast<int>(byte) - 256 : byte; }

inline int at(const std::string& s, size_t i) {
    return i < s.size() ? charValue(static_cast<unsigned char>(s[i])) : 0;
}

inline int lowered(int value) { return value >= 'A' && value <= 'Z' ? value + 32 : value; }

// The walk stops at the first pair that differs or where a ends; with a
// limit, pairs are compared while fewer than `limit` have been (at least
// one is always compared).
inline int modelCompare(const std::string& a, const std::string& b, bool fold, bool limited,
                        int limit) {
    for (size_t i = 0;; ++i) {
        const int ca = fold ? lowered(at(a, i)) : at(a, i);
        const int cb = fold ? lowered(at(b, i)) : at(b, i);
        if (ca != cb || ca == 0) return ca - cb;
        if (limited && static_cast<long long>(i + 1) >= limit) return 0;
    }
}

// First non-zero byte difference, wrapped to 8 bits and read as signed.
inline int modelMemcmp(const uint8_t* a, const uint8_t* b, int n) {
    for (int i = 0; i < n; ++i) {
        const auto wrapped = static_cast<int8_t>(static_cast<uint8_t>(a[i] - b[i]));
        if (wrapped != 0) return wrapped;
    }
    return 0;
}

// Index of the first byte whose signed value is c, -1 when none; never the
// terminator.
inline long modelStrchr(const std::string& s, int c) {
    for (size_t i = 0; i < s.size(); ++i) {
        if (charValue(static_cast<unsigned char>(s[i])) == c) return static_cast<long>(i);
    }
    return -1;
}

inline long modelStrstr(const std::string& s, const std::string& find) {
    if (find.empty()) return 0;
    const size_t found = s.find(find);
    return found == std::string::npos ? -1 : static_cast<long>(found);
}

inline size_t modelEatwhite(const std::string& s) {
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n')) ++i;
    return i;
}

// Sum of (value - 48) * 10^k over the characters, k = characters after it,
// all in wrapping 32-bit arithmetic.
inline int modelAtoi(const std::string& s) {
    uint32_t sum = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t weight = 1;
        for (size_t k = i + 1; k < s.size(); ++k) weight *= 10u;
        sum += static_cast<uint32_t>(at(s, i) - 48) * weight;
    }
    return static_cast<int>(sum);
}

// Shift by 4 per character, add its hex digit value (others add nothing).
inline int modelAtoiHex(const std::string& s) {
    uint32_t value = 0;
    for (const char c : s) {
        value <<= 4;
        if (c >= '0' && c <= '9') value += static_cast<uint32_t>(c - '0');
        if (c >= 'a' && c <= 'f') value += static_cast<uint32_t>(c - 'a' + 10);
        if (c >= 'A' && c <= 'F') value += static_cast<uint32_t>(c - 'A' + 10);
    }
    return static_cast<int>(value);
}

// Bytes a limited copy writes: src's characters and terminator, at most n of
// them, n counted as unsigned 32-bit (a negative n sets no bound).
inline size_t modelStrncpyBytes(const std::string& src, int n) {
    const uint64_t limit = static_cast<uint32_t>(n);
    const uint64_t whole = src.size() + 1;
    return static_cast<size_t>(limit < whole ? limit : whole);
}

// Characters a limited append copies (a terminator always follows, unless n
// is 0 and nothing happens at all).
inline size_t modelStrncatChars(const std::string& src, int n) {
    if (n < 0) return src.size();
    return src.size() < static_cast<size_t>(n) ? src.size() : static_cast<size_t>(n);
}

}  // namespace klor_fuzz
