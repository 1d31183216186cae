// Instance lifecycle and parameters, through the reference host.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "klor_host.h"

namespace {

using klor::host::Instance;
using klor::host::Plugin;

std::unique_ptr<Plugin> loadPlugin() {
    std::string error;
    auto plugin = Plugin::load(KLOR_PLUGIN_PATH, &error);
    EXPECT_NE(plugin, nullptr) << error;
    return plugin;
}

// A host operation table whose slot 10 records every call and then either
// forwards to the effect or fails with a chosen result.
struct SlotTenCall {
    void* instance;
    int index;
    float value;
};
std::vector<SlotTenCall> gSlotTenCalls;
KLOR_RESULT gSlotTenResult = KLOR_OK;

KLOR_RESULT recordingSetParameter(void* instance, int index, float value) {
    gSlotTenCalls.push_back({instance, index, value});
    if (gSlotTenResult != KLOR_OK) return gSlotTenResult;
    return klor::host::forwardSetParameter(instance, index, value);
}
const KLOR_DSP_HOST_OPERATIONS kRecordingOperations = {{}, &recordingSetParameter};

TEST(Create, PublishesGlobalThenPushesTheDefaultThroughSlotTen) {
    auto plugin = loadPlugin();
    ASSERT_TRUE(plugin);
    auto** global = static_cast<KLOR::Global**>(plugin->symbol("_ZN4KLOR7gGlobalE"));
    ASSERT_NE(global, nullptr);
    EXPECT_EQ(*global, nullptr) << "gGlobal is null until the first create";

    gSlotTenCalls.clear();
    gSlotTenResult = KLOR_OK;
    KLOR_RESULT result = -1;
    auto effect = Instance::create(*plugin, &result, &kRecordingOperations);
    ASSERT_EQ(result, KLOR_OK);
    ASSERT_TRUE(effect);
    EXPECT_EQ(*global, &plugin->global());
    ASSERT_EQ(gSlotTenCalls.size(), 1u);
    EXPECT_EQ(gSlotTenCalls[0].instance, static_cast<void*>(effect->object()));
    EXPECT_EQ(gSlotTenCalls[0].index, 0);
    EXPECT_EQ(gSlotTenCalls[0].value, 0.5f);
    EXPECT_EQ(effect->object()->level, 0.5f);
}

TEST(Create, PassesAFailingHostResultThroughUnchanged) {
    auto plugin = loadPlugin();
    ASSERT_TRUE(plugin);
    for (KLOR_RESULT failure : {KLOR_RESULT{KLOR_ERR_NO_MEMORY}, KLOR_RESULT{12345}, KLOR_RESULT{-7}}) {
        gSlotTenCalls.clear();
        gSlotTenResult = failure;
        KLOR_RESULT result = KLOR_OK;
        auto effect = Instance::create(*plugin, &result, &kRecordingOperations);
        EXPECT_EQ(result, failure);
        EXPECT_EQ(effect, nullptr);
        EXPECT_EQ(gSlotTenCalls.size(), 1u);
    }
    gSlotTenResult = KLOR_OK;
}

TEST(Create, ReadsTheParameterCountFromTheInstanceCopy) {
    // The effect walks the host's copy of the description: a host that
    // declares no parameters gets no slot-10 call, and level stays as the
    // host's allocation left it.
    auto plugin = loadPlugin();
    ASSERT_TRUE(plugin);
    gSlotTenCalls.clear();
    gSlotTenResult = KLOR_OK;
    const KLOR_DSP_DESCRIPTION_EX& d = plugin->description();
    alignas(16) KLOR_DSP_INSTANCE object;
    std::memset(&object, 0, sizeof object);
    object.operations = &kRecordingOperations;
    object.global = &plugin->global();
    std::memcpy(&object.description, &d, sizeof d);
    object.description.parameterCount = 0;
    object.level = 0.25f;
    EXPECT_EQ(d.createFn(&object.state), KLOR_OK);
    EXPECT_TRUE(gSlotTenCalls.empty());
    EXPECT_EQ(object.level, 0.25f);
}

TEST(Parameters, AnyIndexSetsAndGetsTheLevelUnclamped) {
    auto plugin = loadPlugin();
    ASSERT_TRUE(plugin);
    auto effect = Instance::create(*plugin, nullptr);
    ASSERT_TRUE(effect);
    for (int index : {0, 1, -1, 99}) {
        for (float level : {0.0f, 0.3f, 1.0f, 7.5f, -0.5f}) {
            ASSERT_EQ(effect->setParameter(index, level), KLOR_OK);
            float got = -1.0f;
            char text[KLOR_DSP_PARAMETER_TEXT_SIZE];
            ASSERT_EQ(effect->getParameter(index ^ 1, &got, text), KLOR_OK);
            EXPECT_EQ(got, level);
            EXPECT_EQ(effect->object()->level, level);
        }
    }
}

TEST(Parameters, TextIsTwoDecimals) {
    auto plugin = loadPlugin();
    ASSERT_TRUE(plugin);
    auto effect = Instance::create(*plugin, nullptr);
    ASSERT_TRUE(effect);
    struct Case {
        float level;
        const char* text;
    } cases[] = {{0.5f, "0.50"}, {1.0f, "1.00"}, {0.0f, "0.00"}, {0.125f, "0.12"}, {-0.25f, "-0.25"}};
    for (const Case& c : cases) {
        effect->setParameter(0, c.level);
        char text[KLOR_DSP_PARAMETER_TEXT_SIZE];
        std::memset(text, 'X', sizeof text);
        float value = 0;
        ASSERT_EQ(effect->getParameter(0, &value, text), KLOR_OK);
        EXPECT_STREQ(text, c.text);
        EXPECT_EQ(value, c.level);
    }
}

TEST(Parameters, TextNeverPassesTheDeclaredBufferSize) {
    auto plugin = loadPlugin();
    ASSERT_TRUE(plugin);
    auto effect = Instance::create(*plugin, nullptr);
    ASSERT_TRUE(effect);
    const float levels[] = {1e30f, -1e30f, std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::max()};
    for (float level : levels) {
        effect->setParameter(0, level);
        char buffer[KLOR_DSP_PARAMETER_TEXT_SIZE + 16];
        std::memset(buffer, 'G', sizeof buffer);
        ASSERT_EQ(effect->getParameter(0, nullptr, buffer), KLOR_OK);
        for (size_t i = KLOR_DSP_PARAMETER_TEXT_SIZE; i < sizeof buffer; ++i) {
            ASSERT_EQ(buffer[i], 'G') << "guard byte " << i << " overwritten for level " << level;
        }
        EXPECT_LT(std::strlen(buffer), static_cast<size_t>(KLOR_DSP_PARAMETER_TEXT_SIZE));
    }
}

TEST(Parameters, NullValueOrTextPointerIsSkipped) {
    auto plugin = loadPlugin();
    ASSERT_TRUE(plugin);
    auto effect = Instance::create(*plugin, nullptr);
    ASSERT_TRUE(effect);
    effect->setParameter(0, 0.75f);
    char text[KLOR_DSP_PARAMETER_TEXT_SIZE] = {};
    EXPECT_EQ(effect->getParameter(0, nullptr, text), KLOR_OK);
    EXPECT_STREQ(text, "0.75");
    float value = 0;
    EXPECT_EQ(effect->getParameter(0, &value, nullptr), KLOR_OK);
    EXPECT_EQ(value, 0.75f);
    EXPECT_EQ(effect->getParameter(0, nullptr, nullptr), KLOR_OK);
}

TEST(Callbacks, NullStateIsRefusedOrHarmless) {
    auto plugin = loadPlugin();
    ASSERT_TRUE(plugin);
    const KLOR_DSP_DESCRIPTION_EX& d = plugin->description();
    float sample = 0.5f, value = 0;
    char text[KLOR_DSP_PARAMETER_TEXT_SIZE];
    EXPECT_EQ(d.createFn(nullptr), KLOR_ERR_BAD_ARGUMENT);
    EXPECT_EQ(d.readFn(nullptr, &sample, &sample, 1, 1, 1), KLOR_ERR_BAD_ARGUMENT);
    EXPECT_EQ(d.setParameterFn(nullptr, 0, 0.1f), KLOR_ERR_BAD_ARGUMENT);
    EXPECT_EQ(d.getParameterFn(nullptr, 0, &value, text), KLOR_ERR_BAD_ARGUMENT);
    EXPECT_EQ(d.releaseFn(nullptr), KLOR_OK);
    EXPECT_EQ(d.resetFn(nullptr), KLOR_OK);
    EXPECT_EQ(sample, 0.5f);
}

TEST(Callbacks, ReachTheObjectFiftySixBytesBeforeTheState) {
    auto plugin = loadPlugin();
    ASSERT_TRUE(plugin);
    auto effect = Instance::create(*plugin, nullptr);
    ASSERT_TRUE(effect);
    auto* bytes = reinterpret_cast<uint8_t*>(effect->object());
    EXPECT_EQ(reinterpret_cast<uint8_t*>(effect->state()), bytes + 56);
    effect->setParameter(0, 0.3f);
    float level;
    std::memcpy(&level, bytes + 464, 4);
    EXPECT_EQ(level, 0.3f);
    // Release and reset touch nothing.
    std::vector<uint8_t> before(bytes, bytes + 472);
    EXPECT_EQ(effect->reset(), KLOR_OK);
    EXPECT_EQ(plugin->description().releaseFn(effect->state()), KLOR_OK);
    EXPECT_EQ(std::memcmp(before.data(), bytes, 472), 0);
}

}  // namespace
