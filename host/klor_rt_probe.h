// The real-time probe: a preloadable library (libklor_rt_probe.so) that wraps
// the calls an audio callback must never make and counts them, on the armed
// thread only, between arm and disarm.
//
//   LD_PRELOAD=libklor_rt_probe.so klor-validate libklor_distortion.so
//
// A host finds the two entry points with dlsym(RTLD_DEFAULT, ...); when they
// are missing, the probe is not loaded. Wrapped:
//
//   allocations  malloc calloc realloc posix_memalign aligned_alloc memalign
//                valloc
//   releases     free
//   locks        pthread_mutex_lock pthread_mutex_trylock
//   waits        sem_wait sem_timedwait
//   sleeps       nanosleep clock_nanosleep usleep sleep
//
// Every wrapper forwards to the C library's own function, armed or not, so a
// program runs unchanged under the probe. Calls made while the thread is
// disarmed, or from any other thread, are not counted.
#pragma once

#include <cstdint>

extern "C" {

struct KlorRtProbeCounts {
    uint64_t allocations;
    uint64_t releases;
    uint64_t locks;
    uint64_t waits;
    uint64_t sleeps;
};

// Zeroes the calling thread's counts and starts counting on it.
typedef void (*KlorRtProbeArmFn)(void);
// Stops counting on the calling thread and reports what was seen since arm.
typedef void (*KlorRtProbeDisarmFn)(KlorRtProbeCounts* counts);

}  // extern "C"

#define KLOR_RT_PROBE_ARM_SYMBOL "klor_rt_probe_arm"
#define KLOR_RT_PROBE_DISARM_SYMBOL "klor_rt_probe_disarm"
