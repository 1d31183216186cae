# String and number helpers: tables and model checks against the static
# archive, and the exported functions through the built module as a host
# loads it.
klor_add_test(string_test
  SOURCES string_copy_test.cpp string_compare_test.cpp string_search_test.cpp
          string_number_test.cpp string_model_test.cpp
  LIBS klor_static LABELS strings)
klor_add_test(string_module_test SOURCES string_module_test.cpp LIBS klor_host LABELS strings)
