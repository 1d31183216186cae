# The region allocator: unit tests over the static archive (with the heap
# checker), host-level tests through the built module, and sanitizer checks.
add_library(klor_region_checker STATIC region_checker.cpp region_checker.h region_test_support.h)
target_include_directories(klor_region_checker PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(klor_region_checker PUBLIC klor_static GTest::gtest)

klor_add_test(region_create_test SOURCES region_create_test.cpp
              LIBS klor_region_checker LABELS region)
klor_add_test(region_params_test SOURCES region_params_test.cpp
              LIBS klor_static LABELS region)
klor_add_test(region_malloc_test SOURCES region_malloc_test.cpp
              LIBS klor_region_checker LABELS region)
klor_add_test(region_bins_test SOURCES region_bins_test.cpp
              LIBS klor_region_checker LABELS region)
klor_add_test(region_resize_test SOURCES region_resize_test.cpp
              LIBS klor_region_checker LABELS region)
klor_add_test(region_model_test SOURCES region_model_test.cpp
              LIBS klor_region_checker LABELS region)
klor_add_test(region_module_test SOURCES region_module_test.cpp
              LIBS klor_host LABELS region)
klor_add_test(region_sanitizer_test SOURCES region_sanitizer_test.cpp
              LIBS klor_region_checker LABELS region)
