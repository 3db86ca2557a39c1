# The model-based stress test: a few seconds a transport here (also under ThreadSanitizer);
# ./dev.sh stress runs it as long as asked (docs/stress.md).
pm_add_test(test_stress SOURCES test_stress.cpp StressRun.cpp StressPeers.cpp PortModel.cpp
            LABELS slow threaded LIBS pmsim)
# The model itself, on histories made by hand.
pm_add_test(test_port_model SOURCES test_port_model.cpp PortModel.cpp LABELS fast)
