// System heap, thread ID, sleeping, clocks, standard-I/O files, dynamic
// libraries, debug output and the functions that only return.
//
// Result convention (klor_os.h): each system outcome maps onto one shared
// code by the fixed table below; errno and the loader's message are dropped.
// A null pointer that the call would otherwise dereference gives
// KLOR_ERR_BAD_ARGUMENT and nothing else happens (nothing is stored, no
// clock origin is set). Nothing here allocates from the memory pool or
// takes a lock.
//
//   function                  system outcome              result
//   ------------------------  --------------------------  ----------------------
//   File_Open                 fopen gives null            KLOR_ERR_NOT_FOUND
//   File_Read                 end-of-file indicator set   KLOR_ERR_END_OF_FILE
//                             else error indicator set    KLOR_ERR_READ_FAILED
//   File_Seek                 fseek < 0                   KLOR_ERR_READ_FAILED
//   Library_Load              dlopen gives null           KLOR_ERR_NOT_FOUND
//   Library_GetProcAddress    dlsym gives null            KLOR_ERR_READ_FAILED
//   File_Close, Library_Free, Debug_OutputStr, Time_Sleep: the system's
//   result is ignored; KLOR_OK.
#include <dlfcn.h>
#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "klor/klor_global.h"
#include "klor/klor_os.h"

static_assert(RTLD_LAZY == 1, "libraries load with the lazy flag alone (value 1)");

namespace {

FILE* streamOf(void* handle) { return static_cast<FILE*>(handle); }

// The time origin shared by both clocks and every caller: the low 32 bits of
// the wall-clock seconds at the first clock read while it was 0. Read, tested
// and written without a lock. The call that sets it therefore sees
// seconds - origin == 0 and returns only the sub-second part.
uint32_t originSeconds(const timeval& now) {
    uint32_t& origin = KLOR::gGlobal->timeBaseSeconds;
    if (origin == 0) origin = static_cast<uint32_t>(now.tv_sec);
    return origin;
}

timeval wallClock() {
    timeval now;
    gettimeofday(&now, nullptr);
    return now;
}

}  // namespace

extern "C" {

// --- System heap ---------------------------------------------------------------
// The size is widened with its sign: a negative size asks for an impossible
// amount and gives null. Null blocks and size 0 behave as realloc/free define.

void* KLOR_OS_Memory_Alloc(int size, unsigned int /*type*/) {
    return std::malloc(static_cast<size_t>(static_cast<int64_t>(size)));
}

void* KLOR_OS_Memory_Realloc(void* block, int size, unsigned int /*type*/) {
    return std::realloc(block, static_cast<size_t>(static_cast<int64_t>(size)));
}

void KLOR_OS_Memory_Free(void* block, unsigned int /*type*/) { std::free(block); }

// --- Thread ID and time --------------------------------------------------------

// Low 32 bits of pthread_self: stable for a thread's life; two threads whose
// identifiers differ only above bit 31 share an ID. Called by the memory pool
// under its own lock, so it takes none.
KLOR_RESULT KLOR_OS_Thread_GetCurrentID(unsigned int* id) {
    if (id == nullptr) return KLOR_ERR_BAD_ARGUMENT;
    *id = static_cast<unsigned int>(pthread_self());
    return KLOR_OK;
}

// ms * 1000 wraps in 32 bits: 4294968 ms sleeps 704 microseconds.
KLOR_RESULT KLOR_OS_Time_Sleep(unsigned int ms) {
    const uint32_t microseconds = static_cast<uint32_t>(ms) * 1000u;
    usleep(microseconds);
    return KLOR_OK;
}

// (seconds - origin) * 1000 + microseconds / 1000, every step in unsigned
// 32 bits: wraps after 2^32 ms, about 49.7 days.
KLOR_RESULT KLOR_OS_Time_GetMs(unsigned int* ms) {
    if (ms == nullptr) return KLOR_ERR_BAD_ARGUMENT;
    const timeval now = wallClock();
    const uint32_t elapsed = static_cast<uint32_t>(now.tv_sec) - originSeconds(now);
    *ms = elapsed * 1000u + static_cast<uint32_t>(now.tv_usec) / 1000u;
    return KLOR_OK;
}

// The unit is the microsecond, whatever the name says, and hosts rely on it:
// (seconds - origin) * 1000000 + microseconds in unsigned 32 bits, wrapping
// after 2^32 microseconds, about 71.6 minutes.
KLOR_RESULT KLOR_OS_Time_GetNs(unsigned int* us) {
    if (us == nullptr) return KLOR_ERR_BAD_ARGUMENT;
    const timeval now = wallClock();
    const uint32_t elapsed = static_cast<uint32_t>(now.tv_sec) - originSeconds(now);
    *us = elapsed * 1000000u + static_cast<uint32_t>(now.tv_usec);
    return KLOR_OK;
}

// --- Debug output ----------------------------------------------------------------

// The text exactly as given: no line end added, no prefix.
KLOR_RESULT KLOR_OS_Debug_OutputStr(const char* text) {
    if (text == nullptr) return KLOR_ERR_BAD_ARGUMENT;
    std::fputs(text, stderr);
    return KLOR_OK;
}

// --- Files -------------------------------------------------------------------------

// The mode goes to fopen unchanged; the int plays no part. The stream, or
// null, is stored through handle whenever the call gets that far. With a size
// pointer the length is measured by seeking to the end and back to the start
// (results ignored; ftell's value is cut to 32 bits); without one no seek
// happens.
KLOR_RESULT KLOR_OS_File_Open(const char* name, char* mode, int /*unused*/, unsigned int* size,
                              void** handle) {
    if (name == nullptr || mode == nullptr || handle == nullptr) return KLOR_ERR_BAD_ARGUMENT;
    FILE* stream = std::fopen(name, mode);
    *handle = stream;
    if (stream == nullptr) return KLOR_ERR_NOT_FOUND;
    if (size != nullptr) {
        std::fseek(stream, 0, SEEK_END);
        *size = static_cast<unsigned int>(std::ftell(stream));
        std::fseek(stream, 0, SEEK_SET);
    }
    return KLOR_OK;
}

KLOR_RESULT KLOR_OS_File_Close(void* handle) {
    if (handle == nullptr) return KLOR_ERR_BAD_ARGUMENT;
    std::fclose(streamOf(handle));
    return KLOR_OK;
}

// The count delivered is stored first; then end of file wins over an error,
// so a read crossing the end delivers what was there and returns
// KLOR_ERR_END_OF_FILE. The indicators are the stream's own and stay set
// until the standard-I/O library clears them (a successful seek clears end of
// file, not error).
KLOR_RESULT KLOR_OS_File_Read(void* handle, void* buffer, unsigned int wanted, unsigned int* read) {
    if (handle == nullptr || buffer == nullptr || read == nullptr) return KLOR_ERR_BAD_ARGUMENT;
    FILE* stream = streamOf(handle);
    const size_t delivered = std::fread(buffer, 1, wanted, stream);
    *read = static_cast<unsigned int>(delivered);
    if (std::feof(stream)) return KLOR_ERR_END_OF_FILE;
    if (std::ferror(stream)) return KLOR_ERR_READ_FAILED;
    return KLOR_OK;
}

// The position is widened without sign, so 0 .. 4 GiB - 1 are reachable;
// seeking past the end succeeds and the next read meets end of file.
KLOR_RESULT KLOR_OS_File_Seek(void* handle, unsigned int position) {
    if (handle == nullptr) return KLOR_ERR_BAD_ARGUMENT;
    const long offset = static_cast<long>(static_cast<uint64_t>(position));
    if (std::fseek(streamOf(handle), offset, SEEK_SET) < 0) return KLOR_ERR_READ_FAILED;
    return KLOR_OK;
}

// --- Dynamic libraries ----------------------------------------------------------

// RTLD_LAZY alone: functions bind at first call, and the library's symbols
// stay local (a default search does not see them). On a load failure null is
// stored; on a null argument nothing is.
KLOR_RESULT KLOR_OS_Library_Load(const char* path, KLOR_OS_LIBRARY** library) {
    if (path == nullptr || library == nullptr) return KLOR_ERR_BAD_ARGUMENT;
    void* loaded = dlopen(path, RTLD_LAZY);
    *library = static_cast<KLOR_OS_LIBRARY*>(loaded);
    return loaded == nullptr ? KLOR_ERR_NOT_FOUND : KLOR_OK;
}

// The library handle goes to dlsym unchanged: null is the loader's default
// search (RTLD_DEFAULT). The address found, or null, is always stored.
KLOR_RESULT KLOR_OS_Library_GetProcAddress(KLOR_OS_LIBRARY* library, const char* name,
                                           void** address) {
    if (name == nullptr || address == nullptr) return KLOR_ERR_BAD_ARGUMENT;
    void* found = dlsym(library, name);
    *address = found;
    return found == nullptr ? KLOR_ERR_READ_FAILED : KLOR_OK;
}

KLOR_RESULT KLOR_OS_Library_Free(KLOR_OS_LIBRARY* library) {
    if (library == nullptr) return KLOR_ERR_BAD_ARGUMENT;
    dlclose(library);
    return KLOR_OK;
}

// --- Functions that only return ---------------------------------------------------

KLOR_RESULT KLOR_OS_File_DriveStatus() { return KLOR_OK; }

KLOR_RESULT KLOR_OS_File_Cancel(void* /*handle*/) { return KLOR_OK; }

// The flag is neither read nor written.
KLOR_RESULT KLOR_OS_CheckDriverList(bool* /*flag*/) { return KLOR_OK; }

// No usage is tracked.
unsigned int KLOR_OS_GetMemoryUsed() { return 0; }

}  // extern "C"
