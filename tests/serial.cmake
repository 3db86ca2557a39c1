# The serial cable path on pseudo-terminals, with the cable simulator playing the phone.
pm_add_test(test_serial SOURCES test_serial.cpp TtyTrace.cpp LABELS fast threaded LIBS pmsim ${CMAKE_DL_LIBS})
