# klor-fx: its parts unit by unit, the program run as users run it, and the
# installed package built against from outside.
if(TARGET klor-fx)
  add_library(tools_cli_support STATIC tools_cli_support.cpp tools_cli_support.h)
  target_link_libraries(tools_cli_support PUBLIC klor_host PkgConfig::SNDFILE GTest::gtest)
  target_compile_definitions(tools_cli_support PRIVATE
    KLOR_FX_PATH="$<TARGET_FILE:klor-fx>"
    KLOR_PLUGIN_PATH="$<TARGET_FILE:klor_distortion>"
    KLOR_TEST_BINARY_DIR="${CMAKE_CURRENT_BINARY_DIR}")
  add_dependencies(tools_cli_support klor-fx klor_distortion)

  klor_add_test(tools_options_test SOURCES tools_options_test.cpp LIBS klor_fx_core LABELS tools)
  klor_add_test(tools_units_test SOURCES tools_units_test.cpp LIBS klor_fx_core tools_cli_support
                LABELS tools)
  foreach(area format stream error report)
    klor_add_test(tools_cli_${area}_test SOURCES tools_cli_${area}_test.cpp
                  LIBS tools_cli_support PkgConfig::CAIRO ${CMAKE_DL_LIBS} LABELS tools)
  endforeach()

  # Installs the whole build into a temporary prefix and builds
  # examples/minimal-host against it, with find_package and with
  # pkg-config. Needs every installed target built, as `make check` does;
  # sanitizer builds are skipped (the example would need their runtime).
  if(KLOR_SANITIZE STREQUAL "")
    add_test(NAME tools_install_example
             COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/tools_install_test.sh
                     ${CMAKE_COMMAND} ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR}
                     ${CMAKE_INSTALL_LIBDIR} ${CMAKE_CXX_COMPILER} ${CMAKE_GENERATOR})
    set_tests_properties(tools_install_example PROPERTIES LABELS "tools;install" TIMEOUT 300)
  endif()
endif()
