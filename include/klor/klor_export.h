// Symbol visibility for the plug-in module.
//
// The library is built with -fvisibility=hidden; only declarations marked
// KLOR_EXPORT reach the dynamic symbol table. A linker version script
// (klor_distortion.map) freezes the exported set on top of that.
#pragma once

#if defined(__GNUC__)
#define KLOR_EXPORT __attribute__((visibility("default")))
#else
#define KLOR_EXPORT
#endif
