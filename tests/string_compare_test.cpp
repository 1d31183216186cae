// Case mapping and the five comparisons: exact results from tables, written
// out as numbers so the signed-character and wrapped-difference rules are
// visible (0xC0 is -64, 0x80 is -128, 0xFF is -1).
#include <gtest/gtest.h>

#include <string>

#include "klor/klor_string.h"

namespace {

TEST(CaseMapping, ToLowerChangesOnlyAsciiCapitals) {
    for (int value = -128; value <= 127; ++value) {
        const char c = static_cast<char>(value);
        const char expected = (value >= 'A' && value <= 'Z') ? static_cast<char>(value + 32) : c;
        EXPECT_EQ(KLOR_tolower(c), expected) << "value " << value;
    }
}

// Every byte 0x01..0xFF once: only the 26 letters of the other case move.
TEST(CaseMapping, UpperAndLowerChangeOnlyAsciiLettersInPlace) {
    std::string all;
    for (int b = 1; b <= 255; ++b) all.push_back(static_cast<char>(b));

    std::string upper = all;
    EXPECT_EQ(KLOR_strupr(&upper[0]), &upper[0]);
    std::string lower = all;
    EXPECT_EQ(KLOR_strlwr(&lower[0]), &lower[0]);
    for (int b = 1; b <= 255; ++b) {
        const size_t i = static_cast<size_t>(b - 1);
        const char expectedUpper = (b >= 'a' && b <= 'z') ? static_cast<char>(b - 32) : all[i];
        const char expectedLower = (b >= 'A' && b <= 'Z') ? static_cast<char>(b + 32) : all[i];
        EXPECT_EQ(upper[i], expectedUpper) << "byte " << b;
        EXPECT_EQ(lower[i], expectedLower) << "byte " << b;
    }
}

TEST(CaseMapping, StopsAtTheTerminator) {
    char text[] = "ab\0cd";
    KLOR_strupr(text);
    EXPECT_EQ(std::string(text, 5), std::string("AB\0cd", 5));
    char capitals[] = "AB\0CD";
    KLOR_strlwr(capitals);
    EXPECT_EQ(std::string(capitals, 5), std::string("ab\0CD", 5));
}

struct PairCase {
    const char* a;
    const char* b;
    int expected;
};

TEST(StringCompare, GivesTheSignedDifferenceOfTheDecidingCharacters) {
    const PairCase cases[] = {
        {"", "", 0},
        {"abc", "abc", 0},
        {"abc", "abd", 'c' - 'd'},
        {"abd", "abc", 1},
        {"", "a", -97},  // a's terminator decides
        {"a", "", 97},
        {"ab", "abc", -99},
        {"\xc0", "A", -129},          // -64 - 65: high bytes sort first
        {"\x80", "\x7f", -255},       // the lowest possible result
        {"\x7f", "\x80", 255},        // the highest
        {"\xff", "\x01", -2},         // -1 - 1
        {"a", "A", 32},
        {"x\xe9", "x\xe9", 0},
    };
    for (const PairCase& c : cases) {
        EXPECT_EQ(KLOR_strcmp(c.a, c.b), c.expected) << '"' << c.a << "\" vs \"" << c.b << '"';
    }
}

struct LimitedCase {
    const char* a;
    const char* b;
    int n;
    int expected;
};

// The first pair is compared whatever the limit; a limit of 0 or below acts
// like 1. Around a difference at index 1: n 1 / 2 / 3.
TEST(StringCompareLimited, ComparesAtLeastOnePairAndAtMostLimitPairs) {
    const LimitedCase cases[] = {
        {"a", "b", 0, -1},
        {"a", "b", -5, -1},
        {"b", "a", -2147483647 - 1, 1},
        {"ab", "ax", -5, 0},  // equal first pair, limit reached: nothing more read
        {"ab", "ax", 0, 0},
        {"ab", "ax", 1, 0},
        {"ab", "ax", 2, 'b' - 'x'},
        {"ab", "ax", 3, 'b' - 'x'},
        {"abc", "abc", 100, 0},
        {"ab", "abc", 2, 0},
        {"ab", "abc", 3, -99},
        {"\xc0", "A", 1, -129},
        {"", "", 0, 0},
        {"", "z", 5, -122},
    };
    for (const LimitedCase& c : cases) {
        EXPECT_EQ(KLOR_strncmp(c.a, c.b, c.n), c.expected)
            << '"' << c.a << "\" vs \"" << c.b << "\" n=" << c.n;
    }
}

// Folding happens before the comparison and the subtraction, and only for
// 'A'..'Z': the bytes just outside the letters ('@', '[', '`', '{') and the
// high bytes stay as they are.
TEST(StringCompareFolded, SubtractsFoldedCharacters) {
    const PairCase cases[] = {
        {"A", "_", 2},  // 'a' - '_' = 97 - 95
        {"Hello", "hELLO", 0},
        {"ABC", "abd", -1},
        {"Z", "[", 'z' - '['},
        {"[", "a", '[' - 'a'},
        {"@", "`", '@' - '`'},
        {"{", "A", '{' - 'a'},
        {"\xc0", "\xe0", -32},  // no folding above 0x7F: -64 - (-32)
        {"\xc0", "a", -64 - 97},
        {"", "A", -97},
        {"A", "", 97},
    };
    for (const PairCase& c : cases) {
        EXPECT_EQ(KLOR_stricmp(c.a, c.b), c.expected) << '"' << c.a << "\" vs \"" << c.b << '"';
    }
}

TEST(StringCompareFoldedLimited, FoldsAndKeepsTheLimitRules) {
    const LimitedCase cases[] = {
        {"ABC", "abd", 2, 0},
        {"ABC", "abd", 3, -1},
        {"ABC", "abd", 4, -1},
        {"A", "b", 0, -1},
        {"AB", "ax", -1, 0},
        {"AB", "aX", 2, 'b' - 'x'},
        {"A", "_", 1, 2},
        {"hello", "HELLO", 2147483647, 0},
    };
    for (const LimitedCase& c : cases) {
        EXPECT_EQ(KLOR_strnicmp(c.a, c.b, c.n), c.expected)
            << '"' << c.a << "\" vs \"" << c.b << "\" n=" << c.n;
    }
}

// Terminators play no part: bytes after a zero are still compared.
TEST(MemoryCompare, GivesTheFirstWrappedByteDifferenceAsSigned) {
    struct Case {
        std::string a;
        std::string b;
        int n;
        int expected;
    } cases[] = {
        {"\x01", "\xff", 1, 2},                   // 1 - 255 wraps to +2
        {"\xff", "\x01", 1, -2},
        {std::string("\0", 1), "\x80", 1, -128},  // 0 - 128 wraps to 0x80
        {"\x80", std::string("\0", 1), 1, -128},  // 128 - 0 is 0x80 too
        {"a", "A", 1, 32},
        {"\x7f", "\xff", 1, -128},
        {"\x10", "\x0f", 1, 1},
        {"\x01", "\xff", 0, 0},  // count 0 reads nothing
        {"\x01", "\xff", -1, 0},
        {std::string("ab\0c", 4), std::string("ab\0d", 4), 4, -1},  // past the zero
        {std::string("ab\0c", 4), std::string("ab\0d", 4), 3, 0},
        {"same", "same", 4, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(KLOR_memcmp(c.a.data(), c.b.data(), c.n), c.expected) << "n=" << c.n;
    }
}

}  // namespace
