// A small LV2 host on lilv for the tests: loads only the build tree's bundle,
// offers urid:map and (optionally) the maximum block length, connects every
// port and runs a stereo signal through in blocks of a chosen size.
#pragma once

#include <gtest/gtest.h>
#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/options/options.h>
#include <lv2/urid/urid.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <memory>
#include <string>
#include <vector>

#include "lv2_test_support.h"

namespace lv2test {

class UridMap {
public:
    UridMap() {
        feature_.URI = LV2_URID__map;
        feature_.data = &map_;
        map_.handle = this;
        map_.map = &UridMap::map;
    }
    UridMap(const UridMap&) = delete;
    UridMap& operator=(const UridMap&) = delete;

    LV2_URID id(const char* uri) { return map(this, uri); }
    const LV2_Feature* feature() const { return &feature_; }

private:
    static LV2_URID map(LV2_URID_Map_Handle handle, const char* uri) {
        auto* self = static_cast<UridMap*>(handle);
        auto it = std::find(self->uris_.begin(), self->uris_.end(), uri);
        if (it != self->uris_.end()) return static_cast<LV2_URID>(it - self->uris_.begin() + 1);
        self->uris_.push_back(uri);
        return static_cast<LV2_URID>(self->uris_.size());
    }

    std::vector<std::string> uris_;
    LV2_URID_Map map_;
    LV2_Feature feature_;
};

// The lilv world holding just this bundle; the plug-in is null when the
// bundle does not declare it.
class Lv2World {
public:
    Lv2World() : world_(lilv_world_new()) {
        LilvNode* bundle = lilv_new_file_uri(world_, nullptr, (std::string(KLOR_LV2_BUNDLE_DIR) + "/").c_str());
        lilv_world_load_bundle(world_, bundle);
        lilv_node_free(bundle);
        LilvNode* uri = lilv_new_uri(world_, kPluginUri);
        plugin_ = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world_), uri);
        lilv_node_free(uri);
    }
    ~Lv2World() { lilv_world_free(world_); }
    Lv2World(const Lv2World&) = delete;
    Lv2World& operator=(const Lv2World&) = delete;

    LilvWorld* world() const { return world_; }
    const LilvPlugin* plugin() const { return plugin_; }

private:
    LilvWorld* world_;
    const LilvPlugin* plugin_ = nullptr;
};

// How a host hands audio buffers to the plug-in.
enum class Buffers { Separate, InPlace, Crossed };

inline const char* buffersName(Buffers b) {
    switch (b) {
        case Buffers::Separate: return "separate";
        case Buffers::InPlace: return "in_place";
        case Buffers::Crossed: return "crossed";
    }
    return "?";
}
inline void PrintTo(Buffers b, std::ostream* os) { *os << buffersName(b); }

// One instance with its control values. maxBlock 0 offers no options
// feature, so the plug-in falls back to its own chunk size.
class Lv2Instance {
public:
    Lv2Instance(const Lv2World& world, uint32_t maxBlock = 0, double rate = kRate)
        : world_(world.world()), plugin_(world.plugin()), maxBlock_(static_cast<int32_t>(maxBlock)) {
        options_[0] = {LV2_OPTIONS_INSTANCE, 0, map_.id(LV2_BUF_SIZE__maxBlockLength),
                       sizeof(int32_t), map_.id(LV2_ATOM__Int), &maxBlock_};
        options_[1] = {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr};
        optionsFeature_ = {LV2_OPTIONS__options, options_};
        features_ = {map_.feature(), maxBlock > 0 ? &optionsFeature_ : nullptr, nullptr};
        instance_ = lilv_plugin_instantiate(plugin_, rate, features_.data());
        if (instance_ == nullptr) return;
        lilv_instance_connect_port(instance_, index("level"), &level);
        lilv_instance_connect_port(instance_, index("enabled"), &enabled);
        lilv_instance_activate(instance_);
    }
    ~Lv2Instance() {
        if (instance_ == nullptr) return;
        lilv_instance_deactivate(instance_);
        lilv_instance_free(instance_);
    }
    Lv2Instance(const Lv2Instance&) = delete;
    Lv2Instance& operator=(const Lv2Instance&) = delete;

    bool ok() const { return instance_ != nullptr; }
    LilvInstance* lilv() const { return instance_; }

    uint32_t index(const char* symbol) const {
        LilvNode* node = lilv_new_string(world_, symbol);
        const LilvPort* port = lilv_plugin_get_port_by_symbol(plugin_, node);
        lilv_node_free(node);
        EXPECT_NE(port, nullptr) << "no port " << symbol;
        return port ? lilv_port_get_index(plugin_, port) : UINT32_MAX;
    }

    void connect(const float* inL, const float* inR, float* outL, float* outR) {
        lilv_instance_connect_port(instance_, index("in_l"), const_cast<float*>(inL));
        lilv_instance_connect_port(instance_, index("in_r"), const_cast<float*>(inR));
        lilv_instance_connect_port(instance_, index("out_l"), outL);
        lilv_instance_connect_port(instance_, index("out_r"), outR);
    }
    void run(uint32_t frames) { lilv_instance_run(instance_, frames); }

    // Runs `in` through in blocks of `block` frames (the last may be
    // shorter); `beforeBlock(frame)` may move the controls first.
    Stereo stream(const Stereo& in, uint32_t block, Buffers buffers,
                  const std::function<void(size_t)>& beforeBlock = nullptr) {
        // Separate: outputs start as garbage. In place: each output buffer
        // starts as the input of its own side. Crossed: each output buffer
        // starts as the input of the other side (in_l shares with out_r).
        Stereo out = in;
        if (buffers == Buffers::Separate) {
            std::fill(out.left.begin(), out.left.end(), -7.0f);
            std::fill(out.right.begin(), out.right.end(), -7.0f);
        } else if (buffers == Buffers::Crossed) {
            std::swap(out.left, out.right);
        }
        for (size_t pos = 0; pos < in.frames(); pos += block) {
            const uint32_t n = static_cast<uint32_t>(std::min<size_t>(block, in.frames() - pos));
            if (beforeBlock) beforeBlock(pos);
            switch (buffers) {
                case Buffers::Separate:
                    connect(&in.left[pos], &in.right[pos], &out.left[pos], &out.right[pos]);
                    break;
                case Buffers::InPlace:
                    connect(&out.left[pos], &out.right[pos], &out.left[pos], &out.right[pos]);
                    break;
                case Buffers::Crossed:
                    connect(&out.right[pos], &out.left[pos], &out.left[pos], &out.right[pos]);
                    break;
            }
            run(n);
        }
        return out;
    }

    float level = 0.5f;
    float enabled = 1.0f;

private:
    LilvWorld* world_;
    const LilvPlugin* plugin_;
    UridMap map_;
    int32_t maxBlock_;
    LV2_Options_Option options_[2];
    LV2_Feature optionsFeature_;
    std::vector<const LV2_Feature*> features_;
    LilvInstance* instance_ = nullptr;
};

}  // namespace lv2test
