# Calls from several threads, bounded sends and closes, and the clock under a stepped wall clock
# and signals.
pm_add_test(test_port_threads SOURCES test_port_threads.cpp LABELS slow threaded LIBS pmsim)
pm_add_test(test_serial_bounds SOURCES test_serial_bounds.cpp LABELS fast threaded)
pm_add_test(test_queue_small_pipes SOURCES test_queue_small_pipes.cpp LABELS fast threaded)
# Replaces operator new for the whole program, so it runs alone.
pm_add_test(test_alloc_failure SOURCES test_alloc_failure.cpp LABELS fast)
pm_add_test(test_clock_robust SOURCES test_clock_robust.cpp LABELS fast threaded)
