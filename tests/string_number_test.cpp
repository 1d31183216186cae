// Number conversion and formatting: exact values from tables.
//
// KLOR_atoi is a weighted sum of (character - '0') * 10^k in wrapping 32-bit
// arithmetic, with no sign and no stop; KLOR_atoi_hex shifts in one digit per
// character, a non-digit counting as 0. The formatter always clears the last
// byte of the buffer it was given.
#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cwchar>
#include <string>

#include "klor/klor_string.h"

namespace {

struct ConversionCase {
    const char* text;
    int expected;
};

TEST(DecimalConversion, SumsEveryCharacterByItsWeight) {
    const ConversionCase cases[] = {
        {"", 0},
        {"0", 0},
        {"7", 7},
        {"0042", 42},
        {"-5", -25},                 // ('-' - '0') * 10 + 5
        {"12a", 169},                // 100 + 20 + ('a' - '0')
        {" 7", -153},                // (' ' - '0') * 10 + 7
        {"7 ", 54},                  // 70 + (' ' - '0')
        {"\xff", -49},               // 0xFF is -1: -1 - 48
        {"2147483647", INT_MAX},
        {"2147483648", INT_MIN},     // wraps
        {"4294967295", -1},
        {"4294967296", 0},
        {"10000000000", 1410065408},  // 10^10 mod 2^32
    };
    for (const ConversionCase& c : cases) {
        EXPECT_EQ(KLOR_atoi(c.text), c.expected) << '"' << c.text << '"';
    }
    EXPECT_EQ(KLOR_atoi(nullptr), 0);
}

TEST(HexConversion, ShiftsInOneDigitPerCharacter) {
    const ConversionCase cases[] = {
        {"", 0},
        {"ff", 255},
        {"FF", 255},
        {"aBcD", 0xABCD},
        {"FFFFFFFF", -1},          // all 32 bits
        {"80000000", INT_MIN},
        {"0x1F", 31},              // 'x' is a zero digit, no prefix handling
        {"1g", 16},
        {"123456789", 0x23456789},  // only the last eight count
        {"fffffffff0", -16},
        // the neighbours of each digit range are zero digits
        {"/", 0}, {":", 0}, {"@", 0}, {"G", 0}, {"`", 0}, {"g", 0},
        {"9", 9}, {"A", 10}, {"F", 15}, {"a", 10}, {"f", 15},
        {"\xff" "1", 1},
    };
    for (const ConversionCase& c : cases) {
        EXPECT_EQ(KLOR_atoi_hex(c.text), c.expected) << '"' << c.text << '"';
    }
    EXPECT_EQ(KLOR_atoi_hex(nullptr), 0);
}

// KLOR_vsnprintf reached through a variadic wrapper of the test's own, so
// the va_list form is exercised directly.
int formatList(char* buf, int size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = KLOR_vsnprintf(buf, size, format, args);
    va_end(args);
    return result;
}

// A 10-byte buffer of 'X' with a guard of 'G' on each side.
struct GuardedBuffer {
    char bytes[14];
    GuardedBuffer() {
        for (char& b : bytes) b = 'X';
        bytes[0] = bytes[1] = bytes[12] = bytes[13] = 'G';
    }
    char* buf() { return bytes + 2; }
    std::string inside() const { return std::string(bytes + 2, 10); }
    bool guardsIntact() const {
        return bytes[0] == 'G' && bytes[1] == 'G' && bytes[12] == 'G' && bytes[13] == 'G';
    }
};

// Around the capacity: 9 characters fit with their terminator, 10 and 12 are
// cut to 9. The last byte is zero even when the output stopped short of it.
TEST(Formatting, AlwaysClearsTheLastByteAndReturnsTheFullLength) {
    struct Case {
        const char* text;
        int expectedResult;
        std::string expected;
    } cases[] = {
        {"ab", 2, std::string("ab\0XXXXXX\0", 10)},
        {"", 0, std::string("\0XXXXXXXX\0", 10)},
        {"123456789", 9, std::string("123456789\0", 10)},
        {"1234567890", 10, std::string("123456789\0", 10)},
        {"123456789012", 12, std::string("123456789\0", 10)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        GuardedBuffer list;
        EXPECT_EQ(formatList(list.buf(), 10, "%s", c.text), c.expectedResult);
        EXPECT_EQ(list.inside(), c.expected);
        EXPECT_TRUE(list.guardsIntact());

        GuardedBuffer direct;
        EXPECT_EQ(KLOR_snprintf(direct.buf(), 10, "%s", c.text), c.expectedResult);
        EXPECT_EQ(direct.inside(), c.expected);
        EXPECT_TRUE(direct.guardsIntact());
    }
}

TEST(Formatting, FormatsValuesLikeTheSystem) {
    GuardedBuffer out;
    EXPECT_EQ(KLOR_snprintf(out.buf(), 10, "%d:%x%c", -42, 255u, 'q'), 7);
    EXPECT_EQ(out.inside(), std::string("-42:ffq\0X\0", 10));
}

TEST(Formatting, SizeOneHoldsOnlyTheTerminator) {
    GuardedBuffer out;
    EXPECT_EQ(KLOR_snprintf(out.buf(), 1, "%s", "abc"), 3);
    EXPECT_EQ(out.inside(), std::string("\0XXXXXXXXX", 10));
    EXPECT_TRUE(out.guardsIntact());
}

// No last byte to clear: nothing at all is written, and the result is the
// length the full output would have.
TEST(Formatting, SizeZeroOrBelowWritesNothingAndMeasures) {
    for (int size : {0, -1, -10, INT_MIN}) {
        SCOPED_TRACE("size " + std::to_string(size));
        GuardedBuffer list;
        EXPECT_EQ(formatList(list.buf(), size, "%s-%d", "abc", 12345), 9);
        EXPECT_EQ(list.inside(), std::string(10, 'X'));
        EXPECT_TRUE(list.guardsIntact());

        GuardedBuffer direct;
        EXPECT_EQ(KLOR_snprintf(direct.buf(), size, "%s-%d", "abc", 12345), 9);
        EXPECT_EQ(direct.inside(), std::string(10, 'X'));
        EXPECT_TRUE(direct.guardsIntact());
    }
    EXPECT_EQ(KLOR_snprintf(nullptr, 0, "%s", "measure only"), 12);
}

// A wide character the C locale cannot encode makes the system formatter
// fail; its negative result comes back unchanged and the last byte is still
// cleared.
TEST(Formatting, PassesAFormattingErrorOnAndStillClearsTheLastByte) {
    const wchar_t unencodable[] = {0x100, 0};
    GuardedBuffer out;
    const int result = KLOR_snprintf(out.buf(), 10, "%ls", unencodable);
    EXPECT_LT(result, 0);
    EXPECT_EQ(out.bytes[2 + 9], '\0');
    EXPECT_TRUE(out.guardsIntact());
}

}  // namespace
