// Random inputs against small reference models written here from the rules,
// not from the library's code: comparisons, KLOR_memcmp, KLOR_strchr,
// KLOR_strstr and the two number conversions.
//
// Strings are bytes 0x01..0xFF; limits include 0, negatives and the int
// extremes. Pairs are often built from one another (equal, one byte changed,
// cut short, extended) so that the deciding position is not always the first.
// The seed is printed with every failure; KLOR_TEST_SEED replays one, and
// KLOR_STRESS_SCALE scales the number of rounds.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>

#include "klor/klor_string.h"

namespace {

unsigned testSeed() {
    if (const char* text = std::getenv("KLOR_TEST_SEED")) return static_cast<unsigned>(std::strtoul(text, nullptr, 10));
    return std::random_device{}();
}

int rounds(int base) {
    const char* text = std::getenv("KLOR_STRESS_SCALE");
    const double scale = text != nullptr ? std::atof(text) : 1.0;
    const int scaled = static_cast<int>(base * scale);
    return scaled > 0 ? scaled : 1;
}

// --- Reference models -----------------------------------------------------------

// A byte's character value: 0x80..0xFF are -128..-1.
int signedValue(unsigned char byte) { return byte >= 0x80 ? static_cast<int>(byte) - 256 : byte; }

int folded(int value) { return value >= 'A' && value <= 'Z' ? value + ('a' - 'A') : value; }

// The character at index i of a terminated string; the terminator is 0.
int charAt(const std::string& s, size_t i) {
    return i < s.size() ? signedValue(static_cast<unsigned char>(s[i])) : 0;
}

// The deciding index is the first where the (folded) characters differ or a
// has its terminator. With a limit L (below 1 counts as 1), a deciding index
// at or beyond L is never reached and the result is 0.
int modelCompare(const std::string& a, const std::string& b, bool fold, bool limited, int64_t limit) {
    size_t d = 0;
    for (;; ++d) {
        const int ca = fold ? folded(charAt(a, d)) : charAt(a, d);
        const int cb = fold ? folded(charAt(b, d)) : charAt(b, d);
        if (ca != cb || charAt(a, d) == 0) break;
    }
    const int64_t effective = limit < 1 ? 1 : limit;
    if (limited && static_cast<int64_t>(d) >= effective) return 0;
    const int ca = fold ? folded(charAt(a, d)) : charAt(a, d);
    const int cb = fold ? folded(charAt(b, d)) : charAt(b, d);
    return ca - cb;
}

int modelMemcmp(const std::string& a, const std::string& b, int n) {
    for (int i = 0; i < n; ++i) {
        const int wrapped = ((static_cast<unsigned char>(a[i]) - static_cast<unsigned char>(b[i])) % 256 + 256) % 256;
        if (wrapped != 0) return wrapped >= 128 ? wrapped - 256 : wrapped;
    }
    return 0;
}

long modelStrchr(const std::string& s, int c) {
    for (size_t i = 0; i < s.size(); ++i) {
        if (signedValue(static_cast<unsigned char>(s[i])) == c) return static_cast<long>(i);
    }
    return -1;
}

long modelStrstr(const std::string& s, const std::string& find) {
    const size_t at = std::string_view(s).find(find);
    return at == std::string_view::npos ? -1 : static_cast<long>(at);
}

// Sum over characters of (value - 48) * 10^k, k = characters after it, all
// modulo 2^32 (the power too).
int modelAtoi(const std::string& s) {
    uint32_t sum = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t weight = 1;
        for (size_t k = i + 1; k < s.size(); ++k) weight *= 10u;
        sum += static_cast<uint32_t>(charAt(s, i) - 48) * weight;
    }
    return static_cast<int>(sum);
}

// Only the last eight characters land in the 32 bits; each owns one nibble.
int modelAtoiHex(const std::string& s) {
    uint32_t value = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        const size_t nibble = s.size() - 1 - i;
        if (nibble >= 8) continue;
        const char c = s[i];
        uint32_t digit = 0;
        if (c >= '0' && c <= '9') digit = static_cast<uint32_t>(c - '0');
        if (c >= 'a' && c <= 'f') digit = static_cast<uint32_t>(c - 'a' + 10);
        if (c >= 'A' && c <= 'F') digit = static_cast<uint32_t>(c - 'A' + 10);
        value |= digit << (4 * nibble);
    }
    return static_cast<int>(value);
}

// --- Generators ---------------------------------------------------------------------

class Inputs {
public:
    explicit Inputs(unsigned seed) : random_(seed) {}

    int between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

    // Bytes 0x01..0xFF, either any of them or a small alphabet dense in case
    // pairs, letter neighbours and high bytes, so equal prefixes are common.
    std::string text(int maxLength) {
        static const unsigned char dense[] = {'a', 'A', 'b', 'B', 'z', 'Z', '_', '[', '@', '`', '{',
                                              0x7f, 0x80, 0xc0, 0xe0, 0xe9, 0xff, 0x01};
        const bool anyByte = between(0, 1) == 0;
        std::string s(static_cast<size_t>(between(0, maxLength)), 'a');
        for (char& c : s) {
            c = static_cast<char>(anyByte ? between(1, 255) : dense[between(0, sizeof(dense) - 1)]);
        }
        return s;
    }

    // A partner for a: equal, one byte changed, cut short, extended, or new.
    std::string partner(const std::string& a, int maxLength) {
        std::string b = a;
        switch (between(0, 4)) {
            case 0: break;
            case 1:
                if (!b.empty()) b[static_cast<size_t>(between(0, static_cast<int>(b.size()) - 1))] = static_cast<char>(between(1, 255));
                break;
            case 2: b.resize(static_cast<size_t>(between(0, static_cast<int>(b.size())))); break;
            case 3: b += text(4); break;
            default: b = text(maxLength);
        }
        return b;
    }

    // Limits around the strings' lengths, plus 0, negatives and extremes.
    int limit(size_t length) {
        switch (between(0, 5)) {
            case 0: return INT_MIN;
            case 1: return INT_MAX;
            case 2: return between(-5, 0);
            default: return between(0, static_cast<int>(length) + 3);
        }
    }

    // Decimal-looking text, sometimes with a non-digit, sometimes very long.
    std::string number() {
        std::string s(static_cast<size_t>(between(0, 14)), '0');
        for (char& c : s) c = between(0, 5) == 0 ? static_cast<char>(between(1, 255)) : static_cast<char>('0' + between(0, 9));
        return s;
    }

    std::string hexNumber() {
        static const char digits[] = "0123456789abcdefABCDEFxXgG@`/: ";
        std::string s(static_cast<size_t>(between(0, 12)), '0');
        for (char& c : s) {
            c = between(0, 7) == 0 ? static_cast<char>(between(1, 255)) : digits[between(0, sizeof(digits) - 2)];
        }
        return s;
    }

private:
    std::mt19937 random_;
};

std::string shown(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7f) {
            out.push_back(static_cast<char>(c));
        } else {
            static const char hex[] = "0123456789abcdef";
            out += "\\x";
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return '"' + out + '"';
}

class StringModel : public ::testing::Test {
protected:
    void SetUp() override {
        seed_ = testSeed();
        RecordProperty("seed", std::to_string(seed_));
        std::printf("seed %u\n", seed_);
    }
    std::string seedText() const { return "seed " + std::to_string(seed_) + " (KLOR_TEST_SEED replays it)"; }
    unsigned seed_ = 0;
};

TEST_F(StringModel, ComparisonsAgreeWithTheModel) {
    SCOPED_TRACE(seedText());
    Inputs in(seed_);
    for (int round = 0; round < rounds(20000); ++round) {
        const std::string a = in.text(12);
        const std::string b = in.partner(a, 12);
        const int n = in.limit(a.size() > b.size() ? a.size() : b.size());
        const std::string what = shown(a) + " vs " + shown(b) + " n=" + std::to_string(n);
        ASSERT_EQ(KLOR_strcmp(a.c_str(), b.c_str()), modelCompare(a, b, false, false, 0)) << what;
        ASSERT_EQ(KLOR_strncmp(a.c_str(), b.c_str(), n), modelCompare(a, b, false, true, n)) << what;
        ASSERT_EQ(KLOR_stricmp(a.c_str(), b.c_str()), modelCompare(a, b, true, false, 0)) << what;
        ASSERT_EQ(KLOR_strnicmp(a.c_str(), b.c_str(), n), modelCompare(a, b, true, true, n)) << what;
    }
}

// Zero bytes included: the count, not a terminator, ends the comparison.
TEST_F(StringModel, MemoryCompareAgreesWithTheModel) {
    SCOPED_TRACE(seedText());
    Inputs in(seed_);
    for (int round = 0; round < rounds(20000); ++round) {
        std::string a = in.text(12);
        for (char& c : a) {
            if (in.between(0, 9) == 0) c = '\0';
        }
        const std::string b = in.partner(a, 12);
        const int shorter = static_cast<int>(a.size() < b.size() ? a.size() : b.size());
        const int n = in.between(0, 4) == 0 ? in.between(INT_MIN, 0) : in.between(0, shorter);
        ASSERT_EQ(KLOR_memcmp(a.data(), b.data(), n), modelMemcmp(a, b, n))
            << shown(a) << " vs " << shown(b) << " n=" << n;
    }
}

TEST_F(StringModel, FindCharAgreesWithTheModel) {
    SCOPED_TRACE(seedText());
    Inputs in(seed_);
    for (int round = 0; round < rounds(20000); ++round) {
        const std::string s = in.text(16);
        int c;
        const int pick = in.between(0, 3);
        if (pick < 2 && !s.empty()) {
            // A byte of s, as its signed value or as its unsigned one.
            const auto byte = static_cast<unsigned char>(s[static_cast<size_t>(in.between(0, static_cast<int>(s.size()) - 1))]);
            c = pick == 0 ? signedValue(byte) : byte;
        } else {
            c = pick == 2 ? 0 : in.between(-300, 300);
        }
        const char* found = KLOR_strchr(s.c_str(), c);
        const long at = found == nullptr ? -1 : found - s.c_str();
        ASSERT_EQ(at, modelStrchr(s, c)) << shown(s) << " for " << c;
    }
}

TEST_F(StringModel, FindAgreesWithTheModel) {
    SCOPED_TRACE(seedText());
    Inputs in(seed_);
    for (int round = 0; round < rounds(20000); ++round) {
        const std::string s = in.text(16);
        std::string find;
        switch (in.between(0, 3)) {
            case 0: {  // a piece of s, maybe altered
                const int from = in.between(0, static_cast<int>(s.size()));
                find = s.substr(static_cast<size_t>(from), static_cast<size_t>(in.between(0, 5)));
                find = in.partner(find, 3);
                break;
            }
            case 1: find = in.text(3); break;
            case 2: find = ""; break;
            default: find = s + in.text(2);
        }
        const char* found = KLOR_strstr(s.c_str(), find.c_str());
        const long at = found == nullptr ? -1 : found - s.c_str();
        ASSERT_EQ(at, modelStrstr(s, find)) << shown(s) << " for " << shown(find);
    }
}

TEST_F(StringModel, NumberConversionsAgreeWithTheModel) {
    SCOPED_TRACE(seedText());
    Inputs in(seed_);
    for (int round = 0; round < rounds(20000); ++round) {
        const std::string decimal = in.number();
        ASSERT_EQ(KLOR_atoi(decimal.c_str()), modelAtoi(decimal)) << shown(decimal);
        const std::string hex = in.hexNumber();
        ASSERT_EQ(KLOR_atoi_hex(hex.c_str()), modelAtoiHex(hex)) << shown(hex);
        const std::string any = in.text(14);
        ASSERT_EQ(KLOR_atoi(any.c_str()), modelAtoi(any)) << shown(any);
        ASSERT_EQ(KLOR_atoi_hex(any.c_str()), modelAtoiHex(any)) << shown(any);
    }
}

}  // namespace
