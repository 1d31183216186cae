// Critical sections, semaphores and threads over POSIX threads.
//
// Result convention (klor_os.h): a required null pointer gives
// KLOR_ERR_BAD_ARGUMENT; every refusal by the system gives KLOR_ERR_NO_MEMORY;
// errno is never passed on.
//
// Storage:
//   critical section, memory form     gMemoryCrit (static, 40 bytes); every
//                                     memory-form Create reinitialises it
//   critical section, allocated form  40 bytes from Global.memPool
//   semaphore                         32 bytes from Global.memPool
//   thread                            nothing: the handle is the pthread_t
//
// Allocation tags of this file's pool requests (memory type 0):
//   468  critical section storage          661  semaphore storage
//   482  given back: recursive type refused 669  given back: sem_init refused
//   493  given back: mutex init refused     694  given back: semaphore freed
//   562  given back: critical section freed
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>

#include <cstring>

#include "klor/klor_global.h"
#include "klor/klor_memory.h"
#include "klor/klor_os.h"

static_assert(sizeof(KLOR_OS_CRITICALSECTION_STORAGE) == sizeof(pthread_mutex_t),
              "gMemoryCrit holds exactly one pthread_mutex_t");
static_assert(alignof(KLOR_OS_CRITICALSECTION_STORAGE) >= alignof(pthread_mutex_t),
              "gMemoryCrit is aligned for pthread_mutex_t");
static_assert(sizeof(pthread_mutex_t) == 40, "critical section storage is 40 bytes");
static_assert(sizeof(sem_t) == 32, "semaphore storage is 32 bytes");
static_assert(sizeof(pthread_t) == sizeof(void*), "a thread handle carries the pthread_t itself");

namespace {

constexpr char kOsTagFile[] = "../linux/src/klor_os_misc";
enum OsTagLine : int {
    kLineCritAlloc        = 468,
    kLineCritTypeRefused  = 482,
    kLineCritInitRefused  = 493,
    kLineCritFree         = 562,
    kLineSemAlloc         = 661,
    kLineSemInitRefused   = 669,
    kLineSemFree          = 694,
};

KLOR::MemPool& globalPool() { return *KLOR::gGlobal->memPool; }

pthread_mutex_t* mutexOf(KLOR_OS_CRITICALSECTION* section) {
    return reinterpret_cast<pthread_mutex_t*>(section);
}

sem_t* semaphoreOf(KLOR_OS_SEMAPHORE* semaphore) { return reinterpret_cast<sem_t*>(semaphore); }

KLOR_RESULT okUnlessNonZero(int systemResult) {
    return systemResult != 0 ? KLOR_ERR_NO_MEMORY : KLOR_OK;
}

KLOR_RESULT okUnlessNegative(int systemResult) {
    return systemResult < 0 ? KLOR_ERR_NO_MEMORY : KLOR_OK;
}

// The scheduling a KLOR_THREAD_PRIORITY asks for.
struct Scheduling {
    int policy;
    int priority;
};

Scheduling schedulingFor(KLOR_THREAD_PRIORITY priority) {
    switch (priority) {
        case KLOR_THREAD_PRIORITY_HIGH: return {SCHED_FIFO, 90};
        case KLOR_THREAD_PRIORITY_HIGHER: return {SCHED_FIFO, 94};
        case KLOR_THREAD_PRIORITY_REALTIME: return {SCHED_FIFO, 99};
        default: return {SCHED_OTHER, 0};  // -2..0 and every value outside -2..3
    }
}

typedef void* (*StartRoutine)(void*);

}  // namespace

extern "C" {

int gSizeofCriticalSection = static_cast<int>(sizeof(pthread_mutex_t));
int gSizeofSemaphore = static_cast<int>(sizeof(sem_t));
KLOR_OS_CRITICALSECTION_STORAGE gMemoryCrit = {};

// --- Critical sections ------------------------------------------------------

// Recursive: the holder may enter again and must leave once per enter.
// Nothing is stored through out on failure; allocated storage is given back.
KLOR_RESULT KLOR_OS_CriticalSection_Create(KLOR_OS_CRITICALSECTION** out, bool memoryForm) {
    if (out == nullptr) return KLOR_ERR_BAD_ARGUMENT;
    void* storage = &gMemoryCrit;
    if (!memoryForm) {
        storage = globalPool().alloc(gSizeofCriticalSection, kOsTagFile, kLineCritAlloc, 0, false);
        if (storage == nullptr) return KLOR_ERR_NO_MEMORY;
    }

    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    if (pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE) != 0) {
        pthread_mutexattr_destroy(&attributes);
        if (!memoryForm) globalPool().free(storage, kOsTagFile, kLineCritTypeRefused, 0);
        return KLOR_ERR_NO_MEMORY;
    }
    const int initialised = pthread_mutex_init(static_cast<pthread_mutex_t*>(storage), &attributes);
    pthread_mutexattr_destroy(&attributes);
    if (initialised != 0) {
        if (!memoryForm) globalPool().free(storage, kOsTagFile, kLineCritInitRefused, 0);
        return KLOR_ERR_NO_MEMORY;
    }
    *out = static_cast<KLOR_OS_CRITICALSECTION*>(storage);
    return KLOR_OK;
}

// memoryForm must be the form given to Create. No thread may hold or wait.
KLOR_RESULT KLOR_OS_CriticalSection_Free(KLOR_OS_CRITICALSECTION* section, bool memoryForm) {
    if (section == nullptr) return KLOR_ERR_BAD_ARGUMENT;
    pthread_mutex_destroy(mutexOf(section));
    if (!memoryForm) globalPool().free(section, kOsTagFile, kLineCritFree, 0);
    return KLOR_OK;
}

KLOR_RESULT KLOR_OS_CriticalSection_Enter(KLOR_OS_CRITICALSECTION* section) {
    if (section == nullptr) return KLOR_ERR_BAD_ARGUMENT;
    return okUnlessNonZero(pthread_mutex_lock(mutexOf(section)));
}

// A thread that does not hold the section gets KLOR_ERR_NO_MEMORY (the
// recursive type checks the owner) and the holder keeps it.
KLOR_RESULT KLOR_OS_CriticalSection_Leave(KLOR_OS_CRITICALSECTION* section) {
    if (section == nullptr) return KLOR_ERR_BAD_ARGUMENT;
    return okUnlessNonZero(pthread_mutex_unlock(mutexOf(section)));
}

// --- Semaphores ---------------------------------------------------------------

// Process-private, count 0: the first Wait blocks until a Signal.
KLOR_RESULT KLOR_OS_Semaphore_Create(KLOR_OS_SEMAPHORE** out) {
    if (out == nullptr) return KLOR_ERR_BAD_ARGUMENT;
    void* storage = globalPool().alloc(gSizeofSemaphore, kOsTagFile, kLineSemAlloc, 0, false);
    if (storage == nullptr) return KLOR_ERR_NO_MEMORY;
    if (sem_init(static_cast<sem_t*>(storage), 0, 0) < 0) {
        globalPool().free(storage, kOsTagFile, kLineSemInitRefused, 0);
        return KLOR_ERR_NO_MEMORY;
    }
    *out = static_cast<KLOR_OS_SEMAPHORE*>(storage);
    return KLOR_OK;
}

// A null semaphore is rejected like in Create, Wait and Signal; any other
// must come from Create and have no waiter.
KLOR_RESULT KLOR_OS_Semaphore_Free(KLOR_OS_SEMAPHORE* semaphore) {
    if (semaphore == nullptr) return KLOR_ERR_BAD_ARGUMENT;
    sem_destroy(semaphoreOf(semaphore));
    globalPool().free(semaphore, kOsTagFile, kLineSemFree, 0);
    return KLOR_OK;
}

// No time-out; a wait cut short by a signal handler returns
// KLOR_ERR_NO_MEMORY without having taken a count.
KLOR_RESULT KLOR_OS_Semaphore_Wait(KLOR_OS_SEMAPHORE* semaphore) {
    if (semaphore == nullptr) return KLOR_ERR_BAD_ARGUMENT;
    return okUnlessNegative(sem_wait(semaphoreOf(semaphore)));
}

KLOR_RESULT KLOR_OS_Semaphore_Signal(KLOR_OS_SEMAPHORE* semaphore, bool /*flag*/) {
    if (semaphore == nullptr) return KLOR_ERR_BAD_ARGUMENT;
    return okUnlessNegative(sem_post(semaphoreOf(semaphore)));
}

// --- Threads ------------------------------------------------------------------

// The entry itself is the start routine: on x86-64 a function returning an
// unsigned int and one returning a pointer take the same argument the same
// way, and the thread's result is never read. Default attributes and stack;
// name, stack and stackSize are ignored. The priority's scheduling is applied
// after the start and a refusal (no right to real-time) is not a failure.
KLOR_RESULT KLOR_OS_Thread_Create(const char* /*name*/, unsigned int (*entry)(void*),
                                  void* argument, KLOR_THREAD_PRIORITY priority, void* /*stack*/,
                                  int /*stackSize*/, void** handle) {
    if (handle == nullptr) return KLOR_ERR_BAD_ARGUMENT;
    pthread_t thread;
    const auto start = reinterpret_cast<StartRoutine>(reinterpret_cast<void (*)()>(entry));
    if (pthread_create(&thread, nullptr, start, argument) != 0) return KLOR_ERR_NO_MEMORY;

    const Scheduling scheduling = schedulingFor(priority);
    sched_param parameters;
    std::memset(&parameters, 0, sizeof(parameters));
    parameters.sched_priority = scheduling.priority;
    pthread_setschedparam(thread, scheduling.policy, &parameters);

    std::memcpy(handle, &thread, sizeof(thread));
    return KLOR_OK;
}

// Detaches the thread whose handle is stored at location, so the system
// reclaims it when it ends; it neither stops nor waits for it. A null
// location is rejected rather than read.
KLOR_RESULT KLOR_OS_Thread_Destroy(void* location) {
    if (location == nullptr) return KLOR_ERR_BAD_ARGUMENT;
    pthread_t thread;
    std::memcpy(&thread, location, sizeof(thread));
    pthread_detach(thread);
    return KLOR_OK;
}

}  // extern "C"
