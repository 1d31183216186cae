# The LV2 bundle (lv2/): its Turtle validated, its files checked, the wrapper
# driven through lilv and through lilv's lv2apply, and its ramp and
# crossfade unit by unit. The bundle targets are defined in lv2/, which is
# configured after this directory; target names and $<TARGET_...>
# expressions resolve at generate time.
if(KLOR_BUILD_LV2 AND EXISTS ${PROJECT_SOURCE_DIR}/lv2/CMakeLists.txt)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(KLOR_TEST_LILV REQUIRED IMPORTED_TARGET lilv-0)
  pkg_check_modules(KLOR_TEST_SNDFILE REQUIRED IMPORTED_TARGET sndfile)
  find_program(KLOR_LV2APPLY lv2apply)
  if(NOT KLOR_LV2APPLY)
    set(KLOR_LV2APPLY "")
  endif()

  set(KLOR_LV2_TEST_DEFINITIONS
    KLOR_LV2_BUNDLE_DIR="$<TARGET_FILE_DIR:klor_lv2>"
    KLOR_LV2_WRAPPER_PATH="$<TARGET_FILE:klor_lv2>")

  klor_add_test(lv2_ramp_test SOURCES lv2_ramp_test.cpp LIBS klor_lv2_glue LABELS lv2)

  klor_add_test(lv2_plugin_test SOURCES lv2_plugin_test.cpp lv2_lilv_host.h lv2_test_support.h
                LIBS klor_host klor_lv2_glue PkgConfig::KLOR_TEST_LILV ${CMAKE_DL_LIBS} LABELS lv2)
  target_compile_definitions(lv2_plugin_test PRIVATE ${KLOR_LV2_TEST_DEFINITIONS})
  add_dependencies(lv2_plugin_test klor_lv2_bundle)

  # Plain builds only: an uninstrumented lv2apply cannot load an
  # instrumented wrapper, the sanitizers own malloc and the mutex functions,
  # and hardening is judged on what ships (as in abi.cmake).
  if(KLOR_SANITIZE STREQUAL "")
    klor_add_test(lv2_apply_test SOURCES lv2_apply_test.cpp lv2_test_support.h
                  LIBS klor_host PkgConfig::KLOR_TEST_SNDFILE LABELS lv2)
    # klor-fx (tools/, configured before this directory) is the second
    # reference when it is built.
    if(TARGET klor-fx)
      set(KLOR_LV2_FX_PATH $<TARGET_FILE:klor-fx>)
    else()
      set(KLOR_LV2_FX_PATH "")
    endif()
    target_compile_definitions(lv2_apply_test PRIVATE ${KLOR_LV2_TEST_DEFINITIONS}
                               KLOR_LV2APPLY="${KLOR_LV2APPLY}" KLOR_FX_PATH="${KLOR_LV2_FX_PATH}")
    add_dependencies(lv2_apply_test klor_lv2_bundle)
    if(TARGET klor-fx)
      add_dependencies(lv2_apply_test klor-fx)
    endif()

    klor_add_test(lv2_realtime_test SOURCES lv2_realtime_test.cpp lv2_lilv_host.h
                  LIBS klor_host PkgConfig::KLOR_TEST_LILV ${CMAKE_DL_LIBS} LABELS lv2)
    target_compile_definitions(lv2_realtime_test PRIVATE ${KLOR_LV2_TEST_DEFINITIONS})
    add_dependencies(lv2_realtime_test klor_lv2_bundle)

    add_test(NAME lv2_hardening
             COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/abi/check-hardening.sh $<TARGET_FILE:klor_lv2>)
    set_tests_properties(lv2_hardening PROPERTIES LABELS lv2)
  endif()

  add_test(NAME lv2_validate
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/lv2_validate.sh $<TARGET_FILE_DIR:klor_lv2>)
  set_tests_properties(lv2_validate PROPERTIES LABELS lv2 SKIP_RETURN_CODE 77)
  add_test(NAME lv2_bundle
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/lv2_bundle.sh $<TARGET_FILE_DIR:klor_lv2>
                   $<TARGET_FILE:klor_distortion>)
  set_tests_properties(lv2_bundle PROPERTIES LABELS lv2)
endif()
