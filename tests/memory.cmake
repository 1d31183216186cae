# The memory pool, its block bitmap, the memory entry points and the
# operating-system locks, semaphores and threads: unit tests against the
# static archive, and the same through the built module with the reference
# host. Threaded binaries carry the "threads" label.
klor_add_test(bitmap_test SOURCES bitmap_test.cpp LIBS klor_static LABELS memory)
klor_add_test(pool_setup_test SOURCES pool_setup_test.cpp LIBS klor_static LABELS memory)
klor_add_test(pool_callback_test SOURCES pool_callback_test.cpp LIBS klor_static LABELS memory threads)
klor_add_test(pool_region_test SOURCES pool_region_test.cpp LIBS klor_static LABELS memory)
klor_add_test(pool_block_test SOURCES pool_block_test.cpp LIBS klor_static LABELS memory)
klor_add_test(pool_entry_test SOURCES pool_entry_test.cpp LIBS klor_static LABELS memory)
klor_add_test(pool_threads_test SOURCES pool_threads_test.cpp LIBS klor_static LABELS memory threads)
klor_add_test(os_sync_critical_test SOURCES os_sync_critical_test.cpp LIBS klor_static LABELS memory threads)
klor_add_test(os_sync_semaphore_test SOURCES os_sync_semaphore_test.cpp LIBS klor_static LABELS memory threads)
klor_add_test(os_sync_thread_test SOURCES os_sync_thread_test.cpp LIBS klor_static LABELS memory threads)
klor_add_test(pool_host_test SOURCES pool_host_test.cpp LIBS klor_host LABELS memory threads)
