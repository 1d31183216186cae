// The module as a host first meets it: dlopen, then the entry point. The
// records are checked byte for byte against their published layout, built
// here independently of the library's own headers' field names.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "klor/klor_dsp.h"

namespace {

struct Module {
    void* handle = dlopen(KLOR_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ~Module() {
        if (handle) dlclose(handle);
    }
    void* sym(const char* name) const { return dlsym(handle, name); }
};

void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) { std::memcpy(&b[at], &v, 4); }
void putPtr(std::vector<uint8_t>& b, size_t at, const void* p) { std::memcpy(&b[at], &p, 8); }

TEST(DescriptionRecord, ListNodeIsARingAtLoadAndZerosAfterTheEntryPoint) {
    Module m;
    ASSERT_NE(m.handle, nullptr) << dlerror();
    // Nothing has called into the module yet: the node is as constructed.
    auto* record = static_cast<uint8_t*>(m.sym("_ZN4KLOR13dspdistortionE"));
    ASSERT_NE(record, nullptr);
    void* next;
    void* prev;
    void* data;
    std::memcpy(&next, record + 136, 8);
    std::memcpy(&prev, record + 144, 8);
    std::memcpy(&data, record + 152, 8);
    EXPECT_EQ(next, record + 136);
    EXPECT_EQ(prev, record + 136);
    EXPECT_EQ(data, nullptr);

    auto entry = reinterpret_cast<KLOR_DSP_DESCRIPTION_EX* (*)()>(m.sym("KLORGetDSPDescriptionEx"));
    ASSERT_NE(entry, nullptr);
    ASSERT_EQ(static_cast<void*>(entry()), static_cast<void*>(record));
    const uint8_t zeros[24] = {};
    EXPECT_EQ(std::memcmp(record + 136, zeros, 24), 0);
}

TEST(DescriptionRecord, MatchesTheLayoutByteForByteOnEveryCall) {
    Module m;
    ASSERT_NE(m.handle, nullptr) << dlerror();
    auto entry = reinterpret_cast<KLOR_DSP_DESCRIPTION_EX* (*)()>(m.sym("KLORGetDSPDescriptionEx"));
    ASSERT_NE(entry, nullptr);

    std::vector<uint8_t> expected(232, 0);
    std::memcpy(&expected[0], "KLOR Distortion", 15);
    put32(expected, 32, 0x00010100u);
    putPtr(expected, 40, m.sym("_ZN4KLOR13DSPDistortion14createCallbackEP14KLOR_DSP_STATE"));
    putPtr(expected, 48, m.sym("_ZN4KLOR13DSPDistortion15releaseCallbackEP14KLOR_DSP_STATE"));
    putPtr(expected, 56, m.sym("_ZN4KLOR13DSPDistortion13resetCallbackEP14KLOR_DSP_STATE"));
    putPtr(expected, 64, m.sym("_ZN4KLOR13DSPDistortion12readCallbackEP14KLOR_DSP_STATEPfS3_jii"));
    put32(expected, 80, 1);
    putPtr(expected, 88, m.sym("_ZN4KLOR19dspdistortion_paramE"));
    putPtr(expected, 96, m.sym("_ZN4KLOR13DSPDistortion20setParameterCallbackEP14KLOR_DSP_STATEif"));
    putPtr(expected, 104, m.sym("_ZN4KLOR13DSPDistortion20getParameterCallbackEP14KLOR_DSP_STATEiPfPc"));
    put32(expected, 164, 8);
    put32(expected, 168, 472);
    put32(expected, 172, 0);
    for (size_t at : {40, 48, 56, 64, 88, 96, 104}) {
        void* p;
        std::memcpy(&p, &expected[at], 8);
        ASSERT_NE(p, nullptr) << "symbol for byte " << at << " not exported";
    }

    KLOR_DSP_DESCRIPTION_EX* first = entry();
    std::vector<uint8_t> afterFirst(232);
    std::memcpy(afterFirst.data(), first, 232);
    // A host scribbling on the record is repaired by the next call.
    std::memset(first, 0xA5, 232);
    KLOR_DSP_DESCRIPTION_EX* second = entry();
    EXPECT_EQ(first, second);
    for (size_t i = 0; i < 232; ++i) {
        EXPECT_EQ(afterFirst[i], expected[i]) << "byte " << i;
        EXPECT_EQ(reinterpret_cast<uint8_t*>(second)[i], expected[i]) << "byte " << i;
    }
}

TEST(ParameterRecord, MatchesTheLayoutByteForByte) {
    Module m;
    ASSERT_NE(m.handle, nullptr) << dlerror();
    auto* record = static_cast<const uint8_t*>(m.sym("_ZN4KLOR19dspdistortion_paramE"));
    ASSERT_NE(record, nullptr);

    std::vector<uint8_t> expected(56, 0);
    const float range[3] = {0.0f, 1.0f, 0.5f};  // min, max, default (byte 8)
    std::memcpy(&expected[0], range, 12);
    std::memcpy(&expected[12], "Level", 5);
    EXPECT_EQ(std::memcmp(record, expected.data(), 48), 0);

    const char* help;
    std::memcpy(&help, record + 48, 8);
    ASSERT_NE(help, nullptr);
    EXPECT_STREQ(help, "Distortion value.  0.0 to 1.0.  Default = 0.5.");
    EXPECT_EQ(std::strlen(help), 46u);
}

}  // namespace
