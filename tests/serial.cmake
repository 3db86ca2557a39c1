# The serial cable path on pseudo-terminals, with the cable simulator playing the phone.
pm_add_test(test_serial SOURCES test_serial.cpp TtyTrace.cpp LABELS fast threaded
            LIBS pmsim ${CMAKE_DL_LIBS})
# The AT dialogue's pauses and the open-close series take seconds.
pm_add_test(test_serial_slow SOURCES test_serial_slow.cpp TtyTrace.cpp LABELS slow threaded
            LIBS pmsim ${CMAKE_DL_LIBS})
