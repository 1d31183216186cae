// Result codes shared by the host and the library.
//
// Every KLOR operation that can fail returns one of these values; the
// system's own error numbers are never passed on.
#pragma once

#include <cstdint>

typedef int32_t KLOR_RESULT;

enum : KLOR_RESULT {
    KLOR_OK               = 0,
    KLOR_ERR_READ_FAILED  = 19,  // seek/read error on an open file, missing symbol
    KLOR_ERR_END_OF_FILE  = 22,
    KLOR_ERR_NOT_FOUND    = 23,  // file cannot be opened, library cannot be loaded
    KLOR_ERR_BAD_ARGUMENT = 37,  // a required pointer argument is null
    KLOR_ERR_NO_MEMORY    = 44,  // memory, a lock, a semaphore or a thread cannot be had
};
