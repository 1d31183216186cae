// The validator's report and the helpers every check shares.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "klor_validate.h"

namespace klor {
namespace validate {

void Report::line(const char* verdict, const std::string& name, const std::string& detail) {
    std::printf("%-4s  %-26s %s\n", verdict, name.c_str(), detail.c_str());
    std::fflush(stdout);
}

void Report::pass(const std::string& name, const std::string& detail) {
    ++passed_;
    line("PASS", name, detail);
}

void Report::fail(const std::string& name, const std::string& detail) {
    ++failed_;
    line("FAIL", name, detail);
}

void Report::skip(const std::string& name, const std::string& detail) {
    ++skipped_;
    line("SKIP", name, detail);
}

std::unique_ptr<host::Instance> Context::newInstance(std::string* why) {
    KLOR_RESULT result = KLOR_OK;
    auto instance = host::Instance::create(*plugin, &result);
    if (!instance && why) *why = "create returned " + std::to_string(result);
    return instance;
}

float Context::uniform(float low, float high) {
    std::uniform_real_distribution<float> distribution(low, high);
    return distribution(random);
}

uint32_t Context::below(uint32_t bound) {
    std::uniform_int_distribution<uint32_t> distribution(0, bound - 1);
    return distribution(random);
}

long firstBitDifference(const Samples& a, const Samples& b) {
    if (a.size() != b.size()) return 0;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::memcmp(&a[i], &b[i], sizeof(float)) != 0) return static_cast<long>(i);
    }
    return -1;
}

Samples processWhole(host::Instance& effect, const Samples& in, unsigned frames, int channels) {
    Samples out(in.size());
    effect.process(in.data(), out.data(), frames, channels);
    return out;
}

Samples randomSignal(Context& context, size_t count) {
    static const float kExactPoints[] = {0.0f, -0.0f, 1.0f, -1.0f, 0.5f, -0.5f};
    Samples signal(count);
    for (float& sample : signal) {
        if (context.below(16) == 0) {
            sample = kExactPoints[context.below(sizeof kExactPoints / sizeof kExactPoints[0])];
        } else {
            sample = context.uniform(-1.5f, 1.5f);
        }
    }
    return signal;
}

std::string describeSample(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    char text[64];
    std::snprintf(text, sizeof text, "%.9g (0x%08" PRIX32 ")", static_cast<double>(value), bits);
    return text;
}

}  // namespace validate
}  // namespace klor
