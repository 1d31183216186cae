# The fuzz targets over their committed corpora (fuzz/corpus/<target>/), as
# plain tests in every build: seeds and every crash input ever found run on
# each `make check`. Under libFuzzer (fuzz/CMakeLists.txt) the same sources
# explore further.
set(KLOR_FUZZ_DIR ${PROJECT_SOURCE_DIR}/fuzz)
foreach(target read_fuzzer string_fuzzer region_fuzzer pool_block_fuzzer)
  add_executable(${target}_replay ${KLOR_FUZZ_DIR}/${target}.cpp ${KLOR_FUZZ_DIR}/replay_main.cpp
                 ${KLOR_FUZZ_DIR}/fuzz_fail.cpp)
  target_include_directories(${target}_replay PRIVATE ${KLOR_FUZZ_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${target}_replay PRIVATE klor_region_checker klor_static)
  add_test(NAME ${target}_corpus COMMAND ${target}_replay ${KLOR_FUZZ_DIR}/corpus/${target})
  set_tests_properties(${target}_corpus PROPERTIES LABELS fuzz)
endforeach()
