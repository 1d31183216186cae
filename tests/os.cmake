# Operating-system basics: heap, thread ID, clocks, files, dynamic libraries,
# debug output. Unit tests against the static archive, and the exported
# functions through the built module as a host loads it.

# Two small libraries of fixed contents for the dynamic-library tests. The
# lazy one calls a function that nothing defines, so it loads only when
# functions bind lazily; -z lazy keeps a toolchain default from binding early.
add_library(klor_os_fixture MODULE fixtures/os_fixture_library.cpp)
add_library(klor_os_lazy_fixture MODULE fixtures/os_fixture_lazy_library.cpp)
target_link_options(klor_os_lazy_fixture PRIVATE -Wl,-z,lazy)
set_target_properties(klor_os_fixture klor_os_lazy_fixture PROPERTIES
  CXX_VISIBILITY_PRESET hidden
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/fixtures)

function(klor_use_os_fixtures target)
  add_dependencies(${target} klor_os_fixture klor_os_lazy_fixture)
  target_compile_definitions(${target} PRIVATE
    KLOR_OS_FIXTURE_PATH="$<TARGET_FILE:klor_os_fixture>"
    KLOR_OS_LAZY_FIXTURE_PATH="$<TARGET_FILE:klor_os_lazy_fixture>"
    KLOR_OS_FIXTURE_SOURCE="${CMAKE_CURRENT_SOURCE_DIR}/fixtures/os_fixture_library.cpp")
endfunction()

klor_add_test(os_test
  SOURCES os_heap_test.cpp os_time_test.cpp os_file_test.cpp os_library_test.cpp
  LIBS klor_static LABELS os)
klor_use_os_fixtures(os_test)
klor_add_test(os_thread_id_test SOURCES os_thread_id_test.cpp LIBS klor_static LABELS os threads)
klor_add_test(os_sleep_test SOURCES os_sleep_test.cpp LIBS klor_static LABELS os threads)
klor_add_test(os_module_test SOURCES os_module_test.cpp LIBS klor_host LABELS os)
klor_use_os_fixtures(os_module_test)
