# Release gates on the built module: its exported symbol set and its
# hardening flags.
add_test(NAME abi_exported_symbols
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/abi/check-exports.sh
                 $<TARGET_FILE:klor_distortion> ${PROJECT_SOURCE_DIR}/abi/exported-symbols.txt)
set_tests_properties(abi_exported_symbols PROPERTIES LABELS abi)
if(KLOR_SANITIZE STREQUAL "")
  add_test(NAME abi_hardening
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/abi/check-hardening.sh $<TARGET_FILE:klor_distortion>)
  set_tests_properties(abi_hardening PROPERTIES LABELS abi)
endif()
