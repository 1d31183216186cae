#include "klor_host.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace klor {
namespace host {

namespace {

constexpr char kEntryPoint[] = "KLORGetDSPDescriptionEx";
constexpr char kGlobalSymbol[] = "_ZN4KLOR7gGlobalE";
constexpr char kPoolConstructor[] = "_ZN4KLOR7MemPoolC1Ev";
constexpr char kPoolDestructor[] = "_ZN4KLOR7MemPoolD1Ev";
constexpr char kPoolInit[] = "_ZN4KLOR7MemPool4initEPvii";
constexpr char kPoolClose[] = "_ZN4KLOR7MemPool5closeEv";

// Member functions called through their exported symbols: the object is
// the first argument, as the platform's C++ ABI passes `this`.
typedef void (*PoolLifecycleFn)(void* pool);
typedef KLOR_RESULT (*PoolInitFn)(void* pool, void* memory, int length, int unit);

constexpr size_t kInstanceAlignment = 16;

const KLOR_DSP_HOST_OPERATIONS kDefaultOperations = {{}, &forwardSetParameter};

}  // namespace

const char* loadStatusText(LoadStatus status) {
    switch (status) {
        case LoadStatus::Ok: return "loaded";
        case LoadStatus::CannotOpen: return "cannot open the module";
        case LoadStatus::NoEntryPoint: return "the module has no KLORGetDSPDescriptionEx";
        case LoadStatus::BadDescription: return "the module returned an unusable description";
    }
    return "unknown";
}

std::unique_ptr<Plugin> Plugin::load(const std::string& path, std::string* error,
                                     LoadStatus* status) {
    auto fail = [&](LoadStatus why, const std::string& detail) -> std::unique_ptr<Plugin> {
        if (status) *status = why;
        if (error) *error = path + ": " + loadStatusText(why) + (detail.empty() ? "" : ": " + detail);
        return nullptr;
    };

    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        return fail(LoadStatus::CannotOpen, why ? why : "");
    }
    auto entry = reinterpret_cast<KLOR_DSP_DESCRIPTION_EX* (*)()>(dlsym(handle, kEntryPoint));
    if (entry == nullptr) {
        dlclose(handle);
        return fail(LoadStatus::NoEntryPoint, "");
    }
    KLOR_DSP_DESCRIPTION_EX* description = entry();
    if (description == nullptr || description->instanceSize < static_cast<int32_t>(sizeof(KLOR_DSP_INSTANCE)) ||
        description->readFn == nullptr || description->createFn == nullptr) {
        dlclose(handle);
        return fail(LoadStatus::BadDescription, "");
    }

    std::unique_ptr<Plugin> plugin(new Plugin());
    plugin->path_ = path;
    plugin->handle_ = handle;
    plugin->description_ = description;
    plugin->global_.reset(new KLOR::Global());
    std::memset(plugin->global_.get(), 0, sizeof(KLOR::Global));

    auto construct = reinterpret_cast<PoolLifecycleFn>(dlsym(handle, kPoolConstructor));
    if (construct != nullptr) {
        plugin->poolStorage_ = std::aligned_alloc(16, sizeof(KLOR::MemPool));
        if (plugin->poolStorage_ != nullptr) {
            std::memset(plugin->poolStorage_, 0, sizeof(KLOR::MemPool));
            construct(plugin->poolStorage_);
            plugin->pool_ = static_cast<KLOR::MemPool*>(plugin->poolStorage_);
            plugin->global_->memPool = plugin->pool_;
        }
    }
    if (status) *status = LoadStatus::Ok;
    return plugin;
}

Plugin::~Plugin() {
    if (pool_ != nullptr) {
        auto destruct = reinterpret_cast<PoolLifecycleFn>(dlsym(handle_, kPoolDestructor));
        if (destruct != nullptr) destruct(pool_);
    }
    std::free(poolStorage_);
    if (handle_ != nullptr) dlclose(handle_);
}

void* Plugin::symbol(const char* name) const { return dlsym(handle_, name); }

bool Plugin::publishGlobal() {
    auto slot = static_cast<KLOR::Global**>(symbol(kGlobalSymbol));
    if (slot == nullptr) return false;
    *slot = global_.get();
    return true;
}

KLOR_RESULT Plugin::useRegion(void* memory, int length, int unit) {
    auto init = reinterpret_cast<PoolInitFn>(symbol(kPoolInit));
    if (pool_ == nullptr || init == nullptr) return KLOR_ERR_NOT_FOUND;
    publishGlobal();
    const KLOR_RESULT result = init(pool_, memory, length, unit);
    if (result == KLOR_OK) {
        pool_->mallocCallback = nullptr;
        pool_->reallocCallback = nullptr;
        pool_->freeCallback = nullptr;
    }
    return result;
}

KLOR_RESULT Plugin::useHeap() {
    auto close = reinterpret_cast<PoolLifecycleFn>(symbol(kPoolClose));
    if (pool_ == nullptr || close == nullptr) return KLOR_ERR_NOT_FOUND;
    close(pool_);
    return KLOR_OK;
}

KLOR_RESULT forwardSetParameter(void* instance, int index, float value) {
    auto object = static_cast<KLOR_DSP_INSTANCE*>(instance);
    return object->description.setParameterFn(&object->state, index, value);
}

std::unique_ptr<Instance> Instance::create(Plugin& plugin, KLOR_RESULT* result,
                                           const KLOR_DSP_HOST_OPERATIONS* operations) {
    const size_t declared = static_cast<size_t>(plugin.description().instanceSize);
    const size_t size = (declared + kInstanceAlignment - 1) / kInstanceAlignment * kInstanceAlignment;
    void* memory = std::aligned_alloc(kInstanceAlignment, size);
    if (memory == nullptr) {
        if (result) *result = KLOR_ERR_NO_MEMORY;
        return nullptr;
    }
    std::memset(memory, 0, size);
    auto object = static_cast<KLOR_DSP_INSTANCE*>(memory);
    object->operations = operations ? operations : &kDefaultOperations;
    object->global = &plugin.global();
    std::memcpy(&object->description, &plugin.description(), sizeof(KLOR_DSP_DESCRIPTION_EX));
    object->state.channelMask = 0xFFFF;

    std::unique_ptr<Instance> instance(new Instance(plugin, object));
    const KLOR_RESULT created = plugin.description().createFn(&object->state);
    if (result) *result = created;
    if (created != KLOR_OK) return nullptr;  // the destructor releases and frees
    return instance;
}

Instance::~Instance() {
    plugin_.description().releaseFn(&object_->state);
    std::free(object_);
}

KLOR_RESULT Instance::setParameter(int index, float value) {
    return plugin_.description().setParameterFn(&object_->state, index, value);
}

KLOR_RESULT Instance::getParameter(int index, float* value, char* text) {
    return plugin_.description().getParameterFn(&object_->state, index, value, text);
}

KLOR_RESULT Instance::reset() { return plugin_.description().resetFn(&object_->state); }

KLOR_RESULT Instance::process(const float* in, float* out, unsigned int frames, int channels) {
    return plugin_.description().readFn(&object_->state, const_cast<float*>(in), out, frames,
                                        channels, channels);
}

}  // namespace host
}  // namespace klor
