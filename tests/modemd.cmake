# The phone modem driver daemon, in a thread beside the module, with a pseudo-terminal and the cable
# simulator behind it; and the daemon program as a process.
pm_add_test(test_modemd SOURCES test_modemd.cpp TtyTrace.cpp LABELS fast threaded
            LIBS pmmodemd pmsim)
target_compile_definitions(test_modemd PRIVATE PMMODEMD_BINARY="$<TARGET_FILE:portmdl-modemd>")
add_dependencies(test_modemd portmdl-modemd)
# A daemon no client can hold: its memory and its stop, with the daemon program as a process.
pm_add_test(test_modemd_robust SOURCES test_modemd_robust.cpp LABELS slow threaded
            LIBS pmmodemd pmsim)
target_compile_definitions(test_modemd_robust PRIVATE PMMODEMD_BINARY="$<TARGET_FILE:portmdl-modemd>")
add_dependencies(test_modemd_robust portmdl-modemd)
