pm_add_test(test_devices SOURCES test_devices.cpp LABELS fast)
