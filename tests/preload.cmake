# The preload allocator (tests/preload/): a whole program's heap on one
# region, to run real programs on the region allocator. Never installed.
# Sanitizer builds have none: their runtime must own malloc and come first.
if(KLOR_SANITIZE STREQUAL "")
  add_library(klor_preload_malloc MODULE preload/klor_preload_malloc.cpp)
  target_link_libraries(klor_preload_malloc PRIVATE klor_static Threads::Threads ${CMAKE_DL_LIBS})
  target_link_options(klor_preload_malloc PRIVATE -Wl,--exclude-libs,ALL -Wl,-z,defs)
  set_target_properties(klor_preload_malloc PROPERTIES
    PREFIX "lib"
    CXX_VISIBILITY_PRESET hidden
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/preload)

  # A short run of the real-program comparison: small workloads, every
  # output compared with a plain run.
  add_test(NAME preload_real_programs
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/preload/run-real-programs.sh --quick
                   $<TARGET_FILE:klor_preload_malloc>)
  set_tests_properties(preload_real_programs PROPERTIES LABELS preload TIMEOUT 600)
endif()
