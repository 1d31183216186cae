// Searching and blank skipping: results as offsets into the searched text
// (-1 for null), so a wrong address inside the text is told apart from none.
#include <gtest/gtest.h>

#include <string>

#include "klor/klor_string.h"

namespace {

long offsetIn(const char* text, const char* found) { return found == nullptr ? -1 : found - text; }

// The terminator is never found, and a byte above 0x7F only by its negative
// value: its signed value meets the whole int.
TEST(StringFindChar, FindsTheFirstMatchBeforeTheTerminator) {
    struct Case {
        const char* text;
        int c;
        long expected;
    } cases[] = {
        {"abc", 'c', 2},
        {"abc", 'a', 0},
        {"abcabc", 'b', 1},  // the first of two
        {"abc", 'd', -1},
        {"abc", 0, -1},       // never the terminator
        {"", 0, -1},
        {"", 'a', -1},
        {"x\xe9y", -23, 1},   // 0xE9 is -23
        {"x\xe9y", 233, -1},  // ...and never 233
        {"\xff", -1, 0},
        {"\xff", 255, -1},
        {"\x80", -128, 0},
        {"a", 'a' + 256, -1},  // the int is not cut to a byte
        {"a", 'a' - 256, -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(offsetIn(c.text, KLOR_strchr(c.text, c.c)), c.expected)
            << '"' << c.text << "\" for " << c.c;
    }
}

TEST(StringFindChar, ExaminesNothingPastTheTerminator) {
    const char text[] = "ab\0c";
    EXPECT_EQ(KLOR_strchr(text, 'c'), nullptr);
}

TEST(StringFind, FindsTheLeftmostOccurrence) {
    struct Case {
        const char* text;
        const char* find;
        long expected;
    } cases[] = {
        {"abc", "", 0},  // empty find: the text itself
        {"", "", 0},
        {"", "a", -1},
        {"abc", "abcd", -1},  // longer than the text
        {"abc", "abc", 0},
        {"aab", "ab", 1},
        {"abc", "c", 2},  // the last position that still fits
        {"abc", "bc", 1},
        {"abc", "cd", -1},
        {"abcabc", "cab", 2},
        {"abab", "ab", 0},
        {"aaaa", "aaa", 0},
        {"ab\xe9", "\xe9", 2},
        {"ABC", "abc", -1},  // exact bytes, no folding
    };
    for (const Case& c : cases) {
        EXPECT_EQ(offsetIn(c.text, KLOR_strstr(c.text, c.find)), c.expected)
            << '"' << c.text << "\" for \"" << c.find << '"';
    }
}

// Only space, tab and line feed are blanks; the terminator stops the walk.
TEST(EatWhite, SkipsSpacesTabsAndLineFeedsOnly) {
    struct Case {
        const char* text;
        long expected;
    } cases[] = {
        {"\t\n x", 3},
        {"\rx", 0},  // carriage return is not skipped
        {"\vx", 0},
        {"\fx", 0},
        {"x  ", 0},
        {"   ", 3},  // all blanks: the terminator's address
        {"", 0},
        {" \t\n\r ", 3},
    };
    for (const Case& c : cases) {
        std::string text(c.text);
        char* start = &text[0];
        EXPECT_EQ(KLOR_eatwhite(start) - start, c.expected) << "case " << c.expected;
    }
}

}  // namespace
