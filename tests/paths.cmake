pm_add_test(test_paths SOURCES test_paths.cpp LABELS fast)
