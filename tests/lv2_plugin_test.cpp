// The LV2 bundle driven through lilv, the library most LV2 hosts use: its
// description, sample-exact processing at any block size in place and out of
// place, the level ramp, the bypass crossfade, and the wrapper's edge cases.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <lv2/core/lv2.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "bypass_fade.h"
#include "level_ramp.h"
#include "lv2_lilv_host.h"

namespace {

namespace fs = std::filesystem;
using lv2test::Buffers;
using lv2test::Lv2Instance;
using lv2test::Lv2World;
using lv2test::sameBits;
using lv2test::Stereo;

constexpr uint32_t kRampFrames = static_cast<uint32_t>(lv2test::kRate * klor::lv2::kRampSeconds);
constexpr uint32_t kFadeFrames = static_cast<uint32_t>(lv2test::kRate * klor::lv2::kFadeSeconds);

class Lv2Plugin : public ::testing::Test {
protected:
    static void SetUpTestSuite() { world_ = new Lv2World(); }
    static void TearDownTestSuite() {
        delete world_;
        world_ = nullptr;
    }
    void SetUp() override { ASSERT_NE(world_->plugin(), nullptr) << "bundle does not declare " << lv2test::kPluginUri; }

    static Lv2World* world_;
};
Lv2World* Lv2Plugin::world_ = nullptr;

Stereo constant(size_t frames, float left, float right) {
    Stereo s;
    s.left.assign(frames, left);
    s.right.assign(frames, right);
    return s;
}

// ---------------------------------------------------------------------------
// Description

std::string nodeText(const LilvNode* node) { return node ? lilv_node_as_string(node) : ""; }

TEST_F(Lv2Plugin, DescribesAStereoDistortionWithLevelAndBypass) {
    const LilvPlugin* p = world_->plugin();
    LilvWorld* w = world_->world();
    LilvNode* name = lilv_plugin_get_name(p);
    EXPECT_EQ(nodeText(name), "KLOR Distortion");
    lilv_node_free(name);

    LilvNode* uri = lilv_new_uri(w, lv2test::kPluginUri);
    LilvNode* rdfType = lilv_new_uri(w, "http://www.w3.org/1999/02/22-rdf-syntax-ns#type");
    LilvNode* distortion = lilv_new_uri(w, LV2_CORE__DistortionPlugin);
    EXPECT_TRUE(lilv_world_ask(w, uri, rdfType, distortion));
    LilvNode* minor = lilv_new_uri(w, LV2_CORE__minorVersion);
    LilvNode* micro = lilv_new_uri(w, LV2_CORE__microVersion);
    LilvNode* minorValue = lilv_world_get(w, uri, minor, nullptr);
    LilvNode* microValue = lilv_world_get(w, uri, micro, nullptr);
    ASSERT_TRUE(minorValue && lilv_node_is_int(minorValue));
    ASSERT_TRUE(microValue && lilv_node_is_int(microValue));
    EXPECT_EQ(lilv_node_as_int(minorValue) % 2, 0) << "an odd minor version marks a development release";
    for (LilvNode* n : {uri, rdfType, distortion, minor, micro, minorValue, microValue}) lilv_node_free(n);

    LilvNodes* required = lilv_plugin_get_required_features(p);
    EXPECT_EQ(lilv_nodes_size(required), 0u) << "any host must be able to load it";
    lilv_nodes_free(required);
    LilvNode* hardRt = lilv_new_uri(w, LV2_CORE__hardRTCapable);
    EXPECT_TRUE(lilv_plugin_has_feature(p, hardRt));
    lilv_node_free(hardRt);

    ASSERT_EQ(lilv_plugin_get_num_ports(p), 6u);
    LilvNode* audio = lilv_new_uri(w, LV2_CORE__AudioPort);
    LilvNode* control = lilv_new_uri(w, LV2_CORE__ControlPort);
    LilvNode* input = lilv_new_uri(w, LV2_CORE__InputPort);
    LilvNode* output = lilv_new_uri(w, LV2_CORE__OutputPort);
    EXPECT_EQ(lilv_plugin_get_num_ports_of_class(p, audio, input, nullptr), 2u);
    EXPECT_EQ(lilv_plugin_get_num_ports_of_class(p, audio, output, nullptr), 2u);
    EXPECT_EQ(lilv_plugin_get_num_ports_of_class(p, control, input, nullptr), 2u);

    struct Control {
        const char* symbol;
        float minimum, maximum, fallback;
    };
    for (const Control& c : {Control{"level", 0.0f, 1.0f, 0.5f}, Control{"enabled", 0.0f, 1.0f, 1.0f}}) {
        LilvNode* symbol = lilv_new_string(w, c.symbol);
        const LilvPort* port = lilv_plugin_get_port_by_symbol(p, symbol);
        lilv_node_free(symbol);
        ASSERT_NE(port, nullptr) << c.symbol;
        LilvNode *def = nullptr, *min = nullptr, *max = nullptr;
        lilv_port_get_range(p, port, &def, &min, &max);
        EXPECT_EQ(lilv_node_as_float(min), c.minimum) << c.symbol;
        EXPECT_EQ(lilv_node_as_float(max), c.maximum) << c.symbol;
        EXPECT_EQ(lilv_node_as_float(def), c.fallback) << c.symbol;
        lilv_node_free(def);
        lilv_node_free(min);
        lilv_node_free(max);
    }
    LilvNode* enabledDesignation = lilv_new_uri(w, LV2_CORE__enabled);
    const LilvPort* enabled = lilv_plugin_get_port_by_designation(p, input, enabledDesignation);
    ASSERT_NE(enabled, nullptr) << "bypass must carry lv2:designation lv2:enabled";
    EXPECT_EQ(nodeText(lilv_port_get_symbol(p, enabled)), "enabled");
    for (LilvNode* n : {audio, control, input, output, enabledDesignation}) lilv_node_free(n);
}

// ---------------------------------------------------------------------------
// Constant level: sample for sample the reference host's output

// (block frames, buffer sharing, maxBlockLength option or 0 for none)
class Lv2Blocks : public Lv2Plugin,
                  public ::testing::WithParamInterface<std::tuple<uint32_t, Buffers, uint32_t>> {};

TEST_P(Lv2Blocks, MatchesTheReferenceHostAtEveryBlockSize) {
    const uint32_t block = std::get<0>(GetParam());
    const Buffers buffers = std::get<1>(GetParam());
    const uint32_t maxBlock = std::get<2>(GetParam());
    // Three and a bit blocks of the largest size: several chunks per run
    // when the plug-in has no maximum, a short last block every time.
    const Stereo in = lv2test::testSignal(3 * 4096 + 17);
    for (float level : {0.0f, 0.7f, 1.0f}) {
        Lv2Instance host(*world_, maxBlock);
        ASSERT_TRUE(host.ok());
        host.level = level;
        const Stereo out = host.stream(in, block, buffers);
        const Stereo expected = lv2test::referenceRender(in, level);
        EXPECT_TRUE(sameBits(out.left, expected.left)) << "left, level " << level;
        EXPECT_TRUE(sameBits(out.right, expected.right)) << "right, level " << level;
    }
}

INSTANTIATE_TEST_SUITE_P(
    InPlaceAndNot, Lv2Blocks,
    ::testing::Combine(::testing::Values(1u, 64u, 4096u),
                       ::testing::Values(Buffers::Separate, Buffers::InPlace, Buffers::Crossed),
                       ::testing::Values(0u, 4096u, 1u << 20)),
    [](const ::testing::TestParamInfo<Lv2Blocks::ParamType>& info) {
        return "block" + std::to_string(std::get<0>(info.param)) +
               "_" + lv2test::buffersName(std::get<1>(info.param)) + "_max" +
               std::to_string(std::get<2>(info.param));
    });

TEST_F(Lv2Plugin, LevelsOutsideTheDeclaredRangeAreClampedAndNaNIsIgnored) {
    // The effect itself would take -0.5 and turn 1.5 into an infinity; the
    // wrapper keeps the level inside the port's 0..1 as a host would.
    const Stereo in = lv2test::testSignal(2048);
    struct Case {
        float requested, effective;
    };
    for (const Case& c : {Case{-0.5f, 0.0f}, Case{1.5f, 1.0f}, Case{-INFINITY, 0.0f}, Case{INFINITY, 1.0f}}) {
        Lv2Instance host(*world_);
        ASSERT_TRUE(host.ok());
        host.level = c.requested;
        const Stereo out = host.stream(in, 256, Buffers::Separate);
        const Stereo expected = lv2test::referenceRender(in, c.effective);
        EXPECT_TRUE(sameBits(out.left, expected.left)) << "level " << c.requested;
        EXPECT_TRUE(sameBits(out.right, expected.right)) << "level " << c.requested;
    }

    Lv2Instance host(*world_);
    ASSERT_TRUE(host.ok());
    host.level = 0.3f;
    const Stereo out = host.stream(in, 256, Buffers::Separate, [&](size_t frame) {
        if (frame == 1024) host.level = NAN;
    });
    const Stereo expected = lv2test::referenceRender(in, 0.3f);
    EXPECT_TRUE(sameBits(out.left, expected.left)) << "a NaN level keeps the last one";
}

TEST_F(Lv2Plugin, ActivateStartsAFreshStreamWithoutARamp) {
    const Stereo in = lv2test::testSignal(1024);
    Lv2Instance host(*world_);
    ASSERT_TRUE(host.ok());
    host.level = 0.2f;
    host.stream(in, 128, Buffers::Separate);

    lilv_instance_deactivate(host.lilv());
    host.level = 0.9f;
    lilv_instance_activate(host.lilv());
    const Stereo out = host.stream(in, 128, Buffers::Separate);
    const Stereo expected = lv2test::referenceRender(in, 0.9f);
    EXPECT_TRUE(sameBits(out.left, expected.left));
    EXPECT_TRUE(sameBits(out.right, expected.right));
}

TEST_F(Lv2Plugin, InstancesKeepTheirOwnLevelAndOutliveEachOther) {
    const Stereo in = lv2test::testSignal(4096);
    // The first instance is created last, so that the module's gGlobal was
    // last set by the instance that goes first.
    Lv2Instance second(*world_);
    auto first = std::make_unique<Lv2Instance>(*world_);
    ASSERT_TRUE(first->ok());
    ASSERT_TRUE(second.ok());
    first->level = 0.3f;
    second.level = 0.9f;

    Stereo outFirst = in, outSecond = in;
    for (size_t pos = 0; pos < in.frames(); pos += 512) {
        first->connect(&in.left[pos], &in.right[pos], &outFirst.left[pos], &outFirst.right[pos]);
        first->run(512);
        second.connect(&in.left[pos], &in.right[pos], &outSecond.left[pos], &outSecond.right[pos]);
        second.run(512);
    }
    EXPECT_TRUE(sameBits(outFirst.left, lv2test::referenceRender(in, 0.3f).left));
    EXPECT_TRUE(sameBits(outSecond.left, lv2test::referenceRender(in, 0.9f).left));

    // The module load, and with it the Global record, is shared: freeing
    // the first instance leaves the second one working, and the module's
    // KLOR::gGlobal pointing at a live record.
    first.reset();
    const Stereo after = second.stream(in, 512, Buffers::Separate);
    EXPECT_TRUE(sameBits(after.right, lv2test::referenceRender(in, 0.9f).right));

    const std::string inBundle = std::string(KLOR_LV2_BUNDLE_DIR) + "/libklor_distortion.so";
    void* module = dlopen(inBundle.c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(module, nullptr) << "the wrapper did not load the module from its bundle";
    auto** global = static_cast<KLOR::Global**>(dlsym(module, "_ZN4KLOR7gGlobalE"));
    ASSERT_NE(global, nullptr);
    ASSERT_NE(*global, nullptr);
    EXPECT_NE((*global)->memPool, nullptr) << "read through gGlobal (a freed record shows under ASan)";
    dlclose(module);
}

// ---------------------------------------------------------------------------
// Level ramp

// The level a left output sample of input 0.5 was shaped with:
// y = (k + 1) / (k + 2)  ->  k = (2y - 1) / (1 - y),  level = k / (k + 2).
double impliedLevel(float y) {
    const double k = (2.0 * y - 1.0) / (1.0 - y);
    return k / (k + 2.0);
}

// (from, to)
class Lv2Ramp : public Lv2Plugin, public ::testing::WithParamInterface<std::pair<float, float>> {};

TEST_P(Lv2Ramp, MovesInBoundedStepsOverAboutTenMillisecondsWhateverTheBlockSize) {
    const float from = GetParam().first;
    const float to = GetParam().second;
    const size_t change = 4096;
    const Stereo in = constant(3 * 4096, 0.5f, -0.25f);
    const Stereo before = lv2test::referenceRender(in, from);
    const Stereo after = lv2test::referenceRender(in, to);
    // One step may move the level by at most the whole change spread over
    // the ramp's steps (one step fewer, for rounding of the step count).
    const double stepBound = std::fabs(to - from) / (kRampFrames / double(klor::lv2::kStepFrames) - 1.0) + 1e-4;

    std::vector<Stereo> outputs;
    for (uint32_t block : {1u, 64u, 4096u}) {
        SCOPED_TRACE("block " + std::to_string(block));
        Lv2Instance host(*world_);
        ASSERT_TRUE(host.ok());
        host.level = from;
        const Stereo out = host.stream(in, block, block == 64 ? Buffers::InPlace : Buffers::Separate, [&](size_t frame) {
            if (frame == change) host.level = to;
        });

        std::vector<float> head(out.left.begin(), out.left.begin() + change);
        EXPECT_TRUE(sameBits(head, std::vector<float>(before.left.begin(), before.left.begin() + change)));
        EXPECT_TRUE(sameBits(out.left, after.left, change + kRampFrames));
        EXPECT_TRUE(sameBits(out.right, after.right, change + kRampFrames));

        const double direction = to > from ? 1.0 : -1.0;
        double previous = impliedLevel(out.left[change - 1]);
        double largest = 0.0;
        size_t lastOff = change;
        for (size_t f = change; f < change + kRampFrames + 64; ++f) {
            const double level = impliedLevel(out.left[f]);
            EXPECT_GE((level - previous) * direction, -1e-5) << "not monotonic at frame " << f;
            largest = std::max(largest, std::fabs(level - previous));
            if (lv2test::bitsOf(out.left[f]) != lv2test::bitsOf(after.left[f])) lastOff = f;
            previous = level;
        }
        EXPECT_LE(largest, stepBound) << "the level jumped";
        EXPECT_GT(largest, 0.0);
        EXPECT_NE(lv2test::bitsOf(out.left[change]), lv2test::bitsOf(after.left[change]))
            << "the first frame after the change is already at the target";
        EXPECT_GE(lastOff, change + kRampFrames - 2 * klor::lv2::kStepFrames)
            << "the ramp is much shorter than 10 ms";
        outputs.push_back(out);
    }
    for (size_t i = 1; i < outputs.size(); ++i) {
        EXPECT_TRUE(sameBits(outputs[i].left, outputs[0].left)) << "the ramp depends on the block size";
        EXPECT_TRUE(sameBits(outputs[i].right, outputs[0].right)) << "the ramp depends on the block size";
    }
}

INSTANTIATE_TEST_SUITE_P(UpAndDown, Lv2Ramp,
                         ::testing::Values(std::make_pair(0.2f, 0.8f), std::make_pair(0.8f, 0.2f),
                                           std::make_pair(0.0f, 0.95f)));

TEST_F(Lv2Plugin, ANewLevelDuringARampTurnsWithoutAJump) {
    const Stereo in = constant(8192, 0.5f, 0.5f);
    Lv2Instance host(*world_);
    ASSERT_TRUE(host.ok());
    host.level = 0.2f;
    const Stereo out = host.stream(in, 64, Buffers::Separate, [&](size_t frame) {
        if (frame == 2048) host.level = 0.8f;
        if (frame == 2048 + 192) host.level = 0.1f;
    });
    const double stepBound = 0.7 / (kRampFrames / double(klor::lv2::kStepFrames) - 1.0) + 1e-4;
    for (size_t f = 2048; f < 2048 + 192 + kRampFrames; ++f) {
        EXPECT_LE(std::fabs(impliedLevel(out.left[f]) - impliedLevel(out.left[f - 1])), stepBound)
            << "frame " << f;
    }
    EXPECT_TRUE(sameBits(out.left, lv2test::referenceRender(in, 0.1f).left, 2048 + 192 + kRampFrames));
}

// ---------------------------------------------------------------------------
// Bypass crossfade

TEST_F(Lv2Plugin, BypassCrossfadesThenGivesTheInputExactlyAndBack) {
    const Stereo in = lv2test::testSignal(4 * 4096);
    const Stereo wet = lv2test::referenceRender(in, 1.0f);
    const size_t off = 4096, on = 8192;

    for (uint32_t block : {1u, 64u, 4096u}) {
        SCOPED_TRACE("block " + std::to_string(block));
        Lv2Instance host(*world_);
        ASSERT_TRUE(host.ok());
        host.level = 1.0f;
        const Stereo out = host.stream(in, block, block == 64 ? Buffers::InPlace : Buffers::Crossed, [&](size_t frame) {
            if (frame == off) host.enabled = 0.0f;
            if (frame == on) host.enabled = 1.0f;
        });

        std::vector<float> head(out.left.begin(), out.left.begin() + off);
        EXPECT_TRUE(sameBits(head, std::vector<float>(wet.left.begin(), wet.left.begin() + off)));
        for (size_t f = off + kFadeFrames; f < on; ++f) {
            ASSERT_EQ(lv2test::bitsOf(out.left[f]), lv2test::bitsOf(in.left[f])) << "frame " << f;
            ASSERT_EQ(lv2test::bitsOf(out.right[f]), lv2test::bitsOf(in.right[f])) << "frame " << f;
        }
        EXPECT_TRUE(sameBits(out.left, wet.left, on + kFadeFrames));
        EXPECT_TRUE(sameBits(out.right, wet.right, on + kFadeFrames));

        // Inside a fade every sample lies between dry and wet, with a wet
        // share that moves one way only and starts next to where it was.
        for (size_t start : {off, on}) {
            const bool fadingOut = start == off;
            double lastShare = fadingOut ? 1.0 : 0.0;
            size_t lastFrame = start - 1;
            for (size_t f = start; f < start + kFadeFrames; ++f) {
                const double dry = in.left[f], shaped = wet.left[f];
                if (std::fabs(shaped - dry) < 1e-2) continue;
                const double share = (out.left[f] - dry) / (shaped - dry);
                EXPECT_GE(share, -1e-4) << "frame " << f;
                EXPECT_LE(share, 1.0 + 1e-4) << "frame " << f;
                if (fadingOut) {
                    EXPECT_LE(share, lastShare + 1e-4) << "frame " << f;
                } else {
                    EXPECT_GE(share, lastShare - 1e-4) << "frame " << f;
                }
                // The share moves by 1 / kFadeFrames a frame; a few frames
                // may lie between two that can be measured.
                EXPECT_LE(std::fabs(share - lastShare), double(f - lastFrame) / kFadeFrames + 1e-4)
                    << "frame " << f << ": the crossfade jumped";
                lastShare = share;
                lastFrame = f;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// The wrapper module on its own: entry point, failures, a moved bundle

class Lv2Module : public ::testing::Test {
protected:
    void SetUp() override {
        handle_ = dlopen(KLOR_LV2_WRAPPER_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << dlerror();
        auto entry = reinterpret_cast<LV2_Descriptor_Function>(dlsym(handle_, "lv2_descriptor"));
        ASSERT_NE(entry, nullptr);
        descriptor_ = entry(0);
        ASSERT_NE(descriptor_, nullptr);
        EXPECT_EQ(entry(1), nullptr);
    }
    void TearDown() override {
        if (handle_ != nullptr) dlclose(handle_);
    }

    void* handle_ = nullptr;
    const LV2_Descriptor* descriptor_ = nullptr;
};

TEST_F(Lv2Module, DeclaresTheBundleUri) { EXPECT_STREQ(descriptor_->URI, lv2test::kPluginUri); }

TEST_F(Lv2Module, RefusesToInstantiateWithoutItsModuleOrWithABadRate) {
    const fs::path empty = fs::path(KLOR_TEST_BINARY_DIR) / "lv2_empty_bundle";
    fs::create_directories(empty);
    const LV2_Feature* none[] = {nullptr};
    EXPECT_EQ(descriptor_->instantiate(descriptor_, 48000.0, (empty.string() + "/").c_str(), none), nullptr);
    EXPECT_EQ(descriptor_->instantiate(descriptor_, 48000.0, nullptr, none), nullptr);
    for (double rate : {0.0, -48000.0, double(NAN), double(INFINITY)}) {
        EXPECT_EQ(descriptor_->instantiate(descriptor_, rate, KLOR_LV2_BUNDLE_DIR "/", none), nullptr)
            << "rate " << rate;
    }
}

TEST_F(Lv2Module, FindsTheEffectInsideABundleCopiedElsewhere) {
    // Hosts pass the bundle's own directory; the module is looked up there,
    // not in the build tree, and without a trailing slash as well.
    const fs::path moved = fs::path(KLOR_TEST_BINARY_DIR) / "lv2_moved" / "klor-distortion.lv2";
    fs::remove_all(moved.parent_path());
    fs::create_directories(moved.parent_path());
    fs::copy(KLOR_LV2_BUNDLE_DIR, moved, fs::copy_options::recursive);

    const LV2_Feature* none[] = {nullptr};
    LV2_Handle h = descriptor_->instantiate(descriptor_, 44100.0, moved.c_str(), none);
    ASSERT_NE(h, nullptr);
    const Stereo in = lv2test::testSignal(700);
    Stereo out = constant(700, 0.0f, 0.0f);
    float level = 0.6f, enabled = 1.0f;
    descriptor_->connect_port(h, 0, const_cast<float*>(in.left.data()));
    descriptor_->connect_port(h, 1, const_cast<float*>(in.right.data()));
    descriptor_->connect_port(h, 2, out.left.data());
    descriptor_->connect_port(h, 3, out.right.data());
    descriptor_->connect_port(h, 4, &level);
    descriptor_->connect_port(h, 5, &enabled);
    descriptor_->activate(h);
    descriptor_->run(h, 700);
    descriptor_->deactivate(h);
    descriptor_->cleanup(h);
    const Stereo expected = lv2test::referenceRender(in, 0.6f);
    EXPECT_TRUE(sameBits(out.left, expected.left));
    EXPECT_TRUE(sameBits(out.right, expected.right));
}

TEST_F(Lv2Module, RunWithAnAudioPortUnconnectedWritesNothing) {
    const LV2_Feature* none[] = {nullptr};
    LV2_Handle h = descriptor_->instantiate(descriptor_, 48000.0, KLOR_LV2_BUNDLE_DIR "/", none);
    ASSERT_NE(h, nullptr);
    std::vector<float> in(64, 0.5f), out(64, -3.0f);
    descriptor_->connect_port(h, 0, in.data());
    descriptor_->connect_port(h, 2, out.data());
    descriptor_->connect_port(h, 3, out.data());
    descriptor_->activate(h);
    descriptor_->run(h, 64);  // in_r and both controls never connected
    descriptor_->cleanup(h);
    for (float v : out) EXPECT_EQ(v, -3.0f);
}

}  // namespace
