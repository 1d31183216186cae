// The effect as klor-fx drives it: the plug-in module loaded through the
// reference host, exactly as any host loads it, and instances that run
// blocks with the tool's dry/wet mix around them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fx_status.h"
#include "klor_host.h"

namespace klorfx {

class EffectRunner;

class EffectModule {
public:
    // Loads the module at `path`; failures carry kExitPlugin. With
    // `defaultPath` the message suggests --plugin.
    static Status load(const std::string& path, bool defaultPath, std::unique_ptr<EffectModule>* out);

    // A new instance at `level` with channel mask `mask`; kExitPlugin when
    // the create callback fails. Runners must not outlive their module.
    Status makeRunner(float level, uint16_t mask, std::unique_ptr<EffectRunner>* out);

    const std::string& path() const { return plugin_->path(); }

private:
    std::unique_ptr<klor::host::Plugin> plugin_;
};

class EffectRunner {
public:
    // out = (1 - mix) * in + mix * effect(in), sample by sample, with the
    // ends exact: mix 0 copies `in` bit for bit (the effect does not run),
    // mix 1 is the effect's own output bit for bit. `in` and `out` may be
    // the same buffer. kExitFailure when the read callback refuses a block.
    Status process(const float* in, float* out, unsigned frames, int channels, float mix);

    // Sets parameter 0; kExitPlugin when refused.
    Status setLevel(float level);

private:
    friend class EffectModule;
    explicit EffectRunner(std::unique_ptr<klor::host::Instance> instance)
        : instance_(std::move(instance)) {}

    std::unique_ptr<klor::host::Instance> instance_;
    std::vector<float> wet_;
};

}  // namespace klorfx
