// Length, copying, appending and moving: exact bytes written, and nothing
// written past them. Every destination sits inside a larger buffer of 'X'
// so a stray byte (padding, an extra terminator, a smeared move) shows.
#include <gtest/gtest.h>

#include <string>

#include "klor/klor_string.h"

namespace {

// A 16-byte destination of 'X' (or a start string, then 'X'), read back
// whole, terminators included, so the test sees every byte the call changed.
struct Canvas {
    char bytes[16];

    Canvas() {
        for (char& b : bytes) b = 'X';
    }
    // start and its terminator, then 'X'.
    explicit Canvas(const char* start) : Canvas() {
        const std::string initial(start);
        for (size_t i = 0; i <= initial.size(); ++i) bytes[i] = initial.c_str()[i];
    }
    std::string all() const { return std::string(bytes, sizeof(bytes)); }
};

std::string withX(const std::string& head) { return head + std::string(16 - head.size(), 'X'); }

TEST(StringLength, CountsBytesBeforeTheTerminator) {
    EXPECT_EQ(KLOR_strlen(""), 0);
    EXPECT_EQ(KLOR_strlen("a"), 1);
    EXPECT_EQ(KLOR_strlen("abc\0def"), 3);
    EXPECT_EQ(KLOR_strlen("\xff\x80\x01"), 3);  // high bytes are characters too
    const std::string long_(1000, 'q');
    EXPECT_EQ(KLOR_strlen(long_.c_str()), 1000);
}

TEST(StringCopy, CopiesUpToAndIncludingTheTerminatorOnly) {
    struct Case {
        const char* src;
        std::string expected;
    } cases[] = {
        {"", withX(std::string("\0", 1))},
        {"abc", withX(std::string("abc\0", 4))},
        {"\xc0\x7f", withX(std::string("\xc0\x7f\0", 3))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.src);
        Canvas dst;
        EXPECT_EQ(KLOR_strcpy(dst.bytes, c.src), dst.bytes);
        EXPECT_EQ(dst.all(), c.expected);
    }
}

// No padding, no terminator when the limit is reached first, and a negative
// limit bounds nothing: the boundary n - 1 / n / n + 1 around the source's
// length with and without its terminator.
TEST(StringCopyLimited, WritesExactlyMinOfLimitAndSourceWithTerminator) {
    struct Case {
        const char* src;
        int n;
        std::string expected;
    } cases[] = {
        {"abc", 5, withX(std::string("abc\0", 4))},  // never pads the 5th byte
        {"abc", 4, withX(std::string("abc\0", 4))},
        {"abc", 3, withX("abc")},  // limit reached: no terminator
        {"abc", 2, withX("ab")},
        {"abc", 1, withX("a")},
        {"abc", 0, withX("")},  // writes nothing
        {"", 0, withX("")},
        {"", 1, withX(std::string("\0", 1))},
        {"abc", -1, withX(std::string("abc\0", 4))},  // unsigned count: no bound
        {"abcdefgh", -2147483647 - 1, withX(std::string("abcdefgh\0", 9))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.src) + " n=" + std::to_string(c.n));
        Canvas dst;
        EXPECT_EQ(KLOR_strncpy(dst.bytes, c.src, c.n), dst.bytes);
        EXPECT_EQ(dst.all(), c.expected);
    }
}

TEST(StringCopyLimited, KeepsOldBytesOfALongerDestination) {
    Canvas dst("XXXXXX");
    KLOR_strncpy(dst.bytes, "abc", 5);
    EXPECT_EQ(dst.all().substr(0, 7), std::string("abc\0XX\0", 7));
}

TEST(StringAppend, CopiesSourceAtTheOldTerminator) {
    struct Case {
        const char* dst;
        const char* src;
        std::string expected;
    } cases[] = {
        {"ab", "xyz", withX(std::string("abxyz\0", 6))},
        {"", "xyz", withX(std::string("xyz\0", 4))},
        {"ab", "", withX(std::string("ab\0", 3))},
        {"", "", withX(std::string("\0", 1))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.dst) + "+" + c.src);
        Canvas dst(c.dst);
        EXPECT_EQ(KLOR_strcat(dst.bytes, c.src), dst.bytes);
        EXPECT_EQ(dst.all(), c.expected);
    }
}

// At most n + 1 bytes from the old terminator, always terminated.
TEST(StringAppendLimited, AppendsAtMostLimitBytesAndAlwaysTerminates) {
    struct Case {
        int n;
        std::string expected;
    } cases[] = {
        {1, withX(std::string("abx\0", 4))},
        {2, withX(std::string("abxy\0", 5))},
        {3, withX(std::string("abxyz\0", 6))},  // limit reached: terminator added
        {4, withX(std::string("abxyz\0", 6))},  // source's own terminator, nothing more
        {5, withX(std::string("abxyz\0", 6))},
        {-1, withX(std::string("abxyz\0", 6))},  // no practical bound
        {0, withX(std::string("ab\0", 3))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("n=" + std::to_string(c.n));
        Canvas dst("ab");
        EXPECT_EQ(KLOR_strncat(dst.bytes, "xyz", c.n), dst.bytes);
        EXPECT_EQ(dst.all(), c.expected);
    }
}

// A limit of 0 returns before reading either string: null pointers prove it.
TEST(StringAppendLimited, LimitZeroReadsNothing) {
    EXPECT_EQ(KLOR_strncat(nullptr, nullptr, 0), nullptr);
    char unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(KLOR_strncat(unterminated, nullptr, 0), unterminated);
}

// Overlapping moves by one byte in both directions, around a window of
// "0123456789" so smearing (a forward copy into a higher address) shows.
TEST(MemoryMove, ShiftsOverlappingBytesWithoutSmearing) {
    struct Case {
        const char* name;
        int from;
        int to;
        int n;
        std::string expected;
    } cases[] = {
        {"up by one", 2, 3, 4, "0122345789"},
        {"down by one", 3, 2, 4, "0134566789"},
        {"up by three", 1, 4, 5, "0123123459"},
        {"down by three", 4, 1, 5, "0456786789"},
        {"onto itself", 2, 2, 4, "0123456789"},
        {"disjoint", 0, 6, 3, "0123450129"},
        {"zero count", 0, 5, 0, "0123456789"},
        {"negative count", 0, 5, -3, "0123456789"},
        {"most negative count", 5, 0, -2147483647 - 1, "0123456789"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        char window[] = "0123456789";
        EXPECT_EQ(KLOR_memmove(window + c.to, window + c.from, c.n), window + c.to);
        EXPECT_EQ(std::string(window, 10), c.expected);
        EXPECT_EQ(window[10], '\0');
    }
}

TEST(MemoryMove, CopiesZeroBytesAndHighBytesLikeAnyOther) {
    const unsigned char src[5] = {0x00, 0xff, 0x80, 0x00, 0x7f};
    unsigned char dst[7] = {1, 1, 1, 1, 1, 1, 1};
    KLOR_memmove(dst + 1, src, 5);
    const unsigned char expected[7] = {1, 0x00, 0xff, 0x80, 0x00, 0x7f, 1};
    EXPECT_EQ(std::string(reinterpret_cast<char*>(dst), 7),
              std::string(reinterpret_cast<const char*>(expected), 7));
}

}  // namespace
