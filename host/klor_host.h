// The reference host: loads a KLOR plug-in module at run time and drives it
// exactly as an audio engine does, through the entry point and the
// description's callbacks. Tests, tools and benchmarks use it; it is also the
// example to read when writing a host of your own.
//
//   std::string error;
//   auto plugin = klor::host::Plugin::load("libklor_distortion.so", &error);
//   auto effect = klor::host::Instance::create(*plugin, nullptr);
//   effect->setParameter(0, 0.7f);
//   effect->process(in, out, frames, channels);
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "klor/klor_dsp.h"
#include "klor/klor_global.h"
#include "klor/klor_memory.h"

namespace klor {
namespace host {

// Why a module could not be used.
enum class LoadStatus {
    Ok,
    CannotOpen,      // dlopen failed (missing file, not a shared object, ...)
    NoEntryPoint,    // KLORGetDSPDescriptionEx is not exported
    BadDescription,  // entry point returned null or an impossible record
};

const char* loadStatusText(LoadStatus status);

// One loaded module with the Global record (and memory pool) the host owns
// for it. Not copyable; unloading happens in the destructor, after every
// Instance made from it is gone.
class Plugin {
public:
    static std::unique_ptr<Plugin> load(const std::string& path, std::string* error,
                                        LoadStatus* status = nullptr);
    ~Plugin();
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    const KLOR_DSP_DESCRIPTION_EX& description() const { return *description_; }
    const std::string& path() const { return path_; }
    void* symbol(const char* name) const;

    // The host's record: zero-filled (so its allocatorParams block is empty
    // and the module fills in the defaults at first use), with memPool set.
    KLOR::Global& global() { return *global_; }
    // The pool in Global.memPool, constructed by the module's own exported
    // constructor, so it starts in callback mode on the system heap; null
    // when the module exports no pool. Its lock, created at first use, is
    // the module's single memory-form critical section (gMemoryCrit): keep
    // one pool per loaded module using that form at a time.
    KLOR::MemPool* pool() { return pool_; }

    // Makes KLOR::gGlobal of the module point at this host's record, for
    // support calls made before any instance exists.
    bool publishGlobal();

    // Lays the pool over `memory` (region mode) and clears its callbacks so
    // requests are served from the region: init alone leaves the default
    // callbacks in place, and the pool keeps using the heap until all three
    // are null. `memory` stays the caller's and must outlive the pool's use
    // of it; allocations made before must not be released after (each mode
    // releases only its own). Publishes this host's Global first, since the
    // region binds its parameters through KLOR::gGlobal. Returns the pool's
    // init result, or KLOR_ERR_NOT_FOUND when the module has no pool.
    KLOR_RESULT useRegion(void* memory, int length, int unit = 256);

    // Back to the system heap: closes the pool, which restores the default
    // callbacks and empties its accounts. Every allocation from the region
    // must have been released first. KLOR_ERR_NOT_FOUND when the module has
    // no pool.
    KLOR_RESULT useHeap();

private:
    Plugin() = default;

    std::string path_;
    void* handle_ = nullptr;
    KLOR_DSP_DESCRIPTION_EX* description_ = nullptr;
    std::unique_ptr<KLOR::Global> global_;
    KLOR::MemPool* pool_ = nullptr;
    void* poolStorage_ = nullptr;
};

// The operation table slot 10 that every instance gets by default: hands the
// value to the description's set-parameter callback for the same object.
KLOR_RESULT forwardSetParameter(void* instance, int index, float value);

// One effect instance: a zeroed, 16-byte-aligned object of the size the
// description declares, with the host's part filled in.
class Instance {
public:
    // Creates and runs the create callback. `result` receives its result;
    // null is returned when it failed. `operations` replaces the default
    // operation table (tests use this to watch or fail slot 10).
    static std::unique_ptr<Instance> create(Plugin& plugin, KLOR_RESULT* result,
                                            const KLOR_DSP_HOST_OPERATIONS* operations = nullptr);
    ~Instance();  // release callback, then the object is freed
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    KLOR_RESULT setParameter(int index, float value);
    KLOR_RESULT getParameter(int index, float* value, char* text);
    KLOR_RESULT reset();
    // in and out may be the same buffer.
    KLOR_RESULT process(const float* in, float* out, unsigned int frames, int channels);

    void setChannelMask(uint16_t mask) { object_->state.channelMask = mask; }
    uint16_t channelMask() const { return object_->state.channelMask; }
    KLOR_DSP_INSTANCE* object() { return object_; }
    KLOR_DSP_STATE* state() { return &object_->state; }
    const KLOR_DSP_DESCRIPTION_EX& description() const { return plugin_.description(); }

private:
    Instance(Plugin& plugin, KLOR_DSP_INSTANCE* object) : plugin_(plugin), object_(object) {}

    Plugin& plugin_;
    KLOR_DSP_INSTANCE* object_;
};

}  // namespace host
}  // namespace klor
