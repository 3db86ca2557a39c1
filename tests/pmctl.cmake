# pmctl: the log reader on logs the module wrote (whole and damaged), the step syntax and text
# helpers; the module's reader thread and the cable simulator run in these tests.
pm_add_test(test_pmctl SOURCES test_pmctl.cpp LABELS fast threaded LIBS pmctl_core pmsim)
# The program itself, run as a user runs it: the demo's AT dialogues take about 15 s.
pm_add_test(test_pmctl_cli SOURCES test_pmctl_cli.cpp LABELS slow threaded LIBS pmsim)
target_compile_definitions(test_pmctl_cli PRIVATE PMCTL_BINARY="$<TARGET_FILE:pmctl>"
                           PMSIM_CABLE_BINARY="$<TARGET_FILE:pmsim-cable>")
add_dependencies(test_pmctl_cli pmctl pmsim-cable)
