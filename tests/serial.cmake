# The serial cable path on pseudo-terminals, with the cable simulator playing the phone.
pm_add_test(test_serial SOURCES test_serial.cpp TtyTrace.cpp LABELS fast threaded
            LIBS pmsim ${CMAKE_DL_LIBS})
# The AT dialogue's pauses and the open-close series take seconds.
pm_add_test(test_serial_slow SOURCES test_serial_slow.cpp TtyTrace.cpp LABELS slow threaded
            LIBS pmsim ${CMAKE_DL_LIBS})
# Long sends paced at the line's own speed: the slowest take about 35 s, so these tests get a
# high cost so that ctest starts them first and the other tests run beside them.
add_executable(test_serial_paced test_serial_paced.cpp)
target_link_libraries(test_serial_paced PRIVATE portmdl_internal GTest::gtest GTest::gtest_main)
target_include_directories(test_serial_paced PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
gtest_discover_tests(test_serial_paced DISCOVERY_TIMEOUT 60 PROPERTIES LABELS slow TIMEOUT 300 COST 1000)
