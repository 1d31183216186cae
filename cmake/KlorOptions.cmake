# Compiler settings shared by every target of the project.

# Warnings everywhere; -Werror when asked (CI asks).
add_compile_options(-Wall -Wextra)
if(KLOR_WERROR)
  add_compile_options(-Werror)
endif()

# No compiler may fuse or reorder floating-point arithmetic anywhere in the
# project: the shaper's results are specified bit for bit, and tests compare
# against references computed the same way.
add_compile_options(-ffp-contract=off -fno-fast-math)

if(KLOR_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  add_compile_definitions(KLOR_SANITIZER_BUILD=1)
elseif(KLOR_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
  add_compile_definitions(KLOR_SANITIZER_BUILD=1)
elseif(NOT KLOR_SANITIZE STREQUAL "")
  message(FATAL_ERROR "KLOR_SANITIZE must be empty, 'address' or 'thread'")
endif()

# Describe region blocks to Valgrind's memcheck (costs time even when no
# checker runs, so it is off in normal builds).
option(KLOR_VALGRIND "Compile the region allocator's memcheck client requests" OFF)
if(KLOR_VALGRIND)
  add_compile_definitions(KLOR_WITH_VALGRIND=1)
endif()

# Hardening for what we ship.
set(KLOR_HARDENING_COMPILE -fstack-protector-strong -fstack-clash-protection -fcf-protection)
if(NOT KLOR_SANITIZE STREQUAL "" OR CMAKE_BUILD_TYPE STREQUAL "Debug")
  set(KLOR_FORTIFY "")
else()
  set(KLOR_FORTIFY -D_FORTIFY_SOURCE=2)
endif()
set(KLOR_HARDENING_LINK -Wl,-z,relro,-z,now,-z,noexecstack)

# Vector kernels carry their instruction set in their file name
# (*_avx2.cpp, *_avx512.cpp) and are compiled for it; nothing else may assume
# more than the x86-64 baseline. Source properties are per directory, so each
# directory that compiles such files calls this for its own targets.
function(klor_kernel_isa_flags)
  foreach(source ${ARGN})
    if(source MATCHES "_avx512\\.cpp$")
      set_source_files_properties(${source} PROPERTIES
        COMPILE_OPTIONS "-mavx512f;-mavx512bw;-mavx512dq;-mavx512vl")
    elseif(source MATCHES "_avx2\\.cpp$")
      set_source_files_properties(${source} PROPERTIES COMPILE_OPTIONS "-mavx2")
    endif()
  endforeach()
endfunction()
