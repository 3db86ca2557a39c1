# The USB modem cable (type 5): the user-client stand-in against a driver played by hand, and the
# transport and port API against the driver simulator.
pm_add_test(test_userclient SOURCES test_userclient.cpp LABELS fast threaded)
# A driver of another user is pmsim-modem run as nobody.
target_compile_definitions(test_userclient PRIVATE PMSIM_MODEM_BINARY="$<TARGET_FILE:pmsim-modem>")
add_dependencies(test_userclient pmsim-modem)
pm_add_test(test_modem SOURCES test_modem.cpp LABELS fast threaded LIBS pmsim)
# Drivers that stop answering take the 5 s reply limit; the driver program runs as a process.
pm_add_test(test_modem_slow SOURCES test_modem_slow.cpp LABELS slow threaded LIBS pmsim)
target_compile_definitions(test_modem_slow PRIVATE PMSIM_MODEM_BINARY="$<TARGET_FILE:pmsim-modem>"
                           PMCTL_BINARY="$<TARGET_FILE:pmctl>")
add_dependencies(test_modem_slow pmsim-modem pmctl)
