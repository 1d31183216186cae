# The plug-in validator: run on the built module (label "validate"; its
# parameter race makes it a threaded test too), and tested against modules
# built with one known fault each.
add_test(NAME validate COMMAND klor-validate $<TARGET_FILE:klor_distortion>)
set_tests_properties(validate PROPERTIES LABELS "validate;threads")

set(KLOR_VALIDATE_FAULTS Sound Tail NanSticky Mask TornLevel Allocates Locks NoDefault Leaks
    LongText Fused)
set(KLOR_FIXTURE_DIR ${CMAKE_CURRENT_BINARY_DIR}/fixtures)
set(KLOR_FIXTURE_TARGETS)
foreach(fault ${KLOR_VALIDATE_FAULTS})
  add_library(klor_fixture_${fault} MODULE validate_fixture_plugin.cpp)
  target_compile_definitions(klor_fixture_${fault} PRIVATE KLOR_FIXTURE_FAULT=${fault})
  target_include_directories(klor_fixture_${fault} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(klor_fixture_${fault} PRIVATE klor_headers Threads::Threads)
  set_target_properties(klor_fixture_${fault} PROPERTIES
    PREFIX "lib"
    CXX_VISIBILITY_PRESET hidden
    LIBRARY_OUTPUT_DIRECTORY ${KLOR_FIXTURE_DIR})
  list(APPEND KLOR_FIXTURE_TARGETS klor_fixture_${fault})
endforeach()

klor_add_test(validate_test SOURCES validate_test.cpp LABELS validate threads)
target_compile_definitions(validate_test PRIVATE
  KLOR_VALIDATE_PATH="$<TARGET_FILE:klor-validate>"
  KLOR_FIXTURE_DIR="${KLOR_FIXTURE_DIR}")
add_dependencies(validate_test klor-validate ${KLOR_FIXTURE_TARGETS})

# The real-time probe itself, run preloaded (absent from sanitizer builds).
if(TARGET klor_rt_probe)
  klor_add_test(rt_probe_test SOURCES rt_probe_test.cpp LIBS ${CMAKE_DL_LIBS} LABELS validate threads)
  target_include_directories(rt_probe_test PRIVATE ${PROJECT_SOURCE_DIR}/host)
  target_compile_definitions(rt_probe_test PRIVATE KLOR_RT_PROBE_PATH="$<TARGET_FILE:klor_rt_probe>")
  add_dependencies(rt_probe_test klor_rt_probe)
endif()
