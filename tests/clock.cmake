pm_add_test(test_clock SOURCES test_clock.cpp LABELS fast threaded)
