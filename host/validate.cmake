# klor-validate, the plug-in validator, and the real-time probe it preloads
# to show that read allocates, locks, waits and sleeps never. Both land in
# the same directory: the validator finds the probe beside itself.
#
# Sanitizer builds have no probe: their runtime, linked into the validator,
# owns malloc and would always be found before a preloaded library.

if(KLOR_SANITIZE STREQUAL "")
  add_library(klor_rt_probe MODULE klor_rt_probe.cpp)
  target_link_libraries(klor_rt_probe PRIVATE ${CMAKE_DL_LIBS})
  set_target_properties(klor_rt_probe PROPERTIES
    PREFIX "lib"
    OUTPUT_NAME klor_rt_probe
    CXX_VISIBILITY_PRESET hidden
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
endif()

add_executable(klor-validate
  klor_validate_main.cpp
  klor_validate_support.cpp
  klor_validate_blocks.cpp
  klor_validate_signals.cpp
  klor_validate_race.cpp
  klor_validate_lifecycle.cpp
  klor_validate_realtime.cpp)
target_link_libraries(klor-validate PRIVATE klor_host Threads::Threads ${CMAKE_DL_LIBS})
set_target_properties(klor-validate PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
if(TARGET klor_rt_probe)
  add_dependencies(klor-validate klor_rt_probe)
endif()
