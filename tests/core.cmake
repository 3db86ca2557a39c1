pm_add_test(test_ringbuff SOURCES test_ringbuff.cpp LABELS fast threaded)
pm_add_test(test_transport_base SOURCES test_transport_base.cpp LABELS slow threaded)
pm_add_test(test_port_api SOURCES test_port_api.cpp LABELS fast threaded)
