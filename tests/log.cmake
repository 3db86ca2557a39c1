pm_add_test(test_log SOURCES test_log.cpp test_log_settings.cpp LABELS fast)
pm_add_test(test_log_threaded SOURCES test_log_threaded.cpp LABELS fast threaded)
