pm_add_test(test_ringbuff SOURCES test_ringbuff.cpp LABELS fast threaded)
