// The string and number utilities against the models of string_models.h.
//
// The input is a program of up to 64 operations: one byte picks the
// utility, the following bytes its strings (length byte, then bytes; a zero
// byte ends a string early), limits and characters. Strings and buffers live
// in exact-sized heap blocks, so ASan reports any byte read or written
// beyond what the rules allow (a limited append with limit 0 gets a
// destination with no terminator at all: it must read nothing).
#include <cstdarg>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_input.h"
#include "klor/klor_string.h"
#include "string_models.h"

namespace {

using klor_fuzz::FuzzInput;
using klor_fuzz::fail;

constexpr int kMaxOperations = 64;
constexpr char kFill = 'Z';

// An exact-sized heap copy: `bytes` followed by `extra` fill bytes.
class Block {
public:
    Block(const std::string& bytes, size_t extra, bool terminate)
        : size_(bytes.size() + (terminate ? 1 : 0) + extra),
          data_(static_cast<char*>(std::malloc(size_ == 0 ? 1 : size_))) {
        std::memset(data_, kFill, size_ == 0 ? 1 : size_);
        std::memcpy(data_, bytes.data(), bytes.size());
        if (terminate) data_[bytes.size()] = 0;
    }
    ~Block() { std::free(data_); }
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;

    char* data() { return data_; }
    size_t size() const { return size_; }
    std::string bytes() const { return std::string(data_, size_); }

private:
    size_t size_;
    char* data_;
};

std::string text(FuzzInput& input) {
    std::string s;
    const size_t length = input.u8() % 64;
    for (size_t i = 0; i < length; ++i) {
        const char c = static_cast<char>(input.u8());
        if (c == 0) break;
        s.push_back(c);
    }
    return s;
}

// A second string related to the first: equal, changed at one place, cut,
// extended, folded in case, a slice of it, or independent.
std::string partner(FuzzInput& input, const std::string& a) {
    std::string b = a;
    switch (input.u8() % 7) {
        case 0: break;
        case 1:
            if (!b.empty()) {
                const char c = static_cast<char>(input.u8());
                b[input.u8() % b.size()] = c == 0 ? 'x' : c;
            }
            break;
        case 2: b.resize(b.empty() ? 0 : input.u8() % (b.size() + 1)); break;
        case 3: b += text(input); break;
        case 4:
            for (char& c : b) {
                if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
            }
            break;
        case 5:
            if (!b.empty()) {
                const size_t from = input.u8() % b.size();
                b = b.substr(from, input.u8() % (b.size() - from + 1));
            }
            break;
        default: b = text(input);
    }
    return b;
}

int limit(FuzzInput& input, size_t around) {
    switch (input.u8() % 6) {
        case 0: return INT_MIN;
        case 1: return INT_MAX;
        case 2: return -static_cast<int>(input.u8() % 6);
        default: return static_cast<int>(input.u8() % (around + 4));
    }
}

std::string shown(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        char hex[8];
        if (c >= 0x20 && c < 0x7f && c != '"') {
            out.push_back(static_cast<char>(c));
        } else {
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out + "\"";
}

int callVsnprintf(char* buffer, int size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = KLOR_vsnprintf(buffer, size, format, args);
    va_end(args);
    return result;
}

int systemVsnprintf(char* buffer, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = std::vsnprintf(buffer, size, format, args);
    va_end(args);
    return result;
}

void compareFamily(FuzzInput& input, uint8_t which) {
    const std::string a = text(input);
    const std::string b = partner(input, a);
    const int n = limit(input, a.size() > b.size() ? a.size() : b.size());
    Block ca(a, 0, true);
    Block cb(b, 0, true);
    int got = 0;
    int expected = 0;
    const char* name = "";
    switch (which) {
        case 0: name = "KLOR_strcmp"; got = KLOR_strcmp(ca.data(), cb.data());
            expected = klor_fuzz::modelCompare(a, b, false, false, 0); break;
        case 1: name = "KLOR_strncmp"; got = KLOR_strncmp(ca.data(), cb.data(), n);
            expected = klor_fuzz::modelCompare(a, b, false, true, n); break;
        case 2: name = "KLOR_stricmp"; got = KLOR_stricmp(ca.data(), cb.data());
            expected = klor_fuzz::modelCompare(a, b, true, false, 0); break;
        default: name = "KLOR_strnicmp"; got = KLOR_strnicmp(ca.data(), cb.data(), n);
            expected = klor_fuzz::modelCompare(a, b, true, true, n); break;
    }
    if (got != expected) {
        fail("%s(%s, %s, %d) gives %d, the model %d", name, shown(a).c_str(), shown(b).c_str(), n,
             got, expected);
    }
}

void copyFamily(FuzzInput& input, uint8_t which) {
    const std::string src = text(input);
    Block source(src, 0, true);
    if (which == 0) {  // strcpy
        Block dst("", src.size() + 1, false);
        if (KLOR_strcpy(dst.data(), source.data()) != dst.data() || dst.bytes() != src + '\0') {
            fail("KLOR_strcpy(%s) leaves %s", shown(src).c_str(), shown(dst.bytes()).c_str());
        }
    } else if (which == 1) {  // strncpy
        const int n = limit(input, src.size());
        const size_t written = klor_fuzz::modelStrncpyBytes(src, n);
        Block dst("", written + input.u8() % 8, false);
        std::string expected = dst.bytes();
        expected.replace(0, written, (src + '\0').substr(0, written));
        if (KLOR_strncpy(dst.data(), source.data(), n) != dst.data() || dst.bytes() != expected) {
            fail("KLOR_strncpy(%s, %d) leaves %s, the model %s", shown(src).c_str(), n,
                 shown(dst.bytes()).c_str(), shown(expected).c_str());
        }
    } else if (which == 2) {  // strcat
        const std::string head = text(input);
        Block dst(head, src.size(), true);
        const std::string expected = head + src + '\0';
        if (KLOR_strcat(dst.data(), source.data()) != dst.data() || dst.bytes() != expected) {
            fail("KLOR_strcat(%s, %s) leaves %s", shown(head).c_str(), shown(src).c_str(),
                 shown(dst.bytes()).c_str());
        }
    } else {  // strncat
        const std::string head = text(input);
        const int n = limit(input, src.size());
        if (n == 0) {
            // Neither string may be read: no terminator anywhere.
            Block dst(head, 0, false);
            Block unterminated(src, 0, false);
            const std::string before = dst.bytes();
            if (KLOR_strncat(dst.data(), unterminated.data(), 0) != dst.data() || dst.bytes() != before) {
                fail("KLOR_strncat(%s, %s, 0) changed its destination", shown(head).c_str(),
                     shown(src).c_str());
            }
            return;
        }
        const size_t copied = klor_fuzz::modelStrncatChars(src, n);
        Block dst(head, copied, true);
        const std::string expected = head + src.substr(0, copied) + '\0';
        if (KLOR_strncat(dst.data(), source.data(), n) != dst.data() || dst.bytes() != expected) {
            fail("KLOR_strncat(%s, %s, %d) leaves %s, the model %s", shown(head).c_str(),
                 shown(src).c_str(), n, shown(dst.bytes()).c_str(), shown(expected).c_str());
        }
    }
}

void caseFamily(FuzzInput& input, uint8_t which) {
    if (which == 0) {
        for (int c = -128; c < 128; ++c) {
            const int expected = klor_fuzz::lowered(c);
            if (KLOR_tolower(static_cast<char>(c)) != static_cast<char>(expected)) {
                fail("KLOR_tolower(%d) gives %d", c, KLOR_tolower(static_cast<char>(c)));
            }
        }
        return;
    }
    const std::string s = text(input);
    Block block(s, 0, true);
    std::string expected = s + '\0';
    for (char& c : expected) {
        if (which == 1 && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
        if (which == 2 && c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
    char* result = which == 1 ? KLOR_strupr(block.data()) : KLOR_strlwr(block.data());
    if (result != block.data() || block.bytes() != expected) {
        fail("%s(%s) gives %s", which == 1 ? "KLOR_strupr" : "KLOR_strlwr", shown(s).c_str(),
             shown(block.bytes()).c_str());
    }
}

void searchFamily(FuzzInput& input, uint8_t which) {
    const std::string s = text(input);
    Block block(s, 0, true);
    if (which == 0) {  // strlen
        if (KLOR_strlen(block.data()) != static_cast<int>(s.size())) {
            fail("KLOR_strlen(%s) gives %d", shown(s).c_str(), KLOR_strlen(block.data()));
        }
    } else if (which == 1) {  // strchr
        int c;
        switch (input.u8() % 3) {
            case 0: c = s.empty() ? 0 : klor_fuzz::charValue(static_cast<unsigned char>(s[input.u8() % s.size()])); break;
            case 1: c = static_cast<unsigned char>(s.empty() ? 'a' : s[input.u8() % s.size()]); break;
            default: c = static_cast<int16_t>(input.u16()); break;
        }
        const char* got = KLOR_strchr(block.data(), c);
        const long expected = klor_fuzz::modelStrchr(s, c);
        const long at = got == nullptr ? -1 : static_cast<long>(got - block.data());
        if (at != expected) fail("KLOR_strchr(%s, %d) finds %ld, the model %ld", shown(s).c_str(), c, at, expected);
    } else if (which == 2) {  // strstr
        const std::string find = partner(input, s);
        Block needle(find, 0, true);
        const char* got = KLOR_strstr(block.data(), needle.data());
        const long expected = klor_fuzz::modelStrstr(s, find);
        const long at = got == nullptr ? -1 : static_cast<long>(got - block.data());
        if (at != expected) {
            fail("KLOR_strstr(%s, %s) finds %ld, the model %ld", shown(s).c_str(), shown(find).c_str(), at, expected);
        }
    } else {  // eatwhite
        static const char kBlanks[] = {' ', '\t', '\n', '\r', '\v', '\f', 'x'};
        std::string padded;
        const size_t lead = input.u8() % 8;
        for (size_t i = 0; i < lead; ++i) padded.push_back(kBlanks[input.u8() % sizeof kBlanks]);
        padded += s;
        Block p(padded, 0, true);
        const char* got = KLOR_eatwhite(p.data());
        const size_t expected = klor_fuzz::modelEatwhite(padded);
        if (got != p.data() + expected) {
            fail("KLOR_eatwhite(%s) stops at %ld, the model at %zu", shown(padded).c_str(),
                 static_cast<long>(got - p.data()), expected);
        }
    }
}

void memoryFamily(FuzzInput& input, uint8_t which) {
    const std::string a = text(input);
    if (which == 0) {  // memcmp over unterminated exact blocks
        const std::string b = partner(input, a);
        const size_t common = a.size() < b.size() ? a.size() : b.size();
        const int n = static_cast<int>(input.u8() % (common + 4)) - 3;
        Block ba(a, 0, false);
        Block bb(b, 0, false);
        const int got = KLOR_memcmp(ba.data(), bb.data(), n);
        const int expected = klor_fuzz::modelMemcmp(reinterpret_cast<const uint8_t*>(a.data()),
                                                    reinterpret_cast<const uint8_t*>(b.data()), n);
        if (got != expected) {
            fail("KLOR_memcmp(%s, %s, %d) gives %d, the model %d", shown(a).c_str(), shown(b).c_str(),
                 n, got, expected);
        }
        return;
    }
    // memmove inside one block, in both directions, overlapping or not.
    if (a.empty()) return;
    Block block(a, 0, false);
    const size_t from = input.u8() % a.size();
    const size_t to = input.u8() % a.size();
    const size_t room = a.size() - (from > to ? from : to);
    const int n = static_cast<int>(input.u8() % (room + 1));
    std::string expected = a;
    std::memmove(&expected[to], &expected[from], static_cast<size_t>(n));
    if (KLOR_memmove(block.data() + to, block.data() + from, n) != block.data() + to ||
        block.bytes() != expected) {
        fail("KLOR_memmove of %d bytes from %zu to %zu in %s gives %s, the model %s", n, from, to,
             shown(a).c_str(), shown(block.bytes()).c_str(), shown(expected).c_str());
    }
}

void numberFamily(FuzzInput& input, uint8_t which) {
    static const char kDigits[] = "0123456789abcdefABCDEFxg-+ ";
    std::string s;
    const size_t length = input.u8() % 16;
    for (size_t i = 0; i < length; ++i) {
        const uint8_t pick = input.u8();
        s.push_back(pick < 200 ? kDigits[pick % (sizeof kDigits - 1)] : static_cast<char>(pick));
    }
    Block block(s, 0, true);
    if (which == 0) {
        if (KLOR_atoi(nullptr) != 0) fail("KLOR_atoi(null) is not 0");
        if (KLOR_atoi(block.data()) != klor_fuzz::modelAtoi(s)) {
            fail("KLOR_atoi(%s) gives %d, the model %d", shown(s).c_str(), KLOR_atoi(block.data()),
                 klor_fuzz::modelAtoi(s));
        }
    } else {
        if (KLOR_atoi_hex(nullptr) != 0) fail("KLOR_atoi_hex(null) is not 0");
        if (KLOR_atoi_hex(block.data()) != klor_fuzz::modelAtoiHex(s)) {
            fail("KLOR_atoi_hex(%s) gives %d, the model %d", shown(s).c_str(),
                 KLOR_atoi_hex(block.data()), klor_fuzz::modelAtoiHex(s));
        }
    }
}

// The system's formatting with buf[size - 1] cleared afterwards; bytes past
// `size` must stay untouched.
void formatFamily(FuzzInput& input) {
    static const char* const kFormats[] = {"%s", "%d|%s", "%.02f", "%x %c %s", "%-10s|%5d",
                                           "%%|%s|%%", "[%08.3f]", "%u%s%d"};
    const unsigned pick = input.u8() % (sizeof kFormats / sizeof kFormats[0]);
    const std::string s = text(input);
    const int number = static_cast<int>(input.u32());
    const double real = static_cast<double>(input.f32());
    const int size = 1 + input.u8() % 48;
    constexpr int kGuard = 8;

    Block buffer("", static_cast<size_t>(size + kGuard), false);
    Block reference("", static_cast<size_t>(size + kGuard), false);
    int got = 0;
    int expected = 0;
    const char* format = kFormats[pick];
    switch (pick) {
        case 0: case 5:
            got = callVsnprintf(buffer.data(), size, format, s.c_str());
            expected = systemVsnprintf(reference.data(), size, format, s.c_str()); break;
        case 1:
            got = KLOR_snprintf(buffer.data(), size, "%d|%s", number, s.c_str());
            expected = systemVsnprintf(reference.data(), size, format, number, s.c_str()); break;
        case 2: case 6:
            got = callVsnprintf(buffer.data(), size, format, real);
            expected = systemVsnprintf(reference.data(), size, format, real); break;
        case 3:
            got = callVsnprintf(buffer.data(), size, format, number, s.empty() ? 'q' : s[0], s.c_str());
            expected = systemVsnprintf(reference.data(), size, format, number, s.empty() ? 'q' : s[0], s.c_str()); break;
        case 4:
            got = callVsnprintf(buffer.data(), size, format, s.c_str(), number);
            expected = systemVsnprintf(reference.data(), size, format, s.c_str(), number); break;
        default:
            got = callVsnprintf(buffer.data(), size, format, static_cast<unsigned>(number), s.c_str(), number);
            expected = systemVsnprintf(reference.data(), size, format, static_cast<unsigned>(number), s.c_str(), number); break;
    }
    reference.data()[size - 1] = 0;
    if (got != expected || buffer.bytes() != reference.bytes()) {
        fail("KLOR_vsnprintf(size %d, \"%s\", %s) gives %d and %s; the system %d and %s", size,
             format, shown(s).c_str(), got, shown(buffer.bytes()).c_str(), expected,
             shown(reference.bytes()).c_str());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    for (int i = 0; i < kMaxOperations && !input.empty(); ++i) {
        const uint8_t op = input.u8() % 19;
        klor_fuzz::countOperations(1);
        if (op < 4) {
            compareFamily(input, op);
        } else if (op < 8) {
            copyFamily(input, op - 4);
        } else if (op < 11) {
            caseFamily(input, op - 8);
        } else if (op < 15) {
            searchFamily(input, op - 11);
        } else if (op < 17) {
            memoryFamily(input, op - 15);
        } else if (op < 18) {
            numberFamily(input, input.u8() & 1);
        } else {
            formatFamily(input);
        }
    }
    return 0;
}
