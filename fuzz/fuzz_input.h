// Decodes a fuzzer's input bytes into the values a target needs. Reads past
// the end give zeros, so every input, even an empty one, is a valid program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace klor_fuzz {

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return offset_ >= size_; }
    size_t remaining() const { return empty() ? 0 : size_ - offset_; }

    uint8_t u8() { return empty() ? 0 : data_[offset_++]; }

    uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }

    uint32_t u32() { return static_cast<uint32_t>(u16()) | (static_cast<uint32_t>(u16()) << 16); }

    uint64_t u64() { return static_cast<uint64_t>(u32()) | (static_cast<uint64_t>(u32()) << 32); }

    float f32() {
        const uint32_t bits = u32();
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }

    // 0 .. bound-1 (bound > 0).
    uint32_t below(uint32_t bound) { return u32() % bound; }

    // Sizes skewed towards small ones, the way real programs allocate:
    // byte 0..191 -> 0..191, then 1 KiB, 16 KiB and 256 KiB ranges.
    uint64_t size() {
        const uint8_t kind = u8();
        if (kind < 192) return kind;
        if (kind < 240) return u16() % 1024;
        if (kind < 252) return u16() % 16384;
        return u32() % (256 * 1024);
    }

    // The rest of the input, for payload bytes.
    const uint8_t* rest(size_t* length) {
        *length = remaining();
        const uint8_t* at = data_ + (empty() ? size_ : offset_);
        offset_ = size_;
        return at;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};

// Stops the run with a message; libFuzzer records the input as a crash.
[[noreturn]] void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Tallies operations run; the total is printed at exit ("klor fuzz: N
// operations") for the figures of a fuzzing session.
void countOperations(uint64_t operations);

}  // namespace klor_fuzz
