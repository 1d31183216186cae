// The operating-system layer: heap, thread ID, clocks, files, dynamic
// libraries, debug output, critical sections, semaphores and threads.
//
// Result convention: every function returning KLOR_RESULT maps the system's
// outcome onto the shared codes (klor_result.h) by fixed rules; errno and
// loader messages are dropped. A null pointer where the function needs one
// gives KLOR_ERR_BAD_ARGUMENT (37). The heap functions return the system's
// pointer (null on failure) and ignore the memory type.
//
// This header is the only place the rest of the project learns about
// threads, semaphores and dynamic libraries: the opaque types below hide
// <pthread.h>, <semaphore.h> and <dlfcn.h>.
#pragma once

#include <cstdint>

#include "klor/klor_export.h"
#include "klor/klor_result.h"

struct KLOR_OS_CRITICALSECTION;  // recursive mutex storage (40 bytes)
struct KLOR_OS_SEMAPHORE;        // unnamed semaphore storage (32 bytes)
struct KLOR_OS_LIBRARY;          // the dynamic loader's handle

// Thread priorities for KLOR_OS_Thread_Create. Values outside -2..3 act as
// KLOR_THREAD_PRIORITY_NORMAL.
//
//   value  policy        scheduling priority
//   -----  ------------  -------------------
//   -2..0  SCHED_OTHER    0
//       1  SCHED_FIFO    90
//       2  SCHED_FIFO    94
//       3  SCHED_FIFO    99
enum KLOR_THREAD_PRIORITY : int32_t {
    KLOR_THREAD_PRIORITY_LOWEST   = -2,
    KLOR_THREAD_PRIORITY_LOW      = -1,
    KLOR_THREAD_PRIORITY_NORMAL   = 0,
    KLOR_THREAD_PRIORITY_HIGH     = 1,
    KLOR_THREAD_PRIORITY_HIGHER   = 2,
    KLOR_THREAD_PRIORITY_REALTIME = 3,
};

extern "C" {

// Bytes of storage behind a critical section (40) and a semaphore (32).
KLOR_EXPORT extern int gSizeofCriticalSection;
KLOR_EXPORT extern int gSizeofSemaphore;

// --- System heap (memory type ignored) -------------------------------------
KLOR_EXPORT void* KLOR_OS_Memory_Alloc(int size, unsigned int type);
KLOR_EXPORT void* KLOR_OS_Memory_Realloc(void* block, int size, unsigned int type);
KLOR_EXPORT void  KLOR_OS_Memory_Free(void* block, unsigned int type);

// --- Threads and time -----------------------------------------------------
// Low 32 bits of pthread_self().
KLOR_EXPORT KLOR_RESULT KLOR_OS_Thread_GetCurrentID(unsigned int* id);
// usleep(ms * 1000), the product wrapping in 32 bits.
KLOR_EXPORT KLOR_RESULT KLOR_OS_Time_Sleep(unsigned int ms);
// Milliseconds since Global.timeBaseSeconds (set on first use while 0),
// wrapping in 32 bits.
KLOR_EXPORT KLOR_RESULT KLOR_OS_Time_GetMs(unsigned int* ms);
// Despite the name: *microseconds* since the same origin, wrapping in 32 bits
// (about 71.6 minutes). Hosts rely on this unit.
KLOR_EXPORT KLOR_RESULT KLOR_OS_Time_GetNs(unsigned int* us);

// --- Debug output: the text unchanged to standard error -------------------
KLOR_EXPORT KLOR_RESULT KLOR_OS_Debug_OutputStr(const char* text);

// --- Files (standard-I/O streams) -----------------------------------------
KLOR_EXPORT KLOR_RESULT KLOR_OS_File_Open(const char* name, char* mode, int unused,
                                          unsigned int* size, void** handle);
KLOR_EXPORT KLOR_RESULT KLOR_OS_File_Close(void* handle);
// End of file wins over an error: a read crossing the end delivers what was
// there and returns KLOR_ERR_END_OF_FILE.
KLOR_EXPORT KLOR_RESULT KLOR_OS_File_Read(void* handle, void* buffer, unsigned int wanted,
                                          unsigned int* read);
KLOR_EXPORT KLOR_RESULT KLOR_OS_File_Seek(void* handle, unsigned int position);

// --- Dynamic libraries (dlopen with RTLD_LAZY alone) ----------------------
KLOR_EXPORT KLOR_RESULT KLOR_OS_Library_Load(const char* path, KLOR_OS_LIBRARY** library);
KLOR_EXPORT KLOR_RESULT KLOR_OS_Library_GetProcAddress(KLOR_OS_LIBRARY* library,
                                                       const char* name, void** address);
KLOR_EXPORT KLOR_RESULT KLOR_OS_Library_Free(KLOR_OS_LIBRARY* library);

// --- Functions that only return -------------------------------------------
KLOR_EXPORT KLOR_RESULT  KLOR_OS_File_DriveStatus();
KLOR_EXPORT KLOR_RESULT  KLOR_OS_File_Cancel(void* handle);
KLOR_EXPORT KLOR_RESULT  KLOR_OS_CheckDriverList(bool* flag);
KLOR_EXPORT unsigned int KLOR_OS_GetMemoryUsed();

// --- Critical sections: recursive mutexes ---------------------------------
// memoryForm true: the storage is the one static area gMemoryCrit (at most
// one memory-form section exists at a time); false: 40 bytes from
// Global.memPool. Free must be given the form Create was given.
KLOR_EXPORT KLOR_RESULT KLOR_OS_CriticalSection_Create(KLOR_OS_CRITICALSECTION** out,
                                                       bool memoryForm);
KLOR_EXPORT KLOR_RESULT KLOR_OS_CriticalSection_Free(KLOR_OS_CRITICALSECTION* section,
                                                     bool memoryForm);
KLOR_EXPORT KLOR_RESULT KLOR_OS_CriticalSection_Enter(KLOR_OS_CRITICALSECTION* section);
KLOR_EXPORT KLOR_RESULT KLOR_OS_CriticalSection_Leave(KLOR_OS_CRITICALSECTION* section);

// --- Semaphores (count starts at 0; storage from Global.memPool) ----------
KLOR_EXPORT KLOR_RESULT KLOR_OS_Semaphore_Create(KLOR_OS_SEMAPHORE** out);
KLOR_EXPORT KLOR_RESULT KLOR_OS_Semaphore_Free(KLOR_OS_SEMAPHORE* semaphore);
KLOR_EXPORT KLOR_RESULT KLOR_OS_Semaphore_Wait(KLOR_OS_SEMAPHORE* semaphore);
KLOR_EXPORT KLOR_RESULT KLOR_OS_Semaphore_Signal(KLOR_OS_SEMAPHORE* semaphore, bool flag);

// --- Threads ----------------------------------------------------------------
// name, stack and stackSize are ignored. The handle is the pthread_t itself.
// A refused real-time priority is not a failure.
KLOR_EXPORT KLOR_RESULT KLOR_OS_Thread_Create(const char* name, unsigned int (*entry)(void*),
                                              void* argument, KLOR_THREAD_PRIORITY priority,
                                              void* stack, int stackSize, void** handle);
// Detaches the thread whose handle is stored at location; never waits.
KLOR_EXPORT KLOR_RESULT KLOR_OS_Thread_Destroy(void* location);

}  // extern "C"

// The single storage of every memory-form critical section: 40 bytes, zero at
// load, aligned for the system mutex.
struct KLOR_OS_CRITICALSECTION_STORAGE {
    alignas(8) unsigned char bytes[40];
};
extern "C" KLOR_EXPORT KLOR_OS_CRITICALSECTION_STORAGE gMemoryCrit;
