# The effect, tested as a host uses it: the built module loaded at run time.
klor_add_test(dsp_load_test SOURCES dsp_load_test.cpp LIBS klor_headers ${CMAKE_DL_LIBS} LABELS dsp)
klor_add_test(dsp_effect_test SOURCES dsp_effect_test.cpp dsp_reference.h LIBS klor_host LABELS dsp)
klor_add_test(dsp_read_test SOURCES dsp_read_test.cpp dsp_reference.h LIBS klor_host LABELS dsp)
