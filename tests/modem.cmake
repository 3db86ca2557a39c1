# The USB modem cable (type 5): the user-client stand-in against a driver played by hand, and the
# transport and port API against the driver simulator.
pm_add_test(test_userclient SOURCES test_userclient.cpp LABELS fast threaded)
pm_add_test(test_modem SOURCES test_modem.cpp LABELS fast threaded LIBS pmsim)
