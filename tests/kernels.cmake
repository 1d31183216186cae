# The read path's kernels, unit by unit through the static archive: every
# kernel set the CPU runs (forced through the test hook) against the scalar
# model, the run-time choice, and threads racing on the first block.
klor_add_test(kernel_exactness_test SOURCES kernel_exactness_test.cpp dsp_reference.h
              LIBS klor_static LABELS kernels)
klor_add_test(kernel_choice_test SOURCES kernel_choice_test.cpp LIBS klor_static LABELS kernels)
klor_add_test(kernel_choice_race_test SOURCES kernel_choice_race_test.cpp dsp_reference.h
              LIBS klor_static LABELS threads)
